#include "cache/observe.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <utility>

namespace quendle::observe {

std::atomic<int> g_open_traces{0};

namespace {

// The traces one thread has open and the events queued for them. Only
// touched with the interpreter lock held; a free-threaded build holds the
// registry's mutex instead (lock_registry), while no Python code runs and
// no event is released.
struct ThreadTraces {
    unsigned long thread = 0;
    std::vector<PyObject*> lists;  // borrowed: each trace holds its list until it closes
    std::vector<QueuedEvent> queued;
    bool flushing = false;
    bool lost = false;  // events of a change made could not be queued
};

// Made in static storage without allocating (an empty vector), so that the
// noexcept lookups below cannot fail on first use; never destroyed, so a
// trace closed by a finaliser at exit still finds it.
std::vector<ThreadTraces>& registry() noexcept {
    alignas(std::vector<ThreadTraces>) static unsigned char storage[sizeof(std::vector<ThreadTraces>)];
    static auto* threads = new (storage) std::vector<ThreadTraces>();
    return *threads;
}

ThreadTraces* find(unsigned long thread) noexcept {
    for (ThreadTraces& t : registry()) {
        if (t.thread == thread) {
            return &t;
        }
    }
    return nullptr;
}

#if QUENDLE_FREE_THREADING
std::mutex g_registry_mutex;
std::unique_lock<std::mutex> lock_registry() noexcept { return std::unique_lock<std::mutex>(g_registry_mutex); }
#else
struct NoLock {};
NoLock lock_registry() noexcept { return {}; }
#endif

}  // namespace

bool thread_traced() noexcept {
    [[maybe_unused]] auto guard = lock_registry();
    const ThreadTraces* t = find(PyThread_get_thread_ident());
    return t != nullptr && !t->lists.empty();
}

void queue(QueuedEvent e) {
    [[maybe_unused]] auto guard = lock_registry();
    if (ThreadTraces* t = find(PyThread_get_thread_ident())) {
        t->queued.push_back(std::move(e));
    }
}

void reserve(size_t n) {
    [[maybe_unused]] auto guard = lock_registry();
    if (ThreadTraces* t = find(PyThread_get_thread_ident())) {
        reserve_more(t->queued, n);
    }
}

void open_trace(PyObject* list) {
    const unsigned long thread = PyThread_get_thread_ident();
    [[maybe_unused]] auto guard = lock_registry();
    ThreadTraces* t = find(thread);
    if (t == nullptr) {
        registry().push_back(ThreadTraces{thread, {}, {}, false, false});
        t = &registry().back();
    }
    t->lists.push_back(list);
    g_open_traces.fetch_add(1, std::memory_order_relaxed);
}

void close_trace(PyObject* list) noexcept {
    std::vector<QueuedEvent> dropped;  // released after the registry's lock
    [[maybe_unused]] auto guard = lock_registry();
    std::vector<ThreadTraces>& all = registry();
    for (auto it = all.begin(); it != all.end(); ++it) {
        auto pos = std::find(it->lists.begin(), it->lists.end(), list);
        if (pos == it->lists.end()) {
            continue;
        }
        it->lists.erase(pos);
        g_open_traces.fetch_sub(1, std::memory_order_relaxed);
        if (it->lists.empty() && !it->flushing) {
            dropped.swap(it->queued);
            all.erase(it);
        }
        return;
    }
}

std::vector<Ref> thread_lists() {
    std::vector<Ref> out;
    [[maybe_unused]] auto guard = lock_registry();
    if (const ThreadTraces* t = find(PyThread_get_thread_ident())) {
        for (PyObject* l : t->lists) {
            out.push_back(Ref::borrow(l));
        }
    }
    return out;
}

bool begin_flush() noexcept {
    [[maybe_unused]] auto guard = lock_registry();
    ThreadTraces* t = find(PyThread_get_thread_ident());
    if (t == nullptr || t->flushing || (t->queued.empty() && !t->lost)) {
        return false;
    }
    t->flushing = true;
    return true;
}

std::vector<QueuedEvent> take_queued() noexcept {
    std::vector<QueuedEvent> out;
    [[maybe_unused]] auto guard = lock_registry();
    if (ThreadTraces* t = find(PyThread_get_thread_ident())) {
        out.swap(t->queued);
    }
    return out;
}

void note_lost() noexcept {
    [[maybe_unused]] auto guard = lock_registry();
    if (ThreadTraces* t = find(PyThread_get_thread_ident())) {
        t->lost = true;
    }
}

bool take_lost() noexcept {
    [[maybe_unused]] auto guard = lock_registry();
    ThreadTraces* t = find(PyThread_get_thread_ident());
    return t != nullptr && std::exchange(t->lost, false);
}

void end_flush() noexcept {
    std::vector<QueuedEvent> dropped;  // released after the registry's lock
    [[maybe_unused]] auto guard = lock_registry();
    std::vector<ThreadTraces>& all = registry();
    const unsigned long thread = PyThread_get_thread_ident();
    for (auto it = all.begin(); it != all.end(); ++it) {
        if (it->thread == thread) {
            it->flushing = false;
            if (it->lists.empty()) {
                dropped.swap(it->queued);
                all.erase(it);
            }
            return;
        }
    }
}

}  // namespace quendle::observe
