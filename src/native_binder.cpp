#include "native_binder.h"

#include "runtime.h"

#include <algorithm>

namespace quendle {

namespace {

constexpr long kCoVarargs = 0x04;
constexpr long kCoVarkeywords = 0x08;

OnceObject g_function_type;

Result<PyObject*> function_type() {
    return g_function_type.get([]() -> Result<Ref> {
        Q_ASSIGN(Ref types, import_module("types"));
        return get_attr(types.get(), "FunctionType");
    });
}

Result<long> int_attr(PyObject* obj, const char* name) {
    Q_ASSIGN(Ref v, get_attr(obj, name));
    long x = PyLong_AsLong(v.get());
    if (x == -1 && PyErr_Occurred()) {
        return Error::fetch();
    }
    return x;
}

Status load_layout(PyObject* code, BinderCache& c) {
    c = BinderCache{};
    c.code = Ref::borrow(code);
    Q_ASSIGN(long flags, int_attr(code, "co_flags"));
    Q_ASSIGN(long argc, int_attr(code, "co_argcount"));
    Q_ASSIGN(long posonly, int_attr(code, "co_posonlyargcount"));
    Q_ASSIGN(long kwc, int_attr(code, "co_kwonlyargcount"));
    Q_ASSIGN(Ref varnames, get_attr(code, "co_varnames"));
    if ((flags & kCoVarkeywords) != 0 || !PyTuple_Check(varnames.get()) || argc < 0 || kwc < 0 ||
        posonly < 0 || posonly > argc) {
        return {};  // left to inspect
    }
    const bool varargs = (flags & kCoVarargs) != 0;
    const Py_ssize_t needed = argc + kwc + (varargs ? 1 : 0);
    if (PyTuple_Size(varnames.get()) < needed) {
        return {};
    }
    auto add = [&](Py_ssize_t idx) -> Status {
        PyObject* name = PyTuple_GetItem(varnames.get(), idx);
        if (name == nullptr || !PyUnicode_CheckExact(name)) {
            PyErr_Clear();
            return Error::type_error("");  // marker: unsupported layout
        }
        Q_ASSIGN(std::string text, utf8(name));
        c.names.push_back(Ref::borrow(name));
        c.texts.push_back(std::move(text));
        return {};
    };
    for (Py_ssize_t i = 0; i < argc; ++i) {
        if (!add(i).ok()) {
            return {};
        }
    }
    if (varargs && !add(argc + kwc).ok()) {
        return {};
    }
    for (Py_ssize_t i = 0; i < kwc; ++i) {
        if (!add(argc + i).ok()) {
            return {};
        }
    }
    c.posonly = static_cast<size_t>(posonly);
    c.positional = static_cast<size_t>(argc);
    c.kwonly = static_cast<size_t>(kwc);
    c.varargs = varargs;
    for (size_t i = 0; i < c.names.size(); ++i) {
        if (c.texts[i] != "self") {
            c.order.push_back(i);
        }
    }
    std::sort(c.order.begin(), c.order.end(), [&](size_t a, size_t b) { return c.texts[a] < c.texts[b]; });
    c.usable = true;
    return {};
}

// True when the function's own attributes could change what inspect reports.
Result<bool> has_signature_overrides(PyObject* func) {
    Q_ASSIGN(const Names* n, names());
    Q_ASSIGN(Ref dict, get_attr(func, n->dict));
    if (!PyDict_Check(dict.get())) {
        return true;
    }
    if (PyDict_Size(dict.get()) == 0) {
        return false;
    }
    for (const char* key : {"__signature__", "__wrapped__", "_partialmethod", "__partialmethod__"}) {
        PyObject* v = PyDict_GetItemString(dict.get(), key);
        if (v != nullptr) {
            return true;
        }
    }
    return false;
}

bool same_name(PyObject* a, PyObject* b) {
    if (a == b) {
        return true;
    }
    int rc = PyUnicode_Compare(a, b);
    if (rc == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return rc == 0;
}

}  // namespace

Result<std::optional<CallSignature>> native_signature(std::string_view method_name, PyObject* func,
                                                      PyObject* args, PyObject* kwargs,
                                                      BinderCache* cache) {
    using Out = std::optional<CallSignature>;
    Q_ASSIGN(PyObject * ftype, function_type());
    if (reinterpret_cast<PyObject*>(Py_TYPE(func)) != ftype || args == nullptr || !PyTuple_Check(args)) {
        return Out{};
    }
    Q_ASSIGN(bool overridden, has_signature_overrides(func));
    if (overridden) {
        return Out{};
    }
    Q_ASSIGN(const Names* n, names());
    Q_ASSIGN(Ref code, get_attr(func, n->code));
    BinderCache local;
    BinderCache& c = cache != nullptr ? *cache : local;
    if (c.code.get() != code.get()) {
        Q_TRY(load_layout(code.get(), c));
    }
    if (!c.usable) {
        return Out{};
    }
    const size_t nargs = static_cast<size_t>(PyTuple_Size(args));
    const size_t P = c.positional;
    if (nargs > P && !c.varargs) {
        return Out{};
    }
    const size_t kw_begin = P + (c.varargs ? 1 : 0);
    std::vector<PyObject*> vals(c.names.size(), nullptr);  // borrowed
    for (size_t i = 0; i < nargs && i < P; ++i) {
        vals[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
    }
    Ref star;
    if (c.varargs) {
        Q_ASSIGN(star, checked(PyTuple_GetSlice(args, static_cast<Py_ssize_t>(std::min(nargs, P)),
                                                static_cast<Py_ssize_t>(nargs))));
        vals[P] = star.get();
    }
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) {
                return Out{};
            }
            size_t found = vals.size();
            for (size_t j = 0; j < c.names.size(); ++j) {
                if (j == P && c.varargs) {
                    continue;
                }
                if (same_name(c.names[j].get(), key)) {
                    found = j;
                    break;
                }
            }
            if (found == vals.size() || found < c.posonly || vals[found] != nullptr) {
                return Out{};
            }
            vals[found] = value;
        }
    }
    Ref defaults, kwdefaults;
    for (size_t i = 0; i < P; ++i) {
        if (vals[i] != nullptr) {
            continue;
        }
        if (!defaults) {
            Q_ASSIGN(defaults, get_attr(func, n->defaults));
        }
        if (!PyTuple_Check(defaults.get())) {
            return Out{};  // None: a required argument is missing
        }
        const size_t d = static_cast<size_t>(PyTuple_Size(defaults.get()));
        if (d > P || i < P - d) {
            return Out{};
        }
        vals[i] = PyTuple_GetItem(defaults.get(), static_cast<Py_ssize_t>(i - (P - d)));
    }
    for (size_t i = kw_begin; i < vals.size(); ++i) {
        if (vals[i] != nullptr) {
            continue;
        }
        if (!kwdefaults) {
            Q_ASSIGN(kwdefaults, get_attr(func, n->kwdefaults));
        }
        if (!PyDict_Check(kwdefaults.get())) {
            return Out{};
        }
        PyObject* v = PyDict_GetItemWithError(kwdefaults.get(), c.names[i].get());
        if (v == nullptr) {
            if (PyErr_Occurred()) {
                return Error::fetch();
            }
            return Out{};
        }
        vals[i] = v;
    }
    Q_ASSIGN(Ref pairs, checked(PyTuple_New(static_cast<Py_ssize_t>(c.order.size()))));
    for (size_t i = 0; i < c.order.size(); ++i) {
        size_t j = c.order[i];
        Q_ASSIGN(Ref pair, checked(PyTuple_Pack(2, c.names[j].get(), vals[j])));
        PyTuple_SetItem(pairs.get(), static_cast<Py_ssize_t>(i), pair.release());
    }
    Q_ASSIGN(Ref name, new_str(method_name));
    Q_ASSIGN(Ref key, checked(PyTuple_Pack(2, name.get(), pairs.get())));
    Py_hash_t h = PyObject_Hash(key.get());
    if (h == -1 && PyErr_Occurred()) {
        return Error::fetch();
    }
    return Out{CallSignature{static_cast<std::int64_t>(h), std::move(key)}};
}

}  // namespace quendle
