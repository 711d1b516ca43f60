// How a key reads in messages, notes and labels: "method(a=1, b='x')".
#pragma once

#include <Python.h>

#include <optional>
#include <string>

namespace quendle {

// `repr(obj)` as UTF-8, or nothing (with no exception set) when that fails.
std::optional<std::string> try_repr(PyObject* obj);

// "method(a=1, b='x')" for a key tuple `(method, ((name, value), ...))`,
// whatever it holds: a part that cannot be shown reads as a placeholder,
// and a value's text is cut at 200 characters. Runs user code (`__repr__`
// of the values); leaves no exception set.
std::string key_text(PyObject* key_tuple);
// The same, or nothing when a part cannot be shown (a failing `__repr__`).
std::optional<std::string> exact_key_text(PyObject* key_tuple);

}  // namespace quendle
