#include "keys/introspection.h"

#include "base/hints.h"

#include "base/binding.h"
#include "base/runtime.h"

#include <algorithm>
#include <optional>
#include <utility>

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

// inspect.signature(func).bind(*args, **kwargs) with defaults applied; a
// failure to bind of a plain function names the method and its signature.
Result<Ref> bind_with_inspect(std::string_view method_name, PyObject* func, PyObject* args, PyObject* kwargs) {
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
    Ref bound = Ref::steal(PyObject_Call(bind.get(), args, kwargs));
    if (!bound) {
        // A classmethod or staticmethod has its own hint at the call path.
        Error error = Error::fetch();
        return wrapped_descriptor_kind(func) != nullptr ? std::move(error)
                                                        : hint_arity(std::move(error), method_name, sig.get());
    }
    Q_ASSIGN(Ref applied, call_method0(bound.get(), n->apply_defaults));
    return get_attr(bound.get(), n->arguments);
}

}  // namespace

Result<CallSignature> query_signature(std::string_view method_name, PyObject* kwargs) {
    if (kwargs == nullptr) {
        Q_ASSIGN(Ref name, new_str(method_name));
        return no_argument_signature(name.get());
    }
    return signature_from_mapping(method_name, kwargs);
}

Result<CallSignature> no_argument_signature(PyObject* method_name) {
    if (!PyUnicode_CheckExact(method_name)) {
        return cast_error(method_name, reinterpret_cast<PyObject*>(&PyUnicode_Type));
    }
    Q_ASSIGN(Ref args, checked(PyTuple_New(0)));
    Q_ASSIGN(Ref key_tuple, checked(PyTuple_Pack(2, method_name, args.get())));
    Py_hash_t h = PyObject_Hash(key_tuple.get());
    if (h == -1 && PyErr_Occurred()) {
        return Error::fetch();
    }
    return CallSignature{static_cast<std::int64_t>(h), std::move(key_tuple)};
}

Result<CallSignature> inspect_call_signature(std::string_view method_name, PyObject* func, PyObject* args,
                                             PyObject* kwargs) {
    Q_ASSIGN(Ref mapping, bind_with_inspect(method_name, func, args, kwargs));
    return signature_from_mapping(method_name, mapping.get());
}

Result<PyObject*> plain_function_type() {
    OnceObject& cell = process().function_type;
    if (PyObject* t = cell.peek()) {
        return t;
    }
    return cell.get([]() -> Result<Ref> {
        Q_ASSIGN(Ref types, import_module("types"));
        return get_attr(types.get(), "FunctionType");
    });
}

