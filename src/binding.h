// The frame every entry point runs in: argument binding against a static
// parameter table, conversions, receiver borrows, and the noexcept boundary
// that turns a Result into a Python return value or a raised exception.
#pragma once

#include "result.h"
#include "runtime.h"

#include <array>
#include <new>
#include <string>
#include <vector>

namespace quendle {

// ---------------------------------------------------------------- binding

constexpr size_t kMaxParams = 4;

struct ArgSpec {
    const char* func_name;
    const char* cls_name;  // nullptr for the module function
    std::array<const char*, kMaxParams> positional_names;
    size_t positional_count;
    size_t required_count;
    bool varkwargs;
};

struct BoundArgs {
    std::array<Ref, kMaxParams> slots;
    Ref surplus;  // dict of surplus keywords, when the callable collects them

    [[nodiscard]] PyObject* get(size_t i) const noexcept { return slots[i].get(); }
};

// Sorts a call's arguments into the callable's parameters (no conversion).
Result<BoundArgs> bind_arguments(const ArgSpec& spec, PyObject* args, PyObject* kwargs);

// ------------------------------------------------------------ conversions

// The failure "this object is not of the expected type", as a TypeError.
Error cast_error(PyObject* from, PyObject* classinfo);

Result<std::string> to_text(PyObject* obj);
Result<bool> to_bool(PyObject* obj);
// Checks that obj is a dict (subclasses accepted); returns a new reference.
Result<Ref> to_dict(PyObject* obj);
Result<std::vector<Ref>> to_object_sequence(PyObject* obj);
Result<std::vector<std::string>> to_text_sequence(PyObject* obj);

// Attaches the note "while processing '<name>'" to the error's exception.
Error note_argument(Error error, const char* name);

// Runs a conversion and notes a failure with the parameter's name.
template <class T>
Result<T> noted(Result<T> r, const char* name) {
    if (r.ok()) {
        return r;
    }
    return note_argument(r.take_error(), name);
}

// ---------------------------------------------------------------- borrows

// 0 = free, n > 0 = n shared borrows, -1 = one exclusive borrow.
struct BorrowFlag {
    Py_ssize_t value = 0;

    bool try_shared() noexcept {
        Py_ssize_t cur = __atomic_load_n(&value, __ATOMIC_ACQUIRE);
        while (cur >= 0) {
            if (__atomic_compare_exchange_n(&value, &cur, cur + 1, false, __ATOMIC_ACQ_REL,
                                            __ATOMIC_ACQUIRE)) {
                return true;
            }
        }
        return false;
    }
    bool try_exclusive() noexcept {
        Py_ssize_t expected = 0;
        return __atomic_compare_exchange_n(&value, &expected, -1, false, __ATOMIC_ACQ_REL,
                                           __ATOMIC_ACQUIRE);
    }
    void release_shared() noexcept { __atomic_fetch_sub(&value, 1, __ATOMIC_ACQ_REL); }
    void release_exclusive() noexcept { __atomic_store_n(&value, 0, __ATOMIC_RELEASE); }
};

enum class Conflict { Raise, Panic };

// Whether the cyclic collector is paused while the borrow is held. Instance
// borrows pause it: a collection started by an allocation could run
// finalisers, which let other threads in to find the instance taken.
enum class Gc { Keep, Pause };

// Holds one borrow for its lifetime.
class [[nodiscard]] Borrow {
public:
    static Result<Borrow> shared(BorrowFlag& flag, Conflict on_conflict, Gc gc = Gc::Keep) {
        if (flag.try_shared()) {
            return Borrow(&flag, false, gc);
        }
        return shared_conflict(on_conflict);
    }
    static Result<Borrow> exclusive(BorrowFlag& flag, Conflict on_conflict, Gc gc = Gc::Keep) {
        if (flag.try_exclusive()) {
            return Borrow(&flag, true, gc);
        }
        return exclusive_conflict(on_conflict);
    }

    Borrow(Borrow&& other) noexcept
        : flag_(std::exchange(other.flag_, nullptr)),
          exclusive_(other.exclusive_),
          resume_gc_(std::exchange(other.resume_gc_, false)) {}
    Borrow& operator=(Borrow&&) = delete;
    Borrow(const Borrow&) = delete;
    ~Borrow() { release(); }

    void release() noexcept {
        if (flag_ != nullptr) {
            if (exclusive_) {
                flag_->release_exclusive();
            } else {
                flag_->release_shared();
            }
            flag_ = nullptr;
        }
        if (resume_gc_) {
            resume_gc_ = false;
            PyGC_Enable();
        }
    }

private:
    static Error shared_conflict(Conflict on_conflict);
    static Error exclusive_conflict(Conflict on_conflict);
    Borrow(BorrowFlag* flag, bool exclusive, Gc gc)
        : flag_(flag), exclusive_(exclusive), resume_gc_(gc == Gc::Pause && PyGC_Disable() == 1) {}
    BorrowFlag* flag_;
    bool exclusive_;
    bool resume_gc_;
};

// --------------------------------------------------------------- boundary

void set_error_from_current_cxx_exception() noexcept;

// Runs an operation at an entry point: a Result<Ref> becomes a new reference
// or NULL with the exception set; no C++ exception escapes.
template <class F>
PyObject* entry_object(F&& f) noexcept {
    try {
        Result<Ref> r = f();
        if (r.ok()) {
            return r.take().release();
        }
        r.take_error().restore();
        return nullptr;
    } catch (...) {
        set_error_from_current_cxx_exception();
        return nullptr;
    }
}

// The same for slots returning 0 / -1.
template <class F>
int entry_status(F&& f) noexcept {
    try {
        Status r = f();
        if (r.ok()) {
            return 0;
        }
        r.take_error().restore();
        return -1;
    } catch (...) {
        set_error_from_current_cxx_exception();
        return -1;
    }
}

inline Result<Ref> none_result() { return Ref::borrow(Py_None); }
inline Result<Ref> bool_result(bool b) { return Ref::borrow(b ? Py_True : Py_False); }

}  // namespace quendle
