// The borrow flags that keep operations on one object apart: shared and
// exclusive borrows taken by the entry points, waits for other threads
// with deadlock detection and signal handling, re-entry on the same thread
// reported as a conflict, and the release after os.fork() of what threads
// that did not come along held.
#pragma once

#include "base/result.h"
#include "base/runtime.h"

#include <atomic>
#include <cstdint>
#include <optional>

namespace quendle {

namespace borrow_detail {
// Counts the os.fork() calls this process descends from; borrows and
// scenarios are stamped with it, so a forked child can tell what the
// threads that did not come along held.
extern std::uint32_t fork_generation;
}  // namespace borrow_detail

// 0 = free, n > 0 = n shared borrows, -1 = one exclusive borrow. `owner` is
// the thread holding the exclusive borrow (meaningful while value is -1).
// `layer_owner` is the thread whose scenarios have layers on the instance
// (0 when none): other threads can take no borrow until they are all
// exited. In a build with the interpreter lock every change happens with
// the lock held; a free-threaded build changes `value` by compare-and-swap.
struct BorrowFlag {
    Py_ssize_t value = 0;
    unsigned long owner = 0;
    unsigned long layer_owner = 0;
    std::uint32_t owner_fork = 0;   // the fork generation `owner` took the borrow in
    std::uint32_t layer_fork = 0;   // the same for `layer_owner`
    std::uint32_t layer_depth = 0;  // scenarios of `layer_owner` open on the instance

    // Whether another thread's scenario is open on the instance; `thread`
    // 0 stands for any thread.
    [[nodiscard]] bool foreign_layers(unsigned long thread) const noexcept {
        const unsigned long layers = __atomic_load_n(&layer_owner, __ATOMIC_ACQUIRE);
        return layers != 0 && layers != thread;
    }
#if QUENDLE_FREE_THREADING
    // Without the interpreter lock a flag is taken by compare-and-swap. The
    // scenarios are looked at after the swap: a holder opens a layer before
    // it gives the exclusive borrow back, so a swap that sees the borrow
    // free also sees the layer, and backs out.
    bool try_shared(unsigned long thread = 0) noexcept {
        Py_ssize_t cur = __atomic_load_n(&value, __ATOMIC_RELAXED);
        do {
            if (cur < 0 || foreign_layers(thread)) {
                return false;
            }
        } while (!__atomic_compare_exchange_n(&value, &cur, cur + 1, true, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED));
        if (foreign_layers(thread)) {
            __atomic_fetch_sub(&value, 1, __ATOMIC_RELEASE);
            return false;
        }
        return true;
    }
    bool try_exclusive(unsigned long thread) noexcept {
        Py_ssize_t expected = 0;
        if (foreign_layers(thread) ||
            !__atomic_compare_exchange_n(&value, &expected, -1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
            return false;
        }
        if (foreign_layers(thread)) {
            __atomic_store_n(&value, 0, __ATOMIC_RELEASE);
            return false;
        }
        __atomic_store_n(&owner, thread, __ATOMIC_RELAXED);
        owner_fork = borrow_detail::fork_generation;
        return true;
    }
    void release_shared() noexcept { __atomic_fetch_sub(&value, 1, __ATOMIC_RELEASE); }
#else
    // Every change of a flag is made with the interpreter lock held, so a
    // load and the store after it are never interleaved with another
    // thread's change: no locked instruction is needed. (Threads waiting
    // for a flag with the lock released only read it, under the waiters'
    // mutex.)
    bool try_shared(unsigned long thread = 0) noexcept {
        const Py_ssize_t cur = __atomic_load_n(&value, __ATOMIC_RELAXED);
        if (cur < 0 || foreign_layers(thread)) {
            return false;
        }
        __atomic_store_n(&value, cur + 1, __ATOMIC_RELAXED);
        return true;
    }
    bool try_exclusive(unsigned long thread) noexcept {
        if (__atomic_load_n(&value, __ATOMIC_RELAXED) != 0 || foreign_layers(thread)) {
            return false;
        }
        __atomic_store_n(&value, -1, __ATOMIC_RELAXED);
        owner = thread;
        owner_fork = borrow_detail::fork_generation;
        return true;
    }
    void release_shared() noexcept {
        __atomic_store_n(&value, __atomic_load_n(&value, __ATOMIC_RELAXED) - 1, __ATOMIC_RELEASE);
    }
#endif
    void release_exclusive() noexcept {
#if QUENDLE_FREE_THREADING
        // A thread that meets the flag taken next must not see itself as the owner.
        __atomic_store_n(&owner, 0UL, __ATOMIC_RELAXED);
#endif
        __atomic_store_n(&value, 0, __ATOMIC_RELEASE);
    }
    // A scenario of `thread` (the holder of the exclusive borrow) pushed or
    // popped its layer on the instance.
    void enter_layer(unsigned long thread) noexcept {
        if (layer_depth++ == 0) {
            layer_fork = borrow_detail::fork_generation;
            __atomic_store_n(&layer_owner, thread, __ATOMIC_RELAXED);
        }
    }
    void leave_layer() noexcept {
        if (layer_depth > 0 && --layer_depth == 0) {
            __atomic_store_n(&layer_owner, 0UL, __ATOMIC_RELAXED);
        }
    }
    // No scenario is open on the instance any more (its layers went).
    void drop_layers() noexcept {
        layer_depth = 0;
        __atomic_store_n(&layer_owner, 0UL, __ATOMIC_RELAXED);
    }
};

// What a conflict with a borrow held by the same thread (re-entry from user
// code run inside the operation) becomes. A borrow held by another thread,
// or another thread's open scenario, is waited for, with the interpreter
// lock released: a cycle of such waits is reported as a deadlock, and a
// signal handler that raises (Ctrl-C) ends the wait with its exception.
enum class Conflict {
    Raise,
    Panic
};

// Whether a shared borrow is recorded with its thread, so that a later
// conflict can tell re-entry on the same thread from another thread (needed
// for flags that are also taken exclusively: those of instances).
enum class Share {
    Anonymous,
    Recorded
};

// Slow paths of the borrows, in borrow.cpp.
namespace borrow_detail {
extern std::atomic<int> waiters;
void wake_waiters() noexcept;
void record_shared(BorrowFlag* flag, unsigned long thread);
void forget_shared(const BorrowFlag* flag, unsigned long thread) noexcept;
Status acquire_slow(BorrowFlag& flag, bool exclusive, Conflict on_conflict, unsigned long thread);
// Whether `thread`, which started something in fork generation
// `generation`, stayed behind in a process this one was forked from.
bool thread_vanished(unsigned long thread, std::uint32_t generation) noexcept;
}  // namespace borrow_detail

// Waits, with the interpreter lock released, until `done` is set (under the
// waiters' mutex, or before `borrow_detail::wake_waiters`) by `owner`,
// whose work `me` waits for. The wait joins those for borrows: one that
// would close a cycle of waiting threads fails at once with the deadlock
// error, and a signal handler that raises ends it with its exception.
// `gone(context)`, asked at every signal poll with the thread attached, says
// whether the work ended without `done` being set (its end was missed):
// the wait then ends too.
Status wait_for_thread(unsigned long owner, const std::atomic<bool>& done, unsigned long me,
                       bool (*gone)(void*) = nullptr, void* context = nullptr);

// How many borrows the calling thread holds that a conflict on the same
// thread is reported for (exclusive ones and recorded shared ones). With
// none, no operation of this thread holds an instance while user code runs.
[[gnu::tls_model("initial-exec")]] extern constinit thread_local std::uint32_t t_borrows_held;

// Holds one borrow for its lifetime.
class [[nodiscard]] Borrow {
public:
    static Result<Borrow> shared(BorrowFlag& flag, Conflict on_conflict, Share share = Share::Anonymous) {
        const unsigned long thread = share == Share::Recorded ? PyThread_get_thread_ident() : 0;
        if (!flag.try_shared(thread)) {
            Q_TRY(borrow_detail::acquire_slow(flag, false, on_conflict, thread));
        }
        if (share == Share::Recorded) {
            try {
                borrow_detail::record_shared(&flag, thread);
            } catch (...) {
                flag.release_shared();
                notify_release();
                throw;
            }
        }
        return Borrow(&flag, false, thread);
    }
    // `thread` is the calling thread's ident when the caller has it already.
    static Result<Borrow> exclusive(BorrowFlag& flag, Conflict on_conflict, unsigned long thread = 0) {
        if (thread == 0) {
            thread = PyThread_get_thread_ident();
        }
        if (!flag.try_exclusive(thread)) {
            Q_TRY(borrow_detail::acquire_slow(flag, true, on_conflict, thread));
        }
        return Borrow(&flag, true, 0);
    }

