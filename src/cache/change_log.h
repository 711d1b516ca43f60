// What explains an entry that is not served: the log of the last change
// each key underwent itself, and the diagnosis the cache state gives of an
// entry, which ops/explain.cpp words.
#pragma once

#include "keys/key_set.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace quendle {

// The last change of each key that an operation made to the key itself (an
// update, a clear, a computation that met an invalid dependency), kept only
// to explain why an entry is not served (ops/explain.cpp). One record per
// such operation and never one per dependant: the explanation walks from an
// entry down its dependencies to the records. A key's record goes when the
// key is computed again, so there are never more records than keys.
enum class ChangeKind : std::uint8_t {
    Updated,
    Cleared,
    Invalidated
};

struct ChangeRecord {
    std::uint64_t seq;  // the order of the changes on this instance
    ChangeKind kind;
};

class ChangeLog {
public:
    // Throws std::bad_alloc. A record left by an operation that then failed
    // only words an explanation; it never decides what is served.
    void note(CacheKey k, ChangeKind kind) { records_.insert_or_assign(k, ChangeRecord{++seq_, kind}); }
    void forget(CacheKey k) noexcept {
        if (!records_.empty()) {
            records_.erase(k);
        }
    }
    // clear_cache: every record goes; the keys that existed then are marked.
    void note_clear_all(size_t key_count) noexcept {
        records_.clear();
        cleared_below_ = key_count;
    }
    [[nodiscard]] const ChangeRecord* find(CacheKey k) const noexcept {
        auto it = records_.find(k);
        return it == records_.end() ? nullptr : &it->second;
    }
    // Whether k existed at the last clear_cache.
    [[nodiscard]] bool cleared_by_clear_all(CacheKey k) const noexcept { return k < cleared_below_; }
    [[nodiscard]] size_t size() const noexcept { return records_.size(); }
    // The largest key with a record plus one (0 without records).
    [[nodiscard]] size_t key_bound() const noexcept {
        size_t bound = 0;
        for (const auto& [k, r] : records_) {
            bound = std::max(bound, static_cast<size_t>(k) + 1);
        }
        return bound;
    }

private:
    std::unordered_map<CacheKey, ChangeRecord> records_;
    size_t cleared_below_ = 0;
    std::uint64_t seq_ = 0;
};

// Why an entry is or is not served, as the cache state knows it; the module
// function `explain` words it (ops/explain.cpp).
struct Diagnosis {
    enum class Kind : std::uint8_t {
        Served,              // Valid with a stored value
        ValidWithoutValue,   // Valid, but no level holds a value
        NoEntry,             // a key without a validation state
        Invalid,
        PermanentlyInvalid
    };
    enum class Cause : std::uint8_t {
        None,
        Change,              // path.back() changed: `change` says how
        ClearAll,            // clear_cache() removed or invalidated it
        InvalidDependency,   // path.back() is invalid, no change recorded
        MissingDependency,   // path.back() has no validation state
        PermanentDependency  // path.back() is permanently invalid
    };
    Kind kind = Kind::NoEntry;
    Cause cause = Cause::None;
    ChangeKind change = ChangeKind::Updated;
    bool has_value = false;  // some level holds a value, served or not
    // Early cut-off: how a served key became valid last (kKept or
    // kRevalidated), or kSettleable for an Invalid key reached only through
    // keys with a cut-off.
    std::uint8_t cutoff = 0;
    // The key first, then the dependencies leading to the cause, each a
    // dependency of the one before it.
    std::vector<CacheKey> path;
    std::vector<CacheKey> dependencies;  // the key's direct dependencies, ascending
};

}  // namespace quendle
