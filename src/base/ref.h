// Owning and borrowed handles to Python objects.
//
// `Ref` owns one strong reference and releases it when destroyed. It is made
// only through `Ref::steal` (take over a reference the caller owns, such as a
// new reference returned by the C API) or `Ref::borrow` (add a reference to a
// borrowed pointer). `release()` hands the reference back to the caller, for
// instance to return it to the interpreter.
#pragma once

#include <Python.h>

#include <utility>

// A build for a free-threaded interpreter (3.13t and later) runs without the
// interpreter lock: what the lock kept apart elsewhere is kept apart by
// atomic instructions and mutexes there.
#if defined(Py_GIL_DISABLED)
#define QUENDLE_FREE_THREADING 1
#else
#define QUENDLE_FREE_THREADING 0
#endif

namespace quendle {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : ptr_(other.ptr_) { Py_XINCREF(ptr_); }
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    ~Ref() { Py_XDECREF(ptr_); }

    Ref& operator=(Ref other) noexcept {
        // Replace before release: the old object is dropped only after the
        // handle already holds the new one.
        PyObject* old = std::exchange(ptr_, std::exchange(other.ptr_, nullptr));
        Py_XDECREF(old);
        return *this;
    }

    [[nodiscard]] static Ref steal(PyObject* p) noexcept { return Ref(p); }
    [[nodiscard]] static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    [[nodiscard]] PyObject* get() const noexcept { return ptr_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    [[nodiscard]] PyObject* new_ref() const noexcept {
        Py_XINCREF(ptr_);
        return ptr_;
    }
    void reset() noexcept {
        PyObject* old = std::exchange(ptr_, nullptr);
        Py_XDECREF(old);
    }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
#if QUENDLE_FREE_THREADING
    // For a handle that threads share with no lock: the object now held,
    // read atomically, and a first object set only if none is held yet (the
    // reference is dropped otherwise). A set handle is never replaced.
    [[nodiscard]] PyObject* load() const noexcept { return __atomic_load_n(&ptr_, __ATOMIC_ACQUIRE); }
    void set_once(Ref value) noexcept {
        PyObject* expected = nullptr;
        if (__atomic_compare_exchange_n(&ptr_, &expected, value.ptr_, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
            value.ptr_ = nullptr;
        }
    }
#endif

private:
    explicit Ref(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace quendle