    // Takes the borrow only if it is free now: never waits, never fails.
    static std::optional<Borrow> try_take(BorrowFlag& flag, bool exclusive) noexcept {
        const unsigned long thread = PyThread_get_thread_ident();
        if (exclusive ? !flag.try_exclusive(thread) : !flag.try_shared(thread)) {
            return std::nullopt;
        }
        return Borrow(&flag, exclusive, 0);
    }

    Borrow(Borrow&& other) noexcept
        : flag_(std::exchange(other.flag_, nullptr)), exclusive_(other.exclusive_), recorded_(other.recorded_) {}
    Borrow& operator=(Borrow&&) = delete;
    Borrow(const Borrow&) = delete;
    ~Borrow() { release(); }

    void release() noexcept {
        BorrowFlag* flag = std::exchange(flag_, nullptr);
        if (flag == nullptr) {
            return;
        }
        if (exclusive_ || recorded_ != 0) {
            --t_borrows_held;
        }
        if (exclusive_) {
            flag->release_exclusive();
        } else {
            if (recorded_ != 0) {
                borrow_detail::forget_shared(flag, recorded_);
            }
            flag->release_shared();
        }
        notify_release();
    }

private:
    static void notify_release() noexcept {
        if (borrow_detail::waiters.load(std::memory_order_relaxed) != 0) {
            borrow_detail::wake_waiters();
        }
    }
    Borrow(BorrowFlag* flag, bool exclusive, unsigned long recorded)
        : flag_(flag), exclusive_(exclusive), recorded_(recorded) {
        if (exclusive || recorded != 0) {
            ++t_borrows_held;
        }
    }
    BorrowFlag* flag_;
    bool exclusive_;
    unsigned long recorded_;  // the thread of a recorded shared borrow, else 0
};

// Registers, once per process, what a child forked off with os.fork()
// runs first: the borrows and scenarios of the threads that did not come
// along are released, and the waiters' records and lock start afresh.
Status register_fork_handler(PyObject* module);

}  // namespace quendle
