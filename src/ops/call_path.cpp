// The decorated call: key the call, register it and its declared
// dependencies, record the runtime dependency of the caller on this thread,
// then serve the stored value or compute, settle validity and store.
#include "ops/call_path.h"
#include "base/hints.h"
#include "cache/cross_instance.h"
#include "cache/objects.h"
#include "cache/single_flight.h"
#include "ops/async_call.h"
#include "ops/call_input.h"
#include "ops/cutoff.h"
#include "ops/defaults_warning.h"
#include "ops/observe.h"

namespace quendle {

Status register_method_call(CacheState& state, const DecoratorFields& d, CacheKey key) {
    if (state.tracker().has_state(key)) {
        // Registered, with its declared dependencies, on an earlier call (or
        // by a load, which knows nothing of cut-offs).
        if (d.cutoff && !state.tracker().has_mark(key, DependencyTracker::kCutoff)) {
            state.mark_cutoff(key);
        }
        return {};
    }
    std::vector<CacheKey> declared;
    declared.reserve(d.dependencies.size());
    for (const CallSignature& dep : d.dependencies) {
        Q_ASSIGN(CacheKey k, state.get_or_create_key(CallSignature{dep.hash, dep.key}));
        declared.push_back(k);
    }
    state.register_call(key, declared, static_cast<bool>(d.cutoff));
    return {};
}

namespace {

// A call between its preparation and its end. It lives in the one frame a
// recursion of decorated methods stacks per level, so it is kept small; the
// large locals of binding and keying live in `prepare`, which returns before
// the body runs.
struct Prepared {
    std::optional<Borrow> decorator_borrow;  // shared, for the whole call
    QuendleBaseObject* inst = nullptr;  // its cache state is fetched where used: user code may replace it
    CacheKey key = 0;
    unsigned long thread = 0;
    bool frame_pushed = false;
    bool again = false;  // another thread's computation ended without a result: the call starts again
    Ref hit;  // the stored value on a hit
    Snapshot started;  // on a miss: what the body starts from
    PyObject* func = nullptr;
    const DecoratorFields* fields = nullptr;
    CrossFrame cross;  // this call on the thread's stack across instances, while its body runs
    // With a cut-off: the value the body's result is compared with.
    Ref previous;
    // The entry may become valid again without running: its frame records
    // nothing while what it depends on is brought up to date.
    bool settling = false;
    // After a commit that left the entry permanently invalid: its declared
    // dependencies without arguments that have no entry.
    std::vector<Ref> unentered;

    Prepared() = default;
    Prepared(const Prepared&) = delete;
    // Pops this call's frame on every way out.
    ~Prepared() { pop_frame(); }
    void pop_frame() noexcept {
        if (std::exchange(frame_pushed, false)) {
            if (inst->state != nullptr) {
                inst->state->pop_frame(thread);
            }
            land_computation(inst, key, thread, nullptr);
            pop_cross_frame(cross);
        }
    }
};

Status prepare_bound(const DecoratorFields& d, QuendleBaseObject* inst, const BoundCall* call,
                     std::optional<CallSignature>& sig, unsigned long thread, Prepared& out,
                     Probe known = {Tri::Undecided});
inline void push_call_frame(CacheState& state, const DecoratorFields& d, Prepared& out);

Status prepare_call(const DecoratorFields& d, const CallInput& in, unsigned long thread, Prepared& out) {
    // The caller's arguments keep the instance alive for the whole call.
    PyObject* first = in.first();
    if (first == nullptr) {
        return Error::value_error("quendled can only be used as an instance method decorator");
    }
    // The class of the last instance is remembered: a class stays a
    // subclass of QuendleBase (its layout cannot lose the base). Without the
    // interpreter lock the first class is kept for good.
#if QUENDLE_FREE_THREADING
    PyObject* known_class = d.known_class.load();
#else
    PyObject* known_class = d.known_class.get();
#endif
    if (reinterpret_cast<PyObject*>(Py_TYPE(first)) != known_class) {
        PyObject* base_type = quendle_base_type_if_created();
        if (base_type == nullptr) {
            Q_ASSIGN(base_type, quendle_base_type());
        }
        if (!PyObject_TypeCheck(first, reinterpret_cast<PyTypeObject*>(base_type))) {
            return Error::type_error("The decorated method's class must inherit from QuendleBase");
        }
#if QUENDLE_FREE_THREADING
        d.known_class.set_once(Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(first))));
#else
        d.known_class = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(first)));
