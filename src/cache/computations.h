// The computations in progress on an instance: what each started from (the
// snapshot that decides whether its value is stored), the asynchronous
// computations awaiters join, and the per-thread stacks of call frames.
#pragma once

#include "base/ref.h"
#include "keys/key_set.h"

#include <cstdint>
#include <vector>

namespace quendle {

// What a computation of a key started from. Its value is stored only if
// the snapshot taken at its end is equal: the key and everything it
// depends on were not invalidated, updated or cleared meanwhile (each bumps
// the key's epoch), no clear of the whole cache happened, and no scenario
// layer was pushed or popped. An equal revision (the instance's count of
// changes) says so at once; the rest is compared only when it moved.
struct Snapshot {
    std::uint64_t revision = 0;
    std::uint32_t key_epoch = 0;
    std::uint32_t clear_epoch = 0;
    std::uint64_t layer_changes = 0;
    // The same start as far as the key is concerned, the revision aside.
    bool operator==(const Snapshot& o) const noexcept {
        return key_epoch == o.key_epoch && clear_epoch == o.clear_epoch && layer_changes == o.layer_changes;
    }
};

// An asynchronous computation that awaiters on the same event loop join.
struct PendingComputation {
    CacheKey key;
    Snapshot started;
    Ref loop;         // the event loop its task runs on
    Ref computation;  // the coordination object awaiters join
    Ref driver;       // the awaitable driving the body, which ends the entry
};

struct CallFrame {
    CacheKey key;
    bool track_runtime_dependencies;
    // The fork generation the call started in, and what it started from
    // when callers of the key on other threads wait for it (a synchronous
    // call that stores its value): the snapshot the call keeps while its
    // frame is pushed.
    std::uint32_t fork = 0;
    const Snapshot* shared = nullptr;
};

// Each thread that calls into an instance sees only its own frames.
struct ThreadStack {
    unsigned long thread;
    std::vector<CallFrame> frames;
};

}  // namespace quendle
