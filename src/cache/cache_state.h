// The per-instance cache state: the registry of keys, the value slots of
// the base level and of every scenario layer, validation states and the
// dependency graph, the change log, the per-thread call stacks and the
// asynchronous computations in progress, and the operations that keep them
// consistent with each other. Its parts are declared in the headers below
// (value slots, dependency tracker, change log, signature index,
// computations, layers and exported entries); this one holds CacheState.
#pragma once

#include "cache/change_log.h"
#include "cache/computations.h"
#include "cache/dependency_tracker.h"
#include "cache/layer.h"
#include "cache/observe.h"
#include "cache/signature_index.h"
#include "cache/value_slots.h"
#include "keys/introspection.h"
#include "keys/key_set.h"
#include "keys/key_store.h"
#include "keys/native_binder.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quendle {

class CacheState {
public:
    CacheState() = default;
    CacheState(const CacheState&) = delete;
    ~CacheState() = default;

    // ------------------------------------------------------------ registry
    Result<std::optional<CacheKey>> find_key(std::int64_t hash, PyObject* key) const;
    Result<CacheKey> get_or_create_key(CallSignature sig);
    // Looks a natively bound call up without building its key tuple.
    Result<std::optional<CacheKey>> find_bound(const BoundCall& call) const;
    // The same for a purely bound call, running no Python code: found
    // (Yes), absent (No), or undecided without user code.
    [[gnu::always_inline]] Probe find_pure(const BoundCall& call) const noexcept {
        return index_.probe(call.hash, [&](CacheKey k) { return bound_equals_pure(keys_, k, call); });
    }
    // Allocates a key for a signature known not to be registered yet.
    CacheKey insert_key(std::int64_t hash, Ref key);
    // The same for a natively bound call: the key is stored from its parts.
    CacheKey insert_bound(const BoundCall& call);
    // The key a query names. When the instance has none, the query's key
    // tuple is left in `missing`, for the hint the caller words once no
    // pointer into this state is held.
    Result<CacheKey> key_for_query(std::string_view method_name, PyObject* kwargs, Ref& missing) const;
    // A new key tuple (method, ((name, value), ...)) for k.
    [[nodiscard]] Result<Ref> key_tuple(CacheKey k) const { return keys_.tuple(k); }
    // k's key tuple as reports hand it out: the same object every time.
    [[nodiscard]] Result<Ref> shared_key_tuple(CacheKey k) const { return keys_.shared_tuple(k); }
    [[nodiscard]] const KeyStore& keys() const noexcept { return keys_; }
    [[nodiscard]] CacheKey next_key() const noexcept { return keys_.size(); }

    // -------------------------------------------------------------- values
    [[nodiscard]] PyObject* effective_value(CacheKey k) const noexcept;  // any state, borrowed
    [[nodiscard]] Ref get_value(CacheKey k) const;
    [[nodiscard]] bool has_value(CacheKey k) const noexcept;
    void store_value(CacheKey k, Ref value, Graveyard& dead);
    ValueSlots& base_values() noexcept { return values_; }
    const ValueSlots& base_values() const noexcept { return values_; }
    std::vector<Layer>& layers() noexcept { return layers_; }
    const std::vector<Layer>& layers() const noexcept { return layers_; }

