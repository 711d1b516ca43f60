// `QuendleAwaitable`, the awaitable of a decorated coroutine function, and
// the steps of its state machine:
//
//   Ready     completes with the value at once (a hit, or a finished run);
//   Start     the first step serves a value stored meanwhile, joins the
//             computation of the key running on this event loop, or starts
//             the body;
//   Drive     runs the body a step at a time, with the call's frame pushed
//             on the thread's stack of calls in progress for the step only;
//             the first awaiter drives it until its first suspension, and a
//             task of the running asyncio loop takes it over from there;
//   Delegate  forwards to another iterator (waiting for a shared run);
//   Done      failed or closed.
#include "ops/async_state.h"

#include "base/heap_type.h"
#include "cache/instance_access.h"
#include "cache/observe.h"
#include "ops/async_call.h"
#include "ops/cutoff.h"
#include "ops/defaults_warning.h"

#include <new>

namespace quendle::awaiting {

Result<Ref> new_awaitable(Mode mode) {
    PyObject* type = process().awaitable_type.peek();
    if (type == nullptr) {
        Q_ASSIGN(type, awaitable_type());
    }
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
    Q_ASSIGN(Ref obj, checked(alloc(tp, 0)));
    new (&reinterpret_cast<AwaitableObject*>(obj.get())->st) AwaitState();
    state(obj.get()).mode = mode;
    return obj;
}

void finish_as(AwaitState& st, Mode mode, Ref value) {
    st.mode = mode;
    st.value = std::move(value);
    st.decorator.reset();
    st.args.reset();
    st.kwargs.reset();
    st.inst.reset();
    st.iter.reset();
    st.first_yield.reset();
    st.cutoff.reset();
    st.previous.reset();
}

namespace {

// Raises what a throw() call asked for: an exception instance, or a class
// with an optional value.
Error thrown_error(PyObject* thrown) {
    PyObject* typ = PyTuple_GetItem(thrown, 0);
    PyObject* val = PyTuple_Size(thrown) > 1 ? PyTuple_GetItem(thrown, 1) : Py_None;
    if (typ != nullptr && PyExceptionInstance_Check(typ)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(typ)), typ);
    } else if (typ != nullptr && PyExceptionClass_Check(typ)) {
        PyErr_SetObject(typ, val);
    } else {
        return Error::type_error("exceptions must be classes or instances deriving from BaseException");
    }
    return Error::fetch();
}

// One step of another iterator: send(arg), or throw(*thrown).
Result<Outcome> forward(PyObject* iter, PyObject* arg, PyObject* thrown) {
    PyObject* r = nullptr;
    if (thrown == nullptr) {
        switch (PyIter_Send(iter, arg, &r)) {
            case PYGEN_RETURN:
                return Outcome{true, Ref::steal(r)};
            case PYGEN_NEXT:
                return Outcome{false, Ref::steal(r)};
            case PYGEN_ERROR:
                return Error::fetch();
        }
    }
    Q_ASSIGN(Ref method, get_attr(iter, "throw"));
    r = PyObject_CallObject(method.get(), thrown);
    if (r != nullptr) {
        return Outcome{false, Ref::steal(r)};
    }
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) {
        return Error::fetch();
    }
    Error stop = Error::fetch();
    Ref exc = stop.exception_object();
    if (!exc) {
        return stop;
    }
    Q_ASSIGN(Ref value, get_attr(exc.get(), "value"));
    return Outcome{true, std::move(value)};
}

// The iterator that runs an awaitable: the object itself when it can be
// sent to (a coroutine), else what its `__await__` returns.
Result<Ref> await_iterator(PyObject* obj) {
    if (PyType_GetSlot(Py_TYPE(obj), Py_am_send) != nullptr) {
        return Ref::borrow(obj);
    }
    auto await = reinterpret_cast<unaryfunc>(PyType_GetSlot(Py_TYPE(obj), Py_am_await));
    if (await == nullptr) {
        std::optional<std::string> name = try_str(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
        return Error::type_error("a coroutine function decorated with quendled returned " +
                                 name.value_or("an object") + ", which can't be used in 'await' expression");
    }
    return checked(await(obj));
}

CacheState& cache_of(PyObject* inst) { return *reinterpret_cast<QuendleBaseObject*>(inst)->state; }
BorrowFlag& borrow_of(PyObject* inst) { return reinterpret_cast<QuendleBaseObject*>(inst)->borrow; }
}  // namespace

