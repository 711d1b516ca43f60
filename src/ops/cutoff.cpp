// Early cut-off: the comparison of a recomputed value with the previous
// one, and the settling of an entry whose invalidation came only through
// keys with a cut-off.
#include "ops/cutoff.h"

#include "base/thread_exit.h"
#include "cache/cross_instance.h"
#include "cache/instance_access.h"
#include "ops/observe.h"

#include <vector>

namespace quendle {

Result<bool> unchanged_under(PyObject* policy, PyObject* previous, PyObject* fresh) {
    PyObject* answer = policy == Py_True ? PyObject_RichCompare(previous, fresh, Py_EQ)
                                         : PyObject_CallFunctionObjArgs(policy, previous, fresh, nullptr);
    if (answer == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_Exception) == 0) {
            return Error::fetch();  // KeyboardInterrupt, SystemExit: not ours to swallow
        }
        PyErr_Clear();
        return false;
    }
    const bool same = answer == Py_True;
    Py_DECREF(answer);
    return same;
}

Result<Ref> cutoff_policy(PyObject* instance, PyObject* name) {
    Q_ASSIGN(Ref attr, optional_attr(reinterpret_cast<PyObject*>(Py_TYPE(instance)), name));
    if (!attr) {
        return Ref{};
    }
    Q_ASSIGN(bool decorator, is_decorator(attr.get()));
    if (!decorator) {
        return Ref{};
    }
    const DecoratorFields* f = reinterpret_cast<DecoratorObject*>(attr.get())->fields;
    return f != nullptr ? f->cutoff : Ref{};
}

