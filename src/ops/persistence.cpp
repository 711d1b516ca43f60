// dump_cache / load_cache: move the values of serialisable methods to and
// from a plain dict. Names the caller leaves unordered are processed in a
// uniformly random order drawn anew on every call.
//
// Method names stay Python `str` objects from start to end (class
// dictionaries, dump keys, attribute lookups, load lookups): a name may hold
// any character, NUL included, and two names are the same exactly when the
// strings are equal.
#include "ops/persistence.h"
#include "base/hints.h"
#include "base/thread_exit.h"
#include "cache/instance_access.h"
#include "cache/objects.h"
#include "ops/call_path.h"
#include "ops/method_names.h"

#include <string_view>

namespace quendle {

namespace {

const ArgSpec kDump{"dump_cache", "QuendleBase", {"order"}, 1, 0, false};
const ArgSpec kLoad{"load_cache", "QuendleBase", {"data", "order"}, 2, 1, false};

// The methods an instance's class binds in its own dictionary, found
// without the attribute lookup when its outcome is certain. For an ordinary
// class (metaclass exactly `type`, the generic attribute lookup on its
// instances) whose own dictionary binds a name that is not a dunder name to
// a decorator, `getattr(type(self), name)` is that decorator (the class is
// first on its `__mro__`; `type` binds no such name as a data descriptor)
// and so, the decorator being a data descriptor, `getattr(self, name)` is
// the decorator bound to self, whose call is the decorator's call with self
// first. Each lookup checks anew that all this still holds, since any call
// may change the class, and its instances may change class.
class OwnMethods {
public:
    static Result<OwnMethods> of(PyObject* self) {
        PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(self));
        PyObject* dec_type = decorator_type_if_created();
        Q_ASSIGN(Ref args, checked(PyTuple_Pack(1, self)));
        OwnMethods out(dec_type, std::move(args));
        if (generic_lookup(cls)) {
            Q_ASSIGN(out.dict_, own_dict(cls));
            if (out.dict_) {
                out.cls_ = Ref::borrow(cls);
            }
        }
        return out;
    }

    // The decorator `name` binds on self's class, or null when the lookup
    // decides.
    Result<Ref> find(PyObject* self, PyObject* name) const {
        PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(self));
        if (!cls_ || cls != cls_.get() || !generic_lookup(cls) || is_dunder(name)) {
            return Ref();
        }
        PyObject* value = PyDict_GetItemWithError(dict_->dict, name);
        if (value == nullptr) {
            if (PyErr_Occurred()) {
                return Error::fetch();
            }
            return Ref();
        }
        if (reinterpret_cast<PyObject*>(Py_TYPE(value)) != dec_type_) {
            return Ref();
        }
        return Ref::borrow(value);
    }

    // `getattr(self, name)()` for the decorator `find` gave.
    Result<Ref> call(PyObject* decorator) const {
        return checked(exit_safe([&] { return PyObject_Call(decorator, args_.get(), nullptr); }));
    }

private:
    OwnMethods(PyObject* dec_type, Ref args) : dec_type_(dec_type), args_(std::move(args)) {}

    static bool generic_lookup(PyObject* cls) {
        return Py_TYPE(cls) == &PyType_Type &&
               PyType_GetSlot(reinterpret_cast<PyTypeObject*>(cls), Py_tp_getattro) ==
                   reinterpret_cast<void*>(PyObject_GenericGetAttr);
    }

    PyObject* dec_type_;  // the decorator type, immortal by intent
    Ref args_;            // (self,)
    Ref cls_;             // the ordinary class the view is of, or null
    std::optional<ClassDict> dict_;
};

Result<Ref> call_by_name(PyObject* self, PyObject* name) {
    Q_ASSIGN(Ref attr, get_attr(self, name));
    return call0(attr.get());
}

// The decorator of an asynchronous method bound to `name` on the
// instance's class, or null.
Result<DecoratorObject*> async_decorator(PyObject* self, PyObject* name) {
    Q_ASSIGN(Ref attr, get_attr(reinterpret_cast<PyObject*>(Py_TYPE(self)), name));
    Q_ASSIGN(bool decorated, is_decorator(attr.get()));
    auto* dec = reinterpret_cast<DecoratorObject*>(attr.get());
    // The class keeps the decorator alive.
    return decorated && dec->fields != nullptr && dec->fields->is_async ? dec : nullptr;
}

