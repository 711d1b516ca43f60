#include "py_introspection_utils.h"

#include "hints.h"

#include "binding.h"
#include "runtime.h"

#include <algorithm>

namespace quendle {

Result<std::vector<DependencyDecl>> parse_dependencies(PyObject* obj) {
    if (!PyList_Check(obj)) {
        return cast_error(obj, reinterpret_cast<PyObject*>(&PyList_Type));
    }
    std::vector<DependencyDecl> out;
    const Py_ssize_t initial = PyList_Size(obj);
    for (Py_ssize_t i = 0; i < initial && i < PyList_Size(obj); ++i) {
        Ref item = Ref::borrow(PyList_GetItem(obj, i));
        if (PyTuple_Check(item.get()) && PyTuple_Size(item.get()) == 2) {
            PyObject* name = PyTuple_GetItem(item.get(), 0);
            PyObject* kwargs = PyTuple_GetItem(item.get(), 1);
            Q_ASSIGN(std::string text, to_text(name));
            Q_ASSIGN(Ref dict, to_dict(kwargs));
            out.push_back(DependencyDecl{std::move(text), std::move(dict)});
        } else if (PyUnicode_Check(item.get())) {
            Q_ASSIGN(std::string text, utf8(item.get()));
            Q_ASSIGN(Ref dict, checked(PyDict_New()));
            out.push_back(DependencyDecl{std::move(text), std::move(dict)});
        } else {
            return Error::value_error("Dependency must be a tuple (str, dict) or a str");
        }
    }
    return out;
}

namespace {

struct Pair {
    std::string name;
    Ref name_obj;
    Ref value;
};

}  // namespace

Result<CallSignature> signature_from_mapping(std::string_view method_name, PyObject* mapping) {
    if (!PyDict_Check(mapping)) {
        return cast_error(mapping, reinterpret_cast<PyObject*>(&PyDict_Type));
    }
    std::vector<Pair> pairs;
    pairs.reserve(static_cast<size_t>(PyDict_Size(mapping)));
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(mapping, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            return cast_error(key, reinterpret_cast<PyObject*>(&PyUnicode_Type));
        }
        Ref k = Ref::borrow(key), v = Ref::borrow(value);
        Q_ASSIGN(std::string name, utf8(key));
        if (name == "self") {
            continue;
        }
        if (!PyUnicode_CheckExact(key)) {
            Q_ASSIGN(k, new_str(name));
        }
        pairs.push_back(Pair{std::move(name), std::move(k), std::move(v)});
    }
    if (pairs.size() > 1) {
        std::sort(pairs.begin(), pairs.end(), [](const Pair& a, const Pair& b) { return a.name < b.name; });
    }
    Q_ASSIGN(Ref args, checked(PyTuple_New(static_cast<Py_ssize_t>(pairs.size()))));
    for (size_t i = 0; i < pairs.size(); ++i) {
        Q_ASSIGN(Ref pair, checked(PyTuple_Pack(2, pairs[i].name_obj.get(), pairs[i].value.get())));
        PyTuple_SetItem(args.get(), static_cast<Py_ssize_t>(i), pair.release());
    }
    Q_ASSIGN(Ref name, new_str(method_name));
    Q_ASSIGN(Ref key_tuple, checked(PyTuple_Pack(2, name.get(), args.get())));
    Py_hash_t h = PyObject_Hash(key_tuple.get());
    if (h == -1 && PyErr_Occurred()) {
        Error error = Error::fetch();
        for (const Pair& p : pairs) {
            if (PyObject_Hash(p.value.get()) == -1) {
                PyErr_Clear();
                return hint_unhashable(std::move(error), name.get(), p.name_obj.get());
            }
        }
        return error;
    }
    return CallSignature{static_cast<std::int64_t>(h), std::move(key_tuple)};
}

namespace {

// inspect.signature(func).bind(*args, **kwargs) with defaults applied.
Result<Ref> bind_with_inspect(PyObject* func, PyObject* args, PyObject* kwargs) {
    Q_ASSIGN(const Names* n, names());
    Q_ASSIGN(PyObject * inspect, imported_module(process().inspect, "inspect"));
    Q_ASSIGN(Ref signature_fn, get_attr(inspect, n->signature));
    Q_ASSIGN(Ref sig, call1(signature_fn.get(), func));
    Q_ASSIGN(Ref bind, get_attr(sig.get(), n->bind));
    Ref empty;
    if (args == nullptr) {
        Q_ASSIGN(empty, checked(PyTuple_New(0)));
        args = empty.get();
    }
    Q_ASSIGN(Ref bound, checked(PyObject_Call(bind.get(), args, kwargs)));
    Q_ASSIGN(Ref applied, call_method0(bound.get(), n->apply_defaults));
    return get_attr(bound.get(), n->arguments);
}

}  // namespace

Result<CallSignature> query_signature(std::string_view method_name, PyObject* kwargs) {
    if (kwargs == nullptr) {
        Q_ASSIGN(Ref empty, checked(PyDict_New()));
        return signature_from_mapping(method_name, empty.get());
    }
    return signature_from_mapping(method_name, kwargs);
}

Result<CallSignature> inspect_call_signature(std::string_view method_name, PyObject* func, PyObject* args,
                                             PyObject* kwargs) {
    Q_ASSIGN(Ref mapping, bind_with_inspect(func, args, kwargs));
    return signature_from_mapping(method_name, mapping.get());
}

Status check_serialisable_signature(PyObject* func) {
    Q_ASSIGN(const Names* n, names());
    Q_ASSIGN(PyObject * inspect, imported_module(process().inspect, "inspect"));
    Q_ASSIGN(PyObject * builtins, imported_module(process().builtins, "builtins"));
    Q_ASSIGN(Ref signature_fn, get_attr(inspect, n->signature));
    Q_ASSIGN(Ref sig, call1(signature_fn.get(), func));
    Q_ASSIGN(Ref params, get_attr(sig.get(), n->parameters));
    Q_ASSIGN(Ref list_type, get_attr(builtins, "list"));
    Q_ASSIGN(Ref list, call1(list_type.get(), params.get()));
    Q_ASSIGN(std::vector<std::string> param_names, to_text_sequence(list.get()));
    if (param_names.size() == 1 && param_names[0] == "self") {
        return {};
    }
    std::string msg = "Serialisable method must have exactly one parameter named 'self', got: [";
    for (size_t i = 0; i < param_names.size(); ++i) {
        if (i > 0) {
            msg += ", ";
        }
        msg += '"';
        for (char c : param_names[i]) {
            if (c == '"' || c == '\\') {
                msg += '\\';
            }
            msg += c;
        }
        msg += '"';
    }
    msg += "]";
    return Error::value_error(std::move(msg));
}

}  // namespace quendle
