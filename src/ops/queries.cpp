#include "ops/queries.h"

#include "cache/cross_instance.h"
#include "cache/instance_access.h"
#include "cache/objects.h"
#include "ops/cutoff.h"
#include "ops/name_hints.h"
#include "ops/observe.h"

#include <string>

namespace quendle {

namespace {

const ArgSpec kIsCached{"is_cached", "QuendleBase", {"method_name"}, 1, 1, true};
const ArgSpec kGetCached{"get_cached_value", "QuendleBase", {"method_name", "strict"}, 2, 1, true};
const ArgSpec kUpdateCached{"update_cached_value", "QuendleBase", {"method_name", "value"}, 2, 2, true};
const ArgSpec kClearCached{"clear_cached_value", "QuendleBase", {"method_name"}, 1, 1, true};

// What a keyed query works on, under the instance's exclusive borrow.
struct Query {
    CacheState& state;
    const std::string& name;
    BoundArgs& bound;
    Ref& missing;  // the key tuple asked for, when the instance has no such key

    [[nodiscard]] Result<CacheKey> key() const { return state.key_for_query(name, bound.surplus.get(), missing); }
};

// A query's result; a key the instance does not have gets its hint once
// the instance is free again.
Result<Ref> hinted(Result<Ref> r, PyObject* self, const Ref& missing) {
    if (r.ok() || !missing) {
        return r;
    }
    return hint_unknown_entry(r.take_error(), reinterpret_cast<PyObject*>(Py_TYPE(self)), missing.get());
}

// The common frame of the keyed queries that read: bind, then run `op`
// under the instance's exclusive borrow, with `method_name` converted (and
// the collected keywords).
template <class Op>
PyObject* keyed_query(const ArgSpec& spec, PyObject* self, PyObject* args, PyObject* kwargs, Op&& op) {
    return entry_object([&]() -> Result<Ref> {
        Q_ASSIGN(BoundArgs bound, bind_arguments(spec, args, kwargs));
        Ref missing;
        Result<Ref> r = [&]() -> Result<Ref> {
            Q_ASSIGN(ExclusiveAccess access, ExclusiveAccess::take(as_base(self)->borrow, Conflict::Raise));
            Q_ASSIGN(std::string method_name, noted(to_text(bound.get(0)), "method_name"));
            Q_ASSIGN(CacheState * state, state_of(as_base(self)));
            Query q{*state, method_name, bound, missing};
            return op(q);
        }();
        return hinted(std::move(r), self, missing);
    });
}

// The frame of the keyed queries that change a key: the key is found once,
// in the plan, and the change is made whole or refused (`change_across`).
// `has(state, key)` says whether the change can be made, `error` what a key
// without it raises; `change(state, key, bound, dead, targets)` makes it,
// unless `moot(state, key)` says it would change nothing.
template <class Has, class Change, class Moot>
PyObject* keyed_change(const ArgSpec& spec, const char* error, PyObject* self, PyObject* args, PyObject* kwargs,
                       Has&& has, Change&& change, Moot&& moot) {
    return entry_object([&]() -> Result<Ref> {
        Q_ASSIGN(BoundArgs bound, bind_arguments(spec, args, kwargs));
        QuendleBaseObject* inst = as_base(self);
        std::string method_name;
        CacheKey key = 0;
        Ref missing;
        auto refuse = [&] { return Error::key_error("Cannot " + std::string(error) + " for '" + method_name + "'"); };
        Result<Ref> r = change_across(
            inst,
            [&](CacheState& state, CrossTargets& targets) -> Status {
                missing = Ref();
                Q_ASSIGN(method_name, noted(to_text(bound.get(0)), "method_name"));
                Q_ASSIGN(key, state.key_for_query(method_name, bound.surplus.get(), missing));
                if (!has(state, key)) {
                    return refuse();
                }
                if (!moot(state, key)) {
                    collect_cross_targets(inst, state, key, targets);
                }
                return {};
            },
            [&](CacheState& state, Graveyard& dead, CrossTargets& targets) -> Result<Ref> {
                if (!has(state, key)) {
                    return refuse();
                }
                if (!moot(state, key)) {
                    change(state, key, bound, dead, targets);
                }
                return none_result();
            });
        return hinted(std::move(r), self, missing);
    });
}

}  // namespace

PyObject* qb_is_cached(PyObject* self, PyObject* args, PyObject* kwargs) {
    return keyed_query(kIsCached, self, args, kwargs,
                       [](Query& q) -> Result<Ref> {
                           Q_ASSIGN(CacheKey key, q.key());
                           return bool_result(q.state.has_value(key));
                       });
}

PyObject* qb_get_cached_value(PyObject* self, PyObject* args, PyObject* kwargs) {
    return keyed_query(kGetCached, self, args, kwargs,
                       [](Query& q) -> Result<Ref> {
                           bool strict = true;
                           if (q.bound.get(1) != nullptr) {
                               Q_ASSIGN(strict, noted(to_bool(q.bound.get(1)), "strict"));
                           }
                           Q_ASSIGN(CacheKey key, q.key());
                           if (Ref v = q.state.get_value(key)) {
                               return v;
                           }
                           if (strict) {
                               return Error::key_error("Cannot get cached value for '" + q.name + "'");
                           }
                           return none_result();
                       });
}

// With a cut-off on the method, the value in view (`previous`, null when
// there is none or no cut-off) is one the new value is unchanged from, as
// the comparison found before any borrow was taken.
Result<Ref> unchanged_value(PyObject* self, PyObject* args, PyObject* kwargs) {
    Q_ASSIGN(BoundArgs bound, bind_arguments(kUpdateCached, args, kwargs));
    if (!PyUnicode_Check(bound.get(0))) {
        return Ref{};
    }
    Q_ASSIGN(Ref policy, cutoff_policy(self, bound.get(0)));
    if (!policy) {
        return Ref{};
    }
    Ref previous;
    {
        Q_ASSIGN(ExclusiveAccess access, ExclusiveAccess::take(as_base(self)->borrow, Conflict::Raise));
        Q_ASSIGN(std::string name, to_text(bound.get(0)));
        Q_ASSIGN(CacheState * state, state_of(as_base(self)));
        Ref missing;
        Result<CacheKey> key = state->key_for_query(name, bound.surplus.get(), missing);
        if (!key.ok()) {
            return Ref{};  // the update itself reports it
        }
        previous = state->get_value(key.value());
    }
    if (!previous) {
        return Ref{};
    }
    Q_ASSIGN(bool same, unchanged_under(policy.get(), previous.get(), bound.get(1)));
    return same ? std::move(previous) : Ref{};
}

PyObject* qb_update_cached_value(PyObject* self, PyObject* args, PyObject* kwargs) {
    QuendleBaseObject* inst = as_base(self);
    Ref same;
    try {
        Result<Ref> r = unchanged_value(self, args, kwargs);
        if (!r.ok()) {
            r.take_error().restore();
            return nullptr;
        }
        same = std::move(r.value());
    } catch (...) {
        set_error_from_current_cxx_exception();
        return nullptr;
    }
    return observed(keyed_change(
        kUpdateCached, "update cached value", self, args, kwargs,
        [](const CacheState& state, CacheKey key) { return state.has_value(key); },
        [inst](CacheState& state, CacheKey key, BoundArgs& bound, Graveyard& dead, CrossTargets& targets) {
            // Invalidation first: it is what can fail, and it must not fail
            // after the new value is in place.
            state.reserve_stamp(key);
            state.note_change(key, ChangeKind::Updated);
            collect_cross_targets(inst, state, key, targets);
            state.invalidate(key, true);
            state.revalidate(key);
            state.stamp_changed(key);
            state.store_value(key, bound.slots[1], dead);
        },
        // Unchanged under the cut-off, with that value still in view: the
        // entry keeps it and nothing is invalidated.
        [&same](const CacheState& state, CacheKey key) {
            return same && state.has_value(key) && state.get_value(key).get() == same.get();
        }));
}

PyObject* qb_clear_cached_value(PyObject* self, PyObject* args, PyObject* kwargs) {
    QuendleBaseObject* inst = as_base(self);
    return observed(keyed_change(
        kClearCached, "clear cached value", self, args, kwargs,
        [](const CacheState& state, CacheKey key) { return state.effective_value(key) != nullptr; },
        [inst](CacheState& state, CacheKey key, BoundArgs& /*bound*/, Graveyard& dead, CrossTargets& targets) {
            collect_cross_targets(inst, state, key, targets);
            state.clear_value(key, dead);
        },
        [](const CacheState&, CacheKey) { return false; }));
}

PyObject* qb_clear_cache(PyObject* self, PyObject* /*unused*/) {
    return observed(entry_object([&]() -> Result<Ref> {
        QuendleBaseObject* inst = as_base(self);
        return change_across(
            inst,
            [&](CacheState& state, CrossTargets& targets) -> Status {
                collect_all_cross_targets(inst, state, targets);
                return {};
            },
            [&](CacheState& state, Graveyard& dead, CrossTargets& targets) -> Result<Ref> {
                collect_all_cross_targets(inst, state, targets);
                state.clear_all_values(dead);
                return none_result();
            });
    }));
}

}  // namespace quendle
