// The read-only reports of a QuendleBase instance: `cached_values`,
// `dependency_graph` and `validation_state`.
#pragma once

#include "cache/cache_state.h"

namespace quendle {

PyObject* qb_cached_values(PyObject* self, void* closure);
PyObject* qb_dependency_graph(PyObject* self, void* closure);
PyObject* qb_validation_state(PyObject* self, void* closure);

// A new reference to the entry label of k (its method name, or its key
// tuple), or an empty handle when k has none.
Result<Ref> entry_label(const CacheState& state, CacheKey k);

}  // namespace quendle
