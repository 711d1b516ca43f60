// The layouts of the module's instance objects - QuendleBase instances and
// decorated methods - and the checks that an object is one. The types
// themselves (slot tables, lifecycles) are made in types/; until a type is
// made no object is its instance.
#pragma once

#include "base/binding.h"
#include "cache/cache_state.h"

#include <cstdint>
#include <memory>
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

struct QuendleBaseObject {
    PyObject_HEAD
    CacheState* state;
    BorrowFlag borrow;
    bool cross_edges;  // has an entry among the cross-instance participants
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
    // Weak references to the classes whose dependencies on methods that bind
    // defaults were looked at for this method (ops/defaults_warning.cpp).
    mutable Ref defaults_checked;
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

// The QuendleBase type, which the module makes when it is imported (an
// internal failure before).
Result<PyObject*> quendle_base_type();
// The type once it exists, else nullptr.
PyObject* quendle_base_type_if_created() noexcept;

// The instance behind obj when it is a QuendleBase (or subclass) instance.
Result<QuendleBaseObject*> as_quendle_base(PyObject* obj);

// Its state, or an internal failure if the object was never initialised.
Result<CacheState*> state_of(QuendleBaseObject* self);

// Puts `fresh` in place of the instance's state, which must be empty (no
// key registered, no scenario layer): ValueError otherwise, nothing changed.
Status replace_empty_state(QuendleBaseObject* self, std::unique_ptr<CacheState> fresh);

// The decorator type once the first decorator made it, else nullptr.
PyObject* decorator_type_if_created() noexcept;

// Whether obj is a QuendleDecorator.
Result<bool> is_decorator(PyObject* obj);

}  // namespace quendle