// An asynchronous method is dumped with its cached value: its call gives
// an awaitable, which a dump must not hold.
Result<Ref> dump_value(PyObject* self, PyObject* name, const OwnMethods& own) {
    Q_ASSIGN(Ref own_dec, own.find(self, name));
    DecoratorObject* dec = nullptr;
    if (own_dec) {
        auto* found = reinterpret_cast<DecoratorObject*>(own_dec.get());
        if (found->fields == nullptr || !found->fields->is_async) {
            return own.call(own_dec.get());
        }
        dec = found;
    } else {
        Q_ASSIGN(dec, async_decorator(self, name));
        if (dec == nullptr) {
            return call_by_name(self, name);
        }
    }
    Q_ASSIGN(CallSignature sig, query_signature(dec->fields->name, nullptr));
    auto* inst = reinterpret_cast<QuendleBaseObject*>(self);
    Q_ASSIGN(ExclusiveAccess access, ExclusiveAccess::take(inst->borrow, Conflict::Raise));
    Q_ASSIGN(CacheState * state, state_of(inst));
    Q_ASSIGN(std::optional<CacheKey> key, state->find_key(sig.hash, sig.key.get()));
    if (key) {
        if (Ref v = state->get_value(*key)) {
            return v;
        }
    }
    return name_error("Method '", name, "' is asynchronous and has no cached value to dump; await it first",
                      PyExc_TypeError);
}

// An asynchronous method's loaded value is stored as if its body had
// returned it: the key is registered as a call registers it and becomes
// valid, and a computation of it in progress does not overwrite it.
Status load_async_value(QuendleBaseObject* inst, std::string_view text, Ref value, const DecoratorFields& f) {
    Q_ASSIGN(CallSignature sig, query_signature(text, nullptr));
    Q_ASSIGN(ExclusiveAccess access, ExclusiveAccess::take(inst->borrow, Conflict::Panic));
    Q_ASSIGN(CacheState * state, state_of(inst));
    Q_ASSIGN(CacheKey k, state->get_or_create_key(std::move(sig)));
    Q_TRY(register_method_call(*state, f, k));
    state->base_values().set(k, std::move(value), access.dead());
    state->reserve_stamp(k);
    state->revalidate(k);
    state->stamp_changed(k);
    state->bump_epoch(k);
    return {};
}

Result<Ref> dump_cache(PyObject* self, PyObject* args, PyObject* kwargs) {
    Q_ASSIGN(BoundArgs bound, bind_arguments(kDump, args, kwargs));
    Q_ASSIGN(std::optional<NameList> order, optional_order(bound.get(0)));
    Q_ASSIGN(NameList serialisable, collect_serialisable_names(reinterpret_cast<PyObject*>(Py_TYPE(self))));
    NameList result;
    NameList rest;
    if (!order) {
        rest = std::move(serialisable);
    } else {
        Q_ASSIGN(NameSet remaining, NameSet::make());
        for (const Ref& name : serialisable) {
            Q_TRY(remaining.insert(name.get()));
        }
        Q_ASSIGN(NameSet seen, NameSet::make());
        for (const Ref& name : *order) {
            Q_ASSIGN(bool fresh, seen.insert(name.get()));
            if (!fresh) {
                continue;
            }
            Q_ASSIGN(bool listed, remaining.erase(name.get()));
            if (listed) {
                result.push_back(name);
            }
        }
        for (const Ref& name : serialisable) {
            Q_ASSIGN(bool left, remaining.contains(name.get()));
            if (left) {
                rest.push_back(name);
            }
        }
    }
    Q_TRY(shuffle_uniform(rest));
    result.insert(result.end(), rest.begin(), rest.end());
    Q_ASSIGN(Ref dict, checked(PyDict_New()));
    Q_ASSIGN(OwnMethods own, OwnMethods::of(self));
    for (const Ref& name : result) {
        Q_ASSIGN(Ref value, dump_value(self, name.get(), own));
        Q_TRY(checked_status(PyDict_SetItem(dict.get(), name.get(), value.get())));
    }
    return dict;
}

// The key (name, ()), allocated when new. Under the method's own name it is
// looked up from its parts and a hash made once per method (the call just
// made has registered it); any other name builds the key tuple.
Result<CacheKey> no_argument_key(CacheState& state, PyObject* name, const DecoratorFields& d) {
    bool own_name = name == d.name_obj.get();
    if (!own_name) {
        const int rc = PyUnicode_Compare(name, d.name_obj.get());
        if (rc == -1 && PyErr_Occurred() != nullptr) {
            return Error::fetch();
        }
        own_name = rc == 0;
    }
    if (own_name) {
        if (!d.no_argument_hash) {
            Q_ASSIGN(CallSignature sig, no_argument_signature(d.name_obj.get()));
            d.no_argument_hash = sig.hash;
        }
        BoundCall call;
        call.method = d.name_obj.get();
        call.hash = *d.no_argument_hash;
        const Probe pure = state.find_pure(call);  // the stored names are str: no user code
        if (pure.answer == Tri::Yes) {
            return pure.key;
        }
        if (pure.answer == Tri::Undecided) {
            Q_ASSIGN(std::optional<CacheKey> found, state.find_bound(call));
            if (found) {
                return *found;
            }
        }
    }
    Q_ASSIGN(CallSignature sig, no_argument_signature(name));
    return state.get_or_create_key(std::move(sig));
}

