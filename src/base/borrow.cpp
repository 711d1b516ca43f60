// The borrows' slow paths: the records of recorded shared borrows and of
// waiting threads, deadlock detection, the wait with the interpreter lock
// released, and the fork handler.
#include "base/borrow.h"
#include "base/thread_exit.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <vector>

namespace quendle {

namespace borrow_detail {

std::uint32_t fork_generation = 0;

// Who holds and who waits for which flag. Read and changed with the
// interpreter lock held, and in a free-threaded build also under the mutex
// (lock_records); the mutex and condition variable serve the waits, which
// run with the lock released. Nothing that can run Python code (or allocate
// a Python object, which can start a collection that waits for every thread)
// is done while the mutex is held.
namespace {

struct Holder {
    BorrowFlag* flag;
    unsigned long thread;
};

std::vector<Holder> g_shared_holders;  // recorded shared borrows
std::vector<Holder> g_waits;           // threads waiting for a flag
std::mutex g_wait_mutex;
std::condition_variable g_wait_cv;

// The thread that made the last fork, and the first generation from which
// its borrows came along every fork since (a thread ident alone may be
// reused by a thread the child starts).
unsigned long g_survivor = 0;
std::uint32_t g_survivor_since = 0;

#if QUENDLE_FREE_THREADING
std::unique_lock<std::mutex> lock_records() { return std::unique_lock<std::mutex>(g_wait_mutex); }
#else
struct NoLock {};
NoLock lock_records() noexcept { return {}; }
#endif

// How often a waiting thread looks for a signal to handle.
constexpr auto kSignalPoll = std::chrono::milliseconds(20);

// Whether `thread`, which took something in fork generation `generation`,
// is gone: it stayed behind in a process this one was forked from.
bool vanished(unsigned long thread, std::uint32_t generation) noexcept {
    return generation != fork_generation && !(thread == g_survivor && generation >= g_survivor_since);
}

// In a forked child: the flag's exclusive borrow and open scenarios of a
// thread that stayed behind are released.
void release_vanished(BorrowFlag& flag) noexcept {
    if (fork_generation == 0) {
        return;
    }
    if (flag.value < 0 && vanished(flag.owner, flag.owner_fork)) {
        flag.release_exclusive();
    }
    if (flag.layer_owner != 0 && vanished(flag.layer_owner, flag.layer_fork)) {
        flag.drop_layers();
    }
}

bool holds_shared(const BorrowFlag* flag, unsigned long thread) {
    return std::any_of(g_shared_holders.begin(), g_shared_holders.end(),
                       [&](const Holder& h) { return h.flag == flag && h.thread == thread; });
}

// The threads holding the flag, as far as they are known, and the thread
// whose scenario is open on it.
template <class F>
void for_each_holder(const BorrowFlag* flag, F&& f) {
    const Py_ssize_t v = __atomic_load_n(&flag->value, __ATOMIC_ACQUIRE);
    if (v < 0) {
        f(flag->owner);
    } else if (v > 0) {
        for (const Holder& h : g_shared_holders) {
            if (h.flag == flag) {
                f(h.thread);
            }
        }
    }
    if (flag->layer_owner != 0) {
        f(flag->layer_owner);
    }
}

// Waits of a thread for another thread's work, not for a flag.
struct ThreadWait {
    unsigned long thread;
    unsigned long on;
    // Set when the work is done: the wait is over even while the waiter has
    // not run yet to take its record away.
    const std::atomic<bool>* done;
};
std::vector<ThreadWait> g_thread_waits;

// Whether a wait of `me` for the threads `start` names would close a cycle
// of threads that each wait for the next (for a flag it holds, or for its
// work), back to `me`.
template <class Start>
bool closes_cycle(unsigned long me, Start&& start) {
    std::vector<unsigned long> pending;
    std::vector<unsigned long> seen;
    auto push = [&](unsigned long t) { pending.push_back(t); };
    start(push);
    while (!pending.empty()) {
        const unsigned long t = pending.back();
        pending.pop_back();
        if (t == me) {
            return true;
        }
        if (std::find(seen.begin(), seen.end(), t) != seen.end()) {
            continue;
        }
        seen.push_back(t);
        for (const Holder& w : g_waits) {
            if (w.thread == t) {
                for_each_holder(w.flag, push);
            }
        }
        for (const ThreadWait& w : g_thread_waits) {
            if (w.thread == t && !w.done->load(std::memory_order_acquire)) {
                push(w.on);
            }
        }
    }
    return false;
}

// Whether waiting for `flag` would close a cycle.
bool would_deadlock(const BorrowFlag* flag, unsigned long me) {
    return closes_cycle(me, [&](auto push) { for_each_holder(flag, push); });
}

Error deadlock_error() {
    return Error::runtime_error(
        "Deadlock: the object is borrowed by another thread that is waiting for an object "
        "this thread has borrowed");
}

bool available(const BorrowFlag& flag, bool exclusive, unsigned long me) {
    const Py_ssize_t v = __atomic_load_n(&flag.value, __ATOMIC_ACQUIRE);
    return (exclusive ? v == 0 : v >= 0) && !flag.foreign_layers(me);
}

Error same_thread_conflict(bool exclusive, Conflict on_conflict) {
    const char* text = exclusive ? "Already borrowed" : "Already mutably borrowed";
    if (on_conflict == Conflict::Raise) {
        return Error::runtime_error(text);
    }
    return QUENDLE_PANIC(text);
}

// Waits, with the interpreter lock released, until the flag looks free.
// Signal handlers run meanwhile (those of the main thread): one that
// raises ends the wait with its exception.
Status wait_for(BorrowFlag& flag, bool exclusive, unsigned long me) {
    {
        [[maybe_unused]] auto records = lock_records();
        g_waits.push_back(Holder{&flag, me});
    }
    waiters.fetch_add(1, std::memory_order_relaxed);
    Status outcome;
    for (;;) {
        bool ready = false;
        with_lock_released([&] {
            std::unique_lock<std::mutex> lock(g_wait_mutex);
            ready = g_wait_cv.wait_for(lock, kSignalPoll, [&] { return available(flag, exclusive, me); });
        });
        if (ready) {
            break;
        }
        if (PyErr_CheckSignals() < 0) {
            outcome = Error::fetch();
            break;
        }
    }
    waiters.fetch_sub(1, std::memory_order_relaxed);
    [[maybe_unused]] auto records = lock_records();
    auto it = std::find_if(g_waits.begin(), g_waits.end(),
                           [&](const Holder& h) { return h.flag == &flag && h.thread == me; });
    if (it != g_waits.end()) {
        g_waits.erase(it);
    }
    return outcome;
}

// os.register_at_fork(after_in_child=...): runs in the child, on the one
// thread that came along, with the interpreter lock held.
PyObject* after_fork_in_child(PyObject* /*module*/, PyObject* /*unused*/) noexcept {
    const unsigned long me = PyThread_get_thread_ident();
    if (me != g_survivor) {
        g_survivor = me;
        g_survivor_since = fork_generation;
    }
    ++fork_generation;
    // A waiter that stayed behind may have held the mutex at the fork.
    new (&g_wait_mutex) std::mutex();
    new (&g_wait_cv) std::condition_variable();
    g_waits.clear();
    g_thread_waits.clear();
    waiters.store(0, std::memory_order_relaxed);
    // Shared borrows of the threads that stayed behind are given back; their
    // exclusive borrows and scenarios go when a thread here meets them.
    std::erase_if(g_shared_holders, [&](const Holder& h) {
        if (h.thread == me) {
            return false;
        }
        h.flag->release_shared();
        return true;
    });
    Py_RETURN_NONE;
}

PyMethodDef after_fork_in_child_def = {"_after_fork_in_child", after_fork_in_child, METH_NOARGS, nullptr};

bool g_fork_handler_registered = false;

}  // namespace

std::atomic<int> waiters{0};

void wake_waiters() noexcept {
    std::lock_guard<std::mutex> lock(g_wait_mutex);
    g_wait_cv.notify_all();
}

void record_shared(BorrowFlag* flag, unsigned long thread) {
    [[maybe_unused]] auto records = lock_records();
    g_shared_holders.push_back(Holder{flag, thread});
}

void forget_shared(const BorrowFlag* flag, unsigned long thread) noexcept {
    [[maybe_unused]] auto records = lock_records();
    for (auto it = g_shared_holders.rbegin(); it != g_shared_holders.rend(); ++it) {
        if (it->flag == flag && it->thread == thread) {
            g_shared_holders.erase(std::next(it).base());
            return;
        }
    }
}

Status acquire_slow(BorrowFlag& flag, bool exclusive, Conflict on_conflict, unsigned long thread) {
    if (thread == 0) {
        thread = PyThread_get_thread_ident();
    }
    for (;;) {
        release_vanished(flag);
        if (exclusive ? flag.try_exclusive(thread) : flag.try_shared(thread)) {
            return {};
        }
        bool mine = false;
        bool deadlock = false;
        {
            [[maybe_unused]] auto records = lock_records();
            const Py_ssize_t v = __atomic_load_n(&flag.value, __ATOMIC_ACQUIRE);
            const bool held = exclusive ? v != 0 : v < 0;
            mine = held && (v < 0 ? __atomic_load_n(&flag.owner, __ATOMIC_RELAXED) == thread
                                  : holds_shared(&flag, thread));
            deadlock = !mine && would_deadlock(&flag, thread);
        }
        if (mine) {
            return same_thread_conflict(exclusive, on_conflict);
        }
        if (deadlock) {
            return deadlock_error();
        }
        Q_TRY(wait_for(flag, exclusive, thread));
    }
}

bool thread_vanished(unsigned long thread, std::uint32_t generation) noexcept { return vanished(thread, generation); }

}  // namespace borrow_detail

Status wait_for_thread(unsigned long owner, const std::atomic<bool>& done, unsigned long me, bool (*gone)(void*),
                       void* context) {
    using namespace borrow_detail;
    {
        [[maybe_unused]] auto records = lock_records();
        if (closes_cycle(me, [&](auto push) { push(owner); })) {
            return deadlock_error();
        }
        g_thread_waits.push_back(ThreadWait{me, owner, &done});
    }
    waiters.fetch_add(1, std::memory_order_relaxed);
    Status outcome;
    for (;;) {
        bool ready = false;
        with_lock_released([&] {
            std::unique_lock<std::mutex> lock(g_wait_mutex);
            ready = g_wait_cv.wait_for(lock, kSignalPoll, [&] { return done.load(std::memory_order_acquire); });
        });
        if (ready) {
            break;
        }
        if (PyErr_CheckSignals() < 0) {
            outcome = Error::fetch();
            break;
        }
        if (gone != nullptr && gone(context)) {
            break;
        }
    }
    waiters.fetch_sub(1, std::memory_order_relaxed);
    [[maybe_unused]] auto records = lock_records();
    auto it = std::find_if(g_thread_waits.begin(), g_thread_waits.end(),
                           [&](const ThreadWait& w) { return w.thread == me && w.on == owner; });
    if (it != g_thread_waits.end()) {
        g_thread_waits.erase(it);
    }
    return outcome;
}

// In the static TLS block, as every exclusive borrow counts in it.
[[gnu::tls_model("initial-exec")]] constinit thread_local std::uint32_t t_borrows_held = 0;

Status register_fork_handler(PyObject* module) {
    if (borrow_detail::g_fork_handler_registered) {
        return {};
    }
    Q_ASSIGN(Ref os, checked(PyImport_ImportModule("os")));
    PyObject* reg = PyObject_GetAttrString(os.get(), "register_at_fork");
    if (reg == nullptr) {  // a platform without fork
        PyErr_Clear();
        return {};
    }
    Ref register_at_fork = Ref::steal(reg);
    Q_ASSIGN(Ref handler, checked(PyCFunction_NewEx(&borrow_detail::after_fork_in_child_def, module, nullptr)));
    Q_ASSIGN(Ref args, checked(PyTuple_New(0)));
    Q_ASSIGN(Ref kwargs, checked(PyDict_New()));
    Q_TRY(checked_status(PyDict_SetItemString(kwargs.get(), "after_in_child", handler.get())));
    Q_ASSIGN(Ref done, checked(PyObject_Call(register_at_fork.get(), args.get(), kwargs.get())));
    borrow_detail::g_fork_handler_registered = true;
    return {};
}
}  // namespace quendle
