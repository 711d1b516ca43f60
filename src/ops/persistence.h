// `QuendleBase.dump_cache` and `QuendleBase.load_cache`.
#pragma once

#include "base/binding.h"

namespace quendle {

PyObject* qb_dump_cache(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* qb_load_cache(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace quendle