namespace {

// One entry being settled: the keys it depends on, in the order recorded,
// and how far they have been checked.
struct Level {
    CacheKey key = 0;
    std::vector<CacheKey> deps;
    size_t next = 0;
    // Its dependencies on other instances, checked once those here are.
    std::vector<CrossRef> cross;
    size_t cross_next = 0;
    bool cross_changed = false;
    std::uint64_t verified = 0;
};

// Under the instance's borrow: the level of k, with what it depends on.
Level level_of(const QuendleBaseObject* inst, const CacheState& state, CacheKey k) {
    Level l;
    l.key = k;
    if (const KeySet* s = state.dependencies_of(k)) {
        l.deps.reserve(s->size());
        s->for_each([&](CacheKey d) { l.deps.push_back(d); });
    }
    if (inst->cross_edges) {
        [[maybe_unused]] CrossTableSection table;
        if (const Participant* p = participant_of(inst)) {
            if (auto it = p->dependencies.find(k); it != p->dependencies.end()) {
                l.cross.assign(it->second.begin(), it->second.end());
            }
        }
    }
    l.verified = state.tracker().stamps_of(k).verified;
    return l;
}

// What the next step of a settle does once the borrow is given back.
struct Step {
    enum Kind {
        Again,
        Call,
        Cross,
        Done
    } kind = Again;
    Ref key_tuple;  // Call: the entry to bring up to date
};

// Calls the entry named by `key_tuple` on the instance as its method would
// be called, so that it is brought up to date the usual way. False (no
// error set) when that cannot be done from the key alone: the entry is then
// taken as changed.
Result<bool> call_entry(QuendleBaseObject* inst, PyObject* key_tuple) {
    PyObject* name = PyTuple_GetItem(key_tuple, 0);
    PyObject* pairs = PyTuple_GetItem(key_tuple, 1);
    auto* self = reinterpret_cast<PyObject*>(inst);
    Q_ASSIGN(Ref attr, optional_attr(reinterpret_cast<PyObject*>(Py_TYPE(self)), name));
    if (!attr) {
        return false;
    }
    Q_ASSIGN(bool decorator, is_decorator(attr.get()));
    const DecoratorFields* f = decorator ? reinterpret_cast<DecoratorObject*>(attr.get())->fields : nullptr;
    if (f == nullptr || f->is_async) {
        return false;
    }
    Ref kwargs;
    if (PyTuple_Size(pairs) > 0) {
        // Every argument goes by keyword: only for a plain function with
        // nothing positional-only (but self) and no *args or **kwargs.
        Q_ASSIGN(Ref code, optional_attr(f->func.get(), "__code__"));
        if (!code) {
            return false;
        }
        Q_ASSIGN(Ref posonly, optional_attr(code.get(), "co_posonlyargcount"));
        Q_ASSIGN(Ref flags, optional_attr(code.get(), "co_flags"));
        if (!posonly || !flags || !PyLong_Check(posonly.get()) || !PyLong_Check(flags.get())) {
            return false;
        }
        const long varflags = kCoVarargs | kCoVarkeywords;
        if (PyLong_AsLong(posonly.get()) > 1 || (PyLong_AsLong(flags.get()) & varflags) != 0) {
            return false;
        }
        Q_ASSIGN(kwargs, checked(PyDict_New()));
        for (Py_ssize_t i = 0; i < PyTuple_Size(pairs); ++i) {
            PyObject* pair = PyTuple_GetItem(pairs, i);
            Q_TRY(checked_status(PyDict_SetItem(kwargs.get(), PyTuple_GetItem(pair, 0), PyTuple_GetItem(pair, 1))));
        }
    }
    Q_ASSIGN(Ref args, checked(PyTuple_Pack(1, self)));
    Q_ASSIGN(Ref result, checked(exit_safe([&] { return PyObject_Call(attr.get(), args.get(), kwargs.get()); })));
    return true;
}

// No entry was brought up to date by the last step (keys are dense indices).
constexpr CacheKey kNotCalled = ~CacheKey{0};

// Under the instance's borrow: what the top level needs next. `called` is
// the entry the last step brought up to date, or kNotCalled.
Result<Step> examine(const QuendleBaseObject* inst, CacheState& state, std::vector<Level>& stack, KeySet& pushed,
                     CacheKey& called, Settled& result, Ref& value) {
    const DependencyTracker& t = state.tracker();
    Level& top = stack.back();
    // Something other than this settle decided the entry meanwhile.
    if (!t.settleable(top.key)) {
        if (t.read(top.key) == ValidationState::Valid) {
            Level done = std::move(stack.back());
            stack.pop_back();
            if (stack.empty()) {
                value = state.get_value(done.key);
                result = value ? Settled::Kept : Settled::Run;
                return Step{Step::Done, {}};
            }
            return Step{};
        }
        if (stack.size() == 1) {
            result = Settled::Run;
            return Step{Step::Done, {}};
        }
        Q_ASSIGN(Ref tuple, state.key_tuple(top.key));
        stack.pop_back();
        called = kNotCalled;
        return Step{Step::Call, std::move(tuple)};
    }
    const Stamps mine = t.stamps_of(top.key);
    bool changed = mine.verified == 0;  // never verified with stamps on: cannot be told
    while (top.next < top.deps.size() && !changed) {
        const CacheKey d = top.deps[top.next];
        switch (t.read(d)) {
            case ValidationState::Valid:
                if (t.stamps_of(d).changed > mine.verified) {
                    changed = true;
                } else {
                    ++top.next;
                    called = kNotCalled;
                }
                continue;
            case ValidationState::PermanentlyInvalid:
                changed = true;
                continue;
            case ValidationState::Invalid:
                break;
        }
        if (called == d) {
            changed = true;  // brought up to date, yet not valid: it cannot be told
            continue;
        }
        // Met before in this settle yet invalid again: taken as changed
        // (this is also what ends a cycle).
        const bool on_stack = pushed.contains(d);
        if (t.settleable(d) && !on_stack) {
            pushed.insert(d);
            stack.push_back(level_of(inst, state, d));
            return Step{};
        }
        if (on_stack) {
            changed = true;
            continue;
        }
        Q_ASSIGN(Ref tuple, state.key_tuple(d));
        called = d;
        return Step{Step::Call, std::move(tuple)};
    }
    if (!changed && !top.cross_changed && top.cross_next < top.cross.size()) {
        return Step{Step::Cross, {}};  // with this instance given back
    }
    changed = changed || top.cross_changed;
    const CacheKey k = top.key;
    if (changed || state.effective_value(k) == nullptr) {
        // It must run: no longer settleable, so that its call runs the body.
        state.tracker().clear_mark(k, DependencyTracker::kSettleable);
        if (stack.size() == 1) {
            result = Settled::Run;
            return Step{Step::Done, {}};
        }
        Q_ASSIGN(Ref tuple, state.key_tuple(k));
        stack.pop_back();
        called = k;
        return Step{Step::Call, std::move(tuple)};
    }
    // Nothing it depends on changed since it was last verified.
    state.tracker().set_stamps(k, Stamps{mine.changed, next_tick()});
    state.revalidate(k, DependencyTracker::kRevalidated);
    state.forget_change(k);
    ++state.counts(k).revalidated;
    if (observe::wanted()) {
        state.queue_event(EventKind::Revalidated, k);
    }
    stack.pop_back();
    if (stack.empty()) {
        value = state.get_value(k);
        result = Settled::Kept;
        return Step{Step::Done, {}};
    }
    called = k;
    return Step{};
}

// With no borrow held: brings the level's next dependency on another
// instance up to date and compares it, as `examine` does those here.
Status check_cross(Level& level) {
    const CrossRef r = level.cross[level.cross_next];
    QuendleBaseObject* other = nullptr;
    {
        [[maybe_unused]] CrossTableSection table;
        other = resolve(r);
    }
    if (other == nullptr) {
        ++level.cross_next;  // a dead dependency no longer counts
        return {};
    }
    Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(other));
    for (bool called = false;; called = true) {
        Ref tuple;
        {
            Q_ASSIGN(Borrow b, Borrow::shared(other->borrow, Conflict::Raise));
            Q_ASSIGN(CacheState * state, state_of(other));
            const DependencyTracker& t = state->tracker();
            if (!t.has_state(r.key)) {
                ++level.cross_next;  // forgotten by a scenario exit: no longer counts
                return {};
            }
            switch (t.read(r.key)) {
                case ValidationState::Valid:
                    if (t.stamps_of(r.key).changed > level.verified) {
                        level.cross_changed = true;
                    } else {
                        ++level.cross_next;
                    }
                    return {};
                case ValidationState::PermanentlyInvalid:
                    level.cross_changed = true;
                    return {};
                case ValidationState::Invalid:
                    break;
            }
            if (called) {
                level.cross_changed = true;  // brought up to date, yet not valid
                return {};
            }
            Q_ASSIGN(tuple, state->key_tuple(r.key));
        }
        Result<bool> done = call_entry(other, tuple.get());
        if (!done.ok()) {
            Error e = done.take_error();
            if (!e.matches(PyExc_Exception)) {
                return e;
            }
            level.cross_changed = true;  // its body will meet the error again
            return {};
        }
        if (!done.value()) {
            level.cross_changed = true;
            return {};
        }
    }
}

}  // namespace

