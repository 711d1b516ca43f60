// The keyed queries and invalidations of a QuendleBase instance:
// `is_cached`, `get_cached_value`, `update_cached_value`,
// `clear_cached_value` and `clear_cache`.
#pragma once

#include "base/binding.h"

namespace quendle {

PyObject* qb_is_cached(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* qb_get_cached_value(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* qb_update_cached_value(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* qb_clear_cached_value(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* qb_clear_cache(PyObject* self, PyObject* unused);

}  // namespace quendle
