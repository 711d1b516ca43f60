// The decorator factories `quendled` and `automagically_quendled`, and the
// `QuendleDecorator` descriptor they put in place of a decorated function.
#pragma once

#include "binding.h"
#include "native_binder.h"
#include "py_introspection_utils.h"

#include <optional>
#include <string>
#include <vector>

namespace quendle {

struct MethodOptions {
    bool use_cache = true;
    // Absent only for `automagically_quendled` without declared dependencies.
    std::optional<std::vector<DependencyDecl>> dependencies;
    bool track_runtime_dependencies = false;
    bool serialisable = false;
};

struct FactoryObject {
    PyObject_HEAD
    MethodOptions* options;
};

struct DecoratorFields {
    std::vector<CallSignature> dependencies;
    std::string name;
    Ref name_obj;  // the same name as a str, for keys
    std::uint64_t name_hash = 0;
    Ref func;
    bool use_cache = true;
    bool track_runtime_dependencies = false;
    bool serialisable = false;
    // "classmethod" or "staticmethod" when func is one (a mistake, hinted
    // at when a call fails), else null.
    const char* descriptor_kind = nullptr;
    mutable BinderCache binder;  // parameter layout of func, refreshed when its code changes
};

struct DecoratorObject {
    PyObject_HEAD
    DecoratorFields* fields;
    BorrowFlag borrow;
};

// The error for an object whose references the garbage collector already
// dropped (reachable only from finalisers of the same garbage).
Error cleared_error(const char* class_name);

Result<PyObject*> quendled_type();
Result<PyObject*> automagically_quendled_type();
Result<PyObject*> decorator_type();

// Whether obj is a QuendleDecorator (creating the type on first use).
Result<bool> is_decorator(PyObject* obj);

// Introspection: `__wrapped__`, `__isabstractmethod__`, the repr, and the
// `__doc__` descriptor installed on the type once it is made.
PyObject* decorator_wrapped(PyObject* self, void*);
PyObject* decorator_isabstract(PyObject* self, void*);
PyObject* decorator_repr(PyObject* self);
Status install_decorator_doc(PyObject* type);

// `QuendleDecorator.__call__`: the decorated call path (an entry point:
// NULL with the exception set on failure).
PyObject* decorated_call(DecoratorObject* self, PyObject* args, PyObject* kwargs) noexcept;

}  // namespace quendle
