// Why an entry is or is not served: `CacheState::diagnose` walks from the
// entry down its dependencies to the recorded changes, and the module
// function `explain` words what it finds. Nothing here runs on a call, an
// update or an invalidation: the operations only keep the one change record
// per operation that the walk reads (ChangeLog).
#include "ops/explain.h"

#include "base/text.h"
#include "cache/objects.h"
#include "keys/introspection.h"
#include "ops/defaults_warning.h"
#include "ops/name_hints.h"

#include <algorithm>
#include <unordered_map>

namespace quendle {

namespace {

std::vector<CacheKey> sorted_dependencies(const DependencyTracker& t, CacheKey k) {
    std::vector<CacheKey> out;
    if (const KeySet* deps = t.dependencies(k)) {
        deps->for_each([&](CacheKey d) { out.push_back(d); });
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Breadth-first over dependencies, smallest key first at every step, so the
// same state always gives the same answer. Remembers how each key was
// reached, to give the path back.
class DependencyWalk {
public:
    // visit(key) for `from` and every dependency of a visited key for which
    // expand(key) holds, in order, until visit returns true (that key is
    // returned).
    template <class Expand, class Visit>
    std::optional<CacheKey> run(const DependencyTracker& t, CacheKey from, Expand&& expand, Visit&& visit) {
        parent_.clear();
        parent_.emplace(from, from);
        std::vector<CacheKey> queue{from};
        for (size_t i = 0; i < queue.size(); ++i) {
            const CacheKey cur = queue[i];
            if (visit(cur)) {
                return cur;
            }
            if (!expand(cur)) {
                continue;
            }
            for (CacheKey d : sorted_dependencies(t, cur)) {
                if (parent_.emplace(d, cur).second) {
                    queue.push_back(d);
                }
            }
        }
        return std::nullopt;
    }
    // `from`, then each key on the way to `to`.
    [[nodiscard]] std::vector<CacheKey> path_to(CacheKey to) const {
        std::vector<CacheKey> path{to};
        for (CacheKey k = to; parent_.at(k) != k;) {
            k = parent_.at(k);
            path.push_back(k);
        }
        std::reverse(path.begin(), path.end());
        return path;
    }

private:
    std::unordered_map<CacheKey, CacheKey> parent_;
};

// The latest change among the keys a walk enters: the user's updates and
// clears, or else the computations that met an invalid dependency.
struct LatestChange {
    std::optional<CacheKey> key;
    ChangeRecord record{0, ChangeKind::Updated};

    void consider(const ChangeLog& log, CacheKey k, bool user_changes) {
        const ChangeRecord* r = log.find(k);
        if (r == nullptr || (r->kind == ChangeKind::Invalidated) == user_changes) {
            return;
        }
        if (!key || r->seq > record.seq) {
            key = k;
            record = *r;
        }
    }
};

// A permanently invalid key: the nearest dependency without an entry, else
// the nearest permanently invalid one whose own dependencies all have one.
void diagnose_permanent(const DependencyTracker& t, CacheKey k, Diagnosis& d) {
    d.kind = Diagnosis::Kind::PermanentlyInvalid;
    DependencyWalk walk;
    auto blocked = [&](CacheKey n) { return t.read(n) == ValidationState::PermanentlyInvalid; };
    if (auto m = walk.run(t, k, blocked, [&](CacheKey n) { return !t.has_state(n); })) {
        d.cause = Diagnosis::Cause::MissingDependency;
        d.path = walk.path_to(*m);
    } else if (auto p = walk.run(t, k, blocked, [&](CacheKey n) {
                   const auto deps = sorted_dependencies(t, n);
                   return n != k && blocked(n) && std::none_of(deps.begin(), deps.end(), blocked);
               })) {
        d.cause = Diagnosis::Cause::PermanentDependency;
        d.path = walk.path_to(*p);
    }
}

// An invalid key: first a change to the chain of invalid entries or to what
// they were computed from, then any change upstream (entries between may
// have been recomputed since), then a computation that met an invalid
// dependency, then clear_cache.
void diagnose_invalid(const DependencyTracker& t, const ChangeLog& log, CacheKey k, Diagnosis& d) {
    d.kind = Diagnosis::Kind::Invalid;
    auto invalid = [&](CacheKey n) { return t.read(n) == ValidationState::Invalid; };
    DependencyWalk walk;
    LatestChange user, computed;
    std::optional<CacheKey> deepest;
    walk.run(t, k, invalid, [&](CacheKey n) {
        user.consider(log, n, true);
        if (invalid(n)) {
            computed.consider(log, n, false);
            deepest = n;
        }
        return false;
    });
    DependencyWalk upstream;
    LatestChange any;
    if (!user.key) {
        upstream.run(t, k, [](CacheKey) { return true; }, [&](CacheKey n) {
            any.consider(log, n, true);
            return false; });
    }
    const auto found = [&](const DependencyWalk& w, const LatestChange& c) {
        d.cause = Diagnosis::Cause::Change;
        d.change = c.record.kind;
        d.path = w.path_to(*c.key);
    };
    if (user.key) {
        found(walk, user);
    } else if (any.key) {
        found(upstream, any);
    } else if (computed.key) {
        found(walk, computed);
    } else if (!d.has_value && log.cleared_by_clear_all(k)) {
        d.cause = Diagnosis::Cause::ClearAll;
    } else if (deepest && *deepest != k) {
        d.cause = Diagnosis::Cause::InvalidDependency;
        d.path = walk.path_to(*deepest);
    }
}

}  // namespace

Diagnosis CacheState::diagnose(CacheKey k) const {
    Diagnosis d;
    d.path.push_back(k);
    d.dependencies = sorted_dependencies(tracker_, k);
    d.has_value = effective_value(k) != nullptr;
    if (tracker_.settleable(k)) {
        d.cutoff = DependencyTracker::kSettleable;
    } else if (tracker_.has_mark(k, DependencyTracker::kKept)) {
        d.cutoff = DependencyTracker::kKept;
    } else if (tracker_.has_mark(k, DependencyTracker::kRevalidated)) {
        d.cutoff = DependencyTracker::kRevalidated;
    }
    if (!tracker_.has_state(k)) {
        d.kind = Diagnosis::Kind::NoEntry;
        return d;
    }
    switch (tracker_.read(k)) {
        case ValidationState::Valid:
            d.kind = d.has_value ? Diagnosis::Kind::Served : Diagnosis::Kind::ValidWithoutValue;
            break;
        case ValidationState::Invalid:
            diagnose_invalid(tracker_, changes_, k, d);
            break;
        case ValidationState::PermanentlyInvalid:
            diagnose_permanent(tracker_, k, d);
            break;
    }
    return d;
}

namespace {

const ArgSpec kExplain{"explain", nullptr, {"instance", "method_name"}, 2, 2, false};

const char kRecomputes[] = "; the next call recomputes it";
const char kNeverStored[] = " is never stored, so every call runs its body";

Result<Ref> joined(const std::vector<Ref>& parts, const char* separator) {
    Q_ASSIGN(Ref list, checked(PyList_New(0)));
    for (const Ref& part : parts) {
        Q_TRY(checked_status(PyList_Append(list.get(), part.get())));
    }
    Q_ASSIGN(Ref sep, checked(PyUnicode_FromString(separator)));
    return checked(PyUnicode_Join(sep.get(), list.get()));
}

// A call as the user writes it, `name(param=value, ...)`, values by repr().
Result<Ref> call_text(PyObject* key) {
    PyObject* name = PyTuple_GetItem(key, 0);
    PyObject* args = PyTuple_GetItem(key, 1);
    if (name == nullptr || args == nullptr) {
        return Error::fetch();
    }
    std::vector<Ref> parts;
    const Py_ssize_t n = PyTuple_Size(args);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* pair = PyTuple_GetItem(args, i);
        if (pair == nullptr || !PyTuple_Check(pair) || PyTuple_Size(pair) != 2) {
            return QUENDLE_PANIC("a signature key without (name, value) pairs");
        }
        Q_ASSIGN(Ref part, format("%S=%R", PyTuple_GetItem(pair, 0), PyTuple_GetItem(pair, 1)));
        parts.push_back(std::move(part));
    }
    Q_ASSIGN(Ref inner, joined(parts, ", "));
    return format("%S(%U)", name, inner.get());
}

Result<Ref> calls_text(const std::vector<Ref>& keys, size_t first, size_t last) {
    std::vector<Ref> parts;
    for (size_t i = first; i < last; ++i) {
        Q_ASSIGN(Ref part, call_text(keys[i].get()));
        parts.push_back(std::move(part));
    }
    return joined(parts, ", ");
}

const char* change_text(ChangeKind kind) {
    switch (kind) {
        case ChangeKind::Updated:
            return "updated (update_cached_value)";
        case ChangeKind::Cleared:
            return "cleared (clear_cached_value)";
        case ChangeKind::Invalidated:
            break;
    }
    return "invalidated (its last computation met an invalid dependency and was not stored)";
}

// The entry asked about, with the key tuples of its diagnosis, taken while
// the instance was held; worded after it is free again, since repr() of an
// argument value may use the instance.
struct Subject {
    Diagnosis diag;
    std::vector<Ref> path;          // key tuples along diag.path
    std::vector<Ref> dependencies;  // key tuples of diag.dependencies
    PyObject* type = nullptr;       // the instance's class
    PyObject* inst = nullptr;       // the instance (borrowed from the arguments)
    Ref text;                       // call_text of the entry
    Ref class_name;

    [[nodiscard]] PyObject* name_at(size_t i) const { return PyTuple_GetItem(path[i].get(), 0); }
    // The call at path position i, and " through <calls between>".
    Result<std::pair<Ref, Ref>> reached(size_t i) const {
        Q_ASSIGN(Ref at, call_text(path[i].get()));
        Q_ASSIGN(Ref between, calls_text(path, 1, i));
        if (i <= 1) {
            return std::pair<Ref, Ref>{std::move(at), std::move(between)};
        }
        Q_ASSIGN(Ref through, format(" through %U", between.get()));
        return std::pair<Ref, Ref>{std::move(at), std::move(through)};
    }
};

Result<Ref> word_invalid(const Subject& s) {
    const Diagnosis& d = s.diag;
    const size_t last = d.path.size() - 1;
    switch (d.cause) {
        case Diagnosis::Cause::Change: {
            if (last == 0) {
                return format("invalid: %U was %s%s", s.text.get(), change_text(d.change), kRecomputes);
            }
            Q_ASSIGN(auto root, s.reached(last));
            return format("invalid: %U was %s, and %U depends on it%U%s", root.first.get(), change_text(d.change),
                          s.text.get(), root.second.get(), kRecomputes);
        }
        case Diagnosis::Cause::ClearAll:
            return format("invalid: clear_cache() removed or invalidated %U%s", s.text.get(), kRecomputes);
        case Diagnosis::Cause::InvalidDependency: {
            Q_ASSIGN(auto dep, s.reached(last));
            return format("invalid: %U depends on %U%U, which is invalid with no recorded change%s", s.text.get(),
                          dep.first.get(), dep.second.get(), kRecomputes);
        }
        default:
            break;
    }
    if (!d.has_value) {
        return format("never computed: no call of %U has completed (a call that raises stores nothing)",
                      s.text.get());
    }
    return format(
        "invalid: %U was invalidated by a change that is no longer recorded (the changed entry "
        "has been recomputed since)%s",
        s.text.get(), kRecomputes);
}

// Permanently invalid because of the dependency at path position i.
Result<Ref> word_blocked(const Subject& s, size_t i, MethodKind kind) {
    Q_ASSIGN(auto dep, s.reached(i));
    PyObject* head = s.text.get();
    switch (kind) {
        case MethodKind::Uncached:
            return format("permanently invalid: %U depends on %U%U, which is not cached (use_cache=False); %U%s",
                          head, dep.first.get(), dep.second.get(), head, kNeverStored);
        case MethodKind::Missing:
            return format("permanently invalid: %U depends on %U%U, and %U has no attribute '%U'; %U%s", head,
                          dep.first.get(), dep.second.get(), s.class_name.get(), s.name_at(i), head, kNeverStored);
        case MethodKind::Plain:
            return format("permanently invalid: %U depends on %U%U, which is not a quendled method of %U; %U%s",
                          head, dep.first.get(), dep.second.get(), s.class_name.get(), head, kNeverStored);
        case MethodKind::Cached:
            break;
    }
    if (s.diag.cause == Diagnosis::Cause::MissingDependency) {
        PyObject* args = PyTuple_GetItem(s.path[i].get(), 1);
        if (args != nullptr && PyTuple_Size(args) == 0) {
            // Every call binds defaults, so the entry named is never computed.
            Q_ASSIGN(Ref pairs, defaults_bound_by(s.inst, s.name_at(i)));
            if (pairs) {
                Q_ASSIGN(Ref key, checked(PyTuple_Pack(2, s.name_at(i), pairs.get())));
                Q_ASSIGN(Ref bound, call_text(key.get()));
                return format(
                    "permanently invalid: %U depends on %U%U, but %U is called with its defaults, as %U (a "
                    "dependency names every parameter, defaults included); %U%s",
                    head, dep.first.get(), dep.second.get(), s.name_at(i), bound.get(), head, kNeverStored);
            }
        }
        Q_ASSIGN(Ref before, call_text(s.path[i - 1].get()));
        return format(
            "permanently invalid: %U depends on %U%U, which had not been computed when %U completed "
            "(a dependency names every parameter, defaults included); %U%s",
            head, dep.first.get(), dep.second.get(), before.get(), head, kNeverStored);
    }
    return format(
        "permanently invalid: %U depends on %U%U, which is permanently invalid itself: it completed "
        "before its own dependencies had been computed; %U%s",
        head, dep.first.get(), dep.second.get(), head, kNeverStored);
}

Result<Ref> word_permanent(const Subject& s) {
    // The nearest uncached method on the way names the cause; else the end.
    for (size_t i = 1; i < s.path.size(); ++i) {
        Q_ASSIGN(MethodKind kind, method_kind(s.type, s.name_at(i)));
        if (kind == MethodKind::Uncached || i + 1 == s.path.size()) {
            return word_blocked(s, i, kind);
        }
    }
    if (s.dependencies.empty()) {
        return format("permanently invalid: %U%s", s.text.get(), kNeverStored);
    }
    Q_ASSIGN(Ref deps, calls_text(s.dependencies, 0, s.dependencies.size()));
    return format(
        "permanently invalid: %U completed before its dependencies (%U) had been computed; "
        "an entry computed so is never stored again, so every call runs its body",
        s.text.get(), deps.get());
}

Result<Ref> word(const Subject& s) {
    Q_ASSIGN(MethodKind own, method_kind(s.type, s.name_at(0)));
    PyObject* text = s.text.get();
    if (own == MethodKind::Uncached) {
        return format("uncached: %U() is decorated with use_cache=False, so every call runs its body", s.name_at(0));
    }
    switch (s.diag.kind) {
        case Diagnosis::Kind::Served:
            if (s.diag.cutoff == DependencyTracker::kKept) {
                return format(
                    "served: %U is valid and stored; the next call returns it without running the body (its last "
                    "run came out unchanged under its cut-off, so it kept its previous value)",
                    text);
            }
            if (s.diag.cutoff == DependencyTracker::kRevalidated) {
                return format(
                    "served: %U is valid and stored; the next call returns it without running the body (it became "
                    "valid again without running: nothing it depends on had changed)",
                    text);
            }
            return format("served: %U is valid and stored; the next call returns it without running the body", text);
        case Diagnosis::Kind::ValidWithoutValue:
            return format(
                "missing: %U reads valid but no level holds its value; the next call computes it",
                text);
        case Diagnosis::Kind::Invalid: {
            Q_ASSIGN(Ref why, word_invalid(s));
            if (s.diag.cutoff != DependencyTracker::kSettleable) {
                return why;
            }
            return format(
                "%U, unless it settles: every change reached it through an entry with a cut-off, so the next call "
                "first brings what it depends on up to date and runs its body only if one of them changed",
                why.get());
        }
        case Diagnosis::Kind::PermanentlyInvalid:
            return word_permanent(s);
        case Diagnosis::Kind::NoEntry:
            break;
    }
    if (own == MethodKind::Missing) {
        return format("uncached: %U has no attribute '%U', so %U is never cached", s.class_name.get(), s.name_at(0),
                      text);
    }
    if (own == MethodKind::Plain) {
        return format("uncached: %U.%U is not a quendled method, so %U is never cached", s.class_name.get(),
                      s.name_at(0), text);
    }
    return format(
        "never computed: %U has no entry (it is only named as a dependency, or was first called "
        "inside a scenario that has ended)",
        text);
}

// A signature this instance has never seen: for a decorated method, not
// computed yet; for any other name, the error of the query methods.
Result<Ref> word_unseen(PyObject* type, PyObject* key) {
    Q_ASSIGN(MethodKind kind, method_kind(type, PyTuple_GetItem(key, 0)));
    if (kind == MethodKind::Missing || kind == MethodKind::Plain) {
        return hint_unknown_entry(Error::key_error("No cache key found for provided signature"), type, key);
    }
    if (kind == MethodKind::Uncached) {
        return format("uncached: %S() is decorated with use_cache=False, so every call runs its body",
                      PyTuple_GetItem(key, 0));
    }
    Q_ASSIGN(Ref text, call_text(key));
    return format("never computed: no call of %U has been made on this instance", text.get());
}

// The key of the entry `explain` asks about: for a decorated method, the
// key its call with these arguments has (defaults applied); for any other
// name, the keywords as a query names them.
Result<CallSignature> entry_signature(PyObject* inst, PyObject* name, const std::string& text, PyObject* rest,
                                      PyObject* kwargs) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(inst));
    Ref func;
    Q_ASSIGN(MethodKind kind, method_kind(type, name, &func));
    if (kind == MethodKind::Cached || kind == MethodKind::Uncached) {
        const Py_ssize_t n = PyTuple_Size(rest);
        Q_ASSIGN(Ref args, checked(PyTuple_New(n + 1)));
        PyTuple_SetItem(args.get(), 0, Py_NewRef(inst));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyTuple_SetItem(args.get(), i + 1, Py_NewRef(PyTuple_GetItem(rest, i)));
        }
        return inspect_call_signature(text, func.get(), args.get(), kwargs);
    }
    Q_ASSIGN(CallSignature sig, query_signature(text, kwargs));
    if (PyTuple_Size(rest) > 0) {
        // Positional arguments name no parameter of a method that is not decorated.
        return hint_unknown_entry(Error::key_error("No cache key found for provided signature"), type,
                                  sig.key.get());
    }
    return sig;
}

