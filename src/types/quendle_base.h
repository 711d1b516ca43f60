// `QuendleBase`: the base class whose instances carry a cache, with its query
// and invalidation methods, dump and load, and the read-only reports.
#pragma once

#include "base/binding.h"
#include "cache/cache_state.h"

#include <memory>

namespace quendle {

struct QuendleBaseObject {
    PyObject_HEAD
    CacheState* state;
    BorrowFlag borrow;
    bool cross_edges;  // has an entry among the cross-instance participants
};

Result<PyObject*> quendle_base_type();
// The type once it exists (it is made when the module is imported), else nullptr.
PyObject* quendle_base_type_if_created() noexcept;

// The instance behind obj when it is a QuendleBase (or subclass) instance.
Result<QuendleBaseObject*> as_quendle_base(PyObject* obj);

// Its state, or an internal failure if the object was never initialised.
Result<CacheState*> state_of(QuendleBaseObject* self);

// Puts `fresh` in place of the instance's state, which must be empty (no
// key registered, no scenario layer): ValueError otherwise, nothing changed.
Status replace_empty_state(QuendleBaseObject* self, std::unique_ptr<CacheState> fresh);
// A new reference to the entry label of k (its method name, or its key
// tuple), or an empty handle when k has none.
Result<Ref> entry_label(const CacheState& state, CacheKey k);

// Methods implemented beside the base class.
PyObject* qb_dump_cache(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* qb_load_cache(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* qb_cached_values(PyObject* self, void* closure);
PyObject* qb_dependency_graph(PyObject* self, void* closure);
PyObject* qb_validation_state(PyObject* self, void* closure);
PyObject* qb_reduce_ex(PyObject* self, PyObject* protocol);
PyObject* qb_copy(PyObject* self, PyObject* unused);
PyObject* qb_deepcopy(PyObject* self, PyObject* memo);

}  // namespace quendle
