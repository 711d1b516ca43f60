#include "base/binding.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <string_view>

namespace quendle {

namespace {

std::string full_name(const ArgSpec& spec) {
    std::string s;
    if (spec.cls_name != nullptr) {
        s += spec.cls_name;
        s += '.';
    }
    s += spec.func_name;
    s += "()";
    return s;
}

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
std::string name_list(const std::vector<const char*>& names) {
    std::string s;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) {
                s += " and ";
            } else {
                s += (i + 1 == names.size()) ? ", and " : ", ";
            }
        }
        s += '\'';
        s += names[i];
        s += '\'';
    }
    return s;
}

// The qualified name of a class, for messages.
std::optional<std::string> qualname_of(PyObject* type) {
    PyObject* q = PyObject_GetAttrString(type, "__qualname__");
    if (q == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    Ref owned = Ref::steal(q);
    if (!PyUnicode_Check(q)) {
        return std::nullopt;
    }
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(q, &n);
    if (p == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string(p, static_cast<size_t>(n));
}

std::string classinfo_text(PyObject* classinfo) {
    if (classinfo == reinterpret_cast<PyObject*>(Py_TYPE(Py_None))) {
        return "None";
    }
    if (PyTuple_Check(classinfo)) {
        std::string s;
        Py_ssize_t n = PyTuple_Size(classinfo);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i > 0) {
                s += " | ";
            }
            s += classinfo_text(PyTuple_GetItem(classinfo, i));
        }
        return s;
    }
    if (PyType_Check(classinfo)) {
        if (std::optional<std::string> q = qualname_of(classinfo)) {
            return *q;
        }
    }
    std::optional<std::string> s = try_str(classinfo);
    return s ? *s : std::string("<unknown>");
}

}  // namespace

Result<BoundArgs> bind_arguments(const ArgSpec& spec, PyObject* args, PyObject* kwargs) {
    BoundArgs bound;
    const size_t p = spec.positional_count;
    const size_t n = args != nullptr ? static_cast<size_t>(PyTuple_Size(args)) : 0;
    for (size_t i = 0; i < n && i < p; ++i) {
        bound.slots[i] = Ref::borrow(PyTuple_GetItem(args, static_cast<Py_ssize_t>(i)));
    }
    if (n > p) {
        std::string msg = full_name(spec);
        if (spec.required_count == p) {
            msg += " takes " + std::to_string(p);
        } else {
            msg += " takes from " + std::to_string(spec.required_count) + " to " + std::to_string(p);
        }
        msg += " positional arguments but " + std::to_string(n) + (n == 1 ? " was" : " were") + " given";
        return Error::type_error(std::move(msg));
    }
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            Ref k = Ref::borrow(key), v = Ref::borrow(value);
            size_t slot = p;
            if (PyUnicode_Check(key)) {
                Py_ssize_t len = 0;
                const char* text = PyUnicode_AsUTF8AndSize(key, &len);
                if (text == nullptr) {
                    PyErr_Clear();
                } else {
                    std::string_view kv(text, static_cast<size_t>(len));
                    for (size_t i = 0; i < p; ++i) {
                        if (kv == spec.positional_names[i]) {
                            slot = i;
                            break;
                        }
                    }
                }
            }
            if (slot < p) {
                if (bound.slots[slot]) {
                    return Error::type_error(full_name(spec) + " got multiple values for argument '" +
                                             spec.positional_names[slot] + "'");
                }
                bound.slots[slot] = std::move(v);
            } else if (spec.varkwargs) {
                if (!bound.surplus) {
                    Q_ASSIGN(bound.surplus, checked(PyDict_New()));
                }
                Q_TRY(checked_status(PyDict_SetItem(bound.surplus.get(), k.get(), v.get())));
            } else {
                std::optional<std::string> ks = try_str(k.get());
                return Error::type_error(full_name(spec) + " got an unexpected keyword argument '" +
                                         (ks ? *ks : std::string("<unknown>")) + "'");
            }
        }
    }
    if (n < spec.required_count) {
        std::vector<const char*> missing;
        for (size_t i = 0; i < spec.required_count; ++i) {
            if (!bound.slots[i]) {
                missing.push_back(spec.positional_names[i]);
            }
        }
        if (!missing.empty()) {
            return Error::type_error(full_name(spec) + " missing " + std::to_string(missing.size()) +
                                     " required positional " +
                                     (missing.size() == 1 ? "argument" : "arguments") + ": " +
                                     name_list(missing));
        }
    }
    return bound;
}

Error cast_error(PyObject* from, PyObject* classinfo) {
    std::string msg;
    if (from == Py_None) {
        msg = "'None' is not an instance of '";
    } else {
        std::optional<std::string> q = qualname_of(reinterpret_cast<PyObject*>(Py_TYPE(from)));
        msg = "'";
        msg += q ? *q : std::string("<failed to extract type name>");
        msg += "' object is not an instance of '";
    }
    msg += classinfo_text(classinfo);
    msg += "'";
    return Error::type_error(std::move(msg));
}

Result<std::string> to_text(PyObject* obj) {
    if (!PyUnicode_Check(obj)) {
        return cast_error(obj, reinterpret_cast<PyObject*>(&PyUnicode_Type));
    }
    return utf8(obj);
}

