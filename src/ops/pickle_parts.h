// The parts of a pickled or copied instance's cache, shared by the files
// that make and read them: the record wrappers and labels
// (pickle_records.cpp), the instance tokens (instance_tokens.cpp), the
// cross-instance part (pickle_cross_part.cpp), and what the import
// (pickle_import.cpp) lends the others. The entry points are in
// ops/pickling.h.
#pragma once

#include "cache/cache_state.h"
#include "cache/cross_instance.h"
#include "cache/objects.h"
#include "ops/pickling.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace quendle {

// ---------------------------------------------------- pickle_records.cpp

// A record's key, or nullptr.
PyObject* record_key(PyObject* record);

// The type of the wrappers a pickled cache part holds its records in.
Result<PyObject*> entry_record_type();
// A record wrapped for a pickler, whose failure to pickle it names the entry.
Result<Ref> wrap_record(Ref record);
// The record a wrapper holds, or nullptr once it was cleared.
PyObject* wrapped_record(PyObject* wrapper);

// --------------------------------------------------- instance_tokens.cpp

// A token stands for an instance that other instances depend on. An
// instance's pickle or deep copy names it by its token (its own part says
// "this is me", a dependant's says "my key depends on this key of that
// one"), so the instance itself is never drawn into a pickle, and the one
// memo of a pickler or a copier makes every mention of it one new token.
// Restoring the instance binds the new token to the copy; a dependant
// restored earlier leaves its end with the token, to be linked then.
struct PendingDependant {
    CrossRef dependant;  // a key of a restored instance, invalid until linked
    Ref key;             // the key tuple it depends on, in the token's instance
};

struct TokenObject {
    PyObject_HEAD
    std::optional<CrossRef>* bound;          // owned; the instance restored with it
    std::vector<PendingDependant>* pending;  // owned
};

inline TokenObject* token(PyObject* self) { return reinterpret_cast<TokenObject*>(self); }

Result<Ref> new_token();
Result<bool> is_token(PyObject* obj);
// The instance's token, made on first use and kept while it has edges.
Result<Ref> token_of(QuendleBaseObject* inst);
// The live instance a token was restored with, or nullptr.
QuendleBaseObject* bound_instance(PyObject* tok);

// ------------------------------------------------- pickle_cross_part.cpp

// The cross-instance part `(token or None, ((entry index, end, key), ...))`,
// or an empty handle when there is nothing to carry. An entry's dependency
// elsewhere travels as the far instance's token and the key there, and
// arrives linked when that instance travels in the same pickle or deep
// copy. A shallow copy carries no edge (its end is None): the copy is an
// instance of its own whose inputs nothing ties to the far instance, so
// the entry arrives invalid. The instance's own token travels when others
// depend on it (not for a shallow copy: the dependants stay with the
// original).
Result<Ref> export_cross_part(QuendleBaseObject* inst, const std::vector<CacheEntry>& entries, CacheCopy how);

// The cross-instance part as read: the instance's token and its entries'
// dependencies elsewhere.
struct CrossPart {
    Ref me;  // a token, or empty
    struct Dependency {
        size_t entry;
        Ref end;  // a token or an instance
        Ref key;
    };
    std::vector<Dependency> deps;
};

Result<CrossPart> parse_cross_part(PyObject* part, size_t entry_count);

// A dependency elsewhere found before the restore.
struct FoundDependency {
    CacheKey key;  // here, in the restored state
    Ref other;
    CacheKey other_key;
};

// A dependency whose far end is a token not restored yet.
struct WaitingDependency {
    CacheKey key;
    const CrossPart::Dependency* d;
};

// Finds each dependency's far end where it is known (an instance, or a
// token already restored). `index` maps entries to the restored keys (an
// entry dropped has no dependencies left). A key whose far end is not
// found, or not valid, goes to `invalid`.
Status find_cross_dependencies(const CrossPart& cross, PyObject* obj, const std::vector<size_t>& index,
                               std::vector<FoundDependency>& found, std::vector<WaitingDependency>& waiting,
                               std::vector<CacheKey>& invalid);

// Whether the far end of a dependency found is valid still (read without
// waiting; a busy instance counts as not known to be valid).
bool still_valid(const FoundDependency& f);

// After the restore: the ends left with tokens not restored yet, and the
// instance's own token bound to it, linking the ends that waited for it.
Status finish_cross_part(QuendleBaseObject* inst, const CrossPart& cross, const std::vector<WaitingDependency>& waiting);

// ----------------------------------------------------- pickle_import.cpp

// The new index of an entry the class's current methods dropped.
constexpr size_t kDropped = ~size_t{0};

// A non-negative index, or -1 for anything else (no exception left set).
Py_ssize_t index_of(PyObject* obj);

}  // namespace quendle