Result<Ref> explain(PyObject* args, PyObject* kwargs) {
    // The first two parameters are positional-only: every other argument
    // is the entry's.
    const Py_ssize_t given = PyTuple_Size(args);
    Q_ASSIGN(Ref own, checked(PyTuple_GetSlice(args, 0, 2)));
    Q_ASSIGN(Ref rest, checked(PyTuple_GetSlice(args, 2, given < 2 ? 2 : given)));
    Q_ASSIGN(BoundArgs bound, bind_arguments(kExplain, own.get(), nullptr));
    Q_ASSIGN(PyObject * base_type, quendle_base_type());
    PyObject* obj = bound.get(0);
    if (!PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(base_type))) {
        return note_argument(cast_error(obj, base_type), "instance");
    }
    Q_ASSIGN(std::string name, noted(to_text(bound.get(1)), "method_name"));
    auto* inst = reinterpret_cast<QuendleBaseObject*>(obj);
    Subject s;
    s.type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    s.inst = obj;
    // Bound before the instance is taken: binding and hashing run user code.
    Q_ASSIGN(CallSignature sig, entry_signature(obj, bound.get(1), name, rest.get(), kwargs));
    Ref query;
    {
        Q_ASSIGN(Borrow b, Borrow::shared(inst->borrow, Conflict::Raise, Share::Recorded));
        Q_ASSIGN(CacheState * state, state_of(inst));
        Q_ASSIGN(std::optional<CacheKey> key, state->find_key(sig.hash, sig.key.get()));
        query = std::move(sig.key);
        if (key) {
            s.diag = state->diagnose(*key);
            for (CacheKey k : s.diag.path) {
                Q_ASSIGN(Ref key_tuple, state->key_tuple(k));
                s.path.push_back(std::move(key_tuple));
            }
            for (CacheKey k : s.diag.dependencies) {
                Q_ASSIGN(Ref key_tuple, state->key_tuple(k));
                s.dependencies.push_back(std::move(key_tuple));
            }
        }
    }
    if (s.path.empty()) {
        return word_unseen(s.type, query.get());
    }
    Q_ASSIGN(const Names* n, names());
    Q_ASSIGN(s.class_name, get_attr(s.type, n->name));
    Q_ASSIGN(s.text, call_text(s.path[0].get()));
    return word(s);
}

PyObject* explain_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
    return entry_object([&] { return explain(args, kwargs); });
}

}  // namespace

Result<Ref> entry_text(PyObject* key) { return call_text(key); }

PyMethodDef explain_def = {
    "explain", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(explain_entry)), METH_VARARGS | METH_KEYWORDS,
    "explain(instance, method_name, /, *args, **kwargs)\n--\n\n"
    "Why the entry of instance.method_name(*args, **kwargs) is or is not served, the arguments bound as\n"
    "the call binds them (defaults applied): \"<category>: <reason>\", the\n"
    "category one of served, never computed, invalid, permanently invalid, uncached, missing."};

}  // namespace quendle
