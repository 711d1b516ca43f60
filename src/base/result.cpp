#include "base/result.h"

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
