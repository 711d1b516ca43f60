// A compact set of cache keys: a short unordered array searched linearly
// while small, an open-addressing hash table once it grows. Sixteen bytes
// when empty or small, so per-key records stay small.
#pragma once

#include "base/fault_injection.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace quendle {

using CacheKey = std::uint64_t;

class KeySet {
public:
    KeySet() noexcept = default;
    KeySet(const KeySet& other) : size_(other.size_), cap_(other.cap_) {
        if (other.cap_ != 0) {
            data_ = allocate(other.cap_);
            std::memcpy(data_, other.data_, sizeof(CacheKey) * other.cap_);
        }
    }
    KeySet(KeySet&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          cap_(std::exchange(other.cap_, 0)) {}
    KeySet& operator=(KeySet other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(cap_, other.cap_);
        return *this;
    }
    ~KeySet() { std::free(data_); }

    [[nodiscard]] std::uint32_t size() const noexcept { return size_; }
    [[nodiscard]] bool empty() const noexcept { return size_ == 0; }

    [[nodiscard]] bool contains(CacheKey k) const noexcept {
        if (!hashed()) {
            for (std::uint32_t i = 0; i < size_; ++i) {
                if (data_[i] == k) {
                    return true;
                }
            }
            return false;
        }
        std::uint32_t mask = cap_ - 1;
        for (std::uint32_t i = mix(k) & mask;; i = (i + 1) & mask) {
            if (data_[i] == k) {
                return true;
            }
            if (data_[i] == kEmpty) {
                return false;
            }
        }
    }

    // Makes room for one more key, so that the next insert cannot fail.
    // Throws std::bad_alloc, leaving the members as they were.
    void reserve_one() {
        if (!hashed()) {
            if (size_ < kSmall) {
                if (size_ == cap_) {
                    grow_small();
                }
                return;
            }
            rehash(kSmall * 4);
        } else if ((size_ + 1) * 2 > cap_) {
            rehash(cap_ * 2);
        }
    }

    // Returns true when the key was not yet present. Throws std::bad_alloc
    // (never after reserve_one), leaving the members as they were.
    bool insert(CacheKey k) {
        if (contains(k)) {
            return false;
        }
        reserve_one();
        if (!hashed()) {
            data_[size_++] = k;
        } else {
            place(k);
            ++size_;
        }
        return true;
    }

    // Calls f(key) for every member; the order is unspecified.
    template <class F>
    void for_each(F&& f) const {
        if (!hashed()) {
            for (std::uint32_t i = 0; i < size_; ++i) {
                f(data_[i]);
            }
            return;
        }
        for (std::uint32_t i = 0; i < cap_; ++i) {
            if (data_[i] != kEmpty) {
                f(data_[i]);
            }
        }
    }

private:
    static constexpr CacheKey kEmpty = ~CacheKey{0};
    static constexpr std::uint32_t kSmall = 16;

    [[nodiscard]] bool hashed() const noexcept { return cap_ > kSmall; }

    static std::uint32_t mix(CacheKey k) noexcept {
        k ^= k >> 33;
        k *= 0xff51afd7ed558ccdULL;
        k ^= k >> 33;
        return static_cast<std::uint32_t>(k);
    }

    static CacheKey* allocate(std::uint32_t n) {
        fault_point();
        void* p = std::malloc(sizeof(CacheKey) * n);
        if (p == nullptr) {
            throw std::bad_alloc();
        }
        return static_cast<CacheKey*>(p);
    }

    void grow_small() {
        std::uint32_t ncap = cap_ == 0 ? 2 : cap_ * 2;
        if (ncap > kSmall) {
            ncap = kSmall;
        }
        fault_point();
        void* p = std::realloc(data_, sizeof(CacheKey) * ncap);
        if (p == nullptr) {
            throw std::bad_alloc();
        }
        data_ = static_cast<CacheKey*>(p);
        cap_ = ncap;
    }

    void place(CacheKey k) noexcept {
        std::uint32_t mask = cap_ - 1;
        std::uint32_t i = mix(k) & mask;
        while (data_[i] != kEmpty) {
            i = (i + 1) & mask;
        }
        data_[i] = k;
    }

    void rehash(std::uint32_t ncap) {
        CacheKey* fresh = allocate(ncap);
        std::memset(fresh, 0xff, sizeof(CacheKey) * ncap);
        CacheKey* old = data_;
        std::uint32_t old_cap = cap_;
        bool was_hashed = hashed();
        data_ = fresh;
        cap_ = ncap;
        if (was_hashed) {
            for (std::uint32_t i = 0; i < old_cap; ++i) {
                if (old[i] != kEmpty) {
                    place(old[i]);
                }
            }
        } else {
            for (std::uint32_t i = 0; i < size_; ++i) {
                place(old[i]);
            }
        }
        std::free(old);
    }

    CacheKey* data_ = nullptr;
    std::uint32_t size_ = 0;
    std::uint32_t cap_ = 0;
};

}  // namespace quendle