#endif
    }
    auto* inst = reinterpret_cast<QuendleBaseObject*>(first);
    // Bind (and hash) before touching the instance; a natively bound call
    // is looked up without building its key tuple.
    BoundCall call;
    bool native = false;
    BindArgs view;
    if (ArgBuffers buf; in.view(view, buf)) {
        Q_LOOKUP(bound, native_bind(d.name_obj.get(), d.name_hash, d.func.get(), view, d.binder, call));
        native = bound.found();
    }
    std::optional<CallSignature> sig;
    if (!native) {
        Q_ASSIGN(Ref args, in.tuple());
        Q_ASSIGN(Ref kwargs, in.dict());
        Q_ASSIGN(sig, inspect_call_signature(d.name, d.func.get(), args.get(), kwargs.get()));
    }
    return prepare_bound(d, inst, native ? &call : nullptr, sig, thread, out);
}

// The preparation once the call is bound: natively (`call`) or else as a
// signature (`sig`); `known` is what a lookup of `call` that ran no
// Python code since has found it.
Status prepare_bound(const DecoratorFields& d, QuendleBaseObject* inst, const BoundCall* call,
                     std::optional<CallSignature>& sig, unsigned long thread, Prepared& out,
                     Probe known) {
    // A tracking caller on another instance, of a class that opted in. The
    // opt-in is read first: reading it runs user code, which may replace the
    // instance's cache state.
    CrossFrame* caller = current_cross_frame();
    bool cross = false;
    if (caller != nullptr && caller->inst != inst) {
        Q_ASSIGN(cross, cross_caller_records(caller, inst));
    }
    Q_ASSIGN(CacheState * state, state_of(inst));
    out.inst = inst;

    // Keying, registration, the caller's runtime edge and the lookup run
    // under one borrow; only the equality tests of key lookups can run
    // Python code in between. A hit pushes no frame, since nothing would
    // run while it was on the stack.
    Q_ASSIGN(Borrow b, Borrow::exclusive(inst->borrow, Conflict::Raise, thread));
    CacheKey key;
    if (known.answer == Tri::Yes) {
        key = known.key;
    } else if (known.answer == Tri::No) {
        key = state->insert_bound(*call);
    } else if (call != nullptr) {
        Q_ASSIGN(std::optional<CacheKey> found, state->find_bound(*call));
        key = found ? *found : state->insert_bound(*call);
    } else {
        Q_ASSIGN(key, state->get_or_create_key(std::move(*sig)));
    }
    Q_TRY(register_method_call(*state, d, key));
    const CallFrame* top = state->top_frame(thread);
    if (top != nullptr && top->track_runtime_dependencies) {
        state->add_runtime_dependency(top->key, key);
    }
    if (cross) {
        record_cross_edge(*caller, inst, key);
    }
    out.key = key;
    if (Ref hit = state->get_value(key)) {
        if (observe::wanted()) {
            state->queue_event(EventKind::Hit, key);
        }
        ++state->counts(key).hits;
        out.hit = std::move(hit);
        return {};
    }
    if (d.is_async) {
        return {};  // the body runs when the awaitable is first awaited
    }
    if (d.use_cache) {
        if (const unsigned long owner = state->computing(key, thread); owner != 0) {
            b.release();
            Q_ASSIGN(out.hit, await_computation(inst, key, owner, thread));
            out.again = !out.hit;
            return {};
        }
    }
    out.settling = state->tracker().settleable(key);
    push_call_frame(*state, d, out);
    return {};
}

