// `QuendleBase.__init_subclass__`, which takes the class keyword
// `cross_instance`, and the module function `cross_instance_edges(obj)`
// (not in `__all__`).
#pragma once

#include "base/binding.h"

namespace quendle {

extern PyMethodDef init_subclass_def;
extern PyMethodDef cross_instance_edges_def;

}  // namespace quendle
