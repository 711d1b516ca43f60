// The state of a `QuendleAwaitable` shared by its Python type
// (async_call.cpp) and its state machine (async_steps.cpp).
#pragma once

#include "cache/cache_state.h"
#include "cache/cross_instance.h"
#include "cache/objects.h"

namespace quendle::awaiting {

enum class Mode : std::uint8_t {
    Ready,
    Start,
    Delegate,
    Drive,
    Done
};

struct AwaitState {
    Mode mode = Mode::Done;
    Ref value;                // Ready: the result
    Ref decorator;            // Start, Drive
    Ref args, kwargs;         // Start: the call's arguments, the instance first
    Ref inst;                 // Start, Drive
    Ref iter;                 // Delegate: the awaited iterator; Drive: the body's
    Ref first_yield;          // Drive in a task: what the first step yielded, handed out first
    CacheKey key = 0;         // Start, Drive
    Snapshot started;         // Drive: what the run started from
    Ref cutoff, previous;     // Drive: the method's cut-off and the value its result is compared with
    bool tracking = false;    // Drive: the method tracks runtime dependencies
    bool use_cache = true;    // Drive
    bool may_hand_off = false;  // Drive by the first awaiter: a suspension hands the body to a task
    Tri cross_opted = Tri::Undecided;    // Drive: the class's opt-in, as the steps' frames read it
    std::vector<CrossRef> cross_pending;  // Drive: dependencies elsewhere recorded by the steps so far
};

struct AwaitableObject {
    PyObject_HEAD
    AwaitState st;
};

inline AwaitState& state(PyObject* self) { return reinterpret_cast<AwaitableObject*>(self)->st; }

// The step's outcome: the body's (or value's) return, or a yielded object.
struct Outcome {
    bool done;
    Ref value;
};

Result<PyObject*> awaitable_type();

// A new awaitable in `mode`, its state default-constructed.
Result<Ref> new_awaitable(Mode mode);
// Ends the awaitable in `mode` with `value`, dropping all it held.
void finish_as(AwaitState& st, Mode mode, Ref value);
// Ends the pending entry of `self` (a driver or a computation), if any.
Status end_pending(PyObject* inst, PyObject* self);
// One step of the state machine: send(arg), or throw(*thrown).
Result<Outcome> step_impl(PyObject* self, PyObject* arg, PyObject* thrown);

}  // namespace quendle::awaiting
