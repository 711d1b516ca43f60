// What a model reports about its own work: per-method counters of hits,
// runs and invalidations kept in each instance's cache state, and the
// per-thread queue of events that open traces collect (ops/observe.cpp
// words the events and hands them to the traces).
#pragma once

#include "base/result.h"
#include "keys/key_set.h"
#include "keys/key_store.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace quendle {

// The counts of one method of one instance. They count events: a scenario's
// exit does not take them back.
struct MethodCounts {
    std::uint64_t hits = 0;
    std::uint64_t runs = 0;
    std::uint64_t unchanged = 0;    // recomputations that came out equal and were kept
    std::uint64_t revalidated = 0;  // entries made valid again without running
    std::uint64_t invalidations = 0;
};

// The counts of an instance, one record per method name, and for every key
// the record of its method, so that counting costs an index and an add.
class CallCounters {
public:
    // Room for one more key (throws std::bad_alloc, changing nothing).
    [[gnu::always_inline]] void reserve_key() {
        if (slot_.size() == slot_.capacity()) [[unlikely]] {
            slot_.reserve(slot_.size() * 2 + 16);
        }
        if (counts_.size() == counts_.capacity() || first_key_.size() == first_key_.capacity()) [[unlikely]] {
            counts_.reserve(counts_.size() * 2 + 4);
            first_key_.reserve(counts_.size() * 2 + 4);
        }
    }
    // Assigns the key just appended to `keys` (k == the number of keys
    // counted so far) to its method's record, after `reserve_key`: the
    // record of the previous key's method when it is the same name object,
    // else found (or made) by `find_record`.
    [[gnu::always_inline]] void add_key(CacheKey k, const KeyStore& keys) noexcept {
        std::uint32_t found = last_;
        if (found >= counts_.size() || keys.method(first_key_[found]) != keys.method(k)) {
            found = find_record(k, keys);
        }
        last_ = found;
        slot_.push_back(found);
    }
    [[nodiscard]] MethodCounts& of(CacheKey k) noexcept { return counts_[slot_[k]]; }
    [[nodiscard]] const MethodCounts& of(CacheKey k) const noexcept { return counts_[slot_[k]]; }
    [[nodiscard]] size_t methods() const noexcept { return counts_.size(); }
    [[nodiscard]] const MethodCounts& counts(size_t slot) const noexcept { return counts_[slot]; }
    // A key of the method with record `slot` (its name is that key's method).
    [[nodiscard]] CacheKey first_key(size_t slot) const noexcept { return first_key_[slot]; }
    [[nodiscard]] size_t slot(CacheKey k) const noexcept { return slot_[k]; }
    // Back to zero, the records kept.
    void reset() noexcept {
        for (MethodCounts& c : counts_) {
            c = MethodCounts{};
        }
    }
    void clear() noexcept {
        slot_.clear();
        counts_.clear();
        first_key_.clear();
        last_ = 0;
    }

private:
    // The record of k's method, made when there is none (within the room
    // `reserve_key` made). Method names are exact `str`: comparing them
    // runs no Python code.
    std::uint32_t find_record(CacheKey k, const KeyStore& keys) noexcept {
        PyObject* method = keys.method(k);
        const auto n = static_cast<std::uint32_t>(counts_.size());
        for (std::uint32_t s = 0; s < n; ++s) {
            if (keys.method(first_key_[s]) == method) {
                return s;
            }
        }
        for (std::uint32_t s = 0; s < n; ++s) {
            if (PyUnicode_Compare(keys.method(first_key_[s]), method) == 0) {
                return s;
            }
        }
        counts_.emplace_back();
        first_key_.push_back(k);
        return n;
    }

    std::vector<std::uint32_t> slot_;   // by key
    std::vector<MethodCounts> counts_;  // by record
    std::vector<CacheKey> first_key_;   // by record
    std::uint32_t last_ = 0;            // the record of the last key added
};

// ----------------------------------------------------------------- events

enum class EventKind : std::uint8_t {
    Hit,
    Run,
    Unchanged,
    Revalidated,
    Invalidated
};

// What made an entry run or turn invalid.
enum class EventCause : std::uint8_t {
    None,
    FirstCall,          // never computed on this instance
    NotCached,          // permanently invalid: not stored
    Update,             // update_cached_value of `origin`
    Clear,              // clear_cached_value of `origin`
    ClearAll,           // clear_cache()
    Recomputation,      // `origin` recomputed from an invalid dependency
    InvalidDependency,  // `origin` is invalid, no change recorded
    Elsewhere,          // a change on another instance
    NoValue,            // valid, but its value is out of view
    Unrecorded          // a change no longer recorded
};

// An event as the call path and the cache state see it: the instance and
// key numbers only (keys are never freed, so the numbers keep naming the
// same calls). The entry points word it once no borrow is held.
struct QueuedEvent {
    EventKind kind;
    EventCause cause;
    Ref inst;
    CacheKey key;
    CacheKey origin;  // when has_origin
    CacheKey via;     // when has_via: the dependency through which the change reached key
    bool has_origin;
    bool has_via;
};

namespace observe {

// Traces open on any thread: with none, reporting an event costs this load.
extern std::atomic<int> g_open_traces;

// Whether the calling thread has a trace open (the interpreter lock held).
bool thread_traced() noexcept;

// Whether an event on the calling thread is collected.
[[gnu::always_inline]] inline bool wanted() noexcept {
    return g_open_traces.load(std::memory_order_relaxed) != 0 && thread_traced();
}

// Queues an event for the calling thread's traces (throws std::bad_alloc,
// queuing nothing).
void queue(QueuedEvent e);
// Room for `n` more events, so that queuing them cannot fail.
void reserve(size_t n);

// The thread's traces: opened and closed by ops/observe.cpp, which owns the
// lists they fill. Opening throws std::bad_alloc, opening nothing.
void open_trace(PyObject* list);
void close_trace(PyObject* list) noexcept;
// The lists of the calling thread's open traces, oldest first (new
// references).
std::vector<Ref> thread_lists();
// A flush words the queued events and hands them to the lists; one runs
// at a time per thread (wording runs Python code, which may queue more).
// False when there is nothing to flush or a flush is in progress.
bool begin_flush() noexcept;
// Takes the calling thread's queued events, oldest first.
std::vector<QueuedEvent> take_queued() noexcept;
void end_flush() noexcept;
// Events of a change already made could not be queued (out of memory):
// the next flush reports it as a MemoryError rather than hand the traces
// an incomplete record as if it were whole.
void note_lost() noexcept;
// Whether events were lost since the last call; clears the mark.
bool take_lost() noexcept;

}  // namespace observe

}  // namespace quendle
