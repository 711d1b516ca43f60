// A daemon thread that takes the interpreter lock back while the
// interpreter finalizes is ended by CPython 3.10 to 3.13 with pthread_exit:
// a forced unwind of its stack. Through this module's frames it would run
// destructors without the lock and end the process in std::terminate at the
// first noexcept frame. `exit_safe` runs a call that may take the lock back
// (a body, a wait) and, on that unwind, parks the thread for good instead,
// as CPython 3.14 does: none of the module's state is touched, and the
// process ends without the thread.
#pragma once

#include <Python.h>

namespace quendle {

[[noreturn]] void park_exiting_thread() noexcept;

// The calls it wraps are into the C API, which throws no C++ exception: the
// only unwind that can come out of one is that forced one (caught with
// `...`, as it carries no exception object).
template <class F>
decltype(auto) exit_safe(F&& f) noexcept {
    try {
        return f();
    } catch (...) {
        park_exiting_thread();
    }
}

// Runs `wait` with the interpreter lock released, then takes the lock back
// through exit_safe.
template <class F>
void with_lock_released(F&& wait) noexcept {
    PyThreadState* saved = PyEval_SaveThread();
    wait();
    exit_safe([saved] { PyEval_RestoreThread(saved); });
}

}  // namespace quendle
