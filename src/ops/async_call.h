// Decorated coroutine functions: every call returns a fresh awaitable of
// the `QuendleAwaitable` type. A call on a valid key completes at once with
// the cached value; otherwise the first step of the awaitable serves the
// value stored meanwhile, joins the computation of the key already running
// on its event loop, or runs the body, which pushes the call's frame around
// each of its steps (so the stack of calls in progress follows the task) and
// stores its result only if nothing it started from changed meanwhile.
#pragma once

#include "cache/cache_state.h"
#include "cache/objects.h"

namespace quendle {

// An awaitable that completes with `value` without suspending.
Result<Ref> ready_awaitable(Ref value);

// The awaitable of a call that found no valid value for `key`.
Result<Ref> pending_awaitable(PyObject* decorator, QuendleBaseObject* inst, CacheKey key, PyObject* args,
                              PyObject* kwargs);

// The helper compiled once from Python source (see async_helper.cpp).
Result<const ProcessValues::AsyncHelper*> async_helper();

// Whether func is a coroutine function: its code has CO_COROUTINE, or it
// carries the marker of inspect.markcoroutinefunction.
Result<bool> is_coroutine_function(PyObject* func);

}  // namespace quendle
