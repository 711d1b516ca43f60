#include "result.h"

#include "runtime.h"

#include <cstdio>

namespace quendle {

Error Error::builtin(PyObject* type, std::string message) {
    Error e;
    e.kind_ = Kind::Builtin;
    e.builtin_type_ = type;
    e.message_ = std::move(message);
    return e;
}

Error Error::panic(std::string message, const char* file, int line) {
    std::fprintf(stderr, "quendle: internal failure at %s:%d: %s\n", file, line, message.c_str());
    std::fflush(stderr);
    Error e;
    e.kind_ = Kind::Panic;
    e.message_ = std::move(message);
    return e;
}

Error Error::fetch() {
    PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
    PyErr_Fetch(&t, &v, &tb);
    if (t == nullptr) {
        return QUENDLE_PANIC("an operation failed without setting an exception");
    }
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb != nullptr && v != nullptr) {
        PyException_SetTraceback(v, tb);
    }
    PyObject* panic = panic_type_if_created();
    if (panic != nullptr && PyErr_GivenExceptionMatches(t, panic)) {
        // Python code we called raised our internal-failure type: resume it
        // as an internal failure of our own.
        std::fprintf(stderr, "quendle: resuming an internal failure raised from Python code\n");
        std::fprintf(stderr, "Python stack trace below:\n");
        std::fflush(stderr);
        Ref value = Ref::borrow(v);
        PyErr_Restore(t, v, tb);
        PyErr_PrintEx(0);
        std::optional<std::string> text = try_str(value.get());
        Error e;
        e.kind_ = Kind::Panic;
        e.message_ = text ? *text : std::string("Unwrapped panic from Python code");
        return e;
    }
    Error e;
    e.kind_ = Kind::Python;
    e.type_ = Ref::steal(t);
    e.value_ = Ref::steal(v);
    e.traceback_ = Ref::steal(tb);
    return e;
}

void Error::restore() && {
    switch (kind_) {
        case Kind::Builtin:
            PyErr_SetString(builtin_type_, message_.c_str());
            return;
        case Kind::Python:
            PyErr_Restore(type_.release(), value_.release(), traceback_.release());
            return;
        case Kind::Panic: {
            Result<PyObject*> type = panic_type();
            if (!type.ok()) {
                // Could not even create the panic type: report what we have.
                std::move(type.take_error()).restore();
                return;
            }
            PyErr_SetString(type.value(), message_.c_str());
            return;
        }
    }
}

Ref Error::exception_object() {
    if (kind_ == Kind::Python) {
        return value_;
    }
    if (kind_ == Kind::Panic) {
        return {};
    }
    // Materialise the exception now, keeping it as a fetched one.
    std::move(*this).restore();
    *this = fetch();
    if (kind_ != Kind::Python) {
        return {};
    }
    return value_;
}

bool Error::matches(PyObject* type) const {
    switch (kind_) {
        case Kind::Builtin:
            return PyErr_GivenExceptionMatches(builtin_type_, type) != 0;
        case Kind::Python:
            return PyErr_GivenExceptionMatches(type_.get(), type) != 0;
        case Kind::Panic:
            return false;
    }
    return false;
}

}  // namespace quendle