// Under the instance's borrow: pushes the call's frame, and unless the
// entry is being settled, counts the run and notes what the body starts
// from (a frame that settles is not one other threads wait for).
[[gnu::always_inline]] inline void push_call_frame(CacheState& state, const DecoratorFields& d, Prepared& out) {
    const bool tracks = d.track_runtime_dependencies && !out.settling;
    if (!out.settling) {
        if (observe::wanted()) {
            state.queue_run(out.key);
        }
        ++state.counts(out.key).runs;
        out.started = state.snapshot(out.key);
        if (d.cutoff) {
            out.previous = Ref::borrow(state.effective_value(out.key));
        }
    }
    state.push_frame(out.thread, CallFrame{out.key, tracks, borrow_detail::fork_generation,
                                           d.use_cache && !out.settling ? &out.started : nullptr});
    out.cross.inst = out.inst;
    out.cross.key = out.key;
    out.cross.track = tracks;
    push_cross_frame(out.cross);
    out.frame_pushed = true;
}

// Settles the entry: its value when it became valid again without running
// (in `p.hit`); otherwise the call is prepared to run the body.
Status settle_call(Prepared& p) {
    Ref kept;
    Q_ASSIGN(Settled settled, settle(p.inst, p.key, kept));
    if (settled == Settled::Kept) {
        p.hit = std::move(kept);
        return {};
    }
    Q_ASSIGN(Borrow b, Borrow::exclusive(p.inst->borrow, Conflict::Raise, p.thread));
    Q_ASSIGN(CacheState * state, state_of(p.inst));
    p.pop_frame();
    p.settling = false;
    push_call_frame(*state, *p.fields, p);
    return {};
}

// Takes the decorator for the call and fills in what every call needs.
Status enter(DecoratorObject* self, Prepared& out) {
    Q_ASSIGN(Borrow decorator_borrow, Borrow::shared(self->borrow, Conflict::Raise));
    out.decorator_borrow.emplace(std::move(decorator_borrow));
    if (self->fields == nullptr) {
        return cleared_error("QuendleDecorator");
    }
    const DecoratorFields& d = *self->fields;
    out.fields = &d;
    out.func = d.func.get();
    out.thread = PyThread_get_thread_ident();
    return {};
}

// What the quick path learnt of a call it hands over: the instance, its
// bind, and what a lookup of the bind that ran no Python code found.
struct QuickBind {
    QuendleBaseObject* inst;
    BoundCall& call;
    Probe known;
};

// Prepares the call: bound here, or (from the quick path) from its bind, so
// that no argument is hashed twice.
Status begin(DecoratorObject* self, const CallInput& in, Prepared& out, QuickBind* quick) {
    Q_TRY(enter(self, out));
    if (quick == nullptr) {
        Q_TRY(prepare_call(*out.fields, in, out.thread, out));
    } else {
        // Lookups from here on may run user code, which may change the
        // function: the bind keeps the layout it was made with.
        quick->call.pin.take(out.fields->binder);
        std::optional<CallSignature> no_sig;
        Q_TRY(prepare_bound(*out.fields, quick->inst, &quick->call, no_sig, out.thread, out, quick->known));
    }
    while (std::exchange(out.again, false)) {
        Q_TRY(prepare_call(*out.fields, in, out.thread, out));
    }
    if (!out.hit && !out.fields->is_async) {
        Q_TRY(check_stack_depth());
    }
    return {};
}

