// The parameter layout of a code object as the native binder reads it:
// counts and flags, the parameter names (ordinary, distinct identifiers
// only), and the hash check the binder relies on.
#include "base/hints.h"
#include "base/runtime.h"
#include "keys/native_binder_parts.h"

#include <atomic>

namespace quendle {

namespace {

Result<long> int_attr(PyObject* obj, const char* name) {
    Q_ASSIGN(Ref v, get_attr(obj, name));
    long x = PyLong_AsLong(v.get());
    if (x == -1 && PyErr_Occurred()) {
        return Error::fetch();
    }
    return x;
}

Result<std::uint64_t> hash_of(PyObject* obj) {
    Py_hash_t h = PyObject_Hash(obj);
    if (h == -1 && PyErr_Occurred()) {
        return Error::fetch();
    }
    return static_cast<std::uint64_t>(h);
}

// Only ordinary, distinct identifiers bind natively: inspect rejects or
// renames the others.
Result<bool> plain_distinct_identifiers(const BinderLayout& c) {
    OnceObject& iskeyword_cell = process().keyword_iskeyword;
    Q_ASSIGN(PyObject * iskeyword, iskeyword_cell.get([]() -> Result<Ref> {
        Q_ASSIGN(Ref keyword, import_module("keyword"));
        return get_attr(keyword.get(), "iskeyword");
    }));
    for (size_t i = 0; i < c.names.size(); ++i) {
        PyObject* name = c.names[i].get();
        if (PyUnicode_IsIdentifier(name) != 1) {
            PyErr_Clear();
            return false;
        }
        Q_ASSIGN(Ref is_kw, call1(iskeyword, name));
        if (is_kw.get() != Py_False) {
            return false;
        }
        for (size_t j = 0; j < i; ++j) {
            if (c.texts[j] == c.texts[i]) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace

Status load_layout(PyObject* code, BinderLayout& c) {
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
    if (PyTuple_Size(varnames.get()) < needed || static_cast<size_t>(needed) > kMaxNativeParams) {
        return {};
    }
    auto add = [&](Py_ssize_t idx) -> Result<bool> {
        PyObject* name = PyTuple_GetItem(varnames.get(), idx);
        if (name == nullptr || !PyUnicode_CheckExact(name)) {
            PyErr_Clear();
            return false;
        }
        Q_ASSIGN(std::string text, utf8(name));
        Q_ASSIGN(std::uint64_t h, hash_of(name));
        c.hashes.push_back(h);
        c.names.push_back(Ref::borrow(name));
        c.texts.push_back(std::move(text));
        return true;
    };
    std::vector<Py_ssize_t> indices;
    for (Py_ssize_t i = 0; i < argc; ++i) {
        indices.push_back(i);
    }
    if (varargs) {
        indices.push_back(argc + kwc);
    }
    for (Py_ssize_t i = 0; i < kwc; ++i) {
        indices.push_back(argc + i);
    }
    for (Py_ssize_t idx : indices) {
        Q_ASSIGN(bool ok, add(idx));
        if (!ok) {
            c.names.clear();
            return {};
        }
    }
    Q_ASSIGN(bool plain, plain_distinct_identifiers(c));
    if (!plain) {
        c.names.clear();
        return {};
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

Result<bool> hash_agrees() {
    std::atomic<Tri>& agrees = process().hash_agrees;
    if (const Tri known = agrees.load(); known != Tri::Undecided) {
        return known == Tri::Yes;
    }
    if (sizeof(Py_hash_t) != 8) {
        agrees.store(Tri::No);
        return false;
    }
    Q_ASSIGN(Ref probe, checked(Py_BuildValue("(s((si)(s())))", "m", "a", 1, "b")));
    Q_ASSIGN(std::uint64_t expected, hash_of(probe.get()));
    Q_ASSIGN(std::uint64_t name_hash, hash_of(PyTuple_GetItem(probe.get(), 0)));
    PyObject* args = PyTuple_GetItem(probe.get(), 1);
    TupleHasher outer_args;
    for (Py_ssize_t i = 0; i < PyTuple_Size(args); ++i) {
        PyObject* pair = PyTuple_GetItem(args, i);
        TupleHasher ph;
        for (Py_ssize_t j = 0; j < 2; ++j) {
            PyObject* item = PyTuple_GetItem(pair, j);
            if (PyTuple_Check(item)) {
                ph.add(static_cast<std::uint64_t>(TupleHasher{}.finish()));
            } else {
                Q_ASSIGN(std::uint64_t h, hash_of(item));
                ph.add(h);
            }
        }
        outer_args.add(static_cast<std::uint64_t>(ph.finish()));
    }
    TupleHasher key;
    key.add(name_hash);
    key.add(static_cast<std::uint64_t>(outer_args.finish()));
    const bool same = static_cast<std::uint64_t>(key.finish()) == expected;
    agrees.store(same ? Tri::Yes : Tri::No);
    return same;
}

}  // namespace quendle
