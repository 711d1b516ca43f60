// The index from call-signature hashes to dense keys: an open-addressing
// table of tagged entries with one hash per key beside it, probed with a
// comparison the caller gives.
#pragma once

#include "base/result.h"
#include "keys/key_set.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace quendle {

// What a probe of the index answered, and the key it ended on (Yes:
// the key found; Undecided: the key it could not decide).
struct Probe {
    Tri answer = Tri::No;
    CacheKey key = 0;
};

// Maps signature hashes to keys. Open addressing with linear probing and no
// deletion, so entries of equal hash are met in allocation order. The table
// holds key + 1 (0 is empty); each key's hash sits in a dense array.
class SignatureIndex {
public:
    // Meets the keys of `hash` in allocation order; match(key) answers Yes
    // (the search ends with that key), No (it goes on) or Undecided (it
    // gives up). Answers No when no key matched.
    template <class F>
    [[gnu::always_inline]] Probe probe(std::int64_t hash, F&& match) const {
        if (hashes_.empty()) {
            return {};
        }
        const size_t mask = table_.size() - 1;
        const std::uint32_t tag = tag_of(hash);
        for (size_t i = slot_of(hash);; i = (i + 1) & mask) {
            const std::uint64_t e = table_[i];
            if (e == 0) {
                return {};
            }
            const CacheKey k = key_of(e);
            if (tag_of_entry(e) == tag && hashes_[k] == hash) {
                const Tri answer = match(k);
                if (answer != Tri::No) {
                    return {answer, k};
                }
            }
        }
    }
    // The same search where f(key) returns Result<bool>: true ends it with
    // that key, an error ends it with the error.
    template <class F>
    Result<std::optional<CacheKey>> find(std::int64_t hash, F&& f) const {
        std::optional<Error> failed;
        const Probe found = probe(hash, [&](CacheKey k) {
            Result<bool> equal = f(k);
            if (!equal.ok()) {
                failed.emplace(equal.take_error());
                return Tri::Undecided;
            }
            return equal.value() ? Tri::Yes : Tri::No;
        });
        if (failed) {
            return std::move(*failed);
        }
        return found.answer == Tri::Yes ? std::optional<CacheKey>{found.key} : std::nullopt;
    }
    // Registers the next key (keys are dense: the new key is size()).
    void insert(std::int64_t hash);
    [[nodiscard]] size_t size() const noexcept { return hashes_.size(); }
#ifdef QUENDLE_INVARIANTS
    // Every key in the table once, each found from its hash's slot.
    [[nodiscard]] Status check() const;
#endif

private:
    // A table entry holds key + 1 in its low half (0: empty) and the high
    // half of the key's hash above it, so a probe passes over other keys
    // without reading their hashes (a random read each in a large cache).
    static std::uint32_t tag_of(std::int64_t hash) noexcept {
        return static_cast<std::uint32_t>(static_cast<std::uint64_t>(hash) >> 32);
    }
    static std::uint32_t tag_of_entry(std::uint64_t e) noexcept { return static_cast<std::uint32_t>(e >> 32); }
    static CacheKey key_of(std::uint64_t e) noexcept { return (e & 0xffffffffULL) - 1; }
    static std::uint64_t entry_of(CacheKey k, std::int64_t hash) noexcept {
        return (std::uint64_t{tag_of(hash)} << 32) | (k + 1);
    }
    [[nodiscard]] size_t slot_of(std::int64_t hash) const noexcept;
    void place(CacheKey k);
    void grow();

    std::vector<std::uint64_t> table_;
    std::vector<std::int64_t> hashes_;
    std::uint64_t seed_ = 0;
};

}  // namespace quendle
