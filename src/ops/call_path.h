// The decorated call path: `QuendleDecorator.__call__` and what registers
// a method's key.
#pragma once

#include "cache/objects.h"

namespace quendle {

// Registers a call of the method (its state and declared dependencies) on
// the key's first sighting.
Status register_method_call(CacheState& state, const DecoratorFields& d, CacheKey key);

// `QuendleDecorator.__call__`: the decorated call path (an entry point:
// NULL with the exception set on failure).
PyObject* decorated_call(DecoratorObject* self, PyObject* args, PyObject* kwargs) noexcept;
#if QUENDLE_VECTORCALL
// The same through vectorcall: a hit builds no argument tuple.
PyObject* decorated_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept;
#endif

}  // namespace quendle
