// `QuendleBase`: the base class whose instances carry a cache - its slot
// table and lifecycle; the methods come from ops/.
#pragma once

#include "base/result.h"

namespace quendle {

// The type, made on first use (the module makes it when it is imported).
Result<PyObject*> make_quendle_base_type();

}  // namespace quendle
