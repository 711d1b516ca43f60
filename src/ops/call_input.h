// The arguments of a decorated call as they came (a tuple and a dict, or a
// vectorcall array), viewed as arrays for the native binder.
#pragma once

#include "base/thread_exit.h"
#include "cache/objects.h"
#include "keys/native_binder.h"

#include <array>

namespace quendle {

// Room for the arrays of a tuple-and-dict call, while it is bound (in the
// frame of the preparation, which returns before the body runs).
struct ArgBuffers {
    std::array<PyObject*, kMaxNativeParams + 1> pos;
    std::array<PyObject*, kMaxNativeParams> kw_names;
    std::array<PyObject*, kMaxNativeParams> kw_values;
};

// The arguments of one decorated call as they came: a tuple and a dict (a
// call through tp_call) or an array with keyword names (vectorcall). The
// tuple and dict that `inspect`, the asynchronous path and a tp_call body
// need are built from an array only when asked for.
class CallInput {
public:
    static CallInput from_tuple(PyObject* args, PyObject* kwargs) noexcept {
        CallInput in;
        in.tuple_ = args;
        in.kw_ = kwargs;
        return in;
    }
#if QUENDLE_VECTORCALL
    static CallInput from_vector(PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
        CallInput in;
        in.vector_ = args;
        in.nargsf_ = nargsf;
        in.kw_ = kwnames;
        return in;
    }
#endif

    // The instance (borrowed, alive for the call), or null without one.
    [[nodiscard]] PyObject* first() const noexcept {
        if (vector_ != nullptr) {
            return npos() > 0 ? vector_[0] : nullptr;
        }
        if (tuple_ == nullptr || !PyTuple_Check(tuple_) || PyTuple_Size(tuple_) == 0) {
            return nullptr;
        }
        return PyTuple_GetItem(tuple_, 0);
    }

    // The arguments as arrays for the native binder; false when there are
    // more than it takes (the call then goes through inspect).
    [[nodiscard]] bool view(BindArgs& out, ArgBuffers& buf) const noexcept {
        if (vector_ != nullptr) {
            out.pos = vector_;
            out.npos = npos();
            out.nkw = kw_ != nullptr ? static_cast<size_t>(PyTuple_Size(kw_)) : 0;
            if (out.nkw > buf.kw_names.size()) {
                return false;
            }
            for (size_t i = 0; i < out.nkw; ++i) {
                buf.kw_names[i] = PyTuple_GetItem(kw_, static_cast<Py_ssize_t>(i));
            }
            out.kw_names = buf.kw_names.data();
            out.kw_values = vector_ + out.npos;
            return true;
        }
        const auto n = static_cast<size_t>(PyTuple_Size(tuple_));
        if (n > buf.pos.size()) {
            return false;
        }
        for (size_t i = 0; i < n; ++i) {
            buf.pos[i] = PyTuple_GetItem(tuple_, static_cast<Py_ssize_t>(i));
        }
        out.pos = buf.pos.data();
        out.npos = n;
        out.nkw = 0;
        if (kw_ != nullptr) {
            if (!PyDict_Check(kw_) || static_cast<size_t>(PyDict_Size(kw_)) > buf.kw_names.size()) {
                return false;
            }
            Py_ssize_t it = 0;
            PyObject *key = nullptr, *value = nullptr;
            while (PyDict_Next(kw_, &it, &key, &value)) {
                buf.kw_names[out.nkw] = key;
                buf.kw_values[out.nkw] = value;
                ++out.nkw;
            }
        }
        out.kw_names = buf.kw_names.data();
        out.kw_values = buf.kw_values.data();
        return true;
    }

    // The positional arguments as a tuple, and the keywords as a dict (an
    // empty handle without keywords); built from an array when asked for.
    [[nodiscard]] Result<Ref> tuple() const {
        if (vector_ == nullptr) {
            return Ref::borrow(tuple_);
        }
        const size_t n = npos();
        Q_ASSIGN(Ref t, checked(PyTuple_New(static_cast<Py_ssize_t>(n))));
        for (size_t i = 0; i < n; ++i) {
            PyTuple_SetItem(t.get(), static_cast<Py_ssize_t>(i), Py_NewRef(vector_[i]));
        }
        return t;
    }
    [[nodiscard]] Result<Ref> dict() const {
        if (vector_ == nullptr) {
            return Ref::borrow(kw_);
        }
        if (kw_ == nullptr || PyTuple_Size(kw_) == 0) {
            return Ref{};
        }
        Q_ASSIGN(Ref d, checked(PyDict_New()));
        const Py_ssize_t n = PyTuple_Size(kw_);
        for (Py_ssize_t i = 0; i < n; ++i) {
            Q_TRY(checked_status(
                PyDict_SetItem(d.get(), PyTuple_GetItem(kw_, i), vector_[npos() + static_cast<size_t>(i)])));
        }
        return d;
    }

    // Calls the body with the arguments as they came: a new reference, or
    // null with the exception set.
    // A thread that the interpreter's finalization ends inside the body is
    // parked there (base/thread_exit.h).
    PyObject* call(PyObject* func) const noexcept {
        return exit_safe([&] {
#if QUENDLE_VECTORCALL
            if (vector_ != nullptr) {
                return PyObject_Vectorcall(func, vector_, nargsf_, kw_);
            }
#endif
            return PyObject_Call(func, tuple_, kw_);
        });
    }

private:
    CallInput() = default;
    [[nodiscard]] size_t npos() const noexcept {
#if QUENDLE_VECTORCALL
        return nargsf_ & ~static_cast<size_t>(PY_VECTORCALL_ARGUMENTS_OFFSET);
#else
        return nargsf_;
#endif
    }
    // Four words: this sits in the frame every level of a recursion stacks.
    PyObject* tuple_ = nullptr;          // the positional tuple (tp_call)
    PyObject* kw_ = nullptr;             // the keyword dict (tp_call) or the keyword names (vectorcall)
    PyObject* const* vector_ = nullptr;  // the arguments (vectorcall)
    size_t nargsf_ = 0;
};

}  // namespace quendle
