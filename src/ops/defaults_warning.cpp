// The warning for a dependency without arguments on a method whose calls
// bind defaults, and what it and `explain` find out about such a method.
#include "ops/defaults_warning.h"

#include "base/text.h"
#include "cache/cache_state.h"
#include "keys/introspection.h"

namespace quendle {

namespace {

OnceObject g_warning_type;

constexpr const char* kWarningDoc =
    "Warned when a method is never cached because a dependency names a quendled method without arguments "
    "while every call of that method binds defaults, so the entry the dependency names is never computed.";

// `name=value, ...` of the bound pairs, values by repr().
Result<Ref> pairs_text(PyObject* pairs) {
    Q_ASSIGN(Ref parts, checked(PyList_New(0)));
    for (Py_ssize_t i = 0; i < PyTuple_Size(pairs); ++i) {
        PyObject* pair = PyTuple_GetItem(pairs, i);
        Q_ASSIGN(Ref part, format("%S=%R", PyTuple_GetItem(pair, 0), PyTuple_GetItem(pair, 1)));
        Q_TRY(checked_status(PyList_Append(parts.get(), part.get())));
    }
    Q_ASSIGN(Ref sep, checked(PyUnicode_FromString(", ")));
    return checked(PyUnicode_Join(sep.get(), parts.get()));
}

// The declaration that names the call the method makes: (name, {defaults}).
Result<Ref> declaration(PyObject* name, PyObject* pairs) {
    Q_ASSIGN(Ref kwargs, checked(PyDict_New()));
    for (Py_ssize_t i = 0; i < PyTuple_Size(pairs); ++i) {
        PyObject* pair = PyTuple_GetItem(pairs, i);
        Q_TRY(checked_status(PyDict_SetItem(kwargs.get(), PyTuple_GetItem(pair, 0), PyTuple_GetItem(pair, 1))));
    }
    return checked(PyTuple_Pack(2, name, kwargs.get()));
}

// Whether the class was looked at for this method before; records it if not.
Result<bool> first_look(const DecoratorFields& d, PyObject* cls) {
    if (!d.defaults_checked) {
        Q_ASSIGN(d.defaults_checked, checked(PySet_New(nullptr)));
    }
    Ref checked_set = d.defaults_checked;  // held: a weakref's hash is the class's
    Q_ASSIGN(Ref ref, checked(PyWeakref_NewRef(cls, nullptr)));
    const int seen = PySet_Contains(checked_set.get(), ref.get());
    if (seen < 0) {
        return Error::fetch();
    }
    if (seen == 1) {
        return false;
    }
    Q_TRY(checked_status(PySet_Add(checked_set.get(), ref.get())));
    return true;
}

}  // namespace

Result<PyObject*> dependency_defaults_warning_type() {
    return g_warning_type.get([]() -> Result<Ref> {
        return checked(PyErr_NewExceptionWithDoc("quendle.DependencyDefaultsWarning", kWarningDoc,
                                                 PyExc_UserWarning, nullptr));
    });
}

Result<Ref> defaults_bound_by(PyObject* inst, PyObject* name) {
    if (!PyUnicode_Check(name)) {
        return Ref();
    }
    Q_ASSIGN(Ref held, optional_attr(reinterpret_cast<PyObject*>(Py_TYPE(inst)), name));
    if (!held) {
        return Ref();
    }
    PyObject* attr = held.get();
    Q_ASSIGN(bool decorated, is_decorator(attr));
    if (!decorated) {
        return Ref();
    }
    const DecoratorFields* f = reinterpret_cast<DecoratorObject*>(attr)->fields;
    if (f == nullptr || !f->use_cache) {
        return Ref();
    }
    Ref func = f->func;
    Q_ASSIGN(std::string text, utf8(name));
    Q_ASSIGN(Ref args, checked(PyTuple_Pack(1, inst)));
    Result<CallSignature> sig = inspect_call_signature(text, func.get(), args.get(), nullptr);
    if (!sig.ok()) {
        Error e = sig.take_error();
        if (!e.matches(PyExc_TypeError)) {
            return e;
        }
        return Ref();  // a call without arguments does not bind
    }
    PyObject* pairs = PyTuple_GetItem(sig.value().key.get(), 1);
    if (pairs == nullptr || PyTuple_Size(pairs) == 0) {
        PyErr_Clear();
        return Ref();
    }
    return Ref::borrow(pairs);
}

Result<std::vector<Ref>> unentered_dependencies(const CacheState& state, const DecoratorFields& d, CacheKey key) {
    std::vector<Ref> out;
    if (!d.use_cache || state.tracker().read(key) != ValidationState::PermanentlyInvalid) {
        return out;
    }
    for (const CallSignature& dep : d.dependencies) {
        PyObject* args = PyTuple_GetItem(dep.key.get(), 1);
        if (args == nullptr || PyTuple_Size(args) != 0) {
            PyErr_Clear();
            continue;
        }
        Q_ASSIGN(std::optional<CacheKey> k, state.find_key(dep.hash, dep.key.get()));
        if (!k || !state.tracker().has_state(*k)) {
            out.push_back(Ref::borrow(PyTuple_GetItem(dep.key.get(), 0)));
        }
    }
    return out;
}

Status warn_dependency_defaults(PyObject* inst, const DecoratorFields& d, const std::vector<Ref>& names) {
    if (names.empty()) {
        return {};
    }
    PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(inst));
    Ref own = d.name_obj;
    Q_ASSIGN(bool first, first_look(d, cls));
    if (!first) {
        return {};
    }
    for (const Ref& name : names) {
        Q_ASSIGN(Ref pairs, defaults_bound_by(inst, name.get()));
        if (!pairs) {
            continue;
        }
        Q_ASSIGN(Ref class_name, get_attr(cls, "__qualname__"));
        Q_ASSIGN(Ref bound, pairs_text(pairs.get()));
        Q_ASSIGN(Ref decl, declaration(name.get(), pairs.get()));
        Q_ASSIGN(Ref message,
                 format("%S.%U() depends on %U() with no arguments, but %U takes defaults that every call binds "
                        "(%U), so %U() is never cached; declare dependencies=[%R] or use "
                        "track_runtime_dependencies=True",
                        class_name.get(), own.get(), name.get(), name.get(), bound.get(), own.get(), decl.get()));
        Q_ASSIGN(PyObject * category, dependency_defaults_warning_type());
        Q_ASSIGN(std::string text, utf8(message.get()));
        Q_TRY(checked_status(PyErr_WarnEx(category, text.c_str(), 1)));
        return {};
    }
    return {};
}

}  // namespace quendle
