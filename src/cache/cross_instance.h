// Dependencies across instances, for classes that opt in with the class
// keyword `cross_instance=True`.
//
// Each thread keeps a stack of the decorated calls it has in progress on any
// instance (one `CrossFrame` per call that runs its body, linked through the
// C stack), beside the per-instance stacks of `CacheState`. A decorated call
// on instance D made from the body of a tracking call on another instance P
// of an opted-in class records the edge "P's key depends on D's key".
//
// Cross-instance edges are kept apart from the instances' own cache state, in
// a process-wide side table keyed by instance identity (`Participant`), so
// they never keep an instance alive and the per-instance state and reports
// stay as they are. An instance's entry is made when its first edge is
// recorded and dropped when it is deallocated or cleared; an edge names its
// instance by pointer and by a serial number never reused, so an edge to a
// dead instance is recognised as such. Every change of an instance's cache
// state, edges included, happens under that instance's own borrow, one
// instance at a time.
#pragma once

#include "cache/instance_access.h"
#include "cache/objects.h"

#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace quendle {

// One end of a cross-instance edge: a key of another instance.
struct CrossRef {
    QuendleBaseObject* inst;
    std::uint64_t serial;
    CacheKey key;
    bool operator==(const CrossRef& o) const noexcept { return serial == o.serial && key == o.key; }
};

struct CrossRefHash {
    size_t operator()(const CrossRef& r) const noexcept {
        return static_cast<size_t>((r.serial * 0x9e3779b97f4a7c15ULL) ^ (r.key + 0x632be59bd9b4e019ULL));
    }
};

using CrossSet = std::unordered_set<CrossRef, CrossRefHash>;

// The cross-instance edges of one instance.
struct Participant {
    std::uint64_t serial = 0;
    QuendleBaseObject* self = nullptr;
    std::unordered_map<CacheKey, CrossSet> dependants;    // keys elsewhere computed from a key here
    std::unordered_map<CacheKey, CrossSet> dependencies;  // keys elsewhere a key here was computed from
    size_t dependant_count = 0;  // edges in `dependants`
    size_t sweep_at = 64;        // next count at which edges to dead instances are swept
    Ref token;                   // what stands for the instance in pickles and deep copies, once made
};

// A decorated call whose body is running, on the calling thread.
struct CrossFrame {
    QuendleBaseObject* inst = nullptr;
    CacheKey key = 0;
    bool track = false;
    Tri opted = Tri::Undecided;  // the class's opt-in, read on the first call elsewhere
    std::vector<CrossRef> pending;  // dependencies elsewhere recorded during the body
    CrossFrame* prev = nullptr;
};

// The innermost call in progress on this thread, or nullptr. Read on every
// decorated call: a variable with constant initialisation needs no wrapper.
[[gnu::tls_model("initial-exec")]] extern constinit thread_local CrossFrame* t_cross_top;

inline CrossFrame* current_cross_frame() noexcept { return t_cross_top; }
inline void push_cross_frame(CrossFrame& frame) noexcept {
    frame.prev = t_cross_top;
    t_cross_top = &frame;
}
inline void pop_cross_frame(CrossFrame& frame) noexcept { t_cross_top = frame.prev; }

// Before the callee's borrow is taken: whether the caller's frame records
// edges to a call on `callee` (reads the caller class's opt-in once per frame).
Result<bool> cross_caller_records(CrossFrame* caller, QuendleBaseObject* callee);
// Under the callee's exclusive borrow: records that the caller's key depends
// on `key` of `callee` (the callee's side now, the caller's at its end).
void record_cross_edge(CrossFrame& caller, QuendleBaseObject* callee, CacheKey key);

// Keeps the side table and its entries to one thread at a time where there
// is no interpreter lock: a critical section on the QuendleBase type, which
// nests on one thread and, like the lock, is given up while its thread waits
// (runs Python code that blocks). Nothing in a build with the lock.
class CrossTableSection {
public:
#if QUENDLE_FREE_THREADING
    CrossTableSection() noexcept : type_(quendle_base_type_if_created()) {
        if (type_ != nullptr) {
            PyCriticalSection_Begin(&section_, type_);
        }
    }
    ~CrossTableSection() {
        if (type_ != nullptr) {
            PyCriticalSection_End(&section_);
        }
    }

private:
    PyObject* type_;
    PyCriticalSection section_;
#endif
};

// The entry of a live instance, or nullptr when it has no cross-instance edges.
Participant* participant_of(const QuendleBaseObject* inst) noexcept;
// The instance behind an edge end while it is alive and not being
// deallocated, else nullptr.
QuendleBaseObject* resolve(const CrossRef& r) noexcept;
// Drops the instance's entry; edges elsewhere that name it are dropped when
// met (at once where the other instance is free).
void forget_participant(QuendleBaseObject* inst) noexcept;

// After a body returned, before its key is settled: the worst state among
// the key's dependencies elsewhere (earlier edges and the frame's new ones),
// each read under its own instance's shared borrow. Valid when it has none.
// `pending` are the dependencies the body recorded (its frame's).
Result<ValidationState> cross_dependency_state(QuendleBaseObject* inst, CacheKey key,
                                               const std::vector<CrossRef>& pending);
