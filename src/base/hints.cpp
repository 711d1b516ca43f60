#include "base/hints.h"

#include "base/binding.h"
#include "base/key_text.h"
#include "base/runtime.h"

namespace quendle {

namespace {

std::string text_of(PyObject* obj) {
    std::optional<std::string> s = try_str(obj);
    return s ? *s : std::string("<unknown>");
}

}  // namespace

Error hint_factory_not_called(Error error, PyObject* use_cache, const char* factory) {
    if (use_cache == nullptr || PyCallable_Check(use_cache) == 0) {
        return error;
    }
    std::string f(factory);
    return with_note(std::move(error), "hint: " + f + " makes the decorator when called; write @" + f +
                                           "() with parentheses, and options by keyword (@" + f +
                                           "(use_cache=False))");
}

const char* wrapped_descriptor_kind(PyObject* func) {
    // The exact types: a subclass may well define its own calling rules.
    const char* type_name = nullptr;
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(func)), "__name__"));
    Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(func)), "__module__"));
    if (!name || !module) {
        PyErr_Clear();
        return nullptr;
    }
    std::optional<std::string> n = try_str(name.get()), m = try_str(module.get());
    if (n && m && *m == "builtins") {
        if (*n == "classmethod") {
            type_name = "classmethod";
        } else if (*n == "staticmethod") {
            type_name = "staticmethod";
        }
    }
    return type_name;
}

Error hint_wrapped_descriptor(Error error, const char* kind) {
    if (kind == nullptr) {
        return error;
    }
    return with_note(std::move(error), std::string("hint: the decorated object is a ") + kind +
                                           ", but cached methods are instance methods (each instance "
                                           "has its own cache); decorate a plain function");
}

Error hint_unhashable(Error error, PyObject* method, PyObject* parameter) {
    if (!error.matches(PyExc_TypeError)) {
        return error;
    }
    return with_note(std::move(error), "hint: argument '" + text_of(parameter) + "' of " + text_of(method) +
                                           " is not hashable, but every argument is part of the cache "
                                           "key; pass a hashable value (a tuple for a list, a frozenset "
                                           "for a set)");
}

Error hint_no_entry(Error error, PyObject* key_tuple) {
    std::optional<std::string> key = exact_key_text(key_tuple);
    if (!key) {
        return error;  // a value that cannot be shown: no hint rather than a garbled one
    }
    return with_note(std::move(error), "hint: this instance has no entry for " + *key +
                                           ": it was never computed with exactly these arguments (a "
                                           "query does not fill in defaults: name every argument, "
                                           "defaults included)");
}

namespace {

// "'a'", "'a' or 'b'", "'a', 'b' or 'c'": the names of a list, by repr().
std::optional<std::string> alternatives(PyObject* names) {
    const Py_ssize_t n = PyList_Size(names);
    std::string out;
    for (Py_ssize_t i = 0; i < n; ++i) {
        std::optional<std::string> name = try_repr(PyList_GetItem(names, i));
        if (!name) {
            return std::nullopt;
        }
        out += (i == 0 ? "" : i + 1 == n ? " or "
                                         : ", ") +
               *name;
    }
    return out;
}

}  // namespace

Result<Ref> close_names(PyObject* name, PyObject* candidates) {
    Ref difflib = Ref::steal(PyImport_ImportModule("difflib"));
    if (!difflib) {
        return Error::fetch();
    }
    Q_ASSIGN(Ref matches, checked(PyObject_CallMethod(difflib.get(), "get_close_matches", "OO", name, candidates)));
    if (!PyList_Check(matches.get())) {
        return cast_error(matches.get(), reinterpret_cast<PyObject*>(&PyList_Type));
    }
    return matches;
}

Error hint_not_decorated(Error error, PyObject* class_name, PyObject* name, bool plain, PyObject* close) {
    std::optional<std::string> quoted = try_repr(name);
    std::optional<std::string> suggested = close != nullptr && PyList_Check(close) && PyList_Size(close) > 0
                                               ? alternatives(close)
                                               : std::optional<std::string>(std::string());
    if (!quoted || !suggested) {
        return error;
    }
    std::string note = plain ? "hint: " + text_of(class_name) + "." + text_of(name) +
                                   " is not a quendled method (it is not decorated), so it has no cache entries"
                             : "hint: " + text_of(class_name) + " has no quendled method " + *quoted;
    if (!suggested->empty()) {
        note += "; did you mean " + *suggested + "?";
    }
    return with_note(std::move(error), note);
}

Error hint_arity(Error error, std::string_view method, PyObject* signature) {
    if (!error.matches(PyExc_TypeError)) {
        return error;
    }
    std::optional<std::string> parameters = try_str(signature);
    if (!parameters) {
        return error;
    }
    return with_note(std::move(error), "hint: the arguments do not match " + std::string(method) + *parameters);
}

Error hint_no_source(Error error) {
    if (!error.matches(PyExc_OSError) && !error.matches(PyExc_TypeError)) {
        return error;
    }
    return with_note(std::move(error),
                     "hint: automagically_quendled finds dependencies in the method's "
                     "source, which is not available here; declare them instead with "
                     "dependencies=[...]");
}

Error hint_missing_method(Error error, PyObject* type, PyObject* name) {
    if (!error.matches(PyExc_AttributeError)) {
        return error;
    }
    Ref qualname = Ref::steal(PyObject_GetAttrString(type, "__qualname__"));
    if (!qualname) {
        PyErr_Clear();
    }
    return with_note(std::move(error), "hint: load_cache found '" + text_of(name) + "' in the data, but class " +
                                           (qualname ? text_of(qualname.get()) : std::string("<unknown>")) +
                                           " has no such method; the data must come from dump_cache of the "
                                           "same class");
}

}  // namespace quendle
