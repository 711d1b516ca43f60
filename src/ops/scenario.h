// `custom_scenario(items)` and the `Scenario` context manager, which stacks
// a temporary layer over the caches of several instances.
#pragma once

#include "base/binding.h"

namespace quendle {

extern PyMethodDef custom_scenario_def;

Result<PyObject*> scenario_type();

}  // namespace quendle
