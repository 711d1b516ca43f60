// The side table of cross-instance edges, the per-thread stack of calls in
// progress, the recording of edges and the walk that carries an
// invalidation from instance to instance.
#include "cache/cross_instance.h"

#include "cache/instance_access.h"

#include <algorithm>

namespace quendle {

namespace {

// Every instance that has cross-instance edges, by identity. Used only with
// the interpreter lock held (without it, in a CrossTableSection); deliberately immortal, like the module's other
// process-wide values.
struct Registry {
    std::unordered_map<const QuendleBaseObject*, Participant> entries;
    std::uint64_t next_serial = 1;
};

Registry& registry() {
    static auto* r = new Registry();
    return *r;
}

OnceObject g_flag_name;

Result<PyObject*> flag_name() {
    return g_flag_name.get([] { return new_str("__quendle_cross_instance__"); });
}

Participant& ensure_participant(QuendleBaseObject* inst) {
    Registry& r = registry();
    auto [it, inserted] = r.entries.try_emplace(inst);
    if (inserted) {
        it->second.serial = r.next_serial++;
        it->second.self = inst;
        inst->cross_edges = true;
    }
    return it->second;
}

CrossRef ref_of(Participant& p, CacheKey key) { return CrossRef{p.self, p.serial, key}; }

// Drops the edges to dead instances once the count has doubled since the
// last sweep, so edges of short-lived dependants cannot pile up.
void sweep_if_due(Participant& p) {
    if (p.dependant_count < p.sweep_at) {
        return;
    }
    size_t count = 0;
    for (auto it = p.dependants.begin(); it != p.dependants.end();) {
        std::erase_if(it->second, [](const CrossRef& r) { return resolve(r) == nullptr; });
        count += it->second.size();
        it = it->second.empty() ? p.dependants.erase(it) : std::next(it);
    }
    p.dependant_count = count;
    p.sweep_at = std::max<size_t>(64, 2 * count);
}

void append_set(const CrossSet& set, std::vector<CrossRef>& out) { out.insert(out.end(), set.begin(), set.end()); }

// The scenario entry whose layer a change made now lands in (0: the base).
std::uint64_t top_stamp(const CacheState& state) noexcept {
    return state.layers().empty() ? 0 : state.layers().back().stamp;
}

}  // namespace

// In the static TLS block (one pointer), as every decorated call reads it.
[[gnu::tls_model("initial-exec")]] constinit thread_local CrossFrame* t_cross_top = nullptr;

Result<bool> cross_caller_records(CrossFrame* caller, QuendleBaseObject* callee) {
    [[maybe_unused]] CrossTableSection table;

    if (caller == nullptr || caller->inst == callee || !caller->track) {
        return false;
    }
    if (caller->opted == Tri::Undecided) {
        Q_ASSIGN(PyObject * name, flag_name());
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(reinterpret_cast<PyObject*>(caller->inst)));
        Q_ASSIGN(Ref flag, optional_attr(type, name));
        int truth = 0;
        if (flag && (truth = PyObject_IsTrue(flag.get())) < 0) {
            return Error::fetch();
        }
        caller->opted = truth == 1 ? Tri::Yes : Tri::No;
    }
    return caller->opted == Tri::Yes;
}

void record_cross_edge(CrossFrame& caller, QuendleBaseObject* callee, CacheKey key) {
    [[maybe_unused]] CrossTableSection table;

    Participant& dependency = ensure_participant(callee);
    Participant& dependant = ensure_participant(caller.inst);
    if (dependency.dependants[key].insert(ref_of(dependant, caller.key)).second) {
        ++dependency.dependant_count;
        sweep_if_due(dependency);
    }
    const CrossRef mine = ref_of(dependency, key);
    if (caller.pending.empty() || !(caller.pending.back() == mine)) {
        caller.pending.push_back(mine);
    }
}

Participant* participant_of(const QuendleBaseObject* inst) noexcept {
    [[maybe_unused]] CrossTableSection table;

    if (!inst->cross_edges) {
        return nullptr;
    }
    auto& entries = registry().entries;
    auto it = entries.find(inst);
    return it != entries.end() ? &it->second : nullptr;
}

