#include "types/quendle_base.h"

#include "base/heap_type.h"
#include "cache/cross_instance.h"
#include "ops/cross_instance_api.h"
#include "ops/persistence.h"
#include "ops/pickling.h"
#include "ops/queries.h"
#include "ops/reports.h"

#include <memory>
#include <utility>

namespace quendle {

namespace {

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
        QuendleBaseObject* self = as_base(obj.get());
        self->borrow = BorrowFlag{};
        self->cross_edges = false;
        state->set_owner(obj.get());
        self->state = state.release();
        return obj;
    });
}

int qb_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (CacheState* s = as_base(self)->state) {
        return s->traverse(visit, arg);
    }
    return 0;
}

int qb_clear(PyObject* self) {
    QuendleBaseObject* obj = as_base(self);
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
    QuendleBaseObject* obj = as_base(self);
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

}  // namespace

Result<PyObject*> make_quendle_base_type() {
    return create_type_on_use(process().base_type, &qb_spec, "QuendleBase", false);
}

}  // namespace quendle
