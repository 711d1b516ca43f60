// Unit tests of the dependency graph's invariants: the dependants and the
// dependencies of every key mirror each other whatever order edges arrive
// in, states read PermanentlyInvalid until set, and demotion turns only
// Valid into Invalid.
#include "cache/dependency_tracker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <utility>
#include <vector>

namespace quendle {
namespace {

std::vector<CacheKey> sorted(const KeySet* s) {
    std::vector<CacheKey> out;
    if (s != nullptr) {
        s->for_each([&](CacheKey k) { out.push_back(k); });
    }
    std::sort(out.begin(), out.end());
    return out;
}

class TrackerSizes : public ::testing::TestWithParam<int> {};

TEST_P(TrackerSizes, EdgeIndexesMirrorEachOther) {
    const int n = GetParam();
    DependencyTracker t;
    std::set<std::pair<CacheKey, CacheKey>> model;  // (dependency, dependant)
    for (int i = 0; i < n * 3; ++i) {
        // Scattered, with repeats and keys far beyond the last one set.
        const auto a = static_cast<CacheKey>((i * 31) % (n + 5));
        const auto b = static_cast<CacheKey>((i * 17 + 3) % (n + 11));
        t.add_edge(a, b);
        model.emplace(a, b);
    }
    for (CacheKey k = 0; k < static_cast<CacheKey>(n + 11); ++k) {
        std::vector<CacheKey> dependants, dependencies;
        for (const auto& [from, to] : model) {
            if (from == k) {
                dependants.push_back(to);
            }
            if (to == k) {
                dependencies.push_back(from);
            }
        }
        std::sort(dependants.begin(), dependants.end());
        std::sort(dependencies.begin(), dependencies.end());
        EXPECT_EQ(sorted(t.dependants(k)), dependants) << "key " << k;
        EXPECT_EQ(sorted(t.dependencies(k)), dependencies) << "key " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, TrackerSizes, ::testing::Values(1, 8, 100, 3000));

TEST(DependencyTracker, StatesAndDemotion) {
    DependencyTracker t;
    EXPECT_FALSE(t.has_state(5));
    EXPECT_EQ(t.read(5), ValidationState::PermanentlyInvalid);
    t.set_state(5, ValidationState::Valid);  // extends past keys 0..4, which stay without a state
    t.set_state(1, ValidationState::PermanentlyInvalid);
    t.set_state(2, ValidationState::Valid);
    EXPECT_FALSE(t.has_state(0));
    EXPECT_FALSE(t.has_state(4));
    t.demote(2);
    EXPECT_EQ(t.read(2), ValidationState::Invalid);
    t.demote(1);
    EXPECT_EQ(t.read(1), ValidationState::PermanentlyInvalid);
    t.demote(4);  // no state: stays without one
    EXPECT_FALSE(t.has_state(4));
    t.demote_all();
    EXPECT_EQ(t.read(5), ValidationState::Invalid);
    EXPECT_EQ(t.read(1), ValidationState::PermanentlyInvalid);
    EXPECT_FALSE(t.has_state(0));
}

}  // namespace
}  // namespace quendle
