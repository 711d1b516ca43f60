// Early cut-off: whether a recomputed (or updated) value counts as
// unchanged from the previous one under its method's policy, and the
// settling of an entry whose inputs may all have come out unchanged.
#pragma once

#include "cache/objects.h"

namespace quendle {

// Whether `fresh` is unchanged from `previous` under `policy` (True: `==`;
// else `policy(previous, fresh)`): only an answer that is exactly True says
// so. Any other answer, or an Exception raised by the comparison, is a
// change and leaves no exception set; a BaseException that is no Exception
// (KeyboardInterrupt, SystemExit) is raised. User code: call it holding no
// borrow.
Result<bool> unchanged_under(PyObject* policy, PyObject* previous, PyObject* fresh);

// The cut-off policy of the decorated method `name` of the instance's class
// (null without one, or when `name` is no decorated method). Reading the
// class attribute may run user code.
Result<Ref> cutoff_policy(PyObject* instance, PyObject* name);

// What settling an entry came to.
enum class Settled {
    Kept,  // valid again without running: `value` holds it
    Run,   // something it depends on changed, or could not be told: run its body
};

// Brings the dependencies of `key` (Invalid, reached only through cut-off
// keys since it was last valid) up to date in the order they were
// recorded, running what must run, and makes `key` Valid again with its
// value when none of them changed after it was last verified. Runs user
// code (the bodies brought up to date) and takes the instance's borrow only
// between them. The caller's call frame for `key`, which records nothing,
// is on this thread's stack.
Result<Settled> settle(QuendleBaseObject* inst, CacheKey key, Ref& value);

}  // namespace quendle
