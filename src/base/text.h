// Text built by the interpreter's own formatting.
#pragma once

#include "base/result.h"

namespace quendle {

// PyUnicode_FromFormat as a Result: `%U` a str, `%S` str(), `%R` repr(),
// `%s` a UTF-8 C string.
Result<Ref> format(const char* fmt, ...);

}  // namespace quendle
