#include "types/quendle_base.h"

#include "base/heap_type.h"
#include "cache/cross_instance.h"
#include "cache/instance_access.h"

#include <memory>

namespace quendle {

namespace {

const ArgSpec kIsCached{"is_cached", "QuendleBase", {"method_name"}, 1, 1, true};
const ArgSpec kGetCached{"get_cached_value", "QuendleBase", {"method_name", "strict"}, 2, 1, true};
const ArgSpec kUpdateCached{"update_cached_value", "QuendleBase", {"method_name", "value"}, 2, 2, true};
const ArgSpec kClearCached{"clear_cached_value", "QuendleBase", {"method_name"}, 1, 1, true};

// What a keyed query works on, under the instance's exclusive borrow.
struct Query {
    CacheState& state;
    const std::string& name;
    BoundArgs& bound;
};

QuendleBaseObject* base(PyObject* self) { return reinterpret_cast<QuendleBaseObject*>(self); }

// The common frame of the keyed queries that read: bind, then run `op`
// under the instance's exclusive borrow, with `method_name` converted (and
// the collected keywords).
template <class Op>
PyObject* keyed_query(const ArgSpec& spec, PyObject* self, PyObject* args, PyObject* kwargs, Op&& op) {
    return entry_object([&]() -> Result<Ref> {
        Q_ASSIGN(BoundArgs bound, bind_arguments(spec, args, kwargs));
        Q_ASSIGN(ExclusiveAccess access, ExclusiveAccess::take(base(self)->borrow, Conflict::Raise));
        Q_ASSIGN(std::string method_name, noted(to_text(bound.get(0)), "method_name"));
        Q_ASSIGN(CacheState * state, state_of(base(self)));
        Query q{*state, method_name, bound};
        return op(q);
    });
}

// The frame of the keyed queries that change a key: the key is found once,
// in the plan, and the change is made whole or refused (`change_across`).
// `has(state, key)` says whether the change can be made, `error` what a key
// without it raises; `change(state, key, bound, dead, targets)` makes it.
template <class Has, class Change>
PyObject* keyed_change(const ArgSpec& spec, const char* error, PyObject* self, PyObject* args, PyObject* kwargs,
                       Has&& has, Change&& change) {
    return entry_object([&]() -> Result<Ref> {
        Q_ASSIGN(BoundArgs bound, bind_arguments(spec, args, kwargs));
        QuendleBaseObject* inst = base(self);
        std::string method_name;
        CacheKey key = 0;
        auto refuse = [&] { return Error::key_error("Cannot " + std::string(error) + " for '" + method_name + "'"); };
        return change_across(
            inst,
            [&](CacheState& state, CrossTargets& targets) -> Status {
                Q_ASSIGN(method_name, noted(to_text(bound.get(0)), "method_name"));
                Q_ASSIGN(key, state.key_for_query(method_name, bound.surplus.get()));
                if (!has(state, key)) {
                    return refuse();
                }
                collect_cross_targets(inst, state, key, targets);
                return {};
            },
            [&](CacheState& state, Graveyard& dead, CrossTargets& targets) -> Result<Ref> {
                if (!has(state, key)) {
                    return refuse();
                }
                change(state, key, bound, dead, targets);
                return none_result();
            });
    });
}

PyObject* qb_is_cached(PyObject* self, PyObject* args, PyObject* kwargs) {
    return keyed_query(kIsCached, self, args, kwargs,
                       [](Query& q) -> Result<Ref> {
                           Q_ASSIGN(CacheKey key, q.state.key_for_query(q.name, q.bound.surplus.get()));
                           return bool_result(q.state.has_value(key));
                       });
}

PyObject* qb_get_cached_value(PyObject* self, PyObject* args, PyObject* kwargs) {
    return keyed_query(kGetCached, self, args, kwargs,
                       [](Query& q) -> Result<Ref> {
                           bool strict = true;
                           if (q.bound.get(1) != nullptr) {
                               Q_ASSIGN(strict, noted(to_bool(q.bound.get(1)), "strict"));
                           }
                           Q_ASSIGN(CacheKey key, q.state.key_for_query(q.name, q.bound.surplus.get()));
                           if (Ref v = q.state.get_value(key)) {
                               return v;
                           }
                           if (strict) {
                               return Error::key_error("Cannot get cached value for '" + q.name + "'");
                           }
                           return none_result();
                       });
}

PyObject* qb_update_cached_value(PyObject* self, PyObject* args, PyObject* kwargs) {
    QuendleBaseObject* inst = base(self);
    return keyed_change(
        kUpdateCached, "update cached value", self, args, kwargs,
        [](const CacheState& state, CacheKey key) { return state.has_value(key); },
        [inst](CacheState& state, CacheKey key, BoundArgs& bound, Graveyard& dead, CrossTargets& targets) {
            // Invalidation first: it is what can fail, and it must not fail
            // after the new value is in place.
            state.note_change(key, ChangeKind::Updated);
            collect_cross_targets(inst, state, key, targets);
            state.invalidate(key);
            state.revalidate(key);
            state.store_value(key, bound.slots[1], dead);
        });
}

PyObject* qb_clear_cached_value(PyObject* self, PyObject* args, PyObject* kwargs) {
    QuendleBaseObject* inst = base(self);
    return keyed_change(
        kClearCached, "clear cached value", self, args, kwargs,
        [](const CacheState& state, CacheKey key) { return state.effective_value(key) != nullptr; },
        [inst](CacheState& state, CacheKey key, BoundArgs& /*bound*/, Graveyard& dead, CrossTargets& targets) {
            collect_cross_targets(inst, state, key, targets);
            state.clear_value(key, dead);
        });
}

PyObject* qb_clear_cache(PyObject* self, PyObject* /*unused*/) {
    return entry_object([&]() -> Result<Ref> {
        QuendleBaseObject* inst = base(self);
        return change_across(
            inst,
            [&](CacheState& state, CrossTargets& targets) -> Status {
                collect_all_cross_targets(inst, state, targets);
                return {};
            },
            [&](CacheState& state, Graveyard& dead, CrossTargets& targets) -> Result<Ref> {
                collect_all_cross_targets(inst, state, targets);
                state.clear_all_values(dead);
                return none_result();
            });
    });
}

// ------------------------------------------------------------ lifecycle

PyObject* qb_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return entry_object([&]() -> Result<Ref> {
        if (args != nullptr && !PyTuple_Check(args)) {
            return note_argument(cast_error(args, reinterpret_cast<PyObject*>(&PyTuple_Type)), "_args");
        }
        if (kwargs != nullptr && !PyDict_Check(kwargs)) {
            return note_argument(cast_error(kwargs, reinterpret_cast<PyObject*>(&PyDict_Type)), "_kwargs");
        }
        auto state = std::make_unique<CacheState>();
        auto object_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
        if (object_new == nullptr) {
            return Error::type_error("base type without tp_new");
        }
        Q_ASSIGN(Ref empty, checked(PyTuple_New(0)));
        Q_ASSIGN(Ref obj, checked(object_new(type, empty.get(), nullptr)));
        QuendleBaseObject* self = base(obj.get());
        self->borrow = BorrowFlag{};
        self->cross_edges = false;
        self->state = state.release();
        return obj;
    });
}

int qb_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (CacheState* s = base(self)->state) {
        return s->traverse(visit, arg);
    }
    return 0;
}

