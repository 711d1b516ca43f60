// What the native binder's files share: the interpreter's tuple hash
// computed from item hashes (inlined into the bind), the check that it
// agrees with the interpreter's own, the values whose hash and equality run
// no Python code, and the reading of a code object's parameter layout
// (binder_layout.cpp).
#pragma once

#include "keys/native_binder.h"

#include <cstdint>

namespace quendle {

// The interpreter's tuple hash (64-bit), computed from the items' hashes.
constexpr std::uint64_t kPrime1 = 11400714785074694791ULL;
constexpr std::uint64_t kPrime2 = 14029467366897019727ULL;
constexpr std::uint64_t kPrime5 = 2870177450012600261ULL;

struct TupleHasher {
    std::uint64_t acc = kPrime5;
    std::uint64_t len = 0;
    void add(std::uint64_t lane) {
        acc += lane * kPrime2;
        acc = (acc << 31) | (acc >> 33);
        acc *= kPrime1;
        ++len;
    }
    [[nodiscard]] std::int64_t finish() const {
        std::uint64_t a = acc + (len ^ (kPrime5 ^ 3527539ULL));
        if (a == static_cast<std::uint64_t>(-1)) {
            return 1546275796;
        }
        return static_cast<std::int64_t>(a);
    }
};

// A bound pair's hash, as the 2-tuple (name, value) hashes.
[[gnu::always_inline]] inline std::uint64_t pair_hash(std::uint64_t name_hash, Py_hash_t value_hash) {
    TupleHasher pair;
    pair.add(name_hash);
    pair.add(static_cast<std::uint64_t>(value_hash));
    return static_cast<std::uint64_t>(pair.finish());
}

// A key's hash, as the tuple (method, pairs) hashes, from the pairs' hasher.
[[gnu::always_inline]] inline std::int64_t key_hash(std::uint64_t method_hash, const TupleHasher& pairs) {
    TupleHasher key;
    key.add(method_hash);
    key.add(static_cast<std::uint64_t>(pairs.finish()));
    return key.finish();
}

// Hashing and comparing values of these types runs no Python code.
inline bool pure_value(PyObject* v) noexcept {
    return v == Py_None || v == Py_True || v == Py_False || PyLong_CheckExact(v) || PyUnicode_CheckExact(v) ||
           PyFloat_CheckExact(v) || PyBytes_CheckExact(v);
}

// Whether the hash above is the interpreter's (64-bit hashes, the same
// tuple hash); checked once per process.
Result<bool> hash_agrees();

// Reads the parameter layout of `code` into `c` (binder_layout.cpp).
Status load_layout(PyObject* code, BinderLayout& c);

}  // namespace quendle
