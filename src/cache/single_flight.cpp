// The threads waiting for another thread's computation of a key, and the
// hand-over of its result when it ends.
#include "cache/single_flight.h"
#include "base/borrow.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

namespace quendle {

namespace flight_detail {

std::atomic<std::uint32_t> waiting{0};

namespace {

// One waiting thread, on its own stack while it waits. Read and changed
// with the interpreter lock held, but for `done`, which the waiter reads
// with the lock released.
struct Waiter {
    const QuendleBaseObject* inst;
    CacheKey key;
    unsigned long owner;
    std::uint32_t fork;  // the fork generation the wait began in
    Ref value;
    std::atomic<bool> done{false};
};

std::vector<Waiter*> g_waiters;

// Without the interpreter lock, the records are changed under a mutex
// (never held while Python code runs).
#if QUENDLE_FREE_THREADING
std::mutex g_records;
std::unique_lock<std::mutex> lock_waiters() { return std::unique_lock<std::mutex>(g_records); }
#else
struct NoLock {};
NoLock lock_waiters() noexcept { return {}; }
#endif

void forget(const Waiter* w) noexcept {
    [[maybe_unused]] auto records = lock_waiters();
    auto it = std::find(g_waiters.begin(), g_waiters.end(), w);
    if (it != g_waiters.end()) {
        g_waiters.erase(it);
        --waiting;
    }
}

}  // namespace

void land(const QuendleBaseObject* inst, CacheKey key, unsigned long owner, PyObject* value) noexcept {
    bool woke = false;
    [[maybe_unused]] auto records = lock_waiters();
    std::erase_if(g_waiters, [&](Waiter* w) {
        if (w->inst != inst || w->key != key || w->owner != owner) {
            return false;
        }
        if (w->fork == borrow_detail::fork_generation) {  // else the waiter stayed behind in the parent
            if (value != nullptr) {
                w->value = Ref::borrow(value);
            }
            w->done.store(true, std::memory_order_release);
            woke = true;
        }
        --waiting;
        return true;
    });
    if (woke) {
        borrow_detail::wake_waiters();
    }
}

}  // namespace flight_detail

Result<Ref> await_computation(QuendleBaseObject* inst, CacheKey key, unsigned long owner, unsigned long me) {
    using flight_detail::g_waiters;
    flight_detail::Waiter w{inst, key, owner, borrow_detail::fork_generation, Ref(), {}};
    {
        [[maybe_unused]] auto records = flight_detail::lock_waiters();
        g_waiters.push_back(&w);
        ++flight_detail::waiting;
    }
    {
        struct Forget {
            const flight_detail::Waiter* w;
            ~Forget() { flight_detail::forget(w); }
        } forget{&w};
        // Without the interpreter lock the computation may end between the
        // look at its frame and this registration, landing nobody: the wait
        // also ends once the owner's frame for the key is gone.
        struct Watch {
            QuendleBaseObject* inst;
            CacheKey key;
            unsigned long owner;
        } watch{inst, key, owner};
        auto gone = [](void* context) -> bool {
            const auto* c = static_cast<const Watch*>(context);
            std::optional<Borrow> b = Borrow::try_take(c->inst->borrow, false);
            if (!b || c->inst->state == nullptr) {
                return false;  // busy: look again at the next poll
            }
            // A clear since the wait began does not end it: the waiters called
            // before the clear and share what the owner computes.
            return !c->inst->state->still_computing(c->key, c->owner);
        };
        Q_TRY(wait_for_thread(owner, w.done, me, gone, &watch));
    }
    if (!w.value) {
        return Ref();
    }
    // Served without running the body: a hit, on the state as it is now.
    Q_ASSIGN(Borrow b, Borrow::exclusive(inst->borrow, Conflict::Raise, me));
    Q_ASSIGN(CacheState * state, state_of(inst));
    if (key < state->next_key()) {
        if (observe::wanted()) {
            state->queue_event(EventKind::Hit, key);
        }
        ++state->counts(key).hits;
    }
    return std::move(w.value);
}

}  // namespace quendle
