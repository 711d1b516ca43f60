// Checks of a whole cache state, built with QUENDLE_INVARIANTS only, and the
// module function `_check_invariants(obj, expect_idle=True)` that runs them
// on an instance and raises AssertionError describing the first violation.
#include "cache/cache_state.h"
#include "cache/objects.h"

#include <optional>
#include <string>
#include <vector>

namespace quendle {

namespace {

Error violated(std::string what) { return Error::builtin(PyExc_AssertionError, std::move(what)); }

std::string key_text(CacheKey k) { return "key " + std::to_string(k); }

// The first member of `set` for which `bad(member)` holds, if any.
template <class Bad>
std::optional<CacheKey> first_bad_member(const KeySet& set, Bad&& bad) {
    std::optional<CacheKey> found;
    set.for_each([&](CacheKey m) {
        if (!found && bad(m)) {
            found = m;
        }
    });
    return found;
}

}  // namespace

// Every key with an edge record owns its own, and is a node; every record
// but the unused slot 0 is owned.
Status check_edge_slots(const DependencyTracker& t, const std::string& which) {
    if (!t.edges.empty() && (!t.edges[0].dependants.empty() || !t.edges[0].dependencies.empty())) {
        return violated(which + ": the unused edge record 0 holds edges");
    }
    std::vector<std::uint8_t> owned(t.edges.size(), 0);
    size_t used = 0;
    for (CacheKey k = 0; k < t.edge_slot.size(); ++k) {
        const std::uint32_t slot = t.edge_slot[k];
        if (slot == 0) {
            continue;
        }
        if (slot >= t.edges.size()) {
            return violated(which + ": " + key_text(k) + " has edge record " + std::to_string(slot) + " of " +
                            std::to_string(t.edges.size()));
        }
        if (std::exchange(owned[slot], 1) != 0) {
            return violated(which + ": edge record " + std::to_string(slot) + " is shared, " + key_text(k) +
                            " among its owners");
        }
        ++used;
        if (!t.node(k)) {
            return violated(which + ": " + key_text(k) + " has edges but is not a node");
        }
    }
    if (!t.edges.empty() && used != t.edges.size() - 1) {
        return violated(which + ": " + std::to_string(t.edges.size() - 1 - used) +
                        " edge records belong to no key");
    }
    return {};
}

// d in dependants(k) iff k in dependencies(d), every endpoint a known key.
Status check_edge_symmetry(const DependencyTracker& t, size_t key_count, const std::string& which) {
    for (CacheKey k = 0; k < t.edge_slot.size(); ++k) {
        const KeySet* dependants = t.dependants(k);
        const KeySet* dependencies = t.dependencies(k);
        if (dependants == nullptr) {
            continue;
        }
        if (auto d = first_bad_member(*dependants, [&](CacheKey m) {
                const KeySet* back = m < key_count ? t.dependencies(m) : nullptr;
                return back == nullptr || !back->contains(k);
            })) {
            return violated(which + ": " + key_text(*d) + " is a dependant of " + key_text(k) +
                            (*d < key_count ? " without the reverse entry" : ", past the last key"));
        }
        if (auto d = first_bad_member(*dependencies, [&](CacheKey m) {
                const KeySet* forth = m < key_count ? t.dependants(m) : nullptr;
                return forth == nullptr || !forth->contains(k);
            })) {
            return violated(which + ": " + key_text(*d) + " is a dependency of " + key_text(k) +
                            (*d < key_count ? " without the forward entry" : ", past the last key"));
        }
    }
    return {};
}

Status DependencyTracker::check(size_t key_count, const std::string& which) const {
    if (state.size() > key_count || is_node.size() > key_count || edge_slot.size() > key_count) {
        return violated(which + ": per-key arrays of " + std::to_string(state.size()) + ", " +
                        std::to_string(is_node.size()) + " and " + std::to_string(edge_slot.size()) +
                        " entries for " + std::to_string(key_count) + " keys");
    }
    for (CacheKey k = 0; k < state.size(); ++k) {
        if (state[k] > static_cast<std::uint8_t>(ValidationState::PermanentlyInvalid) && state[k] != kNoEntry) {
            return violated(which + ": " + key_text(k) + " has state " + std::to_string(state[k]));
        }
    }
    for (CacheKey k = 0; k < is_node.size(); ++k) {
        if (is_node[k] > 1) {
            return violated(which + ": " + key_text(k) + " has node mark " + std::to_string(is_node[k]));
        }
    }
    Q_TRY(check_edge_slots(*this, which));
    return check_edge_symmetry(*this, key_count, which);
}

Status SignatureIndex::check() const {
    if (table_.empty()) {
        if (!hashes_.empty()) {
            return violated("signature index: " + std::to_string(hashes_.size()) + " keys and no table");
        }
        return {};
    }
    if ((table_.size() & (table_.size() - 1)) != 0 || hashes_.size() * 4 > table_.size() * 3) {
        return violated("signature index: table of " + std::to_string(table_.size()) + " slots for " +
                        std::to_string(hashes_.size()) + " keys");
    }
    std::vector<std::uint8_t> placed(hashes_.size(), 0);
    for (std::uint64_t e : table_) {
        if (e == 0) {
            continue;
        }
        const CacheKey k = key_of(e);
        if (k >= hashes_.size() || std::exchange(placed[k], 1) != 0) {
            return violated("signature index: table entry for " + key_text(k) +
                            (k >= hashes_.size() ? ", past the last key" : ", twice"));
        }
        if (e != entry_of(k, hashes_[k])) {
            return violated("signature index: the entry of " + key_text(k) + " does not carry its hash");
        }
    }
    const size_t mask = table_.size() - 1;
    for (CacheKey k = 0; k < hashes_.size(); ++k) {
        if (placed[k] == 0) {
            return violated("signature index: " + key_text(k) + " is not in the table");
        }
        size_t i = slot_of(hashes_[k]);
        while (table_[i] != entry_of(k, hashes_[k])) {
            if (table_[i] == 0) {
                return violated("signature index: " + key_text(k) + " cannot be found from its hash");
            }
            i = (i + 1) & mask;
        }
    }
    return {};
}

namespace {

// Slots within key_count; a value in a layer has a state in `current`
// (layers are filled only by calls that settled valid). A base value may
// have none: load_cache stores into the base for calls without arguments,
// under a key that may never have been registered, or registered only
// inside a scenario since left. Any other base value was stored by a call
// that settled valid with no layer open, and states are never removed.
Status check_values(const ValueSlots& values, const DependencyTracker& current, size_t key_count,
                    const KeyStore& keys, const std::string& which, bool base) {
    if (values.size() > key_count) {
        return violated(which + ": " + std::to_string(values.size()) + " value slots for " +
                        std::to_string(key_count) + " keys");
    }
    for (CacheKey k = 0; k < values.size(); ++k) {
        if (values.at(k) == nullptr || current.has_state(k)) {
            continue;
        }
        if (!base) {
            return violated(which + ": " + key_text(k) + " holds a value and has no state");
        }
        if (keys.count(k) != 0) {
            return violated(which + ": " + key_text(k) + ", a call with arguments, holds a value and has no state");
        }
    }
    return {};
}

}  // namespace

Status CacheState::check_invariants(bool expect_idle) const {
    const size_t n = keys_.size();
    if (index_.size() != n) {
        return violated("signature index of " + std::to_string(index_.size()) + " keys for " + std::to_string(n) +
                        " signatures");
    }
    Q_TRY(index_.check());
    for (CacheKey k = 0; k < n; ++k) {
        if (!PyUnicode_CheckExact(keys_.method(k))) {
            return violated(key_text(k) + " has no method name");
        }
        for (size_t i = 0; i < keys_.count(k); ++i) {
            if (!PyUnicode_CheckExact(keys_.name(k, i))) {
                return violated(key_text(k) + " has an argument without a str name");
            }
        }
    }
    Q_TRY(tracker_.check(n, "the graph"));
    // Change records are per key, so never more of them than keys.
    if (changes_.key_bound() > n) {
        return violated("a change record for key " + std::to_string(changes_.key_bound() - 1) + ", past the last key");
    }
    for (size_t i = 0; i < layers_.size(); ++i) {
        if (layers_[i].saved_changes.key_bound() > n) {
            return violated("layer " + std::to_string(i) + " saved a change record past the last key");
        }
        if (layers_[i].hidden.size() > std::max(n, values_.size())) {
            return violated("layer " + std::to_string(i) + " hides a key past the last key");
        }
        if (i > 0 && layers_[i].stamp < layers_[i - 1].stamp) {
            return violated("layer " + std::to_string(i) + " was pushed before the layer beneath it");
        }
    }
    Q_TRY(check_values(values_, tracker_, n, keys_, "the base level", true));
    for (size_t i = 0; i < layers_.size(); ++i) {
        const std::string which = "layer " + std::to_string(i);
        Q_TRY(layers_[i].saved.check(n, "the graph saved by " + which));
        Q_TRY(check_values(layers_[i].values, tracker_, n, keys_, which, false));
    }
    size_t frames = 0;
    for (const ThreadStack& s : call_stacks_) {
        frames += s.frames.size();
    }
    if (frames != running_) {
        return violated(std::to_string(frames) + " call frames pushed, but " + std::to_string(running_) +
                        " counted as running");
    }
    for (size_t i = 0; i < call_stacks_.size(); ++i) {
        const ThreadStack& s = call_stacks_[i];
        for (size_t j = i + 1; j < call_stacks_.size(); ++j) {
            if (call_stacks_[j].thread == s.thread) {
                return violated("two call stacks for thread " + std::to_string(s.thread));
            }
        }
        for (const CallFrame& f : s.frames) {
            if (f.key >= n) {
                return violated("a call frame of thread " + std::to_string(s.thread) + " for " + key_text(f.key) +
                                ", past the last key");
            }
        }
        if (expect_idle && !s.frames.empty()) {
            return violated(std::to_string(s.frames.size()) + " call frames left on thread " +
                            std::to_string(s.thread) + ", innermost for " + key_text(s.frames.back().key));
        }
    }
    return {};
}

namespace {

const ArgSpec kCheckInvariants{"_check_invariants", nullptr, {"obj", "expect_idle"}, 2, 1, false};

Result<Ref> check_instance(PyObject* args, PyObject* kwargs) {
    Q_ASSIGN(BoundArgs bound, bind_arguments(kCheckInvariants, args, kwargs));
    bool expect_idle = true;
    if (bound.get(1) != nullptr) {
        Q_ASSIGN(expect_idle, noted(to_bool(bound.get(1)), "expect_idle"));
    }
    Q_ASSIGN(QuendleBaseObject * inst, noted(as_quendle_base(bound.get(0)), "obj"));
    Q_ASSIGN(Borrow b, Borrow::shared(inst->borrow, Conflict::Raise));
    Q_ASSIGN(CacheState * state, state_of(inst));
    Q_TRY(state->check_invariants(expect_idle));
    return none_result();
}

PyObject* check_invariants_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
    return entry_object([&] { return check_instance(args, kwargs); });
}

}  // namespace

PyMethodDef check_invariants_def = {
    "_check_invariants", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(check_invariants_entry)),
    METH_VARARGS | METH_KEYWORDS, "_check_invariants(obj, expect_idle=True)\n--\n\n"};

}  // namespace quendle
