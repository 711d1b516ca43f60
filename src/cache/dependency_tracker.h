// The validation state of each key and the dependency graph between keys
// (dependants, with a reverse index of dependencies), dense by key, as the
// live state and every scenario layer's saved copy hold them.
#pragma once

#include "base/result.h"
#include "keys/key_set.h"

#include <cstdint>
#include <string>
#include <vector>

namespace quendle {

enum class ValidationState : std::uint8_t {
    Valid = 0,
    Invalid = 1,
    PermanentlyInvalid = 2
};

// When a key's value last changed and when it was last known current, on
// one process-wide clock: comparable across instances and layers.
struct Stamps {
    std::uint64_t changed = 0;
    std::uint64_t verified = 0;
};

// Ticks the process-wide clock of changes: a new, larger time.
std::uint64_t next_tick() noexcept;

// Validation states and the dependency graph, dense by key. Edge sets live
// in a side table so that keys without edges cost a few bytes.
//
// Early cut-off adds two marks per key and its stamps. A key whose method
// compares a recomputed value with the previous one is a cut-off key. An
// Invalid key is *settleable* when every change that reached it since it
// was last Valid came through a cut-off key: once the keys it depends on
// are brought up to date, it becomes Valid again without running if none
// of them changed after it was last verified.
class DependencyTracker {
public:
    static constexpr std::uint8_t kNoEntry = 0xff;
    static constexpr std::uint8_t kCutoff = 1;      // the key's method has a cut-off
    static constexpr std::uint8_t kSettleable = 2;  // Invalid, reached only through cut-off keys
    // How a Valid key became valid last, for explanations: its cut-off kept
    // the previous value, or it was settled without running.
    static constexpr std::uint8_t kKept = 4;
    static constexpr std::uint8_t kRevalidated = 8;
    static constexpr std::uint8_t kHow = kSettleable | kKept | kRevalidated;

    struct Edges {
        KeySet dependants;    // keys computed from this key
        KeySet dependencies;  // reverse index: keys this key was computed from
    };

    [[nodiscard]] bool has_state(CacheKey k) const noexcept {
        return k < state.size() && state[k] != kNoEntry;
    }
    [[nodiscard]] ValidationState read(CacheKey k) const noexcept {
        return has_state(k) ? static_cast<ValidationState>(state[k]) : ValidationState::PermanentlyInvalid;
    }
    // Both extend their arrays to k; the usual k is the next key, appended.
    void set_state(CacheKey k, ValidationState s) {
        if (k < state.size()) {
            state[k] = static_cast<std::uint8_t>(s);
        } else {
            extend_state(k, s);
        }
    }
    void ensure_node(CacheKey k) {
        if (k < is_node.size()) {
            is_node[k] = 1;
        } else {
            extend_nodes(k);
        }
    }
    [[nodiscard]] bool node(CacheKey k) const noexcept { return k < is_node.size() && is_node[k] != 0; }
    void add_edge(CacheKey dependency, CacheKey dependant);
    [[nodiscard]] const KeySet* dependants(CacheKey k) const noexcept {
        const std::uint32_t slot = k < edge_slot.size() ? edge_slot[k] : 0;
        return slot != 0 ? &edges[slot].dependants : nullptr;
    }
    [[nodiscard]] const KeySet* dependencies(CacheKey k) const noexcept {
        const std::uint32_t slot = k < edge_slot.size() ? edge_slot[k] : 0;
        return slot != 0 ? &edges[slot].dependencies : nullptr;
    }
    // Valid becomes Invalid; other states stay. An Invalid key reached this
    // way must run again (it is no longer settleable).
    void demote(CacheKey k) noexcept {
        if (has_state(k) && state[k] == static_cast<std::uint8_t>(ValidationState::Valid)) {
            state[k] = static_cast<std::uint8_t>(ValidationState::Invalid);
        }
        clear_mark(k, kSettleable);
    }
    // Valid becomes Invalid and settleable; an Invalid key keeps its marks.
    // Whether it was Valid.
    bool demote_settleable(CacheKey k) noexcept {
        if (has_state(k) && state[k] == static_cast<std::uint8_t>(ValidationState::Valid)) {
            state[k] = static_cast<std::uint8_t>(ValidationState::Invalid);
            marks[k] |= kSettleable;  // room made by reserve_marks
            return true;
        }
        return false;
    }
    void demote_all() noexcept {
        for (std::uint8_t& s : state) {
            if (s == static_cast<std::uint8_t>(ValidationState::Valid)) {
                s = static_cast<std::uint8_t>(ValidationState::Invalid);
            }
        }
        for (std::uint8_t& m : marks) {
            m &= static_cast<std::uint8_t>(~kSettleable);
        }
    }