Status load_method_value(PyObject* self, PyObject* data, PyObject* name, const OwnMethods& own) {
    PyObject* found = PyDict_GetItemWithError(data, name);
    if (found == nullptr) {
        if (PyErr_Occurred()) {
            return Error::fetch();
        }
        return {};
    }
    Ref value = Ref::borrow(found);
    // The cache key is built from the UTF-8 text; a name without one fails
    // here, before any method runs.
    Py_ssize_t size = 0;
    const char* chars = PyUnicode_AsUTF8AndSize(name, &size);  // kept by the str, which the caller holds
    if (chars == nullptr) {
        return Error::fetch();
    }
    const std::string_view text(chars, static_cast<size_t>(size));
    Q_ASSIGN(Ref attr, own.find(self, name));
    if (!attr) {
        Result<Ref> looked_up = get_attr(reinterpret_cast<PyObject*>(Py_TYPE(self)), name);
        if (!looked_up.ok()) {
            return hint_missing_method(looked_up.take_error(), reinterpret_cast<PyObject*>(Py_TYPE(self)), name);
        }
        attr = looked_up.take();
    }
    Q_ASSIGN(bool decorated, is_decorator(attr.get()));
    if (!decorated) {
        return name_error("Method '", name, "' is not decorated with @quendled");
    }
    auto* dec = reinterpret_cast<DecoratorObject*>(attr.get());
    if (dec->fields == nullptr) {
        return cleared_error("QuendleDecorator");
    }
    if (!dec->fields->serialisable) {
        return name_error("Method '", name, "' is not marked as serialisable");
    }
    Ref func = dec->fields->func;
    Q_TRY(check_serialisable_signature(func.get(), &dec->fields->passed_code));
    if (dec->fields->is_async) {
        Ref keep = attr;  // the decorator's fields stay while it is held
        return load_async_value(reinterpret_cast<QuendleBaseObject*>(self), text, std::move(value), *dec->fields);
    }
    Q_ASSIGN(Ref method, own.find(self, name));
    Q_ASSIGN(Ref computed, method ? own.call(method.get()) : call_by_name(self, name));
    auto* inst = reinterpret_cast<QuendleBaseObject*>(self);
    Q_ASSIGN(ExclusiveAccess access, ExclusiveAccess::take(inst->borrow, Conflict::Panic));
    Q_ASSIGN(CacheState * state, state_of(inst));
    Q_ASSIGN(CacheKey k, no_argument_key(*state, name, *dec->fields));
    state->stamp_changed(k);  // the loaded value replaces the computed one
    state->base_values().set(k, std::move(value), access.dead());
    return {};
}

Result<Ref> load_cache(PyObject* self, PyObject* args, PyObject* kwargs) {
    Q_ASSIGN(BoundArgs bound, bind_arguments(kLoad, args, kwargs));
    Q_ASSIGN(Ref data, noted(to_dict(bound.get(0)), "data"));
    Q_ASSIGN(std::optional<NameList> order, optional_order(bound.get(1)));
    NameList keys;
    {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(data.get(), &pos, &key, &value)) {
            Q_ASSIGN(Ref name, exact_name(key));
            keys.push_back(std::move(name));
        }
    }
    Q_ASSIGN(OwnMethods own, OwnMethods::of(self));
    NameList rest;
    if (!order) {
        rest = std::move(keys);
    } else {
        Q_ASSIGN(NameSet seen, NameSet::make());
        for (const Ref& name : *order) {
            Q_ASSIGN(bool done, seen.contains(name.get()));
            if (done) {
                continue;
            }
            Q_TRY(load_method_value(self, data.get(), name.get(), own));
            Q_TRY(seen.insert(name.get()));
        }
        for (const Ref& name : keys) {
            Q_ASSIGN(bool done, seen.contains(name.get()));
            if (!done) {
                rest.push_back(name);
            }
        }
    }
    Q_TRY(shuffle_uniform(rest));
    for (const Ref& name : rest) {
        Q_TRY(load_method_value(self, data.get(), name.get(), own));
    }
    return none_result();
}

}  // namespace

PyObject* qb_dump_cache(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry_object([&] { return dump_cache(self, args, kwargs); });
}

PyObject* qb_load_cache(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry_object([&] { return load_cache(self, args, kwargs); });
}

}  // namespace quendle
