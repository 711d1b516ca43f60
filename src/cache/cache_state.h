// The per-instance cache state: dense keys for call signatures, value slots
// for the base level and every scenario layer, validation states, the
// dependency graph (dependants, with a reverse index of dependencies), the
// per-thread stacks of decorated calls in progress, and the asynchronous
// computations in progress with what they started from.
#pragma once

#include "keys/introspection.h"
#include "keys/key_set.h"
#include "keys/key_store.h"
#include "keys/native_binder.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quendle {

enum class ValidationState : std::uint8_t {
    Valid = 0,
    Invalid = 1,
    PermanentlyInvalid = 2
};

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

// Validation states and the dependency graph, dense by key. Edge sets live
// in a side table so that keys without edges cost a few bytes.
class DependencyTracker {
public:
    static constexpr std::uint8_t kNoEntry = 0xff;

    struct Edges {
        KeySet dependants;    // keys computed from this key
        KeySet dependencies;  // reverse index: keys this key was computed from
    };

    [[nodiscard]] bool has_state(CacheKey k) const noexcept {
        return k < state.size() && state[k] != kNoEntry;
    }
    [[nodiscard]] ValidationState read(CacheKey k) const noexcept {
        return has_state(k) ? static_cast<ValidationState>(state[k]) : ValidationState::PermanentlyInvalid;
    }
    // Both extend their arrays to k; the usual k is the next key, appended.
    void set_state(CacheKey k, ValidationState s) {
        if (k < state.size()) {
            state[k] = static_cast<std::uint8_t>(s);
        } else {
            extend_state(k, s);
        }
    }
    void ensure_node(CacheKey k) {
        if (k < is_node.size()) {
            is_node[k] = 1;
        } else {
            extend_nodes(k);
        }
    }
    [[nodiscard]] bool node(CacheKey k) const noexcept { return k < is_node.size() && is_node[k] != 0; }
    void add_edge(CacheKey dependency, CacheKey dependant);
    [[nodiscard]] const KeySet* dependants(CacheKey k) const noexcept {
        const std::uint32_t slot = k < edge_slot.size() ? edge_slot[k] : 0;
        return slot != 0 ? &edges[slot].dependants : nullptr;
    }
    [[nodiscard]] const KeySet* dependencies(CacheKey k) const noexcept {
        const std::uint32_t slot = k < edge_slot.size() ? edge_slot[k] : 0;
        return slot != 0 ? &edges[slot].dependencies : nullptr;
    }
    // Valid becomes Invalid; other states stay.
    void demote(CacheKey k) noexcept {
        if (has_state(k) && state[k] == static_cast<std::uint8_t>(ValidationState::Valid)) {
            state[k] = static_cast<std::uint8_t>(ValidationState::Invalid);
        }
    }
    void demote_all() noexcept {
        for (std::uint8_t& s : state) {
            if (s == static_cast<std::uint8_t>(ValidationState::Valid)) {
                s = static_cast<std::uint8_t>(ValidationState::Invalid);
            }
        }
    }
    // f(key) for every key with a state, and for every node, in key order.
    template <class F>
    Status for_each_with_state(F&& f) const {
        for (CacheKey k = 0; k < state.size(); ++k) {
            if (state[k] != kNoEntry) {
                Q_TRY(f(k));
            }
        }
        return {};
    }
    template <class F>
    Status for_each_node(F&& f) const {
        for (CacheKey k = 0; k < is_node.size(); ++k) {
            if (is_node[k] != 0) {
                Q_TRY(f(k));
            }
        }
        return {};
    }

#ifdef QUENDLE_INVARIANTS
    // Sizes within key_count, one edge record per key that has one, and the
    // two edge indexes mirroring each other. `which` names the graph in the
    // description of a violation.
    [[nodiscard]] Status check(size_t key_count, const std::string& which) const;
#endif

private:
    Edges& edges_of(CacheKey k);
    void extend_state(CacheKey k, ValidationState s);
    void extend_nodes(CacheKey k);

#ifdef QUENDLE_INVARIANTS
    friend Status check_edge_slots(const DependencyTracker& t, const std::string& which);
    friend Status check_edge_symmetry(const DependencyTracker& t, size_t key_count, const std::string& which);
#endif

    // Only the methods above change these, so the two edge indexes stay
    // mirrors of each other.
    std::vector<std::uint8_t> state;      // ValidationState, or kNoEntry
    std::vector<std::uint8_t> is_node;    // 1 when the key is a node of the graph
    std::vector<std::uint32_t> edge_slot; // index into edges, 0 when the key has none
    std::vector<Edges> edges;             // edges[0], once made, is never used
};

// The last change of each key that an operation made to the key itself (an
// update, a clear, a computation that met an invalid dependency), kept only
// to explain why an entry is not served (ops/explain.cpp). One record per
// such operation and never one per dependant: the explanation walks from an
// entry down its dependencies to the records. A key's record goes when the
// key is computed again, so there are never more records than keys.
enum class ChangeKind : std::uint8_t {
    Updated,
    Cleared,
    Invalidated
};