    // --------------------------------------------------- validity and graph
    DependencyTracker& tracker() noexcept { return tracker_; }
    const DependencyTracker& tracker() const noexcept { return tracker_; }
    void register_call(CacheKey k, const std::vector<CacheKey>& declared, bool cutoff = false);
    // k's method compares a recomputed value with the previous one (a key
    // registered before, by a load or an unpickling, gets the mark on its
    // next call). Throws std::bad_alloc.
    void mark_cutoff(CacheKey k);
    // Values are stamped (DependencyTracker::Stamps) from the first key with
    // a cut-off on: an instance without one allocates nothing for them. A
    // change made before carries no stamp, and only hard invalidations (no
    // cut-off key) followed it, so no settle ever compares it.
    [[nodiscard]] bool stamping() const noexcept { return stamping_; }
    // Stamps from now on: a key here depends on another instance, whose
    // cut-offs may let it settle.
    void start_stamping() noexcept { stamping_ = true; }
    // Room for k's stamps (throws std::bad_alloc), then k's value was put in
    // place now (DependencyTracker::stamp_changed).
    void reserve_stamp(CacheKey k) {
        if (stamping_) {
            tracker_.reserve_stamps(k);
        }
    }
    void stamp_changed(CacheKey k) {
        if (stamping_) {
            tracker_.stamp_changed(k);
        }
    }
    void add_runtime_dependency(CacheKey dependant, CacheKey dependency);
    [[nodiscard]] const KeySet* dependencies_of(CacheKey k) const noexcept { return tracker_.dependencies(k); }
    void mark_permanently_invalid(CacheKey k);
    // An Invalid k becomes Valid; `how` is DependencyTracker::kKept or
    // kRevalidated when that is how (explanations tell it). Throws
    // std::bad_alloc, changing nothing, only with `how`.
    void revalidate(CacheKey k, std::uint8_t how = 0);
    // k and its transitive dependants, each once, in no particular order.
    [[nodiscard]] std::vector<CacheKey> collect_dependants(CacheKey k) const;
    // The same for a walk that reaches the instance more than once: k and
    // those of its transitive dependants not in `seen` yet, each added to it
    // (none when k is in it already).
    [[nodiscard]] std::vector<CacheKey> collect_unseen_dependants(CacheKey k, KeySet& seen) const;
    // Every Valid key among k and its transitive dependants becomes Invalid
    // (with `keep_self`, k itself keeps its state: an update).
    void invalidate(CacheKey k, bool keep_self = false);
    // Every Valid key among `keys` becomes Invalid; a computation in
    // progress that read one of them is not committed. Throws std::bad_alloc
    // before changing anything.
    // With `settleable`, the keys were reached only through keys with a
    // cut-off: those that were Valid may become valid again without running.
    void invalidate_keys(const std::vector<CacheKey>& keys, bool settleable = false);
    // The same for `keys` and their transitive dependants in the states
    // saved by the layers pushed after the entry `stamp` (0: by every
    // layer), so that their pops restore them Invalid: a change that lives
    // beneath those layers outlasts them.
    void invalidate_saved(const std::vector<CacheKey>& keys, std::uint64_t stamp);
    // Takes k's visible value out of view and invalidates k; false, with
    // nothing changed, when k has no visible value. A value in the top
    // layer (or in the base, with no layer on) is released; one beneath the
    // top layer stays and is hidden by it until the layer is popped.
    bool clear_value(CacheKey k, Graveyard& dead);
    // The same for every key with a visible value: the top level's values
    // are released and the values beneath it hidden. Every Valid key among
    // those keys and their transitive dependants becomes Invalid; with no
    // visible value, every Valid key becomes Invalid.
    void clear_all_values(Graveyard& dead);

    // ------------------------------------------------------------ counters
    // The counts of k's method; counting is an add.
    [[nodiscard]] MethodCounts& counts(CacheKey k) noexcept { return counters_.of(k); }
    [[nodiscard]] const CallCounters& counters() const noexcept { return counters_; }
    void reset_counts() noexcept { counters_.reset(); }
    // The instance owning this state (borrowed; null for a state being
    // built), which events name.
    void set_owner(PyObject* owner) noexcept { owner_ = owner; }
    // Queues an event about k for the calling thread's traces when one is
    // open (check `observe::wanted()` first). Throws std::bad_alloc.
    void queue_event(EventKind kind, CacheKey k, EventCause cause = EventCause::None,
                     std::optional<CacheKey> origin = std::nullopt, std::optional<CacheKey> via = std::nullopt);
    // The same for a run of k: why it runs, as explain would say.
    void queue_run(CacheKey k);

