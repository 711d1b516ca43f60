// One computation per key across threads: a caller that misses a key
// another thread is computing (on the same instance, from the same start)
// waits for that computation and receives its result instead of running
// the body as well.
#pragma once

#include "cache/objects.h"
#include <atomic>

#include <cstdint>

namespace quendle {

namespace flight_detail {
extern std::atomic<std::uint32_t> waiting;  // threads waiting for another's computation
void land(const QuendleBaseObject* inst, CacheKey key, unsigned long owner, PyObject* value) noexcept;
}  // namespace flight_detail

// Waits, with the interpreter lock released, for `owner`'s computation of
// `key` on `inst` and returns its result, counted as a hit; an empty Ref
// when it ended without one (its body raised): the caller then computes the
// key itself, or waits for the thread that does. A wait that would close a
// cycle of waiting threads fails with the deadlock error; a signal handler
// that raises ends it with its exception.
Result<Ref> await_computation(QuendleBaseObject* inst, CacheKey key, unsigned long owner, unsigned long me);

// The end of `thread`'s computation of `key` on `inst`: the threads waiting
// for it receive `value` (null: they compute the key themselves). The
// result is handed over whether or not it was stored: the waiters called
// while it was being computed, as its own caller did.
inline void land_computation(const QuendleBaseObject* inst, CacheKey key, unsigned long thread,
                             PyObject* value) noexcept {
    if (flight_detail::waiting != 0) {
        flight_detail::land(inst, key, thread, value);
    }
}

}  // namespace quendle