int qb_clear(PyObject* self) {
    QuendleBaseObject* obj = base(self);
    if (obj->state == nullptr || obj->borrow.value != 0) {
        return 0;
    }
    // The instance stays usable: its state becomes empty before anything
    // it held is released. Its keys start again from 0, so its
    // cross-instance edges go too.
    forget_participant(obj);
    Graveyard dead;
    obj->state->clear(dead);
    obj->borrow.drop_layers();
    return 0;
}

void qb_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    QuendleBaseObject* obj = base(self);
    forget_participant(obj);
    {
        Graveyard dead;
        if (obj->state != nullptr) {
            obj->state->clear(dead);
        }
    }
    delete std::exchange(obj->state, nullptr);
    free_instance(self);
}

PyMethodDef qb_methods[] = {
    {"get_cached_value", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(qb_get_cached_value)),
     METH_VARARGS | METH_KEYWORDS, "get_cached_value($self, method_name, strict=True, **kwargs)\n--\n\n"},
    {"is_cached", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(qb_is_cached)),
     METH_VARARGS | METH_KEYWORDS, "is_cached($self, method_name, **kwargs)\n--\n\n"},
    {"update_cached_value", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(qb_update_cached_value)),
     METH_VARARGS | METH_KEYWORDS, "update_cached_value($self, method_name, value, **kwargs)\n--\n\n"},
    {"clear_cache", qb_clear_cache, METH_NOARGS, "clear_cache($self)\n--\n\n"},
    {"clear_cached_value", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(qb_clear_cached_value)),
     METH_VARARGS | METH_KEYWORDS, "clear_cached_value($self, method_name, **kwargs)\n--\n\n"},
    {"dump_cache", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(qb_dump_cache)),
     METH_VARARGS | METH_KEYWORDS, "dump_cache($self, order=None)\n--\n\n"},
    {"load_cache", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(qb_load_cache)),
     METH_VARARGS | METH_KEYWORDS, "load_cache($self, data, order=None)\n--\n\n"},
    // Pickling and copying, with the cache (pickling.cpp).
    {"__reduce_ex__", qb_reduce_ex, METH_O, "__reduce_ex__($self, protocol, /)\n--\n\n"},
    {"__copy__", qb_copy, METH_NOARGS, "__copy__($self, /)\n--\n\n"},
    {"__deepcopy__", qb_deepcopy, METH_O, "__deepcopy__($self, memo, /)\n--\n\n"},
    init_subclass_def,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef qb_getset[] = {
    {"cached_values", qb_cached_values, nullptr, nullptr, nullptr},
    {"dependency_graph", qb_dependency_graph, nullptr, nullptr, nullptr},
    {"validation_state", qb_validation_state, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot qb_slots[] = {
    {Py_tp_doc, const_cast<char*>("QuendleBase(*_args, **_kwargs)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(qb_new)},
    {Py_tp_methods, qb_methods},
    {Py_tp_getset, qb_getset},
    {Py_tp_traverse, reinterpret_cast<void*>(qb_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(qb_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(qb_dealloc)},
    {0, nullptr},
};

PyType_Spec qb_spec{"builtins.QuendleBase", sizeof(QuendleBaseObject), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, qb_slots};

OnceObject g_qb_type;

}  // namespace

Result<PyObject*> quendle_base_type() { return create_type_on_use(g_qb_type, &qb_spec, "QuendleBase", false); }

PyObject* quendle_base_type_if_created() noexcept { return g_qb_type.peek(); }

Result<QuendleBaseObject*> as_quendle_base(PyObject* obj) {
    Q_ASSIGN(PyObject * type, quendle_base_type());
    if (!PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type))) {
        return Error::type_error("expected a QuendleBase instance");
    }
    return base(obj);
}

Status replace_empty_state(QuendleBaseObject* self, std::unique_ptr<CacheState> fresh) {
    // Declared before the access, so the old state goes after the borrow.
    std::unique_ptr<CacheState> old;
    Q_ASSIGN(ExclusiveAccess access, ExclusiveAccess::take(self->borrow, Conflict::Raise));
    Q_ASSIGN(CacheState * state, state_of(self));
    if (!state->is_empty()) {
        return Error::value_error("the cache state of an instance can be restored only while it is empty");
    }
    old.reset(std::exchange(self->state, fresh.release()));
    return {};
}

Result<CacheState*> state_of(QuendleBaseObject* self) {
    if (self->state == nullptr) {
        return QUENDLE_PANIC("QuendleBase instance without cache state");
    }
    return self->state;
}

}  // namespace quendle
