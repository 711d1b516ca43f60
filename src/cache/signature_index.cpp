// The signature index's table: a seed per index, slots from hashes, and
// growth that keeps keys of equal hash in allocation order.
#include "cache/signature_index.h"

#include <atomic>
#include <new>
#include <random>

namespace quendle {

namespace {

// A seed per index: a process-wide random start, stepped and mixed for
// each index (the system's random source is read once, not per instance).
std::uint64_t random_seed() {
    static const std::uint64_t start = [] {
        std::random_device rd;
        return (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
    }();
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t z = start + counter.fetch_add(1, std::memory_order_relaxed) * 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

}  // namespace

size_t SignatureIndex::slot_of(std::int64_t hash) const noexcept {
    std::uint64_t h = static_cast<std::uint64_t>(hash) ^ seed_;
    h ^= h >> 31;
    h *= 0x7fb5d329728ea185ULL;
    h ^= h >> 27;
    h *= 0x81dadef4bc2dd44dULL;
    h ^= h >> 33;
    return static_cast<size_t>(h) & (table_.size() - 1);
}

void SignatureIndex::place(CacheKey k) {
    const size_t mask = table_.size() - 1;
    size_t i = slot_of(hashes_[k]);
    while (table_[i] != 0) {
        i = (i + 1) & mask;
    }
    table_[i] = entry_of(k, hashes_[k]);
}

void SignatureIndex::insert(std::int64_t hash) {
    if (hashes_.size() >= 0xfffffffeULL) {
        throw std::bad_alloc();
    }
    hashes_.push_back(hash);
    if (hashes_.size() * 4 > table_.size() * 3) {
        try {
            grow();
        } catch (...) {
            hashes_.pop_back();
            throw;
        }
        return;  // grow placed every key, the new one included
    }
    place(hashes_.size() - 1);
}

void SignatureIndex::grow() {
    if (table_.empty()) {
        seed_ = random_seed();
    }
    std::vector<std::uint64_t> fresh(table_.empty() ? 16 : table_.size() * 2, 0);
    table_.swap(fresh);
    // Placing keys in allocation order keeps equal hashes in that order.
    for (CacheKey k = 0; k < hashes_.size(); ++k) {
        place(k);
    }
}

}  // namespace quendle
