// The decorator factories `quendled` and `automagically_quendled`, and the
// `QuendleDecorator` descriptor they put in place of a decorated function.
#pragma once

#include "cache/objects.h"

#include <optional>
#include <vector>

namespace quendle {

struct MethodOptions {
    bool use_cache = true;
    // Absent only for `automagically_quendled` without declared dependencies.
    std::optional<std::vector<DependencyDecl>> dependencies;
    bool track_runtime_dependencies = false;
    bool serialisable = false;
    Ref cutoff;  // null (none), True, or a callable(old, new)
};

struct FactoryObject {
    PyObject_HEAD
    MethodOptions* options;
};

Result<PyObject*> quendled_type();
Result<PyObject*> automagically_quendled_type();
// The decorator type, made with the first decorator.
Result<PyObject*> decorator_type();

// Introspection: `__wrapped__`, `__isabstractmethod__`, the repr, and the
// `__doc__` descriptor installed on the type once it is made.
PyObject* decorator_wrapped(PyObject* self, void*);
PyObject* decorator_isabstract(PyObject* self, void*);
// The wrapped function's attribute named by `closure` (`__code__`,
// `__defaults__`, `__kwdefaults__`, `__annotations__`): with them the
// decorator is function-like to inspect, whose `iscoroutinefunction` and
// `isgeneratorfunction` read the code flags.
PyObject* decorator_function_attr(PyObject* self, void* closure);
PyObject* decorator_repr(PyObject* self);
Status install_decorator_doc(PyObject* type);

// `_is_coroutine` and `_is_coroutine_marker` of a decorated coroutine
// function, what asyncio's and inspect's iscoroutinefunction look for.
PyObject* decorator_is_coroutine(PyObject* self, void*);
PyObject* decorator_coroutine_marker(PyObject* self, void*);

}  // namespace quendle
