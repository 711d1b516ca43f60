// The cache part of a pickled or copied instance as it is made: one record
// per entry the cache state exports, wrapped for a pickler, with the
// cross-instance part when there is one, and the deep copy of a part.
#include "base/key_text.h"
#include "cache/instance_access.h"
#include "ops/pickle_parts.h"

#include <utility>

namespace quendle {

namespace {

Result<Ref> record_of(const CacheEntry& e) {
    Q_ASSIGN(Ref dependants, checked(PyTuple_New(static_cast<Py_ssize_t>(e.dependants.size()))));
    for (size_t i = 0; i < e.dependants.size(); ++i) {
        Q_ASSIGN(Ref index, checked(PyLong_FromSize_t(e.dependants[i])));
        PyTuple_SetItem(dependants.get(), static_cast<Py_ssize_t>(i), index.release());
    }
    Ref state = Ref::borrow(Py_None);
    if (e.state) {
        Q_ASSIGN(state, checked(PyLong_FromLong(static_cast<long>(*e.state))));
    }
    Q_ASSIGN(Ref record, checked(PyTuple_New(e.value ? 5 : 4)));
    PyTuple_SetItem(record.get(), 0, e.key.new_ref());
    PyTuple_SetItem(record.get(), 1, state.release());
    PyTuple_SetItem(record.get(), 2, Ref::borrow(e.node ? Py_True : Py_False).release());
    PyTuple_SetItem(record.get(), 3, dependants.release());
    if (e.value) {
        PyTuple_SetItem(record.get(), 4, e.value.new_ref());
    }
    return record;
}

Result<bool> carries_cache(PyObject* cls) {
    Q_ASSIGN(Ref flag, optional_attr(cls, "__quendle_pickle_cache__"));
    if (!flag) {
        return true;
    }
    const int truth = PyObject_IsTrue(flag.get());
    if (truth < 0) {
        return Error::fetch();
    }
    return truth == 1;
}

Result<Ref> cache_part(Ref records, Ref cross) {
    if (cross) {
        return checked(Py_BuildValue("(lNN)", kCacheFormatVersion, records.release(), cross.release()));
    }
    return checked(Py_BuildValue("(lN)", kCacheFormatVersion, records.release()));
}

}  // namespace

Result<Ref> export_cache_part(PyObject* self, CacheCopy how) {
    Q_ASSIGN(QuendleBaseObject * inst, as_quendle_base(self));
    Q_ASSIGN(bool carry, carries_cache(reinterpret_cast<PyObject*>(Py_TYPE(self))));
    std::vector<CacheEntry> entries;
    if (carry) {
        Q_ASSIGN(Borrow b, Borrow::shared(inst->borrow, Conflict::Raise, Share::Recorded));
        Q_ASSIGN(CacheState * state, state_of(inst));
        Q_ASSIGN(entries, state->export_entries());
    }
    Q_ASSIGN(Ref records, checked(PyTuple_New(static_cast<Py_ssize_t>(entries.size()))));
    for (size_t i = 0; i < entries.size(); ++i) {
        Q_ASSIGN(Ref record, record_of(entries[i]));
        if (how == CacheCopy::Pickle) {
            Q_ASSIGN(record, wrap_record(std::move(record)));
        }
        PyTuple_SetItem(records.get(), static_cast<Py_ssize_t>(i), record.release());
    }
    Ref cross;
    if (!entries.empty()) {
        Q_ASSIGN(cross, export_cross_part(inst, entries, how));
    }
    return cache_part(std::move(records), std::move(cross));
}

Result<Ref> deepcopy_cache_part(PyObject* part, PyObject* memo) {
    PyObject* records = PyTuple_GetItem(part, 1);
    if (records == nullptr) {
        return Error::fetch();
    }
    const Py_ssize_t n = PyTuple_Size(records);
    Q_ASSIGN(Ref copies, checked(PyTuple_New(n)));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* record = PyTuple_GetItem(records, i);
        const Py_ssize_t size = PyTuple_Size(record);
        Q_ASSIGN(Ref copy, checked(PyTuple_New(size)));
        for (Py_ssize_t at = 0; at < size; ++at) {
            PyObject* item = PyTuple_GetItem(record, at);
            if (at != 0 && at != 4) {  // the key and the value are copied, the rest is plain data
                PyTuple_SetItem(copy.get(), at, Ref::borrow(item).release());
                continue;
            }
            Result<Ref> copied = deepcopy_of(item, memo);
            if (!copied.ok()) {
                Error error = copied.take_error();
                error = with_note(std::move(error), "while copying the cache entry " + key_text(record_key(record)),
                                  WithoutNotes::Reworded);
                return error;
            }
            PyTuple_SetItem(copy.get(), at, copied.take().release());
        }
        PyTuple_SetItem(copies.get(), i, copy.release());
    }
    // Tokens and keys of the cross-instance part through the same memo.
    Ref cross;
    if (PyTuple_Size(part) == 3) {
        Q_ASSIGN(cross, deepcopy_of(PyTuple_GetItem(part, 2), memo));
    }
    return cache_part(std::move(copies), std::move(cross));
}

}  // namespace quendle