    // ------------------------------------------------------- explanations
    // The record of a change made to k itself; throws std::bad_alloc.
    void note_change(CacheKey k, ChangeKind kind) { changes_.note(k, kind); }
    // k was computed again: its record goes.
    void forget_change(CacheKey k) noexcept { changes_.forget(k); }
    [[nodiscard]] const ChangeLog& changes() const noexcept { return changes_; }
    // Why k is or is not served (ops/explain.cpp). Reads the state only.
    [[nodiscard]] Diagnosis diagnose(CacheKey k) const;
    // ------------------------------------------- computations in progress
    // What a computation of k starts from (the key's epoch is 0 until it
    // has one: every key has one while a call frame is pushed, and the key
    // of an asynchronous computation gets one from start_snapshot).
    [[nodiscard]] Snapshot snapshot(CacheKey k) const noexcept;
    // The same, giving the key its epoch first.
    Result<Snapshot> start_snapshot(CacheKey k);
    // Commits the result of a computation of k that started from `started`,
    // for synchronous and asynchronous bodies alike. When nothing it read
    // changed meanwhile, k's validity is settled from its dependencies
    // (`elsewhere` is the worst state among those on other instances, Valid
    // without any) and the value is stored if k is valid; otherwise the
    // value is only its caller's and k keeps the state it has. Returns
    // whether the result was committed. Throws std::bad_alloc.
    // With `kept`, `value` is k's previous value, which its cut-off found
    // the recomputed one unchanged from: k is stamped as verified now but
    // not changed.
    bool commit_computed(CacheKey k, const Snapshot& started, bool use_cache, ValidationState elsewhere, Ref value,
                         Graveyard& dead, bool kept = false);
    // Marks a change of k's value made outside invalidation (a load).
    void bump_epoch(CacheKey k) noexcept {
        ++revision_;
        if (k < epochs_.size()) {
            ++epochs_[k];
        }
    }
    [[nodiscard]] bool has_pending(CacheKey k, const Snapshot& s) const noexcept;
    // The computation of k on `loop` that started from `s`, or null.
    [[nodiscard]] PyObject* find_pending(CacheKey k, const Snapshot& s, PyObject* loop) const noexcept;
    void add_pending(PendingComputation p);
    // Ends the entry whose driver or computation is `which`, if there is one.
    void remove_pending(PyObject* which, Graveyard& dead) noexcept;

    // ---------------------------------------------------------- call stacks
    [[nodiscard]] const CallFrame* top_frame(unsigned long thread) const noexcept;
    // The same for the calling thread; no lookup while no call is in
    // progress on the instance (the usual hit).
    [[nodiscard]] const CallFrame* current_frame() const noexcept {
        return running_ == 0 ? nullptr : top_frame(PyThread_get_thread_ident());
    }
    void push_frame(unsigned long thread, CallFrame frame);
    // The thread other than `thread` whose shared computation of k, started
    // from what k is now, is in progress (0 when none).
    [[nodiscard]] unsigned long computing(CacheKey k, unsigned long thread) const noexcept {
        return running_ == 0 ? 0 : computing_elsewhere(k, thread);
    }
    // Whether `thread` still has k's shared computation in progress, started
    // from whatever k was then (a clear since does not end it).
    [[nodiscard]] bool still_computing(CacheKey k, unsigned long thread) const noexcept;
    void pop_frame(unsigned long thread) noexcept;

    // -------------------------------------------------------------- layers
    // A new top layer for the scenario entry `stamp`.
    void push_layer(std::uint64_t stamp);
    // Restores the saved maps and buries the layer's values.
    void pop_layer(Graveyard& dead) noexcept;