Result<bool> to_bool(PyObject* obj) {
    if (obj == Py_True) {
        return true;
    }
    if (obj == Py_False) {
        return false;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    Q_ASSIGN(const Names* n, names());
    bool numpy_bool = false;
    {
        Ref mod = Ref::steal(PyObject_GetAttr(type, n->module));
        Ref nm = mod ? Ref::steal(PyObject_GetAttr(type, n->name)) : Ref();
        if (!mod || !nm) {
            // A type without those names is simply not numpy's; anything
            // else (out of memory, say) is a real failure.
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                return Error::fetch();
            }
            PyErr_Clear();
        } else if (PyUnicode_Check(mod.get()) && PyUnicode_Check(nm.get()) &&
                   PyUnicode_CompareWithASCIIString(mod.get(), "numpy") == 0 &&
                   (PyUnicode_CompareWithASCIIString(nm.get(), "bool_") == 0 ||
                    PyUnicode_CompareWithASCIIString(nm.get(), "bool") == 0)) {
            numpy_bool = true;
        }
    }
    if (!numpy_bool) {
        return cast_error(obj, reinterpret_cast<PyObject*>(&PyBool_Type));
    }
    PyObject* method = PyObject_GetAttr(type, n->bool_);
    if (method == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return Error::fetch();
        }
        PyErr_Clear();
        std::optional<std::string> ts = try_str(type);
        return Error::type_error("object of type '" + (ts ? *ts : std::string("<unknown>")) +
                                 "' does not define a '__bool__' conversion");
    }
    Ref unbound = Ref::steal(method);
    Ref bound_method = unbound;
    PyObject* getter = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(method)), "__get__");
    if (getter == nullptr) {
        PyErr_Clear();
    } else {
        Ref g = Ref::steal(getter);
        Q_ASSIGN(bound_method, call2(g.get(), method, obj));
        // type(method).__get__ is unbound: call it as __get__(method, obj)
    }
    Q_ASSIGN(Ref result, call0(bound_method.get()));
    if (result.get() == Py_True) {
        return true;
    }
    if (result.get() == Py_False) {
        return false;
    }
    return cast_error(result.get(), reinterpret_cast<PyObject*>(&PyBool_Type));
}

Result<Ref> to_dict(PyObject* obj) {
    if (!PyDict_Check(obj)) {
        return cast_error(obj, reinterpret_cast<PyObject*>(&PyDict_Type));
    }
    return Ref::borrow(obj);
}

namespace {

template <class T, class Convert>
Result<std::vector<T>> to_sequence(PyObject* obj, Convert convert) {
    if (PyUnicode_Check(obj)) {
        return Error::type_error("Can't extract `str` to `Vec`");
    }
    if (!PySequence_Check(obj)) {
        Q_ASSIGN(PyObject * seq, sequence_abc());
        return cast_error(obj, seq);
    }
    std::vector<T> out;
    Py_ssize_t hint = PyObject_Size(obj);
    if (hint < 0) {
        PyErr_Clear();
    } else {
        out.reserve(static_cast<size_t>(hint));
    }
    Q_ASSIGN(Ref it, checked(PyObject_GetIter(obj)));
    for (;;) {
        PyObject* item = PyIter_Next(it.get());
        if (item == nullptr) {
            if (PyErr_Occurred()) {
                return Error::fetch();
            }
            break;
        }
        Ref owned = Ref::steal(item);
        Q_ASSIGN(T converted, convert(std::move(owned)));
        out.push_back(std::move(converted));
    }
    return out;
}

}  // namespace

Result<std::vector<Ref>> to_object_sequence(PyObject* obj) {
    return to_sequence<Ref>(obj, [](Ref item) -> Result<Ref> { return item; });
}

Result<std::vector<std::string>> to_text_sequence(PyObject* obj) {
    return to_sequence<std::string>(obj, [](Ref item) { return to_text(item.get()); });
}

namespace {

// Before 3.11: an exception of the same type saying both, caused by the
// original; the original when that cannot be made.
Error reworded(Error error, PyObject* exc, std::string_view text) {
    const std::string said = try_str(exc).value_or("");
    const std::string both = (said.empty() ? std::string() : said + " ") + "(" + std::string(text) + ")";
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Result<Ref> message = new_str(both);
    Ref fresh = message.ok() ? Ref::steal(PyObject_CallFunctionObjArgs(type, message.value().get(), nullptr)) : Ref();
    if (!fresh || PyObject_TypeCheck(fresh.get(), Py_TYPE(exc)) == 0) {
        PyErr_Clear();
        return error;
    }
    PyException_SetCause(fresh.get(), Py_NewRef(exc));
    PyException_SetContext(fresh.get(), Py_NewRef(exc));
    PyErr_SetObject(type, fresh.get());
    return Error::fetch();
}

}  // namespace

Error with_note(Error error, std::string_view text, WithoutNotes fallback) {
    if (error.kind() == Error::Kind::Panic) {
        return error;
    }
    Ref exc = error.exception_object();
    if (!exc) {
        return error;
    }
    Result<const Names*> n = names();
    if (!n.ok()) {
        PyErr_Clear();
        return error;
    }
    PyObject* add_note = PyObject_GetAttr(exc.get(), n.value()->add_note);
    if (add_note == nullptr) {
        PyErr_Clear();  // before 3.11: exceptions carry no notes
        return fallback == WithoutNotes::Reworded ? reworded(std::move(error), exc.get(), text) : std::move(error);
    }
    Ref method = Ref::steal(add_note);
    Result<Ref> note = new_str(text);
    if (!note.ok()) {
        PyErr_Clear();
        return error;
    }
    Ref r = Ref::steal(PyObject_CallFunctionObjArgs(method.get(), note.value().get(), nullptr));
    if (!r) {
        PyErr_Clear();
    }
    return error;
}

Error note_argument(Error error, const char* name) {
    return with_note(std::move(error), std::string("while processing '") + name + "'");
}

void set_error_from_current_cxx_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        std::move(QUENDLE_PANIC(std::string("C++ exception: ") + e.what())).restore();
    } catch (...) {
        std::move(QUENDLE_PANIC("unknown C++ exception")).restore();
    }
}

}  // namespace quendle
