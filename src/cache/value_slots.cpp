// The value slots of a cache level: growing, clearing, and handing every
// reference to the graveyard or the garbage collector.
#include "cache/value_slots.h"

#include <utility>

namespace quendle {

void ValueSlots::extend(CacheKey k) {
    if (k == slots_.size()) {
        slots_.emplace_back();
    } else {
        slots_.resize(k + 1);
    }
}

bool ValueSlots::clear(CacheKey k, Graveyard& dead) {
    if (k >= slots_.size() || !slots_[k]) {
        return false;
    }
    dead.bury(std::exchange(slots_[k], Ref()).release());
    return true;
}

int ValueSlots::traverse(visitproc visit, void* arg) const {
    for (const Ref& p : slots_) {
        Py_VISIT(p.get());
    }
    return 0;
}

void ValueSlots::move_all_to(Graveyard& dead) noexcept {
    std::vector<Ref> old;
    old.swap(slots_);
    for (Ref& p : old) {
        dead.bury(p.release());
    }
}

}  // namespace quendle
