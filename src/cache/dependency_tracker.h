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

// Validation states and the dependency graph, dense by key. Edge sets live
// in a side table so that keys without edges cost a few bytes.
class DependencyTracker {
public:
    static constexpr std::uint8_t kNoEntry = 0xff;

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
    // Valid becomes Invalid; other states stay.
    void demote(CacheKey k) noexcept {
        if (has_state(k) && state[k] == static_cast<std::uint8_t>(ValidationState::Valid)) {
            state[k] = static_cast<std::uint8_t>(ValidationState::Invalid);
        }
    }
    void demote_all() noexcept {
        for (std::uint8_t& s : state) {
            if (s == static_cast<std::uint8_t>(ValidationState::Valid)) {
                s = static_cast<std::uint8_t>(ValidationState::Invalid);
            }
        }
    }
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
};

}  // namespace quendle
