// Observing a model: `cache_info(instance)`, the per-method counters as
// named tuples, and `trace()`, the context manager that collects the
// events of the calls made on the thread that entered it. Both are module
// attributes outside `__all__`, as are the named tuple types `CacheInfo`
// and `TraceEvent`.
#pragma once

#include "base/binding.h"
#include "cache/observe.h"

namespace quendle {

// Registers `cache_info`, `trace`, `CacheInfo` and `TraceEvent` on the module.
// `quendle.cache_info` and `quendle.trace`.
extern PyMethodDef cache_info_def;
extern PyMethodDef trace_def;
// Sets the record types `CacheInfo` and `TraceEvent` on the module.
Status register_observe_types(PyObject* module);

// Words the events queued on the calling thread and hands them to its open
// traces, in order. Runs Python code (repr() of argument values).
Status flush_events();

// `out` (a new reference, or null with an exception set) once the queued
// events are flushed; null with the exception when the flush fails.
PyObject* flush_after(PyObject* out) noexcept;

// Where a decorated call returns: with no trace open anywhere, one load.
[[gnu::always_inline]] inline PyObject* observed(PyObject* out) noexcept {
    if (observe::g_open_traces.load(std::memory_order_relaxed) != 0) {
        return flush_after(out);
    }
    return out;
}

}  // namespace quendle
