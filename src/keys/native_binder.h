// A native binder for plain Python functions that gives exactly the mapping
// `inspect.signature(func).bind(*args, **kwargs)` followed by
// `apply_defaults()` gives, read afresh from the function on every call
// (code object, `__defaults__`, `__kwdefaults__`). Anything it is not sure
// of - another kind of callable, a function carrying `__signature__` or
// `__wrapped__`, a `**kwargs` parameter, a call that does not bind - is left
// to `inspect`, so errors and their messages stay exactly as `inspect` makes
// them.
//
// The bound call is kept as sorted (name, value) pairs with the hash the key
// tuple `(method, ((name, value), ...))` would have, so a cache hit needs no
// tuple at all.
#pragma once

#include "keys/introspection.h"
#include "keys/key_store.h"

#include <array>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace quendle {

constexpr size_t kMaxNativeParams = 12;

// The parameter layout of one code object. Immutable once made and shared:
// a bind keeps the layout it started with alive for its whole duration, so
// user code run meanwhile (an argument's `__hash__` or `__eq__`) may replace
// the function's code, and with it the decorator's current layout, safely.
struct BinderLayout {
    Ref code;                        // the code object the layout was read from
    bool usable = false;             // layout supported by the native binder
    std::vector<Ref> names;          // parameter names: positional, [*args], keyword-only
    std::vector<std::string> texts;  // their UTF-8 texts
    std::vector<std::uint64_t> hashes;  // their hashes
    std::vector<size_t> order;       // indices of names sorted bytewise, "self" left out
    size_t posonly = 0;
    size_t positional = 0;
    size_t kwonly = 0;
    bool varargs = false;
};

// The layout of a decorated function's current code, refreshed when its
// code changes. A layout replaced while binds are in progress (user code
// run by a bind may change the code and call again) is kept until the last
// of them ends. Used with the interpreter lock held.
struct BinderCache {
    std::unique_ptr<const BinderLayout> layout;
    std::vector<std::unique_ptr<const BinderLayout>> retired;
    int active = 0;  // binds in progress holding a layout

    void replace(std::unique_ptr<const BinderLayout> fresh) {
        if (layout && active > 0) {
            retired.push_back(std::move(layout));
        }
        layout = std::move(fresh);
    }
};

// A bind's hold on the layout it started with.
class LayoutPin {
public:
    LayoutPin() = default;
    LayoutPin(const LayoutPin&) = delete;
    LayoutPin& operator=(const LayoutPin&) = delete;
    ~LayoutPin() { release(); }
    void take(BinderCache& cache) noexcept {
        release();
        cache_ = &cache;
        ++cache.active;
    }
    void release() noexcept {
        if (cache_ != nullptr && --cache_->active == 0 && !cache_->retired.empty()) {
            cache_->retired.clear();
        }
        cache_ = nullptr;
    }

private:
    BinderCache* cache_ = nullptr;
};

// One call bound natively: borrowed names and values (kept alive by the
// caller's arguments, `layout` and `keep`), sorted by name.
struct BoundCall {
    PyObject* method = nullptr;  // the method name (borrowed)
    size_t count = 0;
    // Only the first `count` entries are meaningful (left uninitialised
    // beyond, since this sits on the hot path).
    std::array<PyObject*, kMaxNativeParams> names;
    std::array<std::uint64_t, kMaxNativeParams> name_hashes;
    std::array<PyObject*, kMaxNativeParams> values;
    const BinderLayout* layout = nullptr;  // owns the names, held by `pin`
    LayoutPin pin;
    std::array<Ref, 3> keep;  // *args tuple, __defaults__, __kwdefaults__
    std::vector<Ref> extra;   // keyword-only defaults in use
    std::int64_t hash = 0;
};

// The arguments of one call as arrays (borrowed; the caller keeps them
// alive): positional ones, the instance first, then keyword names and values.
struct BindArgs {
    PyObject* const* pos = nullptr;
    size_t npos = 0;
    PyObject* const* kw_names = nullptr;
    PyObject* const* kw_values = nullptr;
    size_t nkw = 0;
};

// Binds natively into `out` (found: `&out`); not found when the call must go
// through inspect. `method_hash` is hash(method).
Lookup<const BoundCall*> native_bind(PyObject* method, std::uint64_t method_hash, PyObject* func, const BindArgs& in,
                                     BinderCache& cache, BoundCall& out);

// The same bind for a hit served without user code: true when the call
// binds natively with every value of a built-in type whose hash and
// equality run no Python code (exact int, str, float, bytes, bool, None),
// and the function's layout is the one cached; false (nothing changed, no
// error set) otherwise. Reads only the function's attributes.
bool pure_bind(PyObject* method, std::uint64_t method_hash, PyObject* func, const BindArgs& in, BinderCache& cache,
               BoundCall& out) noexcept;

// Tuple equality of a stored key with a purely bound call, where it needs
// no Python code: undecided when deciding would run user code.
Tri bound_equals_pure(const KeyStore& keys, CacheKey k, const BoundCall& call) noexcept;

// Whether stored key k equals the bound call under tuple equality (the
// stored key on the left, as in a lookup).
Result<bool> bound_equals(const KeyStore& keys, CacheKey k, const BoundCall& call);

}  // namespace quendle