// Ends the pending entry of `self` (a driver or a computation), if any.
Status end_pending(PyObject* inst, PyObject* self) {
    Q_ASSIGN(CacheState * cache, state_of(reinterpret_cast<QuendleBaseObject*>(inst)));
    Q_ASSIGN(ExclusiveAccess access, ExclusiveAccess::take(borrow_of(inst), Conflict::Panic));
    cache->remove_pending(self, access.dead());
    return {};
}

namespace {

// The body returned: commits the result as a synchronous body's is (not
// when what the run started from changed meanwhile), its dependencies on
// other instances included.
Status store_result(PyObject* self, Ref& value) {
    AwaitState& st = state(self);
    Ref inst_ref = st.inst;
    if (!inst_ref) {
        return {};  // the awaitable was cleared while the body ran
    }
    // The cut-off's comparison is user code: it runs before the borrow.
    bool same = false;
    Ref previous = st.previous;
    if (previous) {
        Q_ASSIGN(same, unchanged_under(st.cutoff.get(), previous.get(), value.get()));
    }
    auto* inst = reinterpret_cast<QuendleBaseObject*>(inst_ref.get());
    auto elsewhere = ValidationState::Valid;
    const bool cross = !st.cross_pending.empty() || inst->cross_edges;
    if (cross) {
        Q_ASSIGN(elsewhere, cross_dependency_state(inst, st.key, st.cross_pending));
    }
    CrossTargets targets;
    Ref dec_ref = st.decorator;
    const DecoratorFields* fields = dec_ref ? reinterpret_cast<DecoratorObject*>(dec_ref.get())->fields : nullptr;
    std::vector<Ref> unentered;
    {
        Q_ASSIGN(ExclusiveAccess access, ExclusiveAccess::take(borrow_of(inst_ref.get()), Conflict::Panic));
        Q_ASSIGN(CacheState * cache, state_of(inst));
        cache->remove_pending(self, access.dead());
        if (!st.cross_pending.empty()) {
            commit_cross_dependencies(inst, st.key, st.cross_pending);
            cache->start_stamping();
        }
        // The previous value is kept only if it is still the one in view.
        const bool kept = same && cache->effective_value(st.key) == previous.get();
        if (kept) {
            value = previous;
        }
        const bool committed =
            cache->commit_computed(st.key, st.started, st.use_cache, elsewhere, value, access.dead(), kept);
        if (committed && kept && observe::wanted()) {
            cache->queue_event(EventKind::Unchanged, st.key);
        }
        if (committed && fields != nullptr) {
            Q_ASSIGN(unentered, unentered_dependencies(*cache, *fields, st.key));
        }
        if (committed && cross && cache->tracker().read(st.key) == ValidationState::Invalid) {
            collect_cross_targets(inst, *cache, st.key, targets);
        }
    }
    Q_TRY(invalidate_cross_targets(std::move(targets)));
    if (unentered.empty()) {
        return {};
    }
    Q_ASSIGN(Borrow dec_borrow, Borrow::shared(reinterpret_cast<DecoratorObject*>(dec_ref.get())->borrow,
                                               Conflict::Raise));
    fields = reinterpret_cast<DecoratorObject*>(dec_ref.get())->fields;
    if (fields == nullptr) {
        return {};
    }
    return warn_dependency_defaults(inst_ref.get(), *fields, unentered);
}

Result<Outcome> delegate(PyObject* self, PyObject* arg, PyObject* thrown) {
    AwaitState& st = state(self);
    Ref it = st.iter;  // held: the step runs code that may close this awaitable
    Result<Outcome> r = forward(it.get(), arg, thrown);
    if (!r.ok()) {
        finish_as(st, Mode::Done, Ref());
        return r;
    }
    if (r.value().done) {
        finish_as(st, Mode::Ready, r.value().value);
    }
    return r;
}

// The body suspended for the first time in the first awaiter: under a
// running asyncio loop, a task takes the body over and every awaiter, this
// one included, joins it; without one, this awaiter drives it alone.
Result<Outcome> hand_off(PyObject* self, Ref yielded) {
    AwaitState& st = state(self);
    Q_ASSIGN(const ProcessValues::AsyncHelper* h, async_helper());
    Q_ASSIGN(Ref loop, call0(h->running_loop));
    if (loop.get() == Py_None) {
        return Outcome{false, std::move(yielded)};
    }
    Q_ASSIGN(Ref driver, new_awaitable(Mode::Drive));
    AwaitState& d = state(driver.get());
    d.inst = st.inst;
    d.iter = st.iter;
    d.key = st.key;
    d.started = st.started;
    d.cutoff = st.cutoff;
    d.previous = st.previous;
    d.tracking = st.tracking;
    d.use_cache = st.use_cache;
    d.cross_opted = st.cross_opted;
    d.cross_pending = std::move(st.cross_pending);
    d.first_yield = std::move(yielded);
    Q_ASSIGN(Ref computation, call2(h->computation, loop.get(), driver.get()));
    {
        Q_ASSIGN(ExclusiveAccess access, ExclusiveAccess::take(borrow_of(st.inst.get()), Conflict::Raise));
        cache_of(st.inst.get()).add_pending(PendingComputation{st.key, st.started, loop, computation, driver});
    }
    Q_ASSIGN(Ref joined, call1(h->join, computation.get()));
    finish_as(st, Mode::Delegate, Ref());
    st.iter = std::move(joined);
    return delegate(self, Py_None, nullptr);
}

Result<Outcome> drive(PyObject* self, PyObject* arg, PyObject* thrown) {
    AwaitState& st = state(self);
    if (st.first_yield && thrown == nullptr) {
        return Outcome{false, std::exchange(st.first_yield, Ref())};
    }
    st.first_yield.reset();
    Ref it = st.iter;
    Ref inst = st.inst;
    auto* obj = reinterpret_cast<QuendleBaseObject*>(inst.get());
    const unsigned long thread = PyThread_get_thread_ident();
    {
        Q_ASSIGN(Borrow b, Borrow::exclusive(borrow_of(inst.get()), Conflict::Raise));
        Q_ASSIGN(CacheState * cache, state_of(obj));
        cache->push_frame(thread, CallFrame{st.key, st.tracking});
    }
    // The step is the body's call in progress across instances as well:
    // calls it makes on other instances record their edges in the frame,
    // which keeps them from step to step.
    CrossFrame cross;
    cross.inst = obj;
    cross.key = st.key;
    cross.track = st.tracking;
    cross.opted = st.cross_opted;
    cross.pending = std::move(st.cross_pending);
    push_cross_frame(cross);
    Result<Outcome> r = forward(it.get(), arg, thrown);
    pop_cross_frame(cross);
    st.cross_opted = cross.opted;
    st.cross_pending = std::move(cross.pending);
    if (obj->state != nullptr) {
        obj->state->pop_frame(thread);  // fetched again: the step ran user code
    }
    if (!r.ok()) {
        Status ended = end_pending(inst.get(), self);
        finish_as(st, Mode::Done, Ref());
        return ended.ok() ? std::move(r) : Result<Outcome>(ended.take_error());
    }
    if (r.value().done) {
        Status stored = store_result(self, r.value().value);
        finish_as(st, Mode::Ready, r.value().value);
        if (!stored.ok()) {
            return stored.take_error();
        }
        return r;
    }
    if (std::exchange(st.may_hand_off, false)) {
        return hand_off(self, std::move(r.value().value));
    }
    return r;
}

// Joins the computation of the key running on this loop from the same
// snapshot; false when there is none to join.
Result<bool> try_join(PyObject* self, const Snapshot& now) {
    AwaitState& st = state(self);
    Q_ASSIGN(const ProcessValues::AsyncHelper* h, async_helper());
    Q_ASSIGN(Ref loop, call0(h->running_loop));
    Ref computation;
    {
        Q_ASSIGN(Borrow b, Borrow::exclusive(borrow_of(st.inst.get()), Conflict::Raise));
        computation = Ref::borrow(cache_of(st.inst.get()).find_pending(st.key, now, loop.get()));
    }
    if (!computation) {
        return false;
    }
    Q_ASSIGN(Ref joined, call1(h->join, computation.get()));
    if (joined.get() == Py_None) {  // every awaiter left it: it is being cancelled
        Q_TRY(end_pending(st.inst.get(), computation.get()));
        return false;
    }
    finish_as(st, Mode::Delegate, Ref());
    st.iter = std::move(joined);
    return true;
}

Status start(PyObject* self) {
    AwaitState& st = state(self);
    Ref dec_ref = st.decorator;
    auto* dec = reinterpret_cast<DecoratorObject*>(dec_ref.get());
    Q_ASSIGN(Borrow dec_borrow, Borrow::shared(dec->borrow, Conflict::Raise));
    if (dec->fields == nullptr) {
        return cleared_error("QuendleDecorator");
    }
    const DecoratorFields& f = *dec->fields;
    Q_ASSIGN(CacheState * cache, state_of(reinterpret_cast<QuendleBaseObject*>(st.inst.get())));
    Snapshot now;
    bool joinable = false;
    {
        Q_ASSIGN(Borrow b, Borrow::exclusive(borrow_of(st.inst.get()), Conflict::Raise));
        if (Ref v = cache->get_value(st.key)) {
            if (observe::wanted()) {
                cache->queue_event(EventKind::Hit, st.key);
            }
            ++cache->counts(st.key).hits;
            finish_as(st, Mode::Ready, std::move(v));
            return {};
        }
        now = cache->snapshot(st.key);
        joinable = f.use_cache && cache->has_pending(st.key, now);
    }
    if (joinable) {
        Q_ASSIGN(bool joined, try_join(self, now));
        if (joined) {
            return {};
        }
    }
    Q_TRY(check_stack_depth());
    {
        Q_ASSIGN(Borrow b, Borrow::exclusive(borrow_of(st.inst.get()), Conflict::Raise));
        // Fetched again: joining ran user code.
        Q_ASSIGN(cache, state_of(reinterpret_cast<QuendleBaseObject*>(st.inst.get())));
        Q_ASSIGN(st.started, cache->start_snapshot(st.key));
        if (f.cutoff) {
            st.cutoff = f.cutoff;
            st.previous = Ref::borrow(cache->effective_value(st.key));
        }
        if (observe::wanted()) {
            cache->queue_run(st.key);
        }
        ++cache->counts(st.key).runs;
    }
    Q_ASSIGN(Ref body, checked(PyObject_Call(f.func.get(), st.args.get(), st.kwargs.get())));
    Q_ASSIGN(Ref it, await_iterator(body.get()));
    st.args.reset();
    st.kwargs.reset();
    st.iter = std::move(it);
    st.tracking = f.track_runtime_dependencies;
    st.use_cache = f.use_cache;
    st.may_hand_off = f.use_cache;
    st.mode = Mode::Drive;
    return {};
}

}  // namespace

Result<Outcome> step_impl(PyObject* self, PyObject* arg, PyObject* thrown) {
    AwaitState& st = state(self);
    switch (st.mode) {
        case Mode::Ready:
            if (thrown != nullptr) {
                return thrown_error(thrown);
            }
            return Outcome{true, st.value};
        case Mode::Start:
            if (thrown != nullptr) {
                finish_as(st, Mode::Done, Ref());
                return thrown_error(thrown);
            }
            Q_TRY(start(self));
            return step_impl(self, arg, nullptr);
        case Mode::Delegate:
            return delegate(self, arg, thrown);
        case Mode::Drive:
            return drive(self, arg, thrown);
        case Mode::Done:
            break;
    }
    return Error::runtime_error("cannot reuse a QuendleAwaitable that failed or was closed");
}

}  // namespace quendle::awaiting
