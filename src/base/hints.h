// Hints for common mistakes, added as notes to the exception the mistake
// raises (on interpreters with exception notes; the message itself is the
// system's usual one).
#pragma once

#include "base/result.h"

#include <optional>
#include <string>
#include <string_view>

namespace quendle {

// `@quendled` written without parentheses: the function arrived as the
// factory's `use_cache`.
Error hint_factory_not_called(Error error, PyObject* use_cache, const char* factory);

// A cached method whose function is a classmethod or staticmethod object:
// `kind` names which one, from `wrapped_descriptor_kind` at decoration.
const char* wrapped_descriptor_kind(PyObject* func);
Error hint_wrapped_descriptor(Error error, const char* kind);

// A key value that cannot be hashed: names the method and the parameter.
Error hint_unhashable(Error error, PyObject* method, PyObject* parameter);

// "No cache key found for provided signature": names the method and the
// bound arguments of the key that was asked for.
Error hint_no_entry(Error error, PyObject* key_tuple);

// `automagically_quendled` could not read the function's source.
Error hint_no_source(Error error);

// `load_cache` was given a name the class has no attribute for.
Error hint_missing_method(Error error, PyObject* type, PyObject* name);

// A query or `explain` named `name`, which the class `class_name` has no
// decorated method of: `plain` when the class has an attribute of that name
// all the same; `close` the closest decorated method names (a list of str).
Error hint_not_decorated(Error error, PyObject* class_name, PyObject* name, bool plain, PyObject* close);

// The decorated method names among `candidates` (a list of str) closest to
// `name`, by `difflib.get_close_matches`.
Result<Ref> close_names(PyObject* name, PyObject* candidates);

// A call's arguments do not bind to the method's parameters: names the
// method and its signature (an `inspect.Signature`).
Error hint_arity(Error error, std::string_view method, PyObject* signature);

}  // namespace quendle
