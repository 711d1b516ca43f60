// The module function `explain(instance, method_name, /, *args, **kwargs)`: why an
// entry is or is not served. A module attribute outside `__all__`.
#pragma once

#include "base/binding.h"

namespace quendle {

extern PyMethodDef explain_def;

// A call as explanations write it, `name(param=value, ...)` (values by
// repr()), from its key tuple.
Result<Ref> entry_text(PyObject* key);

}  // namespace quendle