struct ChangeRecord {
    std::uint64_t seq;  // the order of the changes on this instance
    ChangeKind kind;
};

class ChangeLog {
public:
    // Throws std::bad_alloc. A record left by an operation that then failed
    // only words an explanation; it never decides what is served.
    void note(CacheKey k, ChangeKind kind) { records_.insert_or_assign(k, ChangeRecord{++seq_, kind}); }
    void forget(CacheKey k) noexcept {
        if (!records_.empty()) {
            records_.erase(k);
        }
    }
    // clear_cache: every record goes; the keys that existed then are marked.
    void note_clear_all(size_t key_count) noexcept {
        records_.clear();
        cleared_below_ = key_count;
    }
    [[nodiscard]] const ChangeRecord* find(CacheKey k) const noexcept {
        auto it = records_.find(k);
        return it == records_.end() ? nullptr : &it->second;
    }
    // Whether k existed at the last clear_cache.
    [[nodiscard]] bool cleared_by_clear_all(CacheKey k) const noexcept { return k < cleared_below_; }
    [[nodiscard]] size_t size() const noexcept { return records_.size(); }
    // The largest key with a record plus one (0 without records).
    [[nodiscard]] size_t key_bound() const noexcept {
        size_t bound = 0;
        for (const auto& [k, r] : records_) {
            bound = std::max(bound, static_cast<size_t>(k) + 1);
        }
        return bound;
    }

private:
    std::unordered_map<CacheKey, ChangeRecord> records_;
    size_t cleared_below_ = 0;
    std::uint64_t seq_ = 0;
};

// Why an entry is or is not served, as the cache state knows it; the module
// function `explain` words it (ops/explain.cpp).
struct Diagnosis {
    enum class Kind : std::uint8_t {
        Served,              // Valid with a stored value
        ValidWithoutValue,   // Valid, but no level holds a value
        NoEntry,             // a key without a validation state
        Invalid,
        PermanentlyInvalid
    };
    enum class Cause : std::uint8_t {
        None,
        Change,              // path.back() changed: `change` says how
        ClearAll,            // clear_cache() removed or invalidated it
        InvalidDependency,   // path.back() is invalid, no change recorded
        MissingDependency,   // path.back() has no validation state
        PermanentDependency  // path.back() is permanently invalid
    };
    Kind kind = Kind::NoEntry;
    Cause cause = Cause::None;
    ChangeKind change = ChangeKind::Updated;
    bool has_value = false;  // some level holds a value, served or not
    // The key first, then the dependencies leading to the cause, each a
    // dependency of the one before it.
    std::vector<CacheKey> path;
    std::vector<CacheKey> dependencies;  // the key's direct dependencies, ascending
};

struct Layer {
    ValueSlots values;
    DependencyTracker saved;
    ChangeLog saved_changes;
    // The scenario entry that pushed the layer: entries are numbered from 1
    // in the order they happen, process-wide, and every layer one entry
    // pushes has its number. A layer with a larger stamp is popped first.
    std::uint64_t stamp = 0;
    // Keys whose values beneath the layer a clear made inside it removed
    // from view: the values stay where they are and show again once the
    // layer is popped. A value the layer holds itself is shown regardless.
    std::vector<std::uint8_t> hidden;

    [[nodiscard]] bool hides(CacheKey k) const noexcept { return k < hidden.size() && hidden[k] != 0; }
    // Room to hide k; throws std::bad_alloc, hiding nothing.
    void reserve_hidden(size_t key_count) {
        if (hidden.size() < key_count) {
            hidden.resize(key_count, 0);
        }
    }
};

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
};

// Each thread that calls into an instance sees only its own frames.
struct ThreadStack {
    unsigned long thread;
    std::vector<CallFrame> frames;
};

