// A scenario layer as an instance's cache state keeps it, and one entry of
// the base level as an export gives it.
#pragma once

#include "cache/change_log.h"
#include "cache/dependency_tracker.h"
#include "cache/value_slots.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace quendle {

// A scenario layer: the values set inside it, and the validation states,
// graph and change log it saved when it was pushed.
struct Layer {
    ValueSlots values;
    DependencyTracker saved;
    ChangeLog saved_changes;
    // The scenario entry that pushed the layer: entries are numbered from 1
    // in the order they happen, process-wide, and every layer one entry
    // pushes has its number. A layer with a larger stamp is popped first.
    std::uint64_t stamp = 0;
    // Keys whose values beneath the layer a clear made inside it removed
    // from view: the values stay where they are and show again once the
    // layer is popped. A value the layer holds itself is shown regardless.
    std::vector<std::uint8_t> hidden;

    [[nodiscard]] bool hides(CacheKey k) const noexcept { return k < hidden.size() && hidden[k] != 0; }
    // Room to hide k; throws std::bad_alloc, hiding nothing.
    void reserve_hidden(size_t key_count) {
        if (hidden.size() < key_count) {
            hidden.resize(key_count, 0);
        }
    }
};

// One key of an instance's base level, as `export_entries` gives it and
// `from_entries` takes it: the call's key tuple, its validation state (none
// when the key has no entry), whether it is a node of the dependency graph,
// its base value (empty when none) and its dependants, as indices into the
// same list of entries.
struct CacheEntry {
    Ref key;
    std::optional<ValidationState> state;
    bool node = false;
    Ref value;
    std::vector<size_t> dependants;
    CacheKey source = 0;  // the key in the exporting state (export only)
};

}  // namespace quendle