namespace {

// Interned names of the code attributes the serialisable check reads.
struct CodeNames {
    PyObject* argcount;         // "co_argcount"
    PyObject* posonlyargcount;  // "co_posonlyargcount"
    PyObject* kwonlyargcount;   // "co_kwonlyargcount"
    PyObject* flags;            // "co_flags"
    PyObject* varnames;         // "co_varnames"
};

// Filled once, before its cell holds a marker; deliberately immortal.
CodeNames g_code_names{};
OnceObject g_code_names_cell;

Result<const CodeNames*> code_names() {
    if (g_code_names_cell.peek() == nullptr) {
        Q_TRY(g_code_names_cell.get([]() -> Result<Ref> {
            const std::pair<PyObject**, const char*> entries[] = {
                {&g_code_names.argcount, "co_argcount"},
                {&g_code_names.posonlyargcount, "co_posonlyargcount"},
                {&g_code_names.kwonlyargcount, "co_kwonlyargcount"},
                {&g_code_names.flags, "co_flags"},
                {&g_code_names.varnames, "co_varnames"},
            };
            for (const auto& [slot, text] : entries) {
                if (*slot == nullptr) {
                    Q_ASSIGN(Ref interned, checked(PyUnicode_InternFromString(text)));
                    *slot = interned.release();
                }
            }
            return Ref::borrow(Py_None);
        }));
    }
    return static_cast<const CodeNames*>(&g_code_names);
}

// The integer attribute of a code object; nothing when it is not an int
// that fits.
Result<std::optional<long>> code_int(PyObject* code, PyObject* name) {
    Q_ASSIGN(Ref v, get_attr(code, name));
    if (!PyLong_CheckExact(v.get())) {
        return std::optional<long>{};
    }
    const long x = PyLong_AsLong(v.get());
    if (x == -1 && PyErr_Occurred()) {
        return Error::fetch();
    }
    return std::optional<long>{x};
}

// Whether a code object takes one positional (or positional-only)
// parameter named "self" and nothing else.
Result<bool> code_takes_only_self(PyObject* code) {
    Q_ASSIGN(const Names* n, names());
    Q_ASSIGN(const CodeNames* c, code_names());
    Q_ASSIGN(std::optional<long> flags, code_int(code, c->flags));
    Q_ASSIGN(std::optional<long> argc, code_int(code, c->argcount));
    Q_ASSIGN(std::optional<long> posonly, code_int(code, c->posonlyargcount));
    Q_ASSIGN(std::optional<long> kwonly, code_int(code, c->kwonlyargcount));
    if (!flags || !argc || !posonly || !kwonly || (*flags & (kCoVarargs | kCoVarkeywords)) != 0 || *argc != 1 ||
        *kwonly != 0 || *posonly < 0 || *posonly > 1) {
        return false;
    }
    Q_ASSIGN(Ref varnames, get_attr(code, c->varnames));
    if (!PyTuple_Check(varnames.get()) || PyTuple_Size(varnames.get()) < 1) {
        return false;
    }
    PyObject* first = PyTuple_GetItem(varnames.get(), 0);
    if (first == nullptr || !PyUnicode_CheckExact(first)) {
        PyErr_Clear();
        return false;
    }
    if (first == n->self) {
        return true;
    }
    const int rc = PyUnicode_Compare(first, n->self);
    if (rc == -1 && PyErr_Occurred()) {
        return Error::fetch();
    }
    return rc == 0;
}

// Whether inspect would certainly report exactly one parameter, named
// `self`, for `func`, told from its code alone: true only for a plain
// function (exactly types.FunctionType) whose `__dict__` holds nothing
// inspect consults before the code (`__signature__`, `__wrapped__`,
// `__text_signature__`, `_partialmethod`, `__partialmethod__`), whose code
// takes one positional (or positional-only) parameter named "self" and
// nothing else. False when anything differs or anything fails: inspect then
// decides, and its verdict and message are the ones reported.
// A code object in `*passed_code` was accepted before and is accepted again
// without reading it.
Result<bool> only_self_from_code(PyObject* func, Ref* passed_code) {
    Q_ASSIGN(PyObject * ftype, plain_function_type());
    if (reinterpret_cast<PyObject*>(Py_TYPE(func)) != ftype) {
        return false;
    }
    Q_ASSIGN(const Names* n, names());
    Q_ASSIGN(Ref dict, checked(PyObject_GenericGetDict(func, nullptr)));
    if (!PyDict_Check(dict.get())) {
        return false;
    }
    if (PyDict_Size(dict.get()) != 0) {
        for (PyObject* key : {n->signature_attr, n->wrapped, n->text_signature, n->partialmethod_private,
                              n->partialmethod}) {
            const int rc = PyDict_Contains(dict.get(), key);
            if (rc != 0) {
                return rc < 0 ? Result<bool>(Error::fetch()) : Result<bool>(false);
            }
        }
    }
    // Through the function type's own descriptor once the binder has it
    // (a data descriptor: what the generic lookup would find first).
    const ProcessValues& pv = process();
    Ref code;
    if (pv.function_type_ready.load(std::memory_order_acquire) == ftype && pv.code_attr.get != nullptr) {
        Q_ASSIGN(code, checked(pv.code_attr.get(pv.code_attr.descr, func, ftype)));
    } else {
        Q_ASSIGN(code, get_attr(func, n->code));
    }
    if (passed_code != nullptr && passed_code->get() == code.get()) {
        return true;
    }
    Q_ASSIGN(bool only_self, code_takes_only_self(code.get()));
    if (only_self && passed_code != nullptr) {
        *passed_code = std::move(code);
    }
    return only_self;
}

}  // namespace

Status check_serialisable_signature(PyObject* func, Ref* passed_code) {
    Result<bool> plain = only_self_from_code(func, passed_code);
    if (plain.ok() && plain.value()) {
        return {};
    }
    if (!plain.ok()) {
        // An internal failure is reported; anything else the code check met
        // is left to inspect, which reports its own failure if it has one.
        Error error = plain.take_error();
        if (error.kind() == Error::Kind::Panic) {
            return error;
        }
    }
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
