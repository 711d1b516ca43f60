// Export and import of an instance's base level as a list of entries: the
// narrow interface through which pickling and copying move a cache, so that
// nothing outside this state touches its storage.
#include "base/runtime.h"
#include "cache/cache_state.h"

#include <algorithm>
#include <string>

namespace quendle {

namespace {

constexpr size_t kLeftOut = ~size_t{0};

std::string entry_text(size_t i) { return "cache entry " + std::to_string(i); }

// The key has the shape every stored key has: (method name, ((name, value), ...)),
// exact tuples and exact `str` names, the names sorted strictly. The rest of
// the state relies on it (labels, lookups of natively bound calls).
Status check_key_shape(PyObject* key, size_t i) {
    if (!PyTuple_CheckExact(key) || PyTuple_Size(key) != 2) {
        return Error::type_error(entry_text(i) + ": the key must be a tuple (method name, arguments)");
    }
    if (!PyUnicode_CheckExact(PyTuple_GetItem(key, 0))) {
        return Error::type_error(entry_text(i) + ": the method name of the key must be a str");
    }
    PyObject* args = PyTuple_GetItem(key, 1);
    if (!PyTuple_CheckExact(args)) {
        return Error::type_error(entry_text(i) + ": the arguments of the key must be a tuple of (name, value) pairs");
    }
    std::string previous;
    for (Py_ssize_t j = 0; j < PyTuple_Size(args); ++j) {
        PyObject* pair = PyTuple_GetItem(args, j);
        if (!PyTuple_CheckExact(pair) || PyTuple_Size(pair) != 2 || !PyUnicode_CheckExact(PyTuple_GetItem(pair, 0))) {
            return Error::type_error(entry_text(i) + ": the arguments of the key must be a tuple of (name, value) pairs");
        }
        Q_ASSIGN(std::string name, utf8(PyTuple_GetItem(pair, 0)));
        if (j > 0 && !(previous < name)) {
            return Error::value_error(entry_text(i) + ": the argument names of the key are not sorted strictly");
        }
        previous = std::move(name);
    }
    return {};
}

// Every edge joins two graph nodes of the list.
Status check_edges(const std::vector<CacheEntry>& entries) {
    for (size_t i = 0; i < entries.size(); ++i) {
        for (size_t d : entries[i].dependants) {
            if (d >= entries.size()) {
                return Error::value_error(entry_text(i) + " has a dependant " + std::to_string(d) + " beyond the last of " +
                                          std::to_string(entries.size()) + " entries");
            }
            if (!entries[i].node || !entries[d].node) {
                return Error::value_error(entry_text(i) + " has a dependant " + std::to_string(d) +
                                          ", but only graph nodes have edges");
            }
        }
    }
    return {};
}

}  // namespace

Result<std::vector<CacheEntry>> CacheState::export_entries() const {
    const DependencyTracker& t = layers_.empty() ? tracker_ : layers_.front().saved;
    const size_t n = keys_.size();
    std::vector<size_t> index(n, kLeftOut);
    std::vector<CacheEntry> out;
    for (CacheKey k = 0; k < n; ++k) {
        PyObject* value = values_.at(k);
        if (!t.has_state(k) && !t.node(k) && value == nullptr) {
            continue;
        }
        index[k] = out.size();
        CacheEntry e;
        e.source = k;
        Q_ASSIGN(e.key, keys_.tuple(k));
        if (t.has_state(k)) {
            e.state = t.read(k);
        }
        e.node = t.node(k);
        e.value = Ref::borrow(value);
        out.push_back(std::move(e));
    }
    for (CacheKey k = 0; k < n; ++k) {
        const KeySet* dependants = index[k] != kLeftOut ? t.dependants(k) : nullptr;
        if (dependants == nullptr) {
            continue;
        }
        std::vector<size_t>& into = out[index[k]].dependants;
        dependants->for_each([&](CacheKey d) {
            if (d < n && index[d] != kLeftOut) {
                into.push_back(index[d]);
            }
        });
        std::sort(into.begin(), into.end());  // the same state always exports the same list
    }
    return out;
}

Status CacheState::check_entries(const std::vector<CacheEntry>& entries) {
    Q_TRY(check_edges(entries));
    for (size_t i = 0; i < entries.size(); ++i) {
        Q_TRY(check_key_shape(entries[i].key.get(), i));
    }
    return {};
}

Result<std::unique_ptr<CacheState>> CacheState::from_entries(std::vector<CacheEntry> entries) {
    Q_TRY(check_entries(entries));
    Graveyard dead;  // stays empty: every slot filled below starts empty
    auto fresh = std::make_unique<CacheState>();
    const std::uint64_t loaded = next_tick();
    for (size_t i = 0; i < entries.size(); ++i) {
        CacheEntry& e = entries[i];
        const Py_hash_t hash = PyObject_Hash(e.key.get());
        if (hash == -1 && PyErr_Occurred() != nullptr) {
            return Error::fetch();
        }
        Q_ASSIGN(std::optional<CacheKey> found, fresh->find_key(hash, e.key.get()));
        if (found) {
            return Error::value_error(entry_text(i) + " has the same key as " + entry_text(*found));
        }
        const CacheKey k = fresh->insert_key(hash, std::move(e.key));
        if (e.state) {
            // What was current together stays so: one time for every entry.
            fresh->tracker_.set_stamps(k, Stamps{loaded, loaded});
            fresh->tracker_.set_state(k, *e.state);
        }
        if (e.node) {
            fresh->tracker_.ensure_node(k);
        }
        if (e.value) {
            fresh->values_.set(k, std::move(e.value), dead);
        }
    }
    // Keys were allocated in list order, so an entry's index is its key.
    for (size_t i = 0; i < entries.size(); ++i) {
        for (size_t d : entries[i].dependants) {
            fresh->tracker_.add_edge(i, d);
        }
    }
    return fresh;
}

}  // namespace quendle
