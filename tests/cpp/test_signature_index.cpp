// Unit tests of the index from call-signature hashes to keys: keys of equal
// hash are met in allocation order, through growth; a probe ends on the
// first key the comparison accepts or cannot decide, and a key of the same
// hash that is not the one asked for is passed over.
#include "cache/signature_index.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace quendle {
namespace {

// Hashes with many repeats and colliding high halves, so tags and probes
// both meet keys that are not the one asked for.
std::int64_t hash_of(int i) { return static_cast<std::int64_t>((i % 37) * 0x100000001LL); }

class IndexSizes : public ::testing::TestWithParam<int> {};

TEST_P(IndexSizes, MeetsKeysOfEqualHashInAllocationOrder) {
    const int n = GetParam();
    SignatureIndex index;
    std::map<std::int64_t, std::vector<CacheKey>> model;
    for (int i = 0; i < n; ++i) {
        index.insert(hash_of(i));
        model[hash_of(i)].push_back(static_cast<CacheKey>(i));
    }
    ASSERT_EQ(index.size(), static_cast<size_t>(n));
    for (const auto& [hash, keys] : model) {
        std::vector<CacheKey> met;
        const Probe p = index.probe(hash, [&](CacheKey k) {
            met.push_back(k);
            return Tri::No;
        });
        EXPECT_EQ(p.answer, Tri::No);
        EXPECT_EQ(met, keys) << "hash " << hash;
    }
}

TEST_P(IndexSizes, EndsOnTheKeyAcceptedOrUndecided) {
    const int n = GetParam();
    SignatureIndex index;
    for (int i = 0; i < n; ++i) {
        index.insert(hash_of(i));
    }
    for (int i = 0; i < n; i += 7) {
        const auto want = static_cast<CacheKey>(i);
        for (Tri answer : {Tri::Yes, Tri::Undecided}) {
            const Probe p = index.probe(hash_of(i), [&](CacheKey k) { return k == want ? answer : Tri::No; });
            EXPECT_EQ(p.answer, answer);
            EXPECT_EQ(p.key, want);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Growth, IndexSizes, ::testing::Values(0, 1, 5, 37, 38, 500, 5000));

}  // namespace
}  // namespace quendle
