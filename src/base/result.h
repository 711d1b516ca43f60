// Errors travel as values up to the entry point that raises them.
//
// An `Error` is one of: a built-in exception type with a message (the
// exception object is made only when it is raised), a Python exception
// fetched from the interpreter (type, value and traceback, normalised), or an
// internal failure, raised as `native_runtime.PanicException`.
#pragma once

#include "base/ref.h"

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace quendle {

class [[nodiscard]] Error {
public:
    enum class Kind {
        Builtin,
        Python,
        Panic
    };

    // A built-in exception type (an immortal `PyExc_*` object) with a message.
    static Error builtin(PyObject* type, std::string message);
    static Error type_error(std::string message) { return builtin(PyExc_TypeError, std::move(message)); }
    static Error value_error(std::string message) { return builtin(PyExc_ValueError, std::move(message)); }
    static Error key_error(std::string message) { return builtin(PyExc_KeyError, std::move(message)); }
    static Error runtime_error(std::string message) { return builtin(PyExc_RuntimeError, std::move(message)); }

    // Takes the exception currently set in the interpreter. A panic raised by
    // Python code is resumed as an internal failure of our own.
    static Error fetch();

    // An internal failure: writes a diagnostic naming the source location.
    static Error panic(std::string message, const char* file, int line);

    // Sets this error as the interpreter's current exception.
    void restore() &&;

    // The exception object this error stands for (made now for a built-in
    // error); used to attach notes. Returns an empty handle if it cannot be
    // made, with no exception set.
    Ref exception_object();

    [[nodiscard]] Kind kind() const noexcept { return kind_; }
    [[nodiscard]] bool matches(PyObject* type) const;

private:
    Error() = default;
    Kind kind_ = Kind::Builtin;
    PyObject* builtin_type_ = nullptr;
    std::string message_;
    Ref type_, value_, traceback_;
};

#define QUENDLE_PANIC(msg) ::quendle::Error::panic((msg), __FILE__, __LINE__)

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

    [[nodiscard]] bool ok() const noexcept { return v_.index() == 0; }
    [[nodiscard]] T& value() { return std::get<0>(v_); }
    [[nodiscard]] T take() { return std::move(std::get<0>(v_)); }
    [[nodiscard]] Error take_error() { return std::move(std::get<1>(v_)); }

private:
    std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : e_(std::move(error)) {}

    [[nodiscard]] bool ok() const noexcept { return !e_.has_value(); }
    [[nodiscard]] Error take_error() { return std::move(*e_); }

private:
    std::optional<Error> e_;
};

using Status = Result<void>;

// The answer to a question asked where no Python code may run, or that was
// not asked yet: yes, no, or undecided (the general path asks it again, and
// may run user code to answer).
enum class Tri : unsigned char {
    No,
    Yes,
    Undecided,
};
static_assert(static_cast<int>(Tri::No) == 0 && static_cast<int>(Tri::Yes) == 1, "a comparison's 0/1 casts to Tri");

// The outcome of a lookup: found (with a value), not found, or failed.
template <class T>
class [[nodiscard]] Lookup {
public:
    enum class Kind : unsigned char {
        Found,
        NotFound,
        Failed
    };

    Lookup(T value) : kind_(Kind::Found), value_(std::move(value)) {}
    Lookup(Error error) : kind_(Kind::Failed), error_(std::move(error)) {}
    [[nodiscard]] static Lookup not_found() { return Lookup(); }

    [[nodiscard]] Kind kind() const noexcept { return kind_; }
    [[nodiscard]] bool found() const noexcept { return kind_ == Kind::Found; }
    [[nodiscard]] bool failed() const noexcept { return kind_ == Kind::Failed; }
    [[nodiscard]] T& value() { return value_; }
    [[nodiscard]] Error take_error() { return std::move(*error_); }

private:
    Lookup() : kind_(Kind::NotFound) {}
    Kind kind_;
    T value_{};
    std::optional<Error> error_;
};

// Propagates the failure of a Lookup expression; otherwise declares `name`
// as the Lookup itself (found or not found).
#define Q_LOOKUP(name, expr)      \
    auto name = (expr);           \
    if (name.failed()) {          \
        return name.take_error(); \
    }

#define QUENDLE_CAT2(a, b) a##b
#define QUENDLE_CAT(a, b) QUENDLE_CAT2(a, b)

// Propagates the error of a `Result` expression.
#define Q_TRY(expr)                            \
    do {                                       \
        auto q_try_result_ = (expr);           \
        if (!q_try_result_.ok()) {             \
            return q_try_result_.take_error(); \
        }                                      \
    } while (0)

// Declares `decl` from the value of a `Result` expression, or propagates its error.
#define Q_ASSIGN(decl, expr) Q_ASSIGN_IMPL(QUENDLE_CAT(q_assign_, __LINE__), decl, expr)
#define Q_ASSIGN_IMPL(tmp, decl, expr) \
    auto tmp = (expr);                 \
    if (!tmp.ok()) {                   \
        return tmp.take_error();       \
    }                                  \
    decl = tmp.take()

// Turns a new reference returned by the C API into a Result: NULL means the
// interpreter has an exception set.
[[nodiscard]] inline Result<Ref> checked(PyObject* p) {
    if (p == nullptr) {
        return Error::fetch();
    }
    return Ref::steal(p);
}

// Turns a C API status (-1 on failure) into a Status.
[[nodiscard]] inline Status checked_status(int rc) {
    if (rc < 0) {
        return Error::fetch();
    }
    return {};
}

}  // namespace quendle
