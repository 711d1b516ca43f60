// What a class holds under a method name, and the hint for a query or
// `explain` that names an entry the instance does not have.
#pragma once

#include "cache/objects.h"

namespace quendle {

// What a class holds under a method name, looked up as load_cache looks it
// up.
enum class MethodKind {
    Missing,
    Plain,
    Cached,
    Uncached
};

// The kind of `name` on `type`; for a decorated method, its function is left
// in `func` when given.
Result<MethodKind> method_kind(PyObject* type, PyObject* name, Ref* func = nullptr);

// A query for `key_tuple` found no entry on an instance of `type`: for a
// decorated method, a note on the arguments (hint_no_entry); for any other
// name, a note that the class has no such decorated method, with the
// closest names it has. Runs user code (attribute lookups on the class,
// repr() of the arguments): no pointer into an instance's state may be held.
Error hint_unknown_entry(Error error, PyObject* type, PyObject* key_tuple);

}  // namespace quendle