    // ------------------------------------------------------------ transfer
    // (cache_transfer.cpp) The base level, in key order: the validation
    // states and the graph as they will be once every scenario has ended
    // (those saved by the bottom layer, else the live ones) and the base
    // values. Keys with no state, no node and no value are left out.
    [[nodiscard]] Result<std::vector<CacheEntry>> export_entries() const;
    // A new state holding exactly `entries`, their keys allocated in list
    // order. Fails with TypeError or ValueError, building nothing, on a key
    // that is not a call's key tuple (an exact tuple of the method name, an
    // exact `str`, and a tuple of (`str`, value) pairs sorted strictly by
    // name), on two equal keys, on an edge to an index out of range, or on an
    // edge from or to an entry that is not a graph node. Hashing and
    // comparing the keys runs Python code, on a state nobody else sees yet.
    static Result<std::unique_ptr<CacheState>> from_entries(std::vector<CacheEntry> entries);
    // The checks of `from_entries` that need no Python code: the shape of
    // every key and every edge.
    static Status check_entries(const std::vector<CacheEntry>& entries);
    // No key was ever registered and no scenario layer is on.
    [[nodiscard]] bool is_empty() const noexcept { return keys_.empty() && layers_.empty(); }

    // ------------------------------------------------------ garbage collector
    int traverse(visitproc visit, void* arg) const;
    // Moves every owned reference to the graveyard and leaves an empty state.
    void clear(Graveyard& dead) noexcept;

#ifdef QUENDLE_INVARIANTS
    // ---------------------------------------------------------- debugging
    // Checks the whole state: the registry, the graph and every graph saved
    // by a layer, the value slots of every level, the call stacks; with
    // `expect_idle`, also that no thread has a call in progress. A violation
    // is an AssertionError describing it.
    [[nodiscard]] Status check_invariants(bool expect_idle) const;
#endif

    // k and its transitive dependants, each once: first the `hard` ones,
    // reached without passing a cut-off key other than k, then those reached
    // only through one.
    [[nodiscard]] std::vector<CacheKey> collect_through_cutoffs(CacheKey k, size_t& hard) const;
    // For a walk that reaches the instance more than once: k and those of its
    // transitive dependants not in `seen` yet that are reached without
    // passing a cut-off key (k included), each added to `seen`; the cut-off
    // keys reached are also appended to `cut`.
    [[nodiscard]] std::vector<CacheKey> collect_unseen_hard(CacheKey k, KeySet& seen, std::vector<CacheKey>& cut) const;

private:
    int traverse_pending(visitproc visit, void* arg) const;
    [[nodiscard]] unsigned long computing_elsewhere(CacheKey k, unsigned long thread) const noexcept;
    // Counts the keys `demoted` turned Invalid and, with a trace open,
    // queues their events (`reached`: every key the walk reached).
    void note_demoted(const std::vector<CacheKey>& demoted, const std::vector<CacheKey>* reached, EventCause cause,
                      std::optional<CacheKey> origin) noexcept;
    void queue_demoted(const std::vector<CacheKey>& demoted, const std::vector<CacheKey>* reached, EventCause cause,
                       std::optional<CacheKey> origin);
    void clear_pending(Graveyard& dead) noexcept;

    ValueSlots values_;
    std::vector<ThreadStack> call_stacks_;
    std::vector<Layer> layers_;
    DependencyTracker tracker_;
    ChangeLog changes_;
    SignatureIndex index_;
    KeyStore keys_;  // the calls, by key
    // Epochs of the keys (a key beyond the end has never been reached by an
    // invalidation; invalidation bumps the others, and extends the epochs
    // to every key while a call frame is pushed).
    std::vector<std::uint32_t> epochs_;
    std::uint64_t revision_ = 0;  // every change a computation in progress may have read
    std::uint32_t running_ = 0;   // call frames pushed, of every thread
    std::uint32_t clear_epoch_ = 0;
    std::uint64_t layer_changes_ = 0;  // pushes and pops of layers
    std::vector<PendingComputation> pending_;
    CallCounters counters_;
    PyObject* owner_ = nullptr;
    bool stamping_ = false;
};

#ifdef QUENDLE_INVARIANTS
// The module function `_check_invariants(obj, expect_idle=True)` of builds
// with the checks (not in `__all__`).
extern PyMethodDef check_invariants_def;
#endif

}  // namespace quendle