QuendleBaseObject* resolve(const CrossRef& r) noexcept {
    [[maybe_unused]] CrossTableSection table;

    // The instance may be gone: the table is read before the object.
    auto& entries = registry().entries;
    auto it = entries.find(r.inst);
    if (it == entries.end() || it->second.serial != r.serial) {
        return nullptr;
    }
    // An instance whose count has reached zero is being deallocated: its
    // entry stays until the base deallocator runs, after those of its
    // subclasses, its weakref callbacks and the release of its attributes,
    // any of which can reach it here. A reference taken now would free it
    // a second time.
    if (Py_REFCNT(reinterpret_cast<PyObject*>(r.inst)) == 0) {
        return nullptr;
    }
    return r.inst;
}

void forget_participant(QuendleBaseObject* inst) noexcept {
    [[maybe_unused]] CrossTableSection table;

    Participant* p = participant_of(inst);
    if (p == nullptr) {
        return;
    }
    // Edges naming this instance are dropped where their instance is free
    // now; the others are swept or skipped when met.
    for (const auto& [key, dependencies] : p->dependencies) {
        for (const CrossRef& d : dependencies) {
            QuendleBaseObject* other = resolve(d);
            if (other == nullptr) {
                continue;
            }
            std::optional<Borrow> b = Borrow::try_take(other->borrow, true);
            Participant* q = b ? participant_of(other) : nullptr;
            if (q == nullptr) {
                continue;
            }
            if (auto it = q->dependants.find(d.key); it != q->dependants.end()) {
                q->dependant_count -= it->second.erase(ref_of(*p, key));
            }
        }
    }
    inst->cross_edges = false;
    registry().entries.erase(inst);
}

Result<ValidationState> cross_dependency_state(QuendleBaseObject* inst, CacheKey key,
                                               const std::vector<CrossRef>& pending) {
    [[maybe_unused]] CrossTableSection table;
    std::vector<CrossRef> deps = pending;
    {
        Q_ASSIGN(Borrow b, Borrow::shared(inst->borrow, Conflict::Panic));
        if (const Participant* p = participant_of(inst)) {
            if (auto it = p->dependencies.find(key); it != p->dependencies.end()) {
                append_set(it->second, deps);
            }
        }
    }
    auto worst = ValidationState::Valid;
    for (const CrossRef& d : deps) {
        QuendleBaseObject* other = resolve(d);
        if (other == nullptr) {
            continue;  // a dead dependency no longer counts
        }
        std::optional<Borrow> b = Borrow::try_take(other->borrow, false);
        if (!b) {
            worst = std::max(worst, ValidationState::Invalid);  // busy: not known to be valid
            continue;
        }
        Q_ASSIGN(CacheState * state, state_of(other));
        // A key a scenario exit forgot no longer counts either.
        if (state->tracker().has_state(d.key)) {
            worst = std::max(worst, state->tracker().read(d.key));
        }
    }
    return worst;
}

void commit_cross_dependencies(QuendleBaseObject* inst, CacheKey key, std::vector<CrossRef>& pending) {
    [[maybe_unused]] CrossTableSection table;

    Participant& p = ensure_participant(inst);
    CrossSet& set = p.dependencies[key];
    std::erase_if(set, [](const CrossRef& r) { return resolve(r) == nullptr; });
    set.insert(pending.begin(), pending.end());
    pending.clear();
}

