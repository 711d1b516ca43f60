// The cache part of a pickled or copied instance as it is read back: every
// record checked, the class's current methods applied to the entries, and
// the new cache state put in place with its cross-instance edges.
#include "base/key_text.h"
#include "cache/instance_access.h"
#include "ops/pickle_parts.h"

#include <utility>

namespace quendle {

namespace {

// The class's methods as a restore applies them: each decorated method's
// name (its function's `__name__`, which its keys carry) with its
// `use_cache`, the first along the method resolution order winning, and the
// names declared dependencies name. An attribute a class nearer the front
// of the order defines hides a decorated one further back.
struct CurrentMethods {
    Ref decorated;  // dict: name -> use_cache
    Ref declared;   // set of names
    Ref cutoffs;    // set of the names of decorated methods with a cut-off
};

Result<CurrentMethods> current_methods(PyObject* cls) {
    Q_ASSIGN(const Names* n, names());
    CurrentMethods out;
    Q_ASSIGN(out.decorated, checked(PyDict_New()));
    Q_ASSIGN(out.declared, checked(PySet_New(nullptr)));
    Q_ASSIGN(out.cutoffs, checked(PySet_New(nullptr)));
    Q_ASSIGN(Ref seen, checked(PySet_New(nullptr)));
    Q_ASSIGN(Ref mro, get_attr(cls, n->mro));
    Q_ASSIGN(std::vector<Ref> classes, to_object_sequence(mro.get()));
    for (const Ref& klass : classes) {
        Q_ASSIGN(Ref proxy, get_attr(klass.get(), n->dict));
        // A plain dict walked in place (no items view, whose iterator some
        // interpreters free wrongly when its allocation fails).
        Q_ASSIGN(Ref dict, checked(PyObject_CallMethod(proxy.get(), "copy", nullptr)));
        if (!PyDict_Check(dict.get())) {
            return cast_error(dict.get(), reinterpret_cast<PyObject*>(&PyDict_Type));
        }
        // Taken before any is added: adding hashes, which may run code.
        struct Found {
            Ref attr;
            Ref method;  // empty for an attribute that is no decorated method
            bool use_cache = true;
            bool cutoff = false;
            std::vector<Ref> declared;
        };
        std::vector<Found> found;
        Py_ssize_t pos = 0;
        PyObject *name = nullptr, *value = nullptr;
        while (PyDict_Next(dict.get(), &pos, &name, &value)) {
            Q_ASSIGN(bool decorated, is_decorator(value));
            const DecoratorFields* f = decorated ? reinterpret_cast<DecoratorObject*>(value)->fields : nullptr;
            Found each{Ref::borrow(name), Ref{}, true, false, {}};
            if (f != nullptr) {
                each.method = f->name_obj;
                each.use_cache = f->use_cache;
                each.cutoff = static_cast<bool>(f->cutoff);
                for (const CallSignature& dep : f->dependencies) {
                    each.declared.push_back(Ref::borrow(PyTuple_GetItem(dep.key.get(), 0)));
                }
            }
            found.push_back(std::move(each));
        }
        for (const Found& each : found) {
            const int hidden = PySet_Contains(seen.get(), each.attr.get());
            if (hidden < 0) {
                return Error::fetch();
            }
            Q_TRY(checked_status(PySet_Add(seen.get(), each.attr.get())));
            if (hidden == 1 || !each.method) {
                continue;
            }
            Q_ASSIGN(Ref flag, bool_result(each.use_cache));
            PyObject* was = PyDict_GetItemWithError(out.decorated.get(), each.method.get());  // borrowed
            if (was == nullptr && PyErr_Occurred() != nullptr) {
                return Error::fetch();
            }
            if (was == nullptr) {
                Q_TRY(checked_status(PyDict_SetItem(out.decorated.get(), each.method.get(), flag.get())));
                if (each.cutoff) {
                    Q_TRY(checked_status(PySet_Add(out.cutoffs.get(), each.method.get())));
                }
            }
            for (const Ref& dep : each.declared) {
                Q_TRY(checked_status(PySet_Add(out.declared.get(), dep.get())));
            }
        }
    }
    return out;
}

// The keys of methods with a cut-off get their mark (a state built from
// records knows nothing of methods).
Status mark_cutoffs(CacheState& fresh, PyObject* cutoffs) {
    if (PySet_Size(cutoffs) == 0) {
        return {};
    }
    for (CacheKey k = 0; k < fresh.next_key(); ++k) {
        Q_ASSIGN(Ref key, fresh.key_tuple(k));
        const int has = PySet_Contains(cutoffs, PyTuple_GetItem(key.get(), 0));
        if (has < 0) {
            return Error::fetch();
        }
        if (has == 1) {
            fresh.mark_cutoff(k);
        }
    }
    return {};
}

Error bad_record(Py_ssize_t i, const std::string& what) {
    return Error::type_error("cache entry " + std::to_string(i) + ": " + what);
}

Result<CacheEntry> parse_record(PyObject* item, Py_ssize_t i, PyObject* record_type) {
    PyObject* record = item;
    if (reinterpret_cast<PyObject*>(Py_TYPE(item)) == record_type && (record = wrapped_record(item)) == nullptr) {
        return cleared_error("QuendleCacheEntry");
    }
    if (!PyTuple_CheckExact(record) || (PyTuple_Size(record) != 4 && PyTuple_Size(record) != 5)) {
        return bad_record(i, "must be a tuple (key, state, node, dependants[, value])");
    }
    CacheEntry e;
    e.key = Ref::borrow(PyTuple_GetItem(record, 0));
    PyObject* state = PyTuple_GetItem(record, 1);
    if (state != Py_None) {
        const Py_ssize_t s = index_of(state);
        if (s < 0 || s > 2) {
            return bad_record(i, "the validation state must be None, 0, 1 or 2");
        }
        e.state = static_cast<ValidationState>(s);
    }
    PyObject* node = PyTuple_GetItem(record, 2);
    if (!PyBool_Check(node)) {
        return bad_record(i, "the graph node flag must be a bool");
    }
    e.node = node == Py_True;
    PyObject* dependants = PyTuple_GetItem(record, 3);
    if (!PyTuple_CheckExact(dependants)) {
        return bad_record(i, "the dependants must be a tuple of entry indices");
    }
    for (Py_ssize_t j = 0; j < PyTuple_Size(dependants); ++j) {
        const Py_ssize_t d = index_of(PyTuple_GetItem(dependants, j));
        if (d < 0) {
            return bad_record(i, "the dependants must be a tuple of entry indices");
        }
        e.dependants.push_back(static_cast<size_t>(d));
    }
    if (PyTuple_Size(record) == 5) {
        e.value = Ref::borrow(PyTuple_GetItem(record, 4));
    }
    return e;
}

// Valid becomes invalid for every entry reached from the marked ones along
// their dependants.
void invalidate_dependants(std::vector<CacheEntry>& entries, const std::vector<char>& marked) {
    std::vector<size_t> stack;
    std::vector<char> reached(marked);
    for (size_t i = 0; i < entries.size(); ++i) {
        if (marked[i] != 0) {
            stack.push_back(i);
        }
    }
    while (!stack.empty()) {
        const size_t i = stack.back();
        stack.pop_back();
        for (size_t d : entries[i].dependants) {
            if (reached[d] == 0) {
                reached[d] = 1;
                if (entries[d].state == ValidationState::Valid) {
                    entries[d].state = ValidationState::Invalid;
                }
                stack.push_back(d);
            }
        }
    }
}

// What the class's current methods make of each entry (a key of another
// shape is left to the cache state, which refuses it): a method that is
// decorated and caches keeps its entry; one decorated with use_cache=False
// keeps no value, and a valid state becomes permanently invalid, as a call
// of it would leave it; a name that is no decorated method keeps a bare
// graph node when a declared dependency names it, and is dropped otherwise.
// Whatever was computed from a changed or dropped entry is invalid. The
// result maps each entry's index to its new one, or kDropped.
Result<std::vector<size_t>> apply_current_methods(std::vector<CacheEntry>& entries, const CurrentMethods& now) {
    const size_t n = entries.size();
    std::vector<char> changed(n, 0);
    std::vector<char> dropped(n, 0);
    for (size_t i = 0; i < n; ++i) {
        CacheEntry& e = entries[i];
        PyObject* key = e.key.get();
        if (!PyTuple_CheckExact(key) || PyTuple_Size(key) != 2 || !PyUnicode_CheckExact(PyTuple_GetItem(key, 0))) {
            continue;
        }
        PyObject* name = PyTuple_GetItem(key, 0);
        PyObject* use_cache = PyDict_GetItemWithError(now.decorated.get(), name);  // borrowed
        if (use_cache == nullptr && PyErr_Occurred() != nullptr) {
            return Error::fetch();
        }
        if (use_cache == Py_True) {
            continue;
        }
        changed[i] = 1;
        e.value = Ref{};
        if (use_cache != nullptr) {
            if (e.state == ValidationState::Valid) {
                e.state = ValidationState::PermanentlyInvalid;
            }
            continue;
        }
        const int declared = PySet_Contains(now.declared.get(), name);
        if (declared < 0) {
            return Error::fetch();
        }
        e.state.reset();
        dropped[i] = declared == 0 ? 1 : 0;
    }
    invalidate_dependants(entries, changed);
    std::vector<size_t> index(n, kDropped);
    size_t kept = 0;
    for (size_t i = 0; i < n; ++i) {
        if (dropped[i] == 0) {
            index[i] = kept++;
        }
    }
    if (kept == n) {
        return index;
    }
    std::vector<CacheEntry> left;
    left.reserve(kept);
    for (size_t i = 0; i < n; ++i) {
        if (dropped[i] != 0) {
            continue;
        }
        CacheEntry& e = entries[i];
        std::vector<size_t> dependants;
        for (size_t d : e.dependants) {  // checked: every index is in range
            if (index[d] != kDropped) {
                dependants.push_back(index[d]);
            }
        }
        e.dependants = std::move(dependants);
        left.push_back(std::move(e));
    }
    entries = std::move(left);
    return index;
}

Error unknown_version(PyObject* version) {
    std::optional<std::string> shown = try_repr(version);
    return Error::value_error("unsupported cache format version " + (shown ? *shown : std::string("?")) +
                              " (this build of quendle reads version " + std::to_string(kCacheFormatVersion) + ")");
}

}  // namespace

// A non-negative index, or -1 for anything else (no exception left set).
Py_ssize_t index_of(PyObject* obj) {
    if (!PyLong_CheckExact(obj)) {
        return -1;
    }
    const Py_ssize_t v = PyLong_AsSsize_t(obj);
    if (v == -1 && PyErr_Occurred() != nullptr) {
        PyErr_Clear();
    }
    return v < 0 ? -1 : v;
}

Status import_cache_part(PyObject* obj, PyObject* part) {
    Q_ASSIGN(QuendleBaseObject * inst, as_quendle_base(obj));
    if (!PyTuple_CheckExact(part) || (PyTuple_Size(part) != 2 && PyTuple_Size(part) != 3)) {
        return Error::type_error("the cache state must be a tuple (version, entries) or (version, entries, cross-instance part)");
    }
    PyObject* version = PyTuple_GetItem(part, 0);
    if (!PyLong_CheckExact(version)) {
        return Error::type_error("the cache format version must be an int");
    }
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(version, &overflow);
    if (v == -1 && PyErr_Occurred() != nullptr) {
        return Error::fetch();
    }
    if (overflow != 0 || v != kCacheFormatVersion) {
        return unknown_version(version);
    }
    PyObject* records = PyTuple_GetItem(part, 1);
    if (!PyTuple_CheckExact(records)) {
        return Error::type_error("the cache entries must be a tuple");
    }
    const auto count = static_cast<size_t>(PyTuple_Size(records));
    CrossPart cross;
    if (PyTuple_Size(part) == 3) {
        Q_ASSIGN(cross, parse_cross_part(PyTuple_GetItem(part, 2), count));
    }
    if (count == 0) {
        return {};
    }
    if (cross.me) {
        QuendleBaseObject* bound = bound_instance(cross.me.get());
        if (bound != nullptr && bound != inst) {
            return Error::value_error("the instance token of the cache state stands for another instance");
        }
    }
    Q_ASSIGN(PyObject * record_type, entry_record_type());
    auto* cls = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    std::vector<CacheEntry> entries;
    for (size_t i = 0; i < count; ++i) {
        Q_ASSIGN(CacheEntry e, parse_record(PyTuple_GetItem(records, static_cast<Py_ssize_t>(i)),
                                            static_cast<Py_ssize_t>(i), record_type));
        entries.push_back(std::move(e));
    }
    // Checked as the records say before the class's current methods apply.
    Q_TRY(CacheState::check_entries(entries));
    Q_ASSIGN(CurrentMethods now, current_methods(cls));
    Q_ASSIGN(std::vector<size_t> index, apply_current_methods(entries, now));
    Q_ASSIGN(std::unique_ptr<CacheState> fresh, CacheState::from_entries(std::move(entries)));
    Q_TRY(mark_cutoffs(*fresh, now.cutoffs.get()));
    // A key whose dependency elsewhere did not come along, or is not valid,
    // arrives invalid, and so does whatever was computed from it.
    std::vector<FoundDependency> found;
    std::vector<WaitingDependency> waiting;
    std::vector<CacheKey> invalid;
    Q_TRY(find_cross_dependencies(cross, obj, index, found, waiting, invalid));
    if (!found.empty()) {
        // From here until the state is in place no code of the user's runs,
        // so nothing changes between the last look at a far end and the
        // edge that carries its next change here.
        {
            Q_ASSIGN(Borrow b, Borrow::shared(inst->borrow, Conflict::Raise));
            Q_ASSIGN(CacheState * state, state_of(inst));
            if (!state->is_empty()) {
                return Error::value_error("the cache state of an instance can be restored only while it is empty");
            }
        }
        for (const FoundDependency& f : found) {
            auto* other = reinterpret_cast<QuendleBaseObject*>(f.other.get());
            bool linked = false;
            if (still_valid(f)) {
                Q_ASSIGN(linked, link_cross_edge(inst, f.key, other, f.other_key));
            }
            if (!linked) {
                invalid.push_back(f.key);
            }
        }
    }
    for (CacheKey k : invalid) {
        fresh->invalidate(k);
    }
    Q_TRY(replace_empty_state(inst, std::move(fresh)));
    return finish_cross_part(inst, cross, waiting);
}

}  // namespace quendle