// After the body returned: commits the result (unless what it read changed
// while it ran); an invalidation it causes is to reach `targets` elsewhere.
Result<Ref> finish(Prepared& p, Ref value, Graveyard& dead, CrossTargets& targets) {
    // The cut-off's comparison is user code: it runs before the borrow.
    bool same = false;
    if (p.previous) {
        Q_ASSIGN(same, unchanged_under(p.fields->cutoff.get(), p.previous.get(), value.get()));
    }
    auto elsewhere = ValidationState::Valid;
    const bool cross = !p.cross.pending.empty() || p.inst->cross_edges;
    if (cross) {
        Q_ASSIGN(elsewhere, cross_dependency_state(p.inst, p.key, p.cross.pending));
    }
    Q_ASSIGN(Borrow b, Borrow::exclusive(p.inst->borrow, Conflict::Panic));
    Q_ASSIGN(CacheState * state, state_of(p.inst));
    if (!p.cross.pending.empty()) {
        commit_cross_dependencies(p.inst, p.key, p.cross.pending);
        state->start_stamping();
    }
    // The previous value is kept only if it is still the one in view.
    const bool kept = same && state->effective_value(p.key) == p.previous.get();
    if (kept) {
        dead.bury(value.release());
        value = p.previous;
    }
    const bool committed =
        state->commit_computed(p.key, p.started, p.fields->use_cache, elsewhere, value, dead, kept);
    if (committed && kept && observe::wanted()) {
        state->queue_event(EventKind::Unchanged, p.key);
    }
    if (committed) {
        Q_ASSIGN(p.unentered, unentered_dependencies(*state, *p.fields, p.key));
    }
    if (committed && cross && state->tracker().read(p.key) == ValidationState::Invalid) {
        collect_cross_targets(p.inst, *state, p.key, targets);
    }
    return value;
}

// Out of line and noexcept, so that the frame of `decorated_call` holds
// none of their temporaries.
[[gnu::noinline]] bool begin_noexcept(DecoratorObject* self, const CallInput& in, Prepared& out,
                                      QuickBind* quick = nullptr) noexcept {
    try {
        Status s = begin(self, in, out, quick);
        if (s.ok()) {
            return true;
        }
        s.take_error().restore();
    } catch (...) {
        set_error_from_current_cxx_exception();
    }
    return false;
}

[[gnu::noinline]] bool settle_noexcept(Prepared& p) noexcept {
    try {
        Status s = settle_call(p);
        if (s.ok()) {
            return true;
        }
        s.take_error().restore();
    } catch (...) {
        set_error_from_current_cxx_exception();
    }
    return false;
}

[[gnu::noinline]] PyObject* end_noexcept(Prepared& p, PyObject* value) noexcept {
    if (value == nullptr) {
        return nullptr;  // nothing changes: the frame is popped by the caller
    }
    // Displaced values are released after the frame is popped, so that a
    // decorated call made by a finaliser is not taken for one of this body.
    CrossTargets targets;
    Graveyard dead;
    PyObject* out = entry_object([&] { return finish(p, Ref::steal(value), dead, targets); });
    land_computation(p.inst, p.key, p.thread, out);
    p.pop_frame();
    if (out != nullptr && (!targets.refs.empty() || !targets.settleable.empty())) {
        Ref result = Ref::steal(out);
        out = entry_object([&]() -> Result<Ref> {
            Q_TRY(invalidate_cross_targets(std::move(targets)));
            return std::move(result);
        });
    }
    if (out != nullptr && !p.unentered.empty()) {
        Ref result = Ref::steal(out);
        out = entry_object([&]() -> Result<Ref> {
            Q_TRY(warn_dependency_defaults(reinterpret_cast<PyObject*>(p.inst), *p.fields, p.unentered));
            return std::move(result);
        });
    }
    return out;
}

// A failed call of a decorator over a classmethod or staticmethod gets a
// hint at the mistake.
[[gnu::noinline]] PyObject* failed(DecoratorObject* self) noexcept {
    const DecoratorFields* f = self->fields;
    if (f != nullptr && f->descriptor_kind != nullptr && PyErr_Occurred() != nullptr) {
        hint_wrapped_descriptor(Error::fetch(), f->descriptor_kind).restore();
    }
    return nullptr;
}

// A decorated coroutine function's call: the awaitable of the cached value
// on a hit, else one that runs, joins or is served when first awaited.
[[gnu::noinline]] PyObject* async_result(DecoratorObject* self, Prepared& p, CallInput& in) noexcept {
    return entry_object([&]() -> Result<Ref> {
        if (p.hit) {
            return ready_awaitable(std::move(p.hit));
        }
        Q_ASSIGN(Ref args, in.tuple());
        Q_ASSIGN(Ref kwargs, in.dict());
        return pending_awaitable(reinterpret_cast<PyObject*>(self), p.inst, p.key, args.get(), kwargs.get());
    });
}

}  // namespace

