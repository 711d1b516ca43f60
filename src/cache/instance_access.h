// Exclusive access to an instance's cache state for one operation.
#pragma once

#include "base/binding.h"
#include "cache/cache_state.h"

namespace quendle {

// Holds an instance's exclusive borrow together with the graveyard of what
// the operation displaces. The order is the point: the borrow is given back
// first and only then are the displaced values released, so their
// finalisers find the instance free and its state consistent.
class [[nodiscard]] ExclusiveAccess {
public:
    static Result<ExclusiveAccess> take(BorrowFlag& flag, Conflict on_conflict) {
        Q_ASSIGN(Borrow b, Borrow::exclusive(flag, on_conflict));
        return ExclusiveAccess(std::move(b));
    }

    ExclusiveAccess(ExclusiveAccess&&) noexcept = default;
    ExclusiveAccess& operator=(ExclusiveAccess&&) = delete;

    [[nodiscard]] Graveyard& dead() noexcept { return dead_; }

private:
    explicit ExclusiveAccess(Borrow borrow) : borrow_(std::move(borrow)) {}

    Graveyard dead_;  // declared first, so destroyed after the borrow
    Borrow borrow_;
};

}  // namespace quendle
