// The decorator factories `quendled` and `automagically_quendled`, and the
// `QuendleDecorator` descriptor they put in place of a decorated function.
#pragma once

#include "base/binding.h"
#include "cache/cache_state.h"
#include "keys/introspection.h"
#include "keys/native_binder.h"

#include <optional>
#include <string>
#include <vector>

// The build for the 3.12 stable ABI calls and is called through vectorcall;
// the 3.10 one goes through argument tuples and keyword dicts.
#if defined(Py_LIMITED_API) && Py_LIMITED_API + 0 >= 0x030C0000
#define QUENDLE_VECTORCALL 1
#else
#define QUENDLE_VECTORCALL 0
#endif

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
    bool is_async = false;  // a coroutine function: calls return awaitables
    // "classmethod" or "staticmethod" when func is one (a mistake, hinted
    // at when a call fails), else null.
    const char* descriptor_kind = nullptr;
    mutable BinderCache binder;  // parameter layout of func, refreshed when its code changes
    mutable Ref known_class;     // a subclass of QuendleBase an instance of which called last
    mutable Ref passed_code;     // a code object of func that passed the serialisable check
    mutable std::optional<std::int64_t> no_argument_hash;  // of the key (name, ()), once made
};

struct DecoratorObject {
    PyObject_HEAD
    DecoratorFields* fields;
    BorrowFlag borrow;
#if QUENDLE_VECTORCALL
    vectorcallfunc vectorcall;  // decorated_vectorcall, found by the interpreter through the type
#endif
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

// Registers a call of the method (its state and declared dependencies) on
// the key's first sighting.
Status register_method_call(CacheState& state, const DecoratorFields& d, CacheKey key);

// `QuendleDecorator.__call__`: the decorated call path (an entry point:
// NULL with the exception set on failure).
PyObject* decorated_call(DecoratorObject* self, PyObject* args, PyObject* kwargs) noexcept;
#if QUENDLE_VECTORCALL
// The same through vectorcall: a hit builds no argument tuple.
PyObject* decorated_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept;
#endif

}  // namespace quendle