Result<Settled> settle(QuendleBaseObject* inst, CacheKey key, Ref& value) {
    std::vector<Level> stack;
    KeySet pushed;  // every key a level was pushed for
    CacheKey called = kNotCalled;
    Settled result = Settled::Run;
    {
        Q_ASSIGN(ExclusiveAccess access, ExclusiveAccess::take(inst->borrow, Conflict::Raise));
        Q_ASSIGN(CacheState * state, state_of(inst));
        stack.push_back(level_of(inst, *state, key));
        pushed.insert(key);
    }
    for (;;) {
        Step step;
        {
            Q_ASSIGN(ExclusiveAccess access, ExclusiveAccess::take(inst->borrow, Conflict::Raise));
            Q_ASSIGN(CacheState * state, state_of(inst));
            // Steps that run no user code go on under the same borrow.
            do {
                Q_ASSIGN(step, examine(inst, *state, stack, pushed, called, result, value));
            } while (step.kind == Step::Again);
        }
        if (step.kind == Step::Done) {
            return result;
        }
        if (step.kind == Step::Again) {
            continue;
        }
        if (step.kind == Step::Cross) {
            Q_TRY(check_cross(stack.back()));
            continue;
        }
        Result<bool> done = call_entry(inst, step.key_tuple.get());
        if (!done.ok()) {
            Error e = done.take_error();
            if (!e.matches(PyExc_Exception)) {
                return e;
            }
        }
        if (!done.ok() || !done.value()) {
            // What is on the way must run: the entry's body will call it.
            Q_ASSIGN(ExclusiveAccess access, ExclusiveAccess::take(inst->borrow, Conflict::Raise));
            Q_ASSIGN(CacheState * state, state_of(inst));
            for (const Level& l : stack) {
                state->tracker().clear_mark(l.key, DependencyTracker::kSettleable);
            }
            return Settled::Run;
        }
    }
}

}  // namespace quendle