void collect_cross_targets(const QuendleBaseObject* inst, const CacheState& state, CacheKey k, CrossTargets& out) {
    [[maybe_unused]] CrossTableSection table;

    Participant* p = participant_of(inst);
    if (p == nullptr || p->dependants.empty()) {
        return;
    }
    out.lives_in = std::min(out.lives_in, top_stamp(state));
    out.origins.push_back(ref_of(*p, k));
    const DependencyTracker& t = state.tracker();
    size_t hard = 0;
    const std::vector<CacheKey> reached =
        t.any_cutoff() ? state.collect_through_cutoffs(k, hard) : state.collect_dependants(k);
    if (!t.any_cutoff()) {
        hard = reached.size();
    }
    for (size_t i = 0; i < reached.size(); ++i) {
        const CacheKey d = reached[i];
        if (auto it = p->dependants.find(d); it != p->dependants.end()) {
            // Past a cut-off key (k's own value changed whatever k is).
            const bool through_cutoff = i >= hard || (d != k && t.has_mark(d, DependencyTracker::kCutoff));
            append_set(it->second, through_cutoff ? out.settleable : out.refs);
        }
    }
}

void collect_all_cross_targets(const QuendleBaseObject* inst, const CacheState& state, CrossTargets& out) {
    [[maybe_unused]] CrossTableSection table;

    Participant* p = participant_of(inst);
    if (p == nullptr) {
        return;
    }
    out.lives_in = std::min(out.lives_in, top_stamp(state));
    for (const auto& [key, dependants] : p->dependants) {
        append_set(dependants, out.refs);
    }
}

namespace {

// One walk from the targets of a change: every instance it reaches is
// visited under its own exclusive borrow, one at a time, and within each
// a key is reached once per walk (one set of reached keys per instance for
// the whole walk), so the walk is linear in the keys and edges it reaches
// however many paths lead to them. With `apply` false it only checks that
// it can visit every instance, changing nothing.
Status walk_cross_targets(const CrossTargets& targets, bool apply) {
    [[maybe_unused]] CrossTableSection table;

    if (targets.refs.empty() && targets.settleable.empty()) {
        return {};
    }
    std::unordered_map<std::uint64_t, KeySet> reached;  // by serial
    for (const CrossRef& o : targets.origins) {
        reached[o.serial].insert(o.key);
    }
    // First what must run again, then what may settle: a key both reach
    // must run.
    std::vector<CrossRef> queue = targets.refs;
    std::vector<CrossRef> settleable = targets.settleable;
    for (const bool hard : {true, false}) {
        if (!hard) {
            queue.swap(settleable);
        }
        while (!queue.empty()) {
            const CrossRef t = queue.back();
            queue.pop_back();
            QuendleBaseObject* inst = resolve(t);
            if (inst == nullptr) {
                continue;
            }
            KeySet& seen = reached[t.serial];
            if (seen.contains(t.key)) {
                continue;
            }
            // Held so that finalisers run when the borrow goes cannot free it.
            Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(inst));
            Q_ASSIGN(ExclusiveAccess access, ExclusiveAccess::take(inst->borrow, Conflict::Raise));
            if (resolve(t) == nullptr) {
                continue;  // cleared while the borrow was awaited
            }
            Q_ASSIGN(CacheState * state, state_of(inst));
            std::vector<CacheKey> cut;
            const bool stops = hard && state->tracker().any_cutoff();
            const std::vector<CacheKey> keys =
                stops ? state->collect_unseen_hard(t.key, seen, cut) : state->collect_unseen_dependants(t.key, seen);
            for (CacheKey c : cut) {
                if (const KeySet* here = state->tracker().dependants(c)) {
                    here->for_each([&](CacheKey d) { settleable.push_back(CrossRef{inst, t.serial, d}); });
                }
            }
            const Participant* p = participant_of(inst);
            if (p != nullptr && !p->dependants.empty()) {
                for (CacheKey k : keys) {
                    if (auto it = p->dependants.find(k); it != p->dependants.end()) {
                        const bool past_cutoff = stops && state->tracker().has_mark(k, DependencyTracker::kCutoff);
                        append_set(it->second, hard && !past_cutoff ? queue : settleable);
                    }
                }
            }
            if (apply) {
                state->invalidate_keys(keys, !hard);
                state->invalidate_saved(keys, targets.lives_in);
            }
        }
    }
    return {};
}

}  // namespace

Status check_cross_targets(const CrossTargets& targets) { return walk_cross_targets(targets, false); }

Status invalidate_cross_targets(CrossTargets targets) { return walk_cross_targets(targets, true); }

