// The value slots of a cache level (the base level and each scenario layer):
// optional owned references indexed by key, and the graveyard that defers
// releasing the references an operation displaces until the state is
// consistent again.
#pragma once

#include "base/ref.h"
#include "keys/key_set.h"

#include <utility>
#include <vector>

namespace quendle {

// References displaced while an operation runs; released when the graveyard
// dies, after the operation has put the state back in order and given up its
// borrow, so finalisers of released objects find the instance consistent.
class Graveyard {
public:
    Graveyard() = default;
    Graveyard(Graveyard&&) noexcept = default;
    Graveyard& operator=(Graveyard&&) = delete;
    Graveyard(const Graveyard&) = delete;
    // Never fails: without memory to defer the release, the object is
    // released at once.
    void bury(PyObject* owned) noexcept {
        if (owned == nullptr) {
            return;
        }
        Ref ref = Ref::steal(owned);
        if (!first_) {
            first_ = std::move(ref);  // the usual single displaced value: no allocation
            return;
        }
        try {
            dead_.push_back(std::move(ref));
        } catch (...) {
            // The vector is unchanged and `ref` still holds the object,
            // which it releases on the way out.
        }
    }
    // Released last buried first.
    ~Graveyard() {
        while (!dead_.empty()) {
            Ref last = std::move(dead_.back());
            dead_.pop_back();
        }
        Ref first = std::move(first_);
    }

private:
    Ref first_;
    std::vector<Ref> dead_;
};

// A sequence of optional owned references indexed by CacheKey.
class ValueSlots {
public:
    ValueSlots() = default;
    ValueSlots(const ValueSlots&) = delete;
    ValueSlots(ValueSlots&&) noexcept = default;
    ValueSlots& operator=(ValueSlots&&) noexcept = default;
    ~ValueSlots() = default;

    [[nodiscard]] size_t size() const noexcept { return slots_.size(); }
    [[nodiscard]] PyObject* at(CacheKey k) const noexcept {
        return k < slots_.size() ? slots_[k].get() : nullptr;
    }
    // Extends with empty slots as needed and replaces slot k.
    void set(CacheKey k, Ref value, Graveyard& dead) {
        if (k >= slots_.size()) {
            extend(k);
        }
        dead.bury(std::exchange(slots_[k], std::move(value)).release());
    }
    // Empties slot k; returns whether it held an object.
    bool clear(CacheKey k, Graveyard& dead);
    // Empties every slot; calls f(k) for each slot that held an object.
    template <class F>
    void clear_all(Graveyard& dead, F&& f) {
        for (size_t i = 0; i < slots_.size(); ++i) {
            if (slots_[i]) {
                dead.bury(std::exchange(slots_[i], Ref()).release());
                f(static_cast<CacheKey>(i));
            }
        }
    }
    int traverse(visitproc visit, void* arg) const;
    void move_all_to(Graveyard& dead) noexcept;

private:
    void extend(CacheKey k);

    std::vector<Ref> slots_;
};

}  // namespace quendle
