// Helpers shared by the module's heap types: creation on first use, the
// refusing constructor, and the final free of an instance.
#pragma once

#include "base/binding.h"
#include "base/runtime.h"

namespace quendle {

// A spec for a heap type, created with PyType_FromSpec and completed by
// `finish` when given; turns a failure on first use inside a call into the
// internal failure the caller expects.
Result<PyObject*> create_type_on_use(OnceObject& cell, PyType_Spec* spec, const char* class_name,
                                     bool report_unraisable, Status (*finish)(PyObject*) = nullptr);

// The refusing constructor of types that are not made from Python.
PyObject* refusing_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Frees an instance of one of our heap types (after untracking and clearing).
void free_instance(PyObject* self);

}  // namespace quendle