    // ------------------------------------------------------ early cut-off
    [[nodiscard]] bool has_mark(CacheKey k, std::uint8_t mark) const noexcept {
        return k < marks.size() && (marks[k] & mark) != 0;
    }
    [[nodiscard]] bool settleable(CacheKey k) const noexcept {
        return has_mark(k, kSettleable) && read(k) == ValidationState::Invalid;
    }
    void clear_mark(CacheKey k, std::uint8_t mark) noexcept {
        if (k < marks.size()) {
            marks[k] &= static_cast<std::uint8_t>(~mark);
        }
    }
    // Throws std::bad_alloc, marking nothing.
    void set_mark(CacheKey k, std::uint8_t mark) {
        reserve_marks(k + 1);
        marks[k] |= mark;
    }
    void reserve_marks(size_t key_count) {
        if (marks.size() < key_count) {
            marks.resize(key_count, 0);
        }
    }
    // Whether any key has a cut-off, so walks without one stay as they were.
    [[nodiscard]] bool any_cutoff() const noexcept { return cutoff_keys != 0; }
    void count_cutoff() noexcept { ++cutoff_keys; }
    [[nodiscard]] Stamps stamps_of(CacheKey k) const noexcept {
        return k < stamps.size() ? stamps[k] : Stamps{};
    }
    // Throws std::bad_alloc, changing nothing.
    void reserve_stamps(CacheKey k) {
        if (stamps.size() <= k) {
            stamps.resize(k + 1);
        }
    }
    void set_stamps(CacheKey k, Stamps s) {
        reserve_stamps(k);
        stamps[k] = s;
    }
    // k's value was put in place now by an update or a load: changed, but
    // never verified, since nothing computed it (it cannot settle: an
    // invalidation that reaches it discards it as without a cut-off).
    void stamp_changed(CacheKey k) { set_stamps(k, Stamps{next_tick(), 0}); }
    // f(key) for every key with a state, and for every node, in key order.
    template <class F>
    Status for_each_with_state(F&& f) const {
        for (CacheKey k = 0; k < state.size(); ++k) {
            if (state[k] != kNoEntry) {
                Q_TRY(f(k));
            }
        }
        return {};
    }
    template <class F>
    Status for_each_node(F&& f) const {
        for (CacheKey k = 0; k < is_node.size(); ++k) {
            if (is_node[k] != 0) {
                Q_TRY(f(k));
            }
        }
        return {};
    }

#ifdef QUENDLE_INVARIANTS
    // Sizes within key_count, one edge record per key that has one, and the
    // two edge indexes mirroring each other. `which` names the graph in the
    // description of a violation.
    [[nodiscard]] Status check(size_t key_count, const std::string& which) const;
#endif

private:
    Edges& edges_of(CacheKey k);
    void extend_state(CacheKey k, ValidationState s);
    void extend_nodes(CacheKey k);

#ifdef QUENDLE_INVARIANTS
    friend Status check_edge_slots(const DependencyTracker& t, const std::string& which);
    friend Status check_edge_symmetry(const DependencyTracker& t, size_t key_count, const std::string& which);
#endif

    // Only the methods above change these, so the two edge indexes stay
    // mirrors of each other.
    std::vector<std::uint8_t> state;      // ValidationState, or kNoEntry
    std::vector<std::uint8_t> is_node;    // 1 when the key is a node of the graph
    std::vector<std::uint32_t> edge_slot; // index into edges, 0 when the key has none
    std::vector<Edges> edges;             // edges[0], once made, is never used
    std::vector<std::uint8_t> marks;      // kCutoff | kSettleable, by key (short: none)
    std::vector<Stamps> stamps;           // by key (short: never stamped)
    std::uint64_t cutoff_keys = 0;        // keys marked kCutoff
};

}  // namespace quendle
