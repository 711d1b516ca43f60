// Tuple equality of a stored key with a natively bound call: with Python
// equality, and without user code for a purely bound call (undecided when
// deciding would run some).
#include "keys/native_binder_parts.h"

namespace quendle {

namespace {

// 1 equal, 0 not, -1 undecided without user code.
int pure_equal(PyObject* stored, PyObject* query) noexcept {
    if (stored == query) {
        return 1;
    }
    // Values of different types may still be equal (1 == 1.0 == True).
    if (Py_TYPE(stored) != Py_TYPE(query) || !pure_value(stored)) {
        return -1;
    }
    const int rc = PyObject_RichCompareBool(stored, query, Py_EQ);
    if (rc < 0) {
        PyErr_Clear();
        return -1;
    }
    return rc;
}

}  // namespace

namespace {

// Tuple equality of stored key k with the call: items left to right,
// `equal` deciding each (1 equal, 0 not, negative: give up with that), up to
// the shorter length, stopping at the first difference; then the lengths
// decide. Every stored item stays alive: the store owns it and nothing can
// change the store while the lookup holds the instance.
template <class Equal>
int compare_key(const KeyStore& keys, CacheKey k, const BoundCall& call, Equal&& equal) {
    int rc = equal(keys.method(k), call.method);
    if (rc <= 0) {
        return rc;
    }
    const size_t stored_count = keys.count(k);
    for (size_t i = 0; i < stored_count && i < call.count; ++i) {
        rc = equal(keys.name(k, i), call.names[i]);
        if (rc <= 0) {
            return rc;
        }
        rc = equal(keys.value(k, i), call.values[i]);
        if (rc <= 0) {
            return rc;
        }
    }
    return stored_count == call.count ? 1 : 0;
}

// 1 equal, 0 not, -1 failed; identity counts as equal, as in a tuple.
inline int equal_items(PyObject* stored, PyObject* query) {
    return stored == query ? 1 : PyObject_RichCompareBool(stored, query, Py_EQ);
}

}  // namespace

int bound_equals_pure(const KeyStore& keys, CacheKey k, const BoundCall& call) noexcept {
    return compare_key(keys, k, call, pure_equal);
}

Result<bool> bound_equals(const KeyStore& keys, CacheKey k, const BoundCall& call) {
    int rc = compare_key(keys, k, call, equal_items);
    if (rc < 0) {
        return Error::fetch();
    }
    return rc == 1;
}

}  // namespace quendle
