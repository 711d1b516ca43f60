// Pickling and copying of QuendleBase instances: `__reduce_ex__`,
// `__copy__`, `__deepcopy__` and the state setter `_restore_instance`.
//
// An instance pickles like a plain Python object (its class by reference,
// `__getnewargs_ex__`/`__getnewargs__`, `__getstate__`/`__setstate__`,
// `__dict__` and slots, a subclass's own `__reduce__` taking over), and
// carries its cache in the same state, so that the pickler's or the copier's
// memo covers both. The state is put back by a state setter (the reduction's
// sixth item), never by the instance's `__setstate__`, so a user's
// `__setstate__` sees only the user half. The copy module does not read a
// state setter, hence `__copy__` and `__deepcopy__` of our own.
#include "ops/pickling.h"
#include "cache/objects.h"

#include <algorithm>
#include <vector>

namespace quendle {

namespace {

PyObject* type_of(PyObject* obj) { return reinterpret_cast<PyObject*>(Py_TYPE(obj)); }

// Whether the class has a `__reduce__` other than object's: then, as for
// any object, that one makes the reduction.
Result<bool> overrides_reduce(PyObject* cls) {
    Q_ASSIGN(Ref mine, get_attr(cls, "__reduce__"));
    Q_ASSIGN(Ref plain, get_attr(reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__reduce__"));
    return mine.get() != plain.get();
}

// The `copyreg.dispatch_table` entry for the class, or an empty handle.
Result<Ref> registered_reducer(PyObject* cls) {
    Q_ASSIGN(Ref copyreg, import_module("copyreg"));
    Q_ASSIGN(Ref table, get_attr(copyreg.get(), "dispatch_table"));
    PyObject* entry = PyObject_GetItem(table.get(), cls);
    if (entry == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) {
            return Error::fetch();
        }
        PyErr_Clear();
        return Ref{};
    }
    return Ref::steal(entry);
}

// Whether the instance reduces the way QuendleBase makes it: no registered
// reducer, QuendleBase's `__reduce_ex__` and object's `__reduce__`.
Result<bool> reduces_as_quendle_base(PyObject* self) {
    PyObject* cls = type_of(self);
    Q_ASSIGN(Ref reducer, registered_reducer(cls));
    if (reducer) {
        return false;
    }
    Q_ASSIGN(PyObject * base, quendle_base_type());
    Q_ASSIGN(Ref mine, get_attr(cls, "__reduce_ex__"));
    Q_ASSIGN(Ref ours, get_attr(base, "__reduce_ex__"));
    if (mine.get() != ours.get()) {
        return false;
    }
    Q_ASSIGN(bool overridden, overrides_reduce(cls));
    return !overridden;
}

// What `object.__getstate__` gives (from 3.11 it is called, and so is a
// class's own): a copy of `__dict__` (None when empty), paired with the
// slots' values when any slot is set.
Result<Ref> user_state(PyObject* self) {
    Q_ASSIGN(Ref getstate, optional_attr(self, "__getstate__"));
    if (getstate) {
        return call0(getstate.get());
    }
    Ref state = Ref::borrow(Py_None);
    Q_ASSIGN(Ref dict, optional_attr(self, "__dict__"));
    if (dict && PyDict_Check(dict.get()) && PyDict_Size(dict.get()) > 0) {
        Q_ASSIGN(state, checked(PyDict_Copy(dict.get())));
    }
    Q_ASSIGN(Ref copyreg, import_module("copyreg"));
    Q_ASSIGN(Ref slotnames, get_attr(copyreg.get(), "_slotnames"));
    Q_ASSIGN(Ref names_list, call1(slotnames.get(), type_of(self)));
    Q_ASSIGN(std::vector<Ref> slot_names, to_object_sequence(names_list.get()));
    Q_ASSIGN(Ref slots, checked(PyDict_New()));
    for (const Ref& name : slot_names) {
        Q_ASSIGN(Ref value, optional_attr(self, name.get()));
        if (value) {
            Q_TRY(checked_status(PyDict_SetItem(slots.get(), name.get(), value.get())));
        }
    }
    if (PyDict_Size(slots.get()) == 0) {
        return state;
    }
    return checked(PyTuple_Pack(2, state.get(), slots.get()));
}

// The call that makes the new object: `copyreg.__newobj__(cls, *args)`, or
// `copyreg.__newobj_ex__(cls, args, kwargs)` for keyword arguments.
struct NewCall {
    Ref func;
    Ref args;
};

Result<NewCall> new_call(PyObject* self) {
    Q_ASSIGN(Ref copyreg, import_module("copyreg"));
    Q_ASSIGN(Ref args, checked(PyTuple_New(0)));
    Ref kwargs;
    Q_ASSIGN(Ref getnewargs_ex, optional_attr(self, "__getnewargs_ex__"));
    Q_ASSIGN(Ref getnewargs, optional_attr(self, "__getnewargs__"));
    if (getnewargs_ex) {
        Q_ASSIGN(Ref pair, call0(getnewargs_ex.get()));
        if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2 || !PyTuple_Check(PyTuple_GetItem(pair.get(), 0)) ||
            !PyDict_Check(PyTuple_GetItem(pair.get(), 1))) {
            return Error::type_error("__getnewargs_ex__ should return a tuple (args tuple, kwargs dict)");
        }
        args = Ref::borrow(PyTuple_GetItem(pair.get(), 0));
        kwargs = Ref::borrow(PyTuple_GetItem(pair.get(), 1));
    } else if (getnewargs) {
        Q_ASSIGN(args, call0(getnewargs.get()));
        if (!PyTuple_Check(args.get())) {
            return Error::type_error("__getnewargs__ should return a tuple");
        }
    }
    if (kwargs && PyDict_Size(kwargs.get()) > 0) {
        Q_ASSIGN(Ref func, get_attr(copyreg.get(), "__newobj_ex__"));
        Q_ASSIGN(Ref packed, checked(PyTuple_Pack(3, type_of(self), args.get(), kwargs.get())));
        return NewCall{std::move(func), std::move(packed)};
    }
    Q_ASSIGN(Ref func, get_attr(copyreg.get(), "__newobj__"));
    Q_ASSIGN(Ref head, checked(PyTuple_Pack(1, type_of(self))));
    Q_ASSIGN(Ref packed, checked(PySequence_Concat(head.get(), args.get())));
    return NewCall{std::move(func), std::move(packed)};
}

// Puts the user half back as pickle and copy do: the instance's
// `__setstate__` if it has one, else `__dict__` and slots.
Status apply_user_state(PyObject* obj, PyObject* state) {
    if (state == Py_None) {
        return {};
    }
    Q_ASSIGN(Ref setstate, optional_attr(obj, "__setstate__"));
    if (setstate) {
        Q_ASSIGN(Ref done, call1(setstate.get(), state));
        return {};
    }
    PyObject* dict_state = state;
    PyObject* slot_state = Py_None;
    if (PyTuple_Check(state) && PyTuple_Size(state) == 2) {
        dict_state = PyTuple_GetItem(state, 0);
        slot_state = PyTuple_GetItem(state, 1);
    }
    if (dict_state != Py_None) {
        Q_ASSIGN(Ref dict, get_attr(obj, "__dict__"));
        Q_ASSIGN(Ref update, get_attr(dict.get(), "update"));
        Q_ASSIGN(Ref done, call1(update.get(), dict_state));
    }
    if (slot_state != Py_None) {
        Q_ASSIGN(Ref items, checked(PyMapping_Items(slot_state)));
        Q_ASSIGN(std::vector<Ref> pairs, to_object_sequence(items.get()));
        for (const Ref& pair : pairs) {
            if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2) {
                return Error::type_error("slot state items must be (name, value) pairs");
            }
            Q_TRY(checked_status(PyObject_SetAttr(obj, PyTuple_GetItem(pair.get(), 0), PyTuple_GetItem(pair.get(), 1))));
        }
    }
    return {};
}

// The cache first: a user `__setstate__` may then use it.
Status restore_into(PyObject* obj, PyObject* user, PyObject* cache) {
    Q_TRY(import_cache_part(obj, cache));
    return apply_user_state(obj, user);
}

Result<Ref> reduce_ex(PyObject* self, PyObject* protocol) {
    const long p = PyLong_AsLong(protocol);
    if (p == -1 && PyErr_Occurred() != nullptr) {
        return Error::fetch();
    }
    Q_ASSIGN(bool overridden, overrides_reduce(type_of(self)));
    if (overridden) {
        Q_ASSIGN(Ref reduce, get_attr(self, "__reduce__"));
        return call0(reduce.get());
    }
    Q_ASSIGN(NewCall made, new_call(self));
    Q_ASSIGN(Ref user, user_state(self));
    Q_ASSIGN(Ref cache, export_cache_part(self, CacheCopy::Pickle));
    Q_ASSIGN(Ref module, import_module("quendle"));
    Q_ASSIGN(Ref setter, get_attr(module.get(), restore_instance_def.ml_name));
    return checked(Py_BuildValue("(OO(OO)OOO)", made.func.get(), made.args.get(), user.get(), cache.get(), Py_None,
                                 Py_None, setter.get()));
}

Status remember(PyObject* memo, PyObject* original, PyObject* copy) {
    Q_ASSIGN(Ref id, checked(PyLong_FromVoidPtr(original)));
    return checked_status(PyObject_SetItem(memo, id.get(), copy));
}

// A copy made from a reduction the class or copyreg provides, as the copy
// module makes it, and with the reduction's state setter when it has one.
Result<Ref> copy_by_reduction(PyObject* self, PyObject* memo) {
    Q_ASSIGN(Ref reducer, registered_reducer(type_of(self)));
    Ref rv;
    if (reducer) {
        Q_ASSIGN(rv, call1(reducer.get(), self));
    } else {
        Q_ASSIGN(Ref reduce_ex_method, get_attr(self, "__reduce_ex__"));
        Q_ASSIGN(Ref four, checked(PyLong_FromLong(4)));
        Q_ASSIGN(rv, call1(reduce_ex_method.get(), four.get()));
    }
    if (PyUnicode_Check(rv.get())) {
        return Ref::borrow(self);
    }
    if (!PyTuple_Check(rv.get()) || PyTuple_Size(rv.get()) < 2 || PyTuple_Size(rv.get()) > 6) {
        return Error::type_error("__reduce__ must return a string or a tuple of 2 to 6 items");
    }
    const Py_ssize_t size = PyTuple_Size(rv.get());
    PyObject* setter = size == 6 ? PyTuple_GetItem(rv.get(), 5) : Py_None;
    PyObject* state = size >= 3 ? PyTuple_GetItem(rv.get(), 2) : Py_None;
    PyObject* memo_arg = memo != nullptr ? memo : Py_None;
    Q_ASSIGN(Ref args, checked(PyTuple_New(2 + std::min<Py_ssize_t>(size, 5))));
    PyTuple_SetItem(args.get(), 0, Ref::borrow(self).release());
    PyTuple_SetItem(args.get(), 1, Ref::borrow(memo_arg).release());
    for (Py_ssize_t i = 0; i < std::min<Py_ssize_t>(size, 5); ++i) {
        PyObject* item = (i == 2 && setter != Py_None) ? Py_None : PyTuple_GetItem(rv.get(), i);
        PyTuple_SetItem(args.get(), 2 + i, Ref::borrow(item).release());
    }
    Q_ASSIGN(Ref copy_module, import_module("copy"));
    Q_ASSIGN(Ref reconstruct, get_attr(copy_module.get(), "_reconstruct"));
    Q_ASSIGN(Ref y, checked(PyObject_CallObject(reconstruct.get(), args.get())));
    if (setter != Py_None && state != Py_None) {
        Ref s = Ref::borrow(state);
        if (memo != nullptr) {
            Q_ASSIGN(s, deepcopy_of(state, memo));
        }
        Q_ASSIGN(Ref done, call2(setter, y.get(), s.get()));
    }
    return y;
}

// A shallow copy (memo nullptr: the copy shares the cached objects, with a
// cache state of its own) or a deep one (keys, values and user state copied
// with the one memo, the new instance in it before any of them).
Result<Ref> copy_instance(PyObject* self, PyObject* memo) {
    Q_ASSIGN(bool plain, reduces_as_quendle_base(self));
    if (!plain) {
        return copy_by_reduction(self, memo);
    }
    Q_ASSIGN(NewCall made, new_call(self));
    Q_ASSIGN(Ref user, user_state(self));
    Q_ASSIGN(Ref cache, export_cache_part(self, memo != nullptr ? CacheCopy::Deep : CacheCopy::Shallow));
    Ref args = made.args;
    if (memo != nullptr) {
        Q_ASSIGN(args, deepcopy_of(made.args.get(), memo));
    }
    Q_ASSIGN(Ref y, checked(PyObject_CallObject(made.func.get(), args.get())));
    if (memo != nullptr) {
        Q_TRY(remember(memo, self, y.get()));
        if (user.get() != Py_None) {
            Q_ASSIGN(user, deepcopy_of(user.get(), memo));
        }
        Q_ASSIGN(cache, deepcopy_cache_part(cache.get(), memo));
    }
    Q_TRY(restore_into(y.get(), user.get(), cache.get()));
    return y;
}

PyObject* restore_instance(PyObject* /*module*/, PyObject* args) {
    return entry_object([&]() -> Result<Ref> {
        if (PyTuple_Size(args) != 2) {
            return Error::type_error("_restore_instance() takes exactly 2 arguments (obj, state)");
        }
        PyObject* obj = PyTuple_GetItem(args, 0);
        PyObject* state = PyTuple_GetItem(args, 1);
        Q_TRY(as_quendle_base(obj));
        if (!PyTuple_CheckExact(state) || PyTuple_Size(state) != 2) {
            return Error::type_error("the state of a pickled instance must be a tuple (user state, cache state)");
        }
        Q_TRY(restore_into(obj, PyTuple_GetItem(state, 0), PyTuple_GetItem(state, 1)));
        return none_result();
    });
}

}  // namespace

Result<Ref> deepcopy_of(PyObject* obj, PyObject* memo) {
    Q_ASSIGN(Ref copy_module, import_module("copy"));
    Q_ASSIGN(Ref deepcopy, get_attr(copy_module.get(), "deepcopy"));
    return call2(deepcopy.get(), obj, memo);
}

PyMethodDef restore_instance_def = {"_restore_instance", restore_instance, METH_VARARGS,
                                    "_restore_instance(obj, state, /)\n--\n\n"};

PyObject* qb_reduce_ex(PyObject* self, PyObject* protocol) {
    return entry_object([&] { return reduce_ex(self, protocol); });
}

PyObject* qb_copy(PyObject* self, PyObject* /*unused*/) {
    return entry_object([&] { return copy_instance(self, nullptr); });
}

PyObject* qb_deepcopy(PyObject* self, PyObject* memo) {
    return entry_object([&] { return copy_instance(self, memo); });
}

}  // namespace quendle
