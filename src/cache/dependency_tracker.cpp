// The dependency tracker's growth: state and node arrays extended to a key,
// edge records made on first use, and edges added whole or not at all.
#include "cache/dependency_tracker.h"

#include <new>

#include <atomic>

namespace quendle {

namespace {
std::atomic<std::uint64_t> g_clock{0};
}  // namespace

std::uint64_t next_tick() noexcept { return g_clock.fetch_add(1, std::memory_order_relaxed) + 1; }

void DependencyTracker::extend_state(CacheKey k, ValidationState s) {
    if (k > state.size()) {
        state.resize(k, kNoEntry);
    }
    state.push_back(static_cast<std::uint8_t>(s));
}

void DependencyTracker::extend_nodes(CacheKey k) {
    if (k > is_node.size()) {
        is_node.resize(k, 0);
    }
    is_node.push_back(1);
}

DependencyTracker::Edges& DependencyTracker::edges_of(CacheKey k) {
    if (edge_slot.size() <= k) {
        edge_slot.resize(k + 1, 0);
    }
    if (edge_slot[k] == 0) {
        if (edges.size() >= 0xffffffffULL) {
            throw std::bad_alloc();
        }
        if (edges.empty()) {
            edges.emplace_back();  // slot 0 means "no edges"
        }
        edges.emplace_back();
        edge_slot[k] = static_cast<std::uint32_t>(edges.size() - 1);
    }
    return edges[edge_slot[k]];
}

void DependencyTracker::add_edge(CacheKey dependency, CacheKey dependant) {
    ensure_node(dependant);
    ensure_node(dependency);
    Edges& from = edges_of(dependency);
    if (from.dependants.contains(dependant)) {
        return;
    }
    // Room in both sets first, so a failed allocation leaves no half edge.
    Edges& to = edges_of(dependant);
    Edges& from_again = edges[edge_slot[dependency]];  // edges_of may have moved the table
    to.dependencies.reserve_one();
    from_again.dependants.reserve_one();
    to.dependencies.insert(dependency);
    from_again.dependants.insert(dependant);
}

}  // namespace quendle