void cross_before_pop(const QuendleBaseObject* inst, const CacheState& state, CrossTargets& out) {
    [[maybe_unused]] CrossTableSection table;

    Participant* p = participant_of(inst);
    if (p == nullptr || state.layers().empty()) {
        return;
    }
    // Dependants elsewhere may rest on what the layer changed: a value it
    // holds or hides, or a state it moved. The pop is a change that lives
    // beneath the layer.
    const Layer& top = state.layers().back();
    out.lives_in = std::min(out.lives_in, top.stamp);
    const DependencyTracker& live = state.tracker();
    for (const auto& [key, dependants] : p->dependants) {
        const bool changed = top.values.at(key) != nullptr || top.hides(key) ||
                             live.has_state(key) != top.saved.has_state(key) || live.read(key) != top.saved.read(key);
        if (changed) {
            append_set(dependants, out.refs);
        }
    }
}

// ------------------------------------------------ pickling and copying

Result<std::vector<CrossDependency>> cross_dependencies_of(QuendleBaseObject* inst) {
    [[maybe_unused]] CrossTableSection table;

    std::vector<std::pair<CacheKey, CrossRef>> raw;
    {
        Q_ASSIGN(Borrow b, Borrow::shared(inst->borrow, Conflict::Raise, Share::Recorded));
        if (const Participant* p = participant_of(inst)) {
            for (const auto& [key, set] : p->dependencies) {
                for (const CrossRef& r : set) {
                    raw.emplace_back(key, r);
                }
            }
        }
    }
    std::vector<CrossDependency> out;
    for (const auto& [key, r] : raw) {
        if (QuendleBaseObject* other = resolve(r)) {
            out.push_back(CrossDependency{key, Ref::borrow(reinterpret_cast<PyObject*>(other)), r.key});
        }
    }
    return out;
}

bool has_cross_dependants(const QuendleBaseObject* inst) noexcept {
    [[maybe_unused]] CrossTableSection table;

    const Participant* p = participant_of(inst);
    return p != nullptr && !p->dependants.empty();
}

Ref cross_token(const QuendleBaseObject* inst) noexcept {
    [[maybe_unused]] CrossTableSection table;

    const Participant* p = participant_of(inst);
    return p != nullptr ? p->token : Ref{};
}

Ref keep_cross_token(QuendleBaseObject* inst, Ref token) {
    [[maybe_unused]] CrossTableSection table;

    Participant& p = ensure_participant(inst);
    if (!p.token) {
        p.token = std::move(token);
    }
    return p.token;
}

CrossRef cross_end(QuendleBaseObject* inst, CacheKey key) {
    [[maybe_unused]] CrossTableSection table;
    return ref_of(ensure_participant(inst), key);
}

namespace {

bool link_both_sides(QuendleBaseObject* dependant, CacheKey key, QuendleBaseObject* dependency, CacheKey other_key) {
    [[maybe_unused]] CrossTableSection table;

    {
        std::optional<Borrow> b = Borrow::try_take(dependency->borrow, true);
        if (!b) {
            return false;
        }
        const CrossRef mine = cross_end(dependant, key);
        Participant& p = ensure_participant(dependency);
        if (p.dependants[other_key].insert(mine).second) {
            ++p.dependant_count;
            sweep_if_due(p);
        }
    }
    std::optional<Borrow> b = Borrow::try_take(dependant->borrow, true);
    if (!b) {
        return false;
    }
    const CrossRef theirs = cross_end(dependency, other_key);
    ensure_participant(dependant).dependencies[key].insert(theirs);
    return true;
}

}  // namespace

Result<bool> link_cross_edge(QuendleBaseObject* dependant, CacheKey key, QuendleBaseObject* dependency,
                             CacheKey other_key) {
    [[maybe_unused]] CrossTableSection table;
    if (dependant == dependency) {
        return false;
    }
    try {
        return link_both_sides(dependant, key, dependency, other_key);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return Error::fetch();
    }
}

}  // namespace quendle
