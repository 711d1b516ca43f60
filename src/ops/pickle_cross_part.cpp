// The cross-instance part of a pickled or copied cache: made from the
// instance's dependencies on other instances and its token, read back and
// checked, its far ends found before the restore, and the ends linked or
// left with tokens after it.
#include "cache/instance_access.h"
#include "ops/pickle_parts.h"

#include <algorithm>
#include <tuple>
#include <unordered_map>
#include <utility>

namespace quendle {

namespace {

// `key` of `inst`, found under its shared borrow (the key's equality may run
// code), with whether it is valid; none when the instance has no such key.
struct FoundKey {
    CacheKey key;
    bool valid;
};

Result<std::optional<FoundKey>> find_in(QuendleBaseObject* inst, PyObject* key) {
    const Py_hash_t hash = PyObject_Hash(key);
    if (hash == -1 && PyErr_Occurred() != nullptr) {
        return Error::fetch();
    }
    Q_ASSIGN(Borrow b, Borrow::shared(inst->borrow, Conflict::Raise, Share::Recorded));
    Q_ASSIGN(CacheState * state, state_of(inst));
    Q_ASSIGN(std::optional<CacheKey> k, state->find_key(hash, key));
    if (!k) {
        return std::optional<FoundKey>();
    }
    return std::optional<FoundKey>(FoundKey{*k, state->tracker().read(*k) == ValidationState::Valid});
}

}  // namespace

// The cross-instance part `(token or None, ((entry index, end, key), ...))`,
// or an empty handle when there is nothing to carry. An entry's dependency
// elsewhere travels as the far instance's token and the key there, and
// arrives linked when that instance travels in the same pickle or deep
// copy. A shallow copy carries no edge (its end is None): the copy is an
// instance of its own whose inputs nothing ties to the far instance, so
// the entry arrives invalid. The instance's own token travels when others
// depend on it (not for a shallow copy: the dependants stay with the
// original).
Result<Ref> export_cross_part(QuendleBaseObject* inst, const std::vector<CacheEntry>& entries, CacheCopy how) {
    Q_ASSIGN(std::vector<CrossDependency> deps, cross_dependencies_of(inst));
    Ref me = Ref::borrow(Py_None);
    if (how != CacheCopy::Shallow && has_cross_dependants(inst)) {
        Q_ASSIGN(me, token_of(inst));
    }
    if (deps.empty() && me.get() == Py_None) {
        return Ref{};
    }
    std::unordered_map<CacheKey, size_t> index;
    for (size_t i = 0; i < entries.size(); ++i) {
        index.emplace(entries[i].source, i);
    }
    // The same state always exports the same list.
    std::sort(deps.begin(), deps.end(), [](const CrossDependency& a, const CrossDependency& b) {
        return std::make_tuple(a.key, a.other.get(), a.other_key) < std::make_tuple(b.key, b.other.get(), b.other_key);
    });
    Q_ASSIGN(Ref list, checked(PyList_New(0)));
    for (const CrossDependency& d : deps) {
        auto at = index.find(d.key);
        if (at == index.end()) {
            continue;
        }
        auto* other = reinterpret_cast<QuendleBaseObject*>(d.other.get());
        Ref key;
        {
            Q_ASSIGN(Borrow b, Borrow::shared(other->borrow, Conflict::Raise, Share::Recorded));
            Q_ASSIGN(CacheState * state, state_of(other));
            if (d.other_key >= state->next_key()) {
                continue;
            }
            Q_ASSIGN(key, state->key_tuple(d.other_key));
        }
        Ref end = Ref::borrow(Py_None);
        if (how != CacheCopy::Shallow) {
            Q_ASSIGN(end, token_of(other));
        }
        Q_ASSIGN(Ref item, checked(Py_BuildValue("(nOO)", static_cast<Py_ssize_t>(at->second), end.get(), key.get())));
        Q_TRY(checked_status(PyList_Append(list.get(), item.get())));
    }
    Q_ASSIGN(Ref items, checked(PyList_AsTuple(list.get())));
    if (PyTuple_Size(items.get()) == 0 && me.get() == Py_None) {
        return Ref{};
    }
    return checked(PyTuple_Pack(2, me.get(), items.get()));
}

Result<CrossPart> parse_cross_part(PyObject* part, size_t entry_count) {
    CrossPart out;
    if (!PyTuple_CheckExact(part) || PyTuple_Size(part) != 2 || !PyTuple_CheckExact(PyTuple_GetItem(part, 1))) {
        return Error::type_error("the cross-instance part must be a tuple (token or None, dependencies)");
    }
    PyObject* me = PyTuple_GetItem(part, 0);
    if (me != Py_None) {
        Q_ASSIGN(bool tok, is_token(me));
        if (!tok) {
            return Error::type_error("the token of the cross-instance part must be an instance token or None");
        }
        out.me = Ref::borrow(me);
    }
    PyObject* deps = PyTuple_GetItem(part, 1);
    for (Py_ssize_t i = 0; i < PyTuple_Size(deps); ++i) {
        PyObject* d = PyTuple_GetItem(deps, i);
        const std::string what = "cross-instance dependency " + std::to_string(i);
        if (!PyTuple_CheckExact(d) || PyTuple_Size(d) != 3) {
            return Error::type_error(what + " must be a tuple (entry index, instance or token, key)");
        }
        const Py_ssize_t entry = index_of(PyTuple_GetItem(d, 0));
        if (entry < 0 || static_cast<size_t>(entry) >= entry_count) {
            return Error::value_error(what + " names no cache entry");
        }
        PyObject* end = PyTuple_GetItem(d, 1);
        Q_ASSIGN(bool tok, is_token(end));
        if (!tok && end != Py_None && !PyObject_TypeCheck(end, reinterpret_cast<PyTypeObject*>(quendle_base_type_if_created()))) {
            return Error::type_error(what + ": the other end must be a QuendleBase instance, an instance token or None");
        }
        out.deps.push_back(CrossPart::Dependency{static_cast<size_t>(entry), Ref::borrow(end), Ref::borrow(PyTuple_GetItem(d, 2))});
    }
    return out;
}

// Finds each dependency's far end where it is known (an instance, or a
// token already restored). `index` maps entries to the restored keys (an
// entry dropped has no dependencies left). A key whose far end is not
// found, or not valid, goes to `invalid`.
Status find_cross_dependencies(const CrossPart& cross, PyObject* obj, const std::vector<size_t>& index,
                               std::vector<FoundDependency>& found, std::vector<WaitingDependency>& waiting,
                               std::vector<CacheKey>& invalid) {
    for (const CrossPart::Dependency& d : cross.deps) {
        const size_t k = index[d.entry];
        if (k == kDropped) {
            continue;
        }
        if (d.end.get() == Py_None) {
            invalid.push_back(k);  // its far end did not travel
            continue;
        }
        Q_ASSIGN(bool tok, is_token(d.end.get()));
        QuendleBaseObject* other = nullptr;
        if (!tok) {
            other = reinterpret_cast<QuendleBaseObject*>(d.end.get());
        } else if (!token(d.end.get())->bound->has_value()) {
            waiting.push_back(WaitingDependency{k, &d});
        } else {
            other = bound_instance(d.end.get());  // nullptr once that instance is gone
        }
        bool valid = false;
        if (other != nullptr && reinterpret_cast<PyObject*>(other) != obj) {
            Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(other));
            Q_ASSIGN(std::optional<FoundKey> key, find_in(other, d.key.get()));
            if (key) {
                valid = key->valid;
                found.push_back(FoundDependency{k, std::move(keep), key->key});
            }
        }
        if (!valid) {
            invalid.push_back(k);  // a key is valid only if all its dependencies elsewhere are
        }
    }
    return {};
}