namespace {

// A hit answered without user code and without taking a borrow: nothing
// here runs Python code or lets another thread in, so finding no borrow
// held stands for taking one. A call bound here that is no plain hit is
// handed to the general preparation with its bind; a call that cannot be
// bound here goes the general way (nothing done, no error set).
enum class Quick {
    Hit,       // `hit` holds the value
    Prepared,  // the call is prepared in `p`, from the quick path's bind
    Failed,    // the exception is set
    General,   // nothing done: the general path decides
};

// The rest of a quick bind that found no value: prepared as the general
// path prepares, from the same bind.
[[gnu::noinline]] Quick hand_off(DecoratorObject* self, const CallInput& in, QuendleBaseObject* inst, BoundCall& call,
                                 Prepared& p, Probe known) noexcept {
    QuickBind quick{inst, call, known};
    return begin_noexcept(self, in, p, &quick) ? Quick::Prepared : Quick::Failed;
}

// Returned in registers, so the frame of a decorated call keeps no slot for it.
struct QuickResult {
    Quick kind;
    PyObject* hit = nullptr;
};

#if QUENDLE_FREE_THREADING
// Without the interpreter lock the quick hit takes the instance's exclusive
// borrow for real, only if it is free now (anything else goes the general
// way, which waits). The decorator needs none: its fields go only when the
// collector clears it, which it does only to objects no thread can reach
// (and a borrow on it, taken by every thread, would be one contended cache
// line). A call that is no plain hit gives the borrow back and hands its
// bind on, to be looked up again.
[[gnu::noinline]] QuickResult try_quick(DecoratorObject* self, const CallInput& in, Prepared& p) noexcept {
    const DecoratorFields* d = self->fields;
    if (d == nullptr || d->is_async) {
        return {Quick::General};
    }
    ArgBuffers buf;
    BindArgs view;
    if (!in.view(view, buf) || view.npos == 0) {
        return {Quick::General};
    }
    PyObject* first = view.pos[0];
    PyObject* base_type = quendle_base_type_if_created();
    if (reinterpret_cast<PyObject*>(Py_TYPE(first)) != d->known_class.load() &&
        (base_type == nullptr || !PyObject_TypeCheck(first, reinterpret_cast<PyTypeObject*>(base_type)))) {
        return {Quick::General};
    }
    auto* inst = reinterpret_cast<QuendleBaseObject*>(first);
    std::optional<Borrow> borrow = Borrow::try_take(inst->borrow, true);
    if (!borrow) {
        return {Quick::General};
    }
    CacheState* state = inst->state;
    if (state == nullptr) {
        return {Quick::General};
    }
    const CrossFrame* caller = current_cross_frame();
    if (caller != nullptr && caller->inst != inst && caller->track && caller->opted != Tri::No) {
        return {Quick::General};
    }
    BoundCall call;
    if (!pure_bind(d->name_obj.get(), d->name_hash, d->func.get(), view, d->binder, call)) {
        return {Quick::General};
    }
    const Probe found = state->find_pure(call);
    Ref hit;
    if (found.answer == Tri::Yes && state->tracker().has_state(found.key)) {
        hit = state->get_value(found.key);
    }
    if (!hit) {
        borrow->release();
        return {hand_off(self, in, inst, call, p, Probe{Tri::Undecided})};
    }
    const CacheKey key = found.key;
    const CallFrame* top = state->current_frame();
    if (top != nullptr && top->track_runtime_dependencies) {
        try {
            state->add_runtime_dependency(top->key, key);
        } catch (...) {
            return {Quick::General};
        }
    }
    if (observe::wanted()) {
        try {
            state->queue_event(EventKind::Hit, key);
        } catch (...) {
            return {Quick::General};
        }
    }
    ++state->counts(key).hits;
    return {Quick::Hit, hit.release()};
}
#else
[[gnu::noinline]] QuickResult try_quick(DecoratorObject* self, const CallInput& in, Prepared& p) noexcept {
    const DecoratorFields* d = self->fields;
    if (d == nullptr || d->is_async || __atomic_load_n(&self->borrow.value, __ATOMIC_RELAXED) < 0) {
        return {Quick::General};
    }
    ArgBuffers buf;
    BindArgs view;
    if (!in.view(view, buf) || view.npos == 0) {
        return {Quick::General};
    }
    PyObject* first = view.pos[0];
    if (reinterpret_cast<PyObject*>(Py_TYPE(first)) != d->known_class.get()) {
        return {Quick::General};
    }
    auto* inst = reinterpret_cast<QuendleBaseObject*>(first);
    CacheState* state = inst->state;
    if (state == nullptr || __atomic_load_n(&inst->borrow.value, __ATOMIC_RELAXED) != 0) {
        return {Quick::General};
    }
    // Inside another thread's scenario the general path waits for its end.
    if (inst->borrow.layer_owner != 0 && inst->borrow.foreign_layers(PyThread_get_thread_ident())) {
        return {Quick::General};
    }
    // A tracking caller on another instance whose class has opted in (or
    // not been asked yet) may be due an edge across instances.
    const CrossFrame* caller = current_cross_frame();
    if (caller != nullptr && caller->inst != inst && caller->track && caller->opted != Tri::No) {
        return {Quick::General};
    }
    BoundCall call;
    if (!pure_bind(d->name_obj.get(), d->name_hash, d->func.get(), view, d->binder, call)) {
        return {Quick::General};
    }
    const Probe found = state->find_pure(call);
    if (found.answer != Tri::Yes || !state->tracker().has_state(found.key)) {
        return {hand_off(self, in, inst, call, p, found)};
    }
    const CacheKey key = found.key;
    Ref hit = state->get_value(key);
    if (!hit) {
        return {hand_off(self, in, inst, call, p, found)};
    }
    const CallFrame* top = state->current_frame();
    if (top != nullptr && top->track_runtime_dependencies) {
        try {
            state->add_runtime_dependency(top->key, key);
        } catch (...) {
            return {Quick::General};  // nothing was added; the general way reports it
        }
    }
    if (observe::wanted()) {
        try {
            state->queue_event(EventKind::Hit, key);
        } catch (...) {
            return {Quick::General};  // nothing was queued; the general way reports it
        }
    }
    ++state->counts(key).hits;
    return {Quick::Hit, hit.release()};
}
#endif

// Inlined into both entry points, so that a recursion of decorated methods
// stacks one frame of it per level.
[[gnu::always_inline]] inline PyObject* run_call(DecoratorObject* self, CallInput& in) noexcept {
    Prepared p;
    const QuickResult quick = try_quick(self, in, p);
    switch (quick.kind) {
        case Quick::Hit:
            return observed(quick.hit);
        case Quick::Failed:
            return failed(self);
        case Quick::Prepared:
            break;
        case Quick::General:
            if (!begin_noexcept(self, in, p)) {
                return failed(self);
            }
            break;
    }
    if (p.fields->is_async) {
        return observed(async_result(self, p, in));
    }
    if (p.settling && !settle_noexcept(p)) {
        return failed(self);
    }
    if (p.hit) {
        return observed(p.hit.release());
    }
    PyObject* value = end_noexcept(p, in.call(p.func));
    return value != nullptr ? observed(value) : failed(self);
}

}  // namespace

PyObject* decorated_call(DecoratorObject* self, PyObject* args, PyObject* kwargs) noexcept {
    CallInput in = CallInput::from_tuple(args, kwargs);
    return run_call(self, in);
}

#if QUENDLE_VECTORCALL
PyObject* decorated_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    CallInput in = CallInput::from_vector(args, nargsf, kwnames);
    return run_call(reinterpret_cast<DecoratorObject*>(self), in);
}
#endif

}  // namespace quendle
