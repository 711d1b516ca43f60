#include "cache/cache_state.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <unordered_map>
#include <utility>

namespace quendle {

// ------------------------------------------------------------- CacheState

Result<std::optional<CacheKey>> CacheState::find_key(std::int64_t hash, PyObject* key) const {
    return index_.find(hash, [&](CacheKey k) -> Result<bool> {
        // The stored key as a tuple of its own items, compared as the tuple.
        Q_ASSIGN(Ref stored, keys_.tuple(k));
        Q_ASSIGN(Ref cmp, checked(PyObject_RichCompare(stored.get(), key, Py_EQ)));
        int truth = PyObject_IsTrue(cmp.get());
        if (truth < 0) {
            return Error::fetch();
        }
        return truth == 1;
    });
}

Result<CacheKey> CacheState::get_or_create_key(CallSignature sig) {
    Q_ASSIGN(std::optional<CacheKey> found, find_key(sig.hash, sig.key.get()));
    if (found) {
        return *found;
    }
    return insert_key(sig.hash, std::move(sig.key));
}

Result<std::optional<CacheKey>> CacheState::find_bound(const BoundCall& call) const {
    // The stored key is owned by this state and cannot go while the
    // caller holds the instance.
    return index_.find(call.hash, [&](CacheKey k) -> Result<bool> { return bound_equals(keys_, k, call); });
}

CacheKey CacheState::insert_key(std::int64_t hash, Ref key) {
    const CacheKey k = keys_.size();
    counters_.reserve_key();
    keys_.push_tuple(key.get());
    try {
        index_.insert(hash);
    } catch (...) {
        keys_.pop_back([](PyObject* p) { Py_DECREF(p); });
        throw;
    }
    counters_.add_key(k, keys_);
    return k;
}

CacheKey CacheState::insert_bound(const BoundCall& call) {
    const CacheKey k = keys_.size();
    counters_.reserve_key();
    keys_.push(call.method, call.names.data(), call.values.data(), call.count);
    try {
        index_.insert(call.hash);
    } catch (...) {
        keys_.pop_back([](PyObject* p) { Py_DECREF(p); });
        throw;
    }
    counters_.add_key(k, keys_);
    return k;
}

Result<CacheKey> CacheState::key_for_query(std::string_view method_name, PyObject* kwargs, Ref& missing) const {
    Q_ASSIGN(CallSignature sig, query_signature(method_name, kwargs));
    Q_ASSIGN(std::optional<CacheKey> found, find_key(sig.hash, sig.key.get()));
    if (!found) {
        missing = std::move(sig.key);
        return Error::key_error("No cache key found for provided signature");
    }
    return *found;
}

PyObject* CacheState::effective_value(CacheKey k) const noexcept {
    for (auto it = layers_.rbegin(); it != layers_.rend(); ++it) {
        if (PyObject* v = it->values.at(k)) {
            return v;
        }
        if (it->hides(k)) {
            return nullptr;
        }
    }
    return values_.at(k);
}

Ref CacheState::get_value(CacheKey k) const {
    if (tracker_.read(k) != ValidationState::Valid) {
        return {};
    }
    return Ref::borrow(effective_value(k));
}

bool CacheState::has_value(CacheKey k) const noexcept {
    return tracker_.read(k) == ValidationState::Valid && effective_value(k) != nullptr;
}

void CacheState::store_value(CacheKey k, Ref value, Graveyard& dead) {
    if (tracker_.read(k) != ValidationState::Valid) {
        dead.bury(value.release());
        return;
    }
    ValueSlots& target = layers_.empty() ? values_ : layers_.back().values;
    target.set(k, std::move(value), dead);
}

void CacheState::register_call(CacheKey k, const std::vector<CacheKey>& declared, bool cutoff) {
    if (tracker_.has_state(k)) {
        return;
    }
    // The state comes last: a failed allocation on the way leaves the key
    // without one, so the next call registers it (and its edges) again.
    tracker_.ensure_node(k);
    for (CacheKey d : declared) {
        tracker_.add_edge(d, k);
    }
    if (cutoff) {
        mark_cutoff(k);
    }
    tracker_.set_state(k, ValidationState::Invalid);
}

void CacheState::mark_cutoff(CacheKey k) {
    if (!tracker_.has_mark(k, DependencyTracker::kCutoff)) {
        tracker_.set_mark(k, DependencyTracker::kCutoff);
        tracker_.count_cutoff();
    }
    stamping_ = true;
}

void CacheState::add_runtime_dependency(CacheKey dependant, CacheKey dependency) {
    tracker_.add_edge(dependency, dependant);
}

void CacheState::mark_permanently_invalid(CacheKey k) {
    tracker_.set_state(k, ValidationState::PermanentlyInvalid);
}

void CacheState::revalidate(CacheKey k, std::uint8_t how) {
    // Marks exist only from the first key with a cut-off on.
    if (!stamping_) {
        if (tracker_.has_state(k) && tracker_.read(k) == ValidationState::Invalid) {
            tracker_.set_state(k, ValidationState::Valid);
        }
        return;
    }
    if (how != 0) {
        tracker_.reserve_marks(k + 1);
    }
    if (tracker_.has_state(k) && tracker_.read(k) == ValidationState::Invalid) {
        tracker_.set_state(k, ValidationState::Valid);
    }
    tracker_.clear_mark(k, DependencyTracker::kHow);
    if (how != 0 && tracker_.read(k) == ValidationState::Valid) {
        tracker_.set_mark(k, how);
    }
}

namespace {

// Marks for keys met by a walk over all keys: one byte per key, allocated
// once, so marking cannot fail.
class DenseMarks {
public:
    explicit DenseMarks(size_t key_count) : marks_(key_count, 0) {}
    bool insert(CacheKey k) noexcept { return std::exchange(marks_[k], 1) == 0; }

private:
    std::vector<std::uint8_t> marks_;
};

// Marks for a walk from one key: a set while few keys are met (the cost of
// the walk follows what it reaches, not the size of the instance), one byte
// per key once the walk has met a good share of them.
class GrowingMarks {
public:
    explicit GrowingMarks(size_t key_count) : key_count_(key_count) {}
    bool insert(CacheKey k) {
        if (!dense_.empty()) {
            return std::exchange(dense_[k], 1) == 0;
        }
        const bool fresh = set_.insert(k);
        if (fresh && set_.size() >= 4096 && set_.size() >= key_count_ / 32) {
            std::vector<std::uint8_t> dense(key_count_, 0);
            set_.for_each([&](CacheKey m) { dense[m] = 1; });
            dense_.swap(dense);
            set_ = KeySet{};
        }
        return fresh;
    }

private:
    size_t key_count_;
    KeySet set_;
    std::vector<std::uint8_t> dense_;
};

// Pops keys off `stack` until it is empty, calling f(key) for each and for
// every dependant not yet in `seen` (pushed when it has dependants itself).
// Keys on the stack on entry must be in `seen` already. With one `seen` for
// all starting keys, every key is reached and every edge followed at most
// once.
template <class Seen, class F>
void walk_dependants(const DependencyTracker& t, std::vector<CacheKey>& stack, Seen& seen, F&& f) {
    while (!stack.empty()) {
        const CacheKey cur = stack.back();
        stack.pop_back();
        f(cur);
        if (const KeySet* dependants = t.dependants(cur)) {
            dependants->for_each([&](CacheKey d) {
                if (!seen.insert(d)) {
                    return;
                }
                // A key nothing depends on is done here, without a trip
                // through the stack (a fan-out of a million leaves).
                const KeySet* further = t.dependants(d);
                if (further == nullptr || further->empty()) {
                    f(d);
                } else {
                    stack.push_back(d);
                }
            });
        }
    }
}

void demote_if_valid(DependencyTracker& t, CacheKey k) noexcept { t.demote(k); }

// Turns k Invalid if it is Valid; whether it did. Either way k must run
// again to be Valid.
bool demote_counted(DependencyTracker& t, CacheKey k) noexcept {
    const bool was_valid = t.has_state(k) && t.read(k) == ValidationState::Valid;
    t.demote(k);
    return was_valid;
}

EventCause cause_of_change(const ChangeLog& log, CacheKey k) {
    const ChangeRecord* r = log.find(k);
    if (r == nullptr) {
        return EventCause::Unrecorded;
    }
    switch (r->kind) {
        case ChangeKind::Updated:
            return EventCause::Update;
        case ChangeKind::Cleared:
            return EventCause::Clear;
        case ChangeKind::Invalidated:
            break;
    }
    return EventCause::Recomputation;
}

}  // namespace

std::vector<CacheKey> CacheState::collect_dependants(CacheKey k) const {
    // A set proportional to what is reached: invalidating one key costs
    // its dependants, not the size of the instance.
    std::vector<CacheKey> result;
    std::vector<CacheKey> stack{k};
    if (const KeySet* direct = tracker_.dependants(k)) {
        result.reserve(size_t{direct->size()} + 1);  // at least these are reached
    }
    GrowingMarks visited(next_key());
    visited.insert(k);
    walk_dependants(tracker_, stack, visited, [&](CacheKey cur) { result.push_back(cur); });
    return result;
}

std::vector<CacheKey> CacheState::collect_unseen_dependants(CacheKey k, KeySet& seen) const {
    std::vector<CacheKey> result;
    if (!seen.insert(k)) {
        return result;
    }
    std::vector<CacheKey> stack{k};
    walk_dependants(tracker_, stack, seen, [&](CacheKey cur) { result.push_back(cur); });
    return result;
}

void CacheState::invalidate_keys(const std::vector<CacheKey>& keys, bool settleable) {
    // As in `invalidate`: first what can fail, then the change.
    if (running_ != 0 && epochs_.size() < next_key()) {
        epochs_.resize(next_key(), 0);
    }
    if (settleable) {
        tracker_.reserve_marks(next_key());
    }
    std::vector<CacheKey> demoted;
    const bool traced = observe::wanted() && owner_ != nullptr;
    if (traced) {
        demoted.reserve(keys.size());
        observe::reserve(keys.size());
    }
    for (CacheKey d : keys) {
        if (settleable ? tracker_.demote_settleable(d) : demote_counted(tracker_, d)) {
            ++counters_.of(d).invalidations;
            if (traced) {
                demoted.push_back(d);
            }
        }
        bump_epoch(d);
    }
    if (traced) {
        note_demoted(demoted, &keys, EventCause::Elsewhere, std::nullopt);
    }
}

void CacheState::invalidate(CacheKey k, bool keep_self) {
    // Collected first: a failed allocation changes no state. Past a cut-off
    // key the change may yet come to nothing: what is reached only through
    // such keys is `settleable` (after the `hard` ones in `reached`).
    size_t hard = 0;
    const std::vector<CacheKey> reached = tracker_.any_cutoff() ? collect_through_cutoffs(k, hard) : collect_dependants(k);
    if (!tracker_.any_cutoff()) {
        hard = reached.size();
    } else {
        tracker_.reserve_marks(next_key());
    }
    std::vector<CacheKey> demoted;
    const bool traced = observe::wanted() && owner_ != nullptr;
    if (traced) {
        demoted.reserve(reached.size());
        observe::reserve(reached.size());
    }
    // A computation in progress may have read any key: each gets an epoch
    // that this and later invalidations bump.
    if (running_ != 0 && epochs_.size() < next_key()) {
        epochs_.resize(next_key(), 0);
    }
    ++revision_;
    for (size_t i = 0; i < reached.size(); ++i) {
        const CacheKey d = reached[i];
        if (keep_self && d == k) {
            tracker_.clear_mark(d, DependencyTracker::kSettleable);
        } else if (i < hard ? demote_counted(tracker_, d) : tracker_.demote_settleable(d)) {
            ++counters_.of(d).invalidations;
            if (traced) {
                demoted.push_back(d);
            }
        }
        if (d < epochs_.size()) {
            ++epochs_[d];
        }
    }
    if (traced) {
        note_demoted(demoted, &reached, cause_of_change(changes_, k), k);
    }
}

std::vector<CacheKey> CacheState::collect_unseen_hard(CacheKey k, KeySet& seen, std::vector<CacheKey>& cut) const {
    std::vector<CacheKey> result;
    if (!seen.insert(k)) {
        return result;
    }
    std::vector<CacheKey> stack{k};
    while (!stack.empty()) {
        const CacheKey cur = stack.back();
        stack.pop_back();
        result.push_back(cur);
        if (tracker_.has_mark(cur, DependencyTracker::kCutoff)) {
            cut.push_back(cur);
            continue;
        }
        if (const KeySet* dependants = tracker_.dependants(cur)) {
            dependants->for_each([&](CacheKey d) {
                if (seen.insert(d)) {
                    stack.push_back(d);
                }
            });
        }
    }
    return result;
}

std::vector<CacheKey> CacheState::collect_through_cutoffs(CacheKey k, size_t& hard) const {
    std::vector<CacheKey> result;
    std::vector<CacheKey> stack{k};
    std::vector<CacheKey> cutoffs;  // reached, their dependants not followed yet
    GrowingMarks visited(next_key());
    visited.insert(k);
    auto follow = [&](CacheKey cur) {
        if (const KeySet* dependants = tracker_.dependants(cur)) {
            dependants->for_each([&](CacheKey d) {
                if (visited.insert(d)) {
                    stack.push_back(d);
                }
            });
        }
    };
    while (!stack.empty()) {
        const CacheKey cur = stack.back();
        stack.pop_back();
        result.push_back(cur);
        if (cur != k && tracker_.has_mark(cur, DependencyTracker::kCutoff)) {
            cutoffs.push_back(cur);
        } else {
            follow(cur);
        }
    }
    hard = result.size();
    for (CacheKey c : cutoffs) {
        follow(c);
    }
    while (!stack.empty()) {
        const CacheKey cur = stack.back();
        stack.pop_back();
        result.push_back(cur);
        follow(cur);
    }
    return result;
}

void CacheState::invalidate_saved(const std::vector<CacheKey>& keys, std::uint64_t stamp) {
    for (Layer& layer : layers_) {
        if (layer.stamp <= stamp) {
            continue;
        }
        // The saved graph is the one the pop restores, so its edges decide.
        std::vector<CacheKey> stack;
        GrowingMarks visited(next_key());
        for (CacheKey k : keys) {
            if (visited.insert(k)) {
                stack.push_back(k);
            }
        }
        walk_dependants(layer.saved, stack, visited, [&](CacheKey d) { demote_if_valid(layer.saved, d); });
    }
}

bool CacheState::clear_value(CacheKey k, Graveyard& dead) {
    ValueSlots* holder = nullptr;
    for (auto it = layers_.rbegin(); it != layers_.rend() && holder == nullptr; ++it) {
        if (it->values.at(k) != nullptr) {
            holder = &it->values;
        } else if (it->hides(k)) {
            return false;
        }
    }
    if (holder == nullptr && values_.at(k) != nullptr) {
        holder = &values_;
    }
    if (holder == nullptr) {
        return false;
    }
    // A value beneath the top layer is only hidden; the room for the mark,
    // the record and the invalidation are what can fail, and they come
    // before the value goes out of view.
    Layer* top = layers_.empty() ? nullptr : &layers_.back();
    const bool release = top == nullptr || holder == &top->values;
    if (!release) {
        top->reserve_hidden(size_t{k} + 1);
    }
    changes_.note(k, ChangeKind::Cleared);
    invalidate(k);
    if (release) {
        holder->clear(k, dead);
    } else {
        top->hidden[k] = 1;
    }
    return true;
}

void CacheState::clear_all_values(Graveyard& dead) {
    // Value slots exist only for registered keys; the larger bound keeps the
    // marks in range whatever the slots hold.
    size_t key_count = next_key();
    for (const Layer& layer : layers_) {
        key_count = std::max(key_count, layer.values.size());
    }
    key_count = std::max(key_count, values_.size());
    // What can fail is allocated here, before any state changes and before
    // the first value goes: each key is pushed at most once, so the stack
    // never grows past its reserve.
    DenseMarks seen(key_count);
    std::vector<CacheKey> stack;
    stack.reserve(key_count);
    Layer* top = layers_.empty() ? nullptr : &layers_.back();
    if (top != nullptr) {
        top->reserve_hidden(key_count);
    }
    for (CacheKey k = 0; k < key_count; ++k) {
        if (effective_value(k) != nullptr && seen.insert(k)) {
            stack.push_back(k);
        }
    }
    std::vector<CacheKey> demoted;
    const bool traced = observe::wanted() && owner_ != nullptr;
    if (traced) {
        demoted.reserve(next_key());
        observe::reserve(next_key());
    }
    changes_.note_clear_all(next_key());
    ++clear_epoch_;
    ++revision_;
    auto demote = [&](CacheKey k) {
        if (demote_counted(tracker_, k)) {
            ++counters_.of(k).invalidations;
            if (traced) {
                demoted.push_back(k);
            }
        }
    };
    if (stack.empty()) {
        for (CacheKey k = 0; k < next_key(); ++k) {
            demote(k);
        }
        if (traced) {
            note_demoted(demoted, nullptr, EventCause::ClearAll, std::nullopt);
        }
        return;
    }
    walk_dependants(tracker_, stack, seen, demote);
    if (traced) {
        note_demoted(demoted, &demoted, EventCause::ClearAll, std::nullopt);
    }
    auto ignore = [](CacheKey) {};
    if (top == nullptr) {
        values_.clear_all(dead, ignore);
        return;
    }
    top->values.clear_all(dead, ignore);
    auto hide_stored = [&](const ValueSlots& values) {
        for (CacheKey k = 0; k < values.size(); ++k) {
            if (values.at(k) != nullptr) {
                top->hidden[k] = 1;
            }
        }
    };
    for (size_t i = 0; i + 1 < layers_.size(); ++i) {
        hide_stored(layers_[i].values);
    }
    hide_stored(values_);
}

void CacheState::push_layer(std::uint64_t stamp) {
    Layer layer;
    layer.stamp = stamp;
    layer.saved = tracker_;
    layer.saved_changes = changes_;
    ++layer_changes_;
    ++revision_;
    layers_.push_back(std::move(layer));
}

void CacheState::pop_layer(Graveyard& dead) noexcept {
    Layer top = std::move(layers_.back());
    layers_.pop_back();
    ++layer_changes_;
    ++revision_;
    std::swap(tracker_, top.saved);
    std::swap(changes_, top.saved_changes);
    top.values.move_all_to(dead);
}

int CacheState::traverse(visitproc visit, void* arg) const {
    if (int rc = values_.traverse(visit, arg)) {
        return rc;
    }
    for (const Layer& layer : layers_) {
        if (int rc = layer.values.traverse(visit, arg)) {
            return rc;
        }
    }
    if (int rc = keys_.traverse(visit, arg)) {
        return rc;
    }
    return traverse_pending(visit, arg);
}

void CacheState::clear(Graveyard& dead) noexcept {
    values_.move_all_to(dead);
    for (Layer& layer : layers_) {
        layer.values.move_all_to(dead);
    }
    layers_.clear();
    call_stacks_.clear();
    running_ = 0;
    ++revision_;
    ++clear_epoch_;  // a computation in progress commits nothing into the empty state
    clear_pending(dead);
    tracker_ = DependencyTracker{};
    changes_ = ChangeLog{};
    index_ = SignatureIndex{};
    counters_.clear();
    keys_.clear([&](PyObject* p) { dead.bury(p); });
}

}  // namespace quendle