// Whether the far end of a dependency found is valid still (read without
// waiting; a busy instance counts as not known to be valid).
bool still_valid(const FoundDependency& f) {
    auto* other = reinterpret_cast<QuendleBaseObject*>(f.other.get());
    std::optional<Borrow> b = Borrow::try_take(other->borrow, false);
    return b && other->state != nullptr && other->state->tracker().read(f.other_key) == ValidationState::Valid;
}

// After the restore: the ends left with tokens not restored yet, and the
// instance's own token bound to it, linking the ends that waited for it.
Status finish_cross_part(QuendleBaseObject* inst, const CrossPart& cross, const std::vector<WaitingDependency>& waiting) {
    for (const WaitingDependency& w : waiting) {
        token(w.d->end.get())->pending->push_back(PendingDependant{cross_end(inst, w.key), w.d->key});
    }
    if (!cross.me) {
        return {};
    }
    *token(cross.me.get())->bound = cross_end(inst, 0);  // the instance; the key is not read
    std::vector<PendingDependant> pending;
    pending.swap(*token(cross.me.get())->pending);
    for (const PendingDependant& p : pending) {
        QuendleBaseObject* dependant = resolve(p.dependant);
        if (dependant == nullptr) {
            continue;
        }
        Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(dependant));
        Q_ASSIGN(std::optional<FoundKey> key, find_in(inst, p.key.get()));
        if (key) {
            // The dependant's entry arrived invalid; the edge is the one its
            // stored value was computed from, as if both had come at once.
            Q_ASSIGN([[maybe_unused]] bool linked, link_cross_edge(dependant, p.dependant.key, inst, key->key));
        }
    }
    return {};
}

}  // namespace quendle