// Maps signature hashes to keys. Open addressing with linear probing and no
// deletion, so entries of equal hash are met in allocation order. The table
// holds key + 1 (0 is empty); each key's hash sits in a dense array.
class SignatureIndex {
public:
    // f(key) returns Result<bool>: true stops the search with that key.
    template <class F>
    Result<std::optional<CacheKey>> find(std::int64_t hash, F&& f) const {
        if (hashes_.empty()) {
            return std::optional<CacheKey>{};
        }
        const size_t mask = table_.size() - 1;
        const std::uint32_t tag = tag_of(hash);
        for (size_t i = slot_of(hash);; i = (i + 1) & mask) {
            const std::uint64_t e = table_[i];
            if (e == 0) {
                return std::optional<CacheKey>{};
            }
            const CacheKey k = key_of(e);
            if (tag_of_entry(e) == tag && hashes_[k] == hash) {
                Q_ASSIGN(bool equal, f(k));
                if (equal) {
                    return std::optional<CacheKey>{k};
                }
            }
        }
    }
    // The same search where f(key) returns 1 (the key), 0 (go on) or -1
    // (undecided: the search gives up). Returns what ended it, 0 when no
    // key matched.
    template <class F>
    int find_raw(std::int64_t hash, F&& f, CacheKey& out) const noexcept {
        if (hashes_.empty()) {
            return 0;
        }
        const size_t mask = table_.size() - 1;
        const std::uint32_t tag = tag_of(hash);
        for (size_t i = slot_of(hash);; i = (i + 1) & mask) {
            const std::uint64_t e = table_[i];
            if (e == 0) {
                return 0;
            }
            const CacheKey k = key_of(e);
            if (tag_of_entry(e) == tag && hashes_[k] == hash) {
                const int rc = f(k);
                if (rc != 0) {
                    out = k;
                    return rc;
                }
            }
        }
    }
    // Registers the next key (keys are dense: the new key is size()).
    void insert(std::int64_t hash);
    [[nodiscard]] size_t size() const noexcept { return hashes_.size(); }
#ifdef QUENDLE_INVARIANTS
    // Every key in the table once, each found from its hash's slot.
    [[nodiscard]] Status check() const;
#endif

private:
    // A table entry holds key + 1 in its low half (0: empty) and the high
    // half of the key's hash above it, so a probe passes over other keys
    // without reading their hashes (a random read each in a large cache).
    static std::uint32_t tag_of(std::int64_t hash) noexcept {
        return static_cast<std::uint32_t>(static_cast<std::uint64_t>(hash) >> 32);
    }
    static std::uint32_t tag_of_entry(std::uint64_t e) noexcept { return static_cast<std::uint32_t>(e >> 32); }
    static CacheKey key_of(std::uint64_t e) noexcept { return (e & 0xffffffffULL) - 1; }
    static std::uint64_t entry_of(CacheKey k, std::int64_t hash) noexcept {
        return (std::uint64_t{tag_of(hash)} << 32) | (k + 1);
    }
    [[nodiscard]] size_t slot_of(std::int64_t hash) const noexcept;
    void place(CacheKey k);
    void grow();

    std::vector<std::uint64_t> table_;
    std::vector<std::int64_t> hashes_;
    std::uint64_t seed_ = 0;
};

// One key of an instance's base level, as `export_entries` gives it and
// `from_entries` takes it: the call's key tuple, its validation state (none
// when the key has no entry), whether it is a node of the dependency graph,
// its base value (empty when none) and its dependants, as indices into the
// same list of entries.
struct CacheEntry {
    Ref key;
    std::optional<ValidationState> state;
    bool node = false;
    Ref value;
    std::vector<size_t> dependants;
    CacheKey source = 0;  // the key in the exporting state (export only)
};

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
    // The same for a purely bound call, running no Python code: 1 found
    // (`out`), 0 absent, -1 undecided without user code.
    int find_pure(const BoundCall& call, CacheKey& out) const noexcept {
        return index_.find_raw(
            call.hash,
            [&](CacheKey k) {
                return bound_equals_pure(keys_, k, call);
            },
            out);
    }
    // Allocates a key for a signature known not to be registered yet.
    CacheKey insert_key(std::int64_t hash, Ref key);
    // The same for a natively bound call: the key is stored from its parts.
    CacheKey insert_bound(const BoundCall& call);
    Result<CacheKey> key_for_query(std::string_view method_name, PyObject* kwargs) const;
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
    void register_call(CacheKey k, const std::vector<CacheKey>& declared);
    void add_runtime_dependency(CacheKey dependant, CacheKey dependency);
    [[nodiscard]] const KeySet* dependencies_of(CacheKey k) const noexcept { return tracker_.dependencies(k); }
    void mark_permanently_invalid(CacheKey k);
    void revalidate(CacheKey k);
    // k and its transitive dependants, each once, in no particular order.
    [[nodiscard]] std::vector<CacheKey> collect_dependants(CacheKey k) const;
    // The same for a walk that reaches the instance more than once: k and
    // those of its transitive dependants not in `seen` yet, each added to it
    // (none when k is in it already).
    [[nodiscard]] std::vector<CacheKey> collect_unseen_dependants(CacheKey k, KeySet& seen) const;
    // Every Valid key among k and its transitive dependants becomes Invalid.
    void invalidate(CacheKey k);
    // Every Valid key among `keys` becomes Invalid; a computation in
    // progress that read one of them is not committed. Throws std::bad_alloc
    // before changing anything.
    void invalidate_keys(const std::vector<CacheKey>& keys);
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
    bool commit_computed(CacheKey k, const Snapshot& started, bool use_cache, ValidationState elsewhere, Ref value,
                         Graveyard& dead);
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
    void push_frame(unsigned long thread, CallFrame frame);
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

private:
    int traverse_pending(visitproc visit, void* arg) const;
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
};

#ifdef QUENDLE_INVARIANTS
// The module function `_check_invariants(obj, expect_idle=True)` of builds
// with the checks (not in `__all__`).
extern PyMethodDef check_invariants_def;
#endif

}  // namespace quendle