// Under the instance's exclusive borrow: keeps the body's new dependencies.
void commit_cross_dependencies(QuendleBaseObject* inst, CacheKey key, std::vector<CrossRef>& pending);

// Targets of a change, collected under the changed instance's borrow and
// visited after it is released.
struct CrossTargets {
    std::vector<CrossRef> refs;
    std::vector<CrossRef> origins;  // the changed keys themselves: the walk leaves them as they are
    // Reached only through a key with a cut-off: they may become valid again
    // without running (what `refs` reaches stays out of this).
    std::vector<CrossRef> settleable;
    // The scenario entry whose layer holds the change (0: the base level,
    // outliving every scenario): the dependants reached are invalid also in
    // what the pops of layers pushed after it restore.
    std::uint64_t lives_in = kNoLayerYet;
    static constexpr std::uint64_t kNoLayerYet = ~std::uint64_t{0};
};
// Under the borrow: the dependants elsewhere of k and of its transitive
// dependants here.
void collect_cross_targets(const QuendleBaseObject* inst, const CacheState& state, CacheKey k, CrossTargets& out);
// Under the borrow: the dependants elsewhere of every key of the instance.
void collect_all_cross_targets(const QuendleBaseObject* inst, const CacheState& state, CrossTargets& out);
// With no borrow held: invalidates the targets and everything reachable
// from them, instance by instance, each under its own exclusive borrow, in
// one walk that reaches each key once.
Status invalidate_cross_targets(CrossTargets targets);
// With no borrow held: the same walk, changing nothing; fails as the walk
// would ("Already borrowed") where it meets an instance this thread has
// borrowed.
Status check_cross_targets(const CrossTargets& targets);

// A change of one instance, as every writer makes it when it may reach
// dependants elsewhere; the change is made whole or not at all.
//
// `plan(state, targets)`, under the instance's exclusive borrow, checks that
// the change can be made and collects its dependants elsewhere, changing
// nothing. When there are some, the walk from them is checked with no
// borrow held: a walk that would meet an instance this thread has borrowed
// (re-entry from user code run inside an operation on it) refuses the change
// before anything is changed. `apply(state, dead, targets)`, under the
// borrow again, checks again, makes the change and collects the dependants
// afresh; with the borrow given back, the walk invalidates them. With no
// dependants elsewhere, or when this thread held no borrow to begin with (so
// the walk cannot meet one), plan and apply run under one borrow.
template <class Plan, class Apply>
Result<Ref> change_across(QuendleBaseObject* inst, Plan&& plan, Apply&& apply) {
    const bool holds_none = t_borrows_held == 0;
    CrossTargets targets;
    bool applied = false;
    Ref out;
    {
        Q_ASSIGN(ExclusiveAccess access, ExclusiveAccess::take(inst->borrow, Conflict::Raise));
        Q_ASSIGN(CacheState * state, state_of(inst));
        Q_TRY(plan(*state, targets));
        if ((targets.refs.empty() && targets.settleable.empty()) || holds_none) {
            applied = true;
            targets = CrossTargets{};
            Q_ASSIGN(out, apply(*state, access.dead(), targets));
        }
    }
    if (!applied) {
        Q_TRY(check_cross_targets(targets));
        targets = CrossTargets{};
        Q_ASSIGN(ExclusiveAccess access, ExclusiveAccess::take(inst->borrow, Conflict::Raise));
        Q_ASSIGN(CacheState * state, state_of(inst));
        Q_ASSIGN(out, apply(*state, access.dead(), targets));
    }
    Q_TRY(invalidate_cross_targets(std::move(targets)));
    return out;
}

// Scenario exit, under the instance's borrow, before the pop: the
// dependants elsewhere of keys the layer changed.
void cross_before_pop(const QuendleBaseObject* inst, const CacheState& state, CrossTargets& out);

// ------------------------------------------------ pickling and copying
// (cross_instance.cpp, its last section; used by pickle_cross_part.cpp)

// A dependency elsewhere of one of an instance's keys, the far end held alive.
struct CrossDependency {
    CacheKey key;      // the instance's own key
    Ref other;         // the instance it depends on
    CacheKey other_key;
};
// Under the instance's shared borrow: its dependencies elsewhere on live
// instances, in no particular order.
Result<std::vector<CrossDependency>> cross_dependencies_of(QuendleBaseObject* inst);
// Whether other instances depend on keys of this one.
bool has_cross_dependants(const QuendleBaseObject* inst) noexcept;
// The instance's token, or an empty handle; `keep_token` sets it unless one
// is set already, and gives the one that stays.
Ref cross_token(const QuendleBaseObject* inst) noexcept;
Ref keep_cross_token(QuendleBaseObject* inst, Ref token);
// The end naming `key` of the instance (making its entry in the side table).
CrossRef cross_end(QuendleBaseObject* inst, CacheKey key);
// Records that `key` of `dependant` was computed from `other_key` of
// `dependency`, each side under its instance's exclusive borrow taken
// without waiting; false when either was busy (an edge recorded on one
// side only is harmless: it invalidates more, never less), MemoryError
// when the side table cannot grow.
Result<bool> link_cross_edge(QuendleBaseObject* dependant, CacheKey key, QuendleBaseObject* dependency,
                             CacheKey other_key);

}  // namespace quendle
