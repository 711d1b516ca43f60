// A daemon thread that takes the interpreter lock back while the
// interpreter finalizes is ended by CPython 3.10 to 3.13 with pthread_exit:
// a forced unwind of its stack. Through this module's frames it would run
// destructors without the lock and end the process in std::terminate at the
// first noexcept frame. `exit_safe` runs a call that may take the lock back
// (a body, a wait) and, on that unwind, parks the thread for good instead,
// as CPython 3.14 does: none of the module's state is touched, and the
// process ends without the thread.
#pragma once

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace quendle {

[[noreturn]] void park_exiting_thread() noexcept;

template <class F>
decltype(auto) exit_safe(F&& f) noexcept {
#if defined(__GLIBCXX__)
    try {
        return f();
    } catch (abi::__forced_unwind&) {
        park_exiting_thread();
    }
#else
    return f();
#endif
}

}  // namespace quendle
