// A native binder for plain Python functions that gives exactly the mapping
// `inspect.signature(func).bind(*args, **kwargs)` followed by
// `apply_defaults()` gives, read afresh from the function on every call
// (code object, `__defaults__`, `__kwdefaults__`). Anything it is not sure
// of - another kind of callable, a function carrying `__signature__` or
// `__wrapped__`, a `**kwargs` parameter, a call that does not bind - is left
// to `inspect`, so errors and their messages stay exactly as `inspect` makes
// them.
#pragma once

#include "py_introspection_utils.h"

#include <optional>
#include <string_view>
#include <vector>

namespace quendle {

// The parameter layout of one code object, kept while the function keeps
// that code object.
struct BinderCache {
    Ref code;                        // the code object the layout was read from
    bool usable = false;             // layout supported by the native binder
    std::vector<Ref> names;          // parameter names: positional, [*args], keyword-only
    std::vector<std::string> texts;  // their UTF-8 texts
    std::vector<size_t> order;       // indices of names sorted bytewise, "self" left out
    size_t posonly = 0;
    size_t positional = 0;
    size_t kwonly = 0;
    bool varargs = false;
};

// A signature for the call, or nothing when the call must go through inspect.
Result<std::optional<CallSignature>> native_signature(std::string_view method_name, PyObject* func,
                                                      PyObject* args, PyObject* kwargs,
                                                      BinderCache* cache);

}  // namespace quendle
