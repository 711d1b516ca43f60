// Pickling and copying of QuendleBase instances together with their cache.
//
// `__reduce_ex__` gives `(copyreg.__newobj__, (cls, *newargs), state, None,
// None, quendle._restore_instance)`, where `state` is the pair
// `(user state, cache part)`: the user state is what `__getstate__` gives (or
// the instance's `__dict__` and slots), and the cache part is
// `(kCacheFormatVersion, records)`, one record per entry of the base level:
// `(key, validation state or None, graph node, dependants[, value])`, the
// dependants as indices into the records. An instance with cross-instance
// edges adds a third item, `(token or None, ((record index, end, key), ...))`:
// its own token when other instances depend on it, and each dependency of a
// record on `key` of another instance, named by that instance's token (by
// the instance itself in a shallow copy). Both halves go through the same
// pickler or copier, so one memo covers user state, cached values and
// tokens: an edge travels when both of its ends do.
#pragma once

#include "base/binding.h"

#include <string>

namespace quendle {

// The version of the cache part this build writes and reads.
constexpr long kCacheFormatVersion = 1;

// ------------------------------ pickle_export.cpp, pickle_import.cpp

// The instance's cache part. For a pickler each record is wrapped in an
// object whose reduction annotates a failure to pickle it with the entry's
// method and key arguments; for a copy the records are plain tuples. The
// records are empty when the class sets `__quendle_pickle_cache__` false.
enum class CacheCopy {
    Pickle,  // records wrapped, dependencies elsewhere named by tokens
    Deep,    // plain records, tokens (copied with the copier's memo)
    Shallow  // plain records, dependencies elsewhere on the very instances
};
Result<Ref> export_cache_part(PyObject* self, CacheCopy how);

// A cache part whose keys and values are deep copies made with `memo`.
Result<Ref> deepcopy_cache_part(PyObject* part, PyObject* memo);

// Reads a cache part (plain or wrapped records) and puts the cache it
// describes in place on `obj`, whose cache must be empty. Everything is
// checked before the instance changes.
Status import_cache_part(PyObject* obj, PyObject* part);

// --------------------------------------------------------- pickling.cpp

// `copy.deepcopy(obj, memo)`.
Result<Ref> deepcopy_of(PyObject* obj, PyObject* memo);

// `QuendleBase.__reduce_ex__`, `__copy__` and `__deepcopy__`.
PyObject* qb_reduce_ex(PyObject* self, PyObject* protocol);
PyObject* qb_copy(PyObject* self, PyObject* unused);
PyObject* qb_deepcopy(PyObject* self, PyObject* memo);

// The module function `_restore_instance(obj, state, /)`, the state setter
// of a pickled instance.
extern PyMethodDef restore_instance_def;

// The module function `_instance_token()`, which unpickling calls to make a
// new token standing for an instance (instance_tokens.cpp).
extern PyMethodDef instance_token_def;

}  // namespace quendle
