#include "ops/name_hints.h"

#include "base/hints.h"

namespace quendle {

Result<MethodKind> method_kind(PyObject* type, PyObject* name, Ref* func) {
    Q_ASSIGN(Ref held, optional_attr(type, name));
    if (!held) {
        return MethodKind::Missing;
    }
    PyObject* attr = held.get();
    Q_ASSIGN(bool decorated, is_decorator(attr));
    if (!decorated) {
        return MethodKind::Plain;
    }
    const DecoratorFields* f = reinterpret_cast<DecoratorObject*>(attr)->fields;
    if (f == nullptr) {
        return cleared_error("QuendleDecorator");
    }
    if (func != nullptr) {
        *func = f->func;
    }
    return f->use_cache ? MethodKind::Cached : MethodKind::Uncached;
}

namespace {

// The names of the decorated methods of `type` other than `except`, in the
// order of dir().
Result<Ref> decorated_names(PyObject* type, PyObject* except) {
    Q_ASSIGN(Ref all, checked(PyObject_Dir(type)));
    Q_ASSIGN(std::vector<Ref> names, to_object_sequence(all.get()));
    Q_ASSIGN(Ref out, checked(PyList_New(0)));
    for (const Ref& name : names) {
        if (!PyUnicode_Check(name.get())) {
            continue;
        }
        const int same = PyObject_RichCompareBool(name.get(), except, Py_EQ);
        if (same < 0) {
            return Error::fetch();
        }
        if (same == 1) {
            continue;
        }
        Q_ASSIGN(MethodKind kind, method_kind(type, name.get()));
        if (kind == MethodKind::Cached || kind == MethodKind::Uncached) {
            Q_TRY(checked_status(PyList_Append(out.get(), name.get())));
        }
    }
    return out;
}

Result<Ref> not_decorated(Error& error, PyObject* type, PyObject* name, MethodKind kind) {
    Q_ASSIGN(Ref candidates, decorated_names(type, name));
    Q_ASSIGN(Ref close, close_names(name, candidates.get()));
    Q_ASSIGN(Ref class_name, get_attr(type, "__qualname__"));
    error = hint_not_decorated(std::move(error), class_name.get(), name, kind == MethodKind::Plain, close.get());
    return Ref();
}

}  // namespace

Error hint_unknown_entry(Error error, PyObject* type, PyObject* key_tuple) {
    PyObject* name = PyTuple_Check(key_tuple) && PyTuple_Size(key_tuple) == 2 ? PyTuple_GetItem(key_tuple, 0)
                                                                              : nullptr;
    if (name == nullptr || !PyUnicode_Check(name)) {
        return error;
    }
    Result<MethodKind> kind = method_kind(type, name);
    if (!kind.ok()) {
        (void)kind.take_error();  // the hint is left out; the error stays the query's
        return error;
    }
    if (kind.value() == MethodKind::Cached || kind.value() == MethodKind::Uncached) {
        return hint_no_entry(std::move(error), key_tuple);
    }
    Result<Ref> hinted = not_decorated(error, type, name, kind.value());
    if (!hinted.ok()) {
        (void)hinted.take_error();
    }
    return error;
}

}  // namespace quendle
