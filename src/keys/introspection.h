// Call signatures, dependency declarations and the checks made on decorated
// functions. A call is identified by the key tuple
// `(method_name, ((param, value), ...))`, its pairs sorted bytewise by name
// and `self` left out, together with the interpreter's hash of that tuple.
#pragma once

#include "base/result.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quendle {

struct CallSignature {
    std::int64_t hash = 0;
    Ref key;  // the key tuple
};

struct DependencyDecl {
    std::string method_name;
    Ref kwargs;  // the user's own dict for a (str, dict) declaration
};

// Parses the `dependencies` option: a list of `str` or `(str, dict)` items.
Result<std::vector<DependencyDecl>> parse_dependencies(PyObject* obj);

// The signature of a call named by keywords, taken as the bound mapping
// itself (queries, loads and declared dependencies); `kwargs` may be nullptr.
Result<CallSignature> query_signature(std::string_view method_name, PyObject* kwargs);

// The signature of a call with no arguments, `(method_name, ())`, for an
// exact `str` name: the key `query_signature` gives for the same text.
Result<CallSignature> no_argument_signature(PyObject* method_name);

// The signature of a call of `func`: `inspect.signature(func).bind(...)` with
// defaults applied (the decorated call path, where the native binder declines).
Result<CallSignature> inspect_call_signature(std::string_view method_name, PyObject* func, PyObject* args,
                                             PyObject* kwargs);

// Builds the signature from an already bound mapping (a dict of name -> value).
Result<CallSignature> signature_from_mapping(std::string_view method_name, PyObject* mapping);

// Flags of a code object's co_flags: a *args and a **kwargs parameter.
constexpr long kCoVarargs = 0x04;
constexpr long kCoVarkeywords = 0x08;

// types.FunctionType, the type of plain Python functions.
Result<PyObject*> plain_function_type();

// Succeeds exactly when `func`'s only parameter is named `self`. A code
// object found to have that shape is remembered in `*passed_code` when it is
// given (code objects are immutable, so seeing the same one again answers).
Status check_serialisable_signature(PyObject* func, Ref* passed_code = nullptr);

// Finds the zero-argument `self.<name>()` calls in the function's source.
Result<std::vector<DependencyDecl>> discover_dependencies(PyObject* func);

}  // namespace quendle
