// Tuple equality of a stored key with a natively bound call: with Python
// equality, and without user code for a purely bound call (undecided when
// deciding would run some).
#include "keys/native_binder_parts.h"

namespace quendle {

namespace {

// Equality without user code, or undecided.
Tri pure_equal(PyObject* stored, PyObject* query) noexcept {
    if (stored == query) {
        return Tri::Yes;
    }
    // Values of different types may still be equal (1 == 1.0 == True).
    if (Py_TYPE(stored) != Py_TYPE(query) || !pure_value(stored)) {
        return Tri::Undecided;
    }
    const int rc = PyObject_RichCompareBool(stored, query, Py_EQ);
    if (rc < 0) {
        PyErr_Clear();
        return Tri::Undecided;
    }
    return static_cast<Tri>(rc);  // 0 or 1: No or Yes
}

}  // namespace

namespace {

// Tuple equality of stored key k with the call: items left to right,
// `equal` deciding each (Undecided: give up), up to the shorter length,
// stopping at the first difference; then the lengths decide. Every stored item stays alive: the store owns it and nothing can
// change the store while the lookup holds the instance.
template <class Equal>
Tri compare_key(const KeyStore& keys, CacheKey k, const BoundCall& call, Equal&& equal) {
    Tri answer = equal(keys.method(k), call.method);
    if (answer != Tri::Yes) {
        return answer;
    }
    const size_t stored_count = keys.count(k);
    for (size_t i = 0; i < stored_count && i < call.count; ++i) {
        answer = equal(keys.name(k, i), call.names[i]);
        if (answer != Tri::Yes) {
            return answer;
        }
        answer = equal(keys.value(k, i), call.values[i]);
        if (answer != Tri::Yes) {
            return answer;
        }
    }
    return stored_count == call.count ? Tri::Yes : Tri::No;
}

// Python equality; identity counts as equal, as in a tuple. Undecided: the
// comparison raised (the exception is set).
inline Tri equal_items(PyObject* stored, PyObject* query) {
    if (stored == query) {
        return Tri::Yes;
    }
    const int rc = PyObject_RichCompareBool(stored, query, Py_EQ);
    return rc < 0 ? Tri::Undecided : static_cast<Tri>(rc);
}

}  // namespace

Tri bound_equals_pure(const KeyStore& keys, CacheKey k, const BoundCall& call) noexcept {
    return compare_key(keys, k, call, pure_equal);
}

Result<bool> bound_equals(const KeyStore& keys, CacheKey k, const BoundCall& call) {
    const Tri answer = compare_key(keys, k, call, equal_items);
    if (answer == Tri::Undecided) {
        return Error::fetch();
    }
    return answer == Tri::Yes;
}

}  // namespace quendle
