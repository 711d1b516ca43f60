// Unit tests of the compact key set behind the dependency graph: it switches
// from a short array to a hash table as it grows, and copies deeply (a
// scenario keeps a copy of every set).
#include "keys/key_set.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

namespace quendle {
namespace {

std::vector<CacheKey> members(const KeySet& s) {
    std::vector<CacheKey> out;
    s.for_each([&](CacheKey k) { out.push_back(k); });
    std::sort(out.begin(), out.end());
    return out;
}

class KeySetSizes : public ::testing::TestWithParam<int> {};

TEST_P(KeySetSizes, HoldsEachKeyOnceWhateverItsSize) {
    const int n = GetParam();
    KeySet s;
    std::set<CacheKey> model;
    for (int i = 0; i < n; ++i) {
        // A scattered sequence with repeats, so both modes see duplicates.
        const CacheKey k = static_cast<CacheKey>((i * 7919) % (n + 3));
        EXPECT_EQ(s.insert(k), model.insert(k).second) << "key " << k;
    }
    EXPECT_EQ(s.size(), model.size());
    EXPECT_EQ(members(s), std::vector<CacheKey>(model.begin(), model.end()));
    for (CacheKey k = 0; k < static_cast<CacheKey>(n + 5); ++k) {
        EXPECT_EQ(s.contains(k), model.count(k) == 1) << "key " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(SmallAndHashed, KeySetSizes, ::testing::Values(0, 1, 2, 15, 16, 17, 64, 1000, 100000));

TEST(KeySet, CopiesAreIndependent) {
    for (int n : {3, 40}) {
        KeySet a;
        for (int i = 0; i < n; ++i) {
            a.insert(static_cast<CacheKey>(i));
        }
        KeySet b = a;
        b.insert(1000);
        EXPECT_FALSE(a.contains(1000));
        EXPECT_TRUE(b.contains(1000));
        EXPECT_EQ(a.size() + 1, b.size());
        KeySet c;
        c = b;
        EXPECT_EQ(members(c), members(b));
    }
}

TEST(KeySet, MovedFromSetIsEmptyAndReusable) {
    KeySet a;
    for (CacheKey k = 0; k < 40; ++k) {
        a.insert(k);
    }
    KeySet b = std::move(a);
    EXPECT_EQ(b.size(), 40u);
    EXPECT_TRUE(a.empty());  // NOLINT(bugprone-use-after-move): documented state
    EXPECT_TRUE(a.insert(7));
    EXPECT_TRUE(a.contains(7));
}

TEST(KeySet, LargeKeysAreStored) {
    KeySet s;
    const CacheKey big = ~CacheKey{0} - 1;  // the largest key that can exist
    for (CacheKey i = 0; i < 20; ++i) {
        s.insert(big - i);
    }
    EXPECT_TRUE(s.contains(big));
    EXPECT_EQ(s.size(), 20u);
}

}  // namespace
}  // namespace quendle
