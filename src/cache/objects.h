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

// The builds for the 3.12 stable ABI and for a 3.12+ interpreter's own API
// (the free-threaded build) call and are called through vectorcall; the 3.10
// one goes through argument tuples and keyword dicts.
#if defined(Py_LIMITED_API)
#define QUENDLE_API_VERSION (Py_LIMITED_API + 0)
#else
#define QUENDLE_API_VERSION PY_VERSION_HEX
#endif
#if QUENDLE_API_VERSION >= 0x030C0000
#define QUENDLE_VECTORCALL 1
#else
#define QUENDLE_VECTORCALL 0
#endif

namespace quendle {

// Where user code runs, and what guards the state around it
// ----------------------------------------------------------
// Python code of the user's can run at these points of an operation; at
// each, it may call back into the module, drop the last reference to an
// instance, replace an instance's cache state or switch threads. Nothing
// keeps a pointer into a CacheState across any of them: it is fetched again
// (state_of) after each.
//
//  1. Binding and keying a call: `__hash__` of argument values (the native
//     bind, or inspect when it declines) and `__eq__` in key lookups. A bind
//     pins the parameter layout it started with (LayoutPin); lookups run
//     under the instance's exclusive borrow, so a re-entrant change of that
//     instance from `__eq__` is reported as a borrow conflict. The hit served
//     without a borrow (call_path.cpp) binds and compares only values whose
//     hash and equality run no Python code.
//  2. Class attributes read on the way: the cross-instance opt-in (a
//     metaclass property), `__quendle_pickle_cache__`, the dependencies named
//     with defaults. They are read before the state is fetched.
//  3. The body of a decorated method: no borrow is held while it runs. The
//     commit (CacheState::commit_computed) compares what the body started
//     from with what is there now and refuses to store a result whose inputs
//     changed meanwhile. An asynchronous body runs a step at a time, with the
//     call's frame pushed for the step only.
//  4. Finalisers of values an operation displaces: the displaced values go
//     to a Graveyard released only after the borrow is given back
//     (ExclusiveAccess), so they find the instance free and consistent.
//  5. Finalisers and weakref callbacks of instances: an edge across
//     instances holds a weak reference; resolving it refuses an instance
//     whose reference count is already 0.
//  6. Reports, dumps and exports: building their dicts hashes and compares
//     key tuples (argument values) and a pickler runs the values'
//     reductions. They hold a shared borrow while they read, so a change
//     from such code is refused as a borrow conflict, and pickling itself
//     runs on records copied out, with no borrow held.
//  7. Warnings and notes: the defaults warning (warning filters, showwarning)
//     is emitted after the call's frame is popped and its result committed;
//     notes render values with `__repr__` (key_text) with no borrow held.
//  8. Waiting for another thread's borrow: signal handlers run every 20 ms,
//     with no borrow of this operation taken yet.

struct QuendleBaseObject {
    PyObject_HEAD
    CacheState* state;
    BorrowFlag borrow;
    bool cross_edges;  // has an entry among the cross-instance participants
};

// An instance of a QuendleBase subclass, known to be one by the caller.
inline QuendleBaseObject* as_base(PyObject* self) noexcept { return reinterpret_cast<QuendleBaseObject*>(self); }

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
    // The early cut-off: null (none), True (equality) or a callable(old,
    // new). A recomputed value it calls unchanged keeps the previous object.
    Ref cutoff;
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
