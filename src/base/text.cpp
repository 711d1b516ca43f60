#include "base/text.h"

#include <cstdarg>

namespace quendle {

Result<Ref> format(const char* fmt, ...) {
    va_list va;
    va_start(va, fmt);
    PyObject* text = PyUnicode_FromFormatV(fmt, va);
    va_end(va);
    return checked(text);
}

}  // namespace quendle
