// The decorated call: key the call, register it and its declared
// dependencies, record the runtime dependency of the caller on this thread,
// then serve the stored value or compute, settle validity and store.
#include "async_call.h"
#include "cross_instance.h"
#include "decorator.h"
#include "hints.h"
#include "quendle_base.h"

namespace quendle {

namespace {

const KeySet kNoKeys;

// `elsewhere` is the worst state among the key's dependencies on other
// instances (Valid when it has none).
Status settle(CacheState& state, CacheKey key, bool use_cache, ValidationState elsewhere) {
    if (!use_cache) {
        state.mark_permanently_invalid(key);
    }
    const KeySet* deps = state.dependencies_of(key);
    if ((deps == nullptr || deps->empty()) && elsewhere == ValidationState::Valid) {
        state.forget_change(key);
        state.revalidate(key);
        return {};
    }
    bool permanently_invalid = elsewhere == ValidationState::PermanentlyInvalid;
    bool any_invalid = elsewhere == ValidationState::Invalid;
    if (deps == nullptr) {
        deps = &kNoKeys;
    }
    deps->for_each([&](CacheKey d) {
        switch (state.tracker().read(d)) {
            case ValidationState::PermanentlyInvalid:
                permanently_invalid = true;
                break;
            case ValidationState::Invalid:
                any_invalid = true;
                break;
            case ValidationState::Valid:
                break;
        }
    });
    if (permanently_invalid) {
        state.forget_change(key);
        state.mark_permanently_invalid(key);
    } else if (any_invalid) {
        // Computed from a stale input: the one record of this invalidation.
        state.note_change(key, ChangeKind::Invalidated);
        state.invalidate(key);
    } else {
        state.forget_change(key);
        state.revalidate(key);
    }
    return {};
}

}  // namespace

Status settle_computed(CacheState& state, CacheKey key, bool use_cache) {
    return settle(state, key, use_cache, ValidationState::Valid);
}

Status register_method_call(CacheState& state, const DecoratorFields& d, CacheKey key) {
    std::vector<CacheKey> declared;
    declared.reserve(d.dependencies.size());
    for (const CallSignature& dep : d.dependencies) {
        Q_ASSIGN(CacheKey k, state.get_or_create_key(CallSignature{dep.hash, dep.key}));
        declared.push_back(k);
    }
    state.register_call(key, declared);
    return {};
}

namespace {

// A call between its preparation and its end. It lives in the one frame a
// recursion of decorated methods stacks per level, so it is kept small; the
// large locals of binding and keying live in `prepare`, which returns before
// the body runs.
struct Prepared {
    std::optional<Borrow> decorator_borrow;  // shared, for the whole call
    QuendleBaseObject* inst = nullptr;
    CacheState* state = nullptr;
    CacheKey key = 0;
    unsigned long thread = 0;
    bool frame_pushed = false;
    Ref hit;  // the stored value on a hit
    PyObject* func = nullptr;
    const DecoratorFields* fields = nullptr;
    CrossFrame cross;  // this call on the thread's stack across instances, while its body runs

    Prepared() = default;
    Prepared(const Prepared&) = delete;
    // Pops this call's frame on every way out.
    ~Prepared() { pop_frame(); }
    void pop_frame() noexcept {
        if (std::exchange(frame_pushed, false)) {
            state->pop_frame(thread);
            pop_cross_frame(cross);
        }
    }
};

Status prepare_call(const DecoratorFields& d, PyObject* args, PyObject* kwargs, unsigned long thread,
                    Prepared& out) {
    if (args == nullptr || PyTuple_Size(args) == 0) {
        return Error::value_error("quendled can only be used as an instance method decorator");
    }
    // The tuple keeps the instance alive for the whole call.
    PyObject* first = PyTuple_GetItem(args, 0);
    PyObject* base_type = quendle_base_type_if_created();
    if (base_type == nullptr) {
        Q_ASSIGN(base_type, quendle_base_type());
    }
    if (!PyObject_TypeCheck(first, reinterpret_cast<PyTypeObject*>(base_type))) {
        return Error::type_error("The decorated method's class must inherit from QuendleBase");
    }
    auto* inst = reinterpret_cast<QuendleBaseObject*>(first);
    // Bind (and hash) before touching the instance; a natively bound call
    // is looked up without building its key tuple.
    BoundCall call;
    Q_LOOKUP(bound, native_bind(d.name_obj.get(), d.name_hash, d.func.get(), args, kwargs, d.binder, call));
    const bool native = bound.found();
    std::optional<CallSignature> sig;
    if (!native) {
        Q_ASSIGN(sig, inspect_call_signature(d.name, d.func.get(), args, kwargs));
    }
    Q_ASSIGN(CacheState * state, state_of(inst));
    out.inst = inst;
    out.state = state;
    // A tracking caller on another instance, of a class that opted in.
    CrossFrame* caller = current_cross_frame();
    bool cross = false;
    if (caller != nullptr && caller->inst != inst) {
        Q_ASSIGN(cross, cross_caller_records(caller, inst));
    }

    // Keying, registration, the caller's runtime edge and the lookup run
    // under one borrow; only the equality tests of key lookups can run
    // Python code in between. A hit pushes no frame, since nothing would
    // run while it was on the stack.
    Q_ASSIGN(Borrow b, Borrow::exclusive(inst->borrow, Conflict::Raise));
    CacheKey key;
    if (native) {
        Q_ASSIGN(std::optional<CacheKey> found, state->find_bound(call));
        if (found) {
            key = *found;
        } else {
            Q_ASSIGN(Ref tuple, bound_key_tuple(call));
            key = state->insert_key(call.hash, std::move(tuple));
        }
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
        out.hit = std::move(hit);
        return {};
    }
    if (d.is_async) {
        return {};  // the body runs when the awaitable is first awaited
    }
    state->push_frame(thread, CallFrame{key, d.track_runtime_dependencies});
    out.cross.inst = inst;
    out.cross.key = key;
    out.cross.track = d.track_runtime_dependencies;
    push_cross_frame(out.cross);
    out.frame_pushed = true;
    return {};
}

Status begin(DecoratorObject* self, PyObject* args, PyObject* kwargs, Prepared& out) {
    Q_ASSIGN(Borrow decorator_borrow, Borrow::shared(self->borrow, Conflict::Raise));
    out.decorator_borrow.emplace(std::move(decorator_borrow));
    if (self->fields == nullptr) {
        return cleared_error("QuendleDecorator");
    }
    const DecoratorFields& d = *self->fields;
    out.fields = &d;
    out.func = d.func.get();
    out.thread = PyThread_get_thread_ident();
    Q_TRY(prepare_call(d, args, kwargs, out.thread, out));
    if (!out.hit && !d.is_async) {
        Q_TRY(check_stack_depth());
    }
    return {};
}

// After the body returned: settles the key's state and stores the value;
// an invalidation it causes is to reach `targets` elsewhere.
Result<Ref> finish(Prepared& p, Ref value, Graveyard& dead, CrossTargets& targets) {
    auto elsewhere = ValidationState::Valid;
    const bool cross = !p.cross.pending.empty() || p.inst->cross_edges;
    if (cross) {
        Q_ASSIGN(elsewhere, cross_dependency_state(p.inst, p.key, p.cross));
    }
    Q_ASSIGN(Borrow b, Borrow::exclusive(p.inst->borrow, Conflict::Panic));
    if (!p.cross.pending.empty()) {
        commit_cross_dependencies(p.inst, p.key, p.cross);
    }
    Q_TRY(settle(*p.state, p.key, p.fields->use_cache, elsewhere));
    if (cross && p.state->tracker().read(p.key) == ValidationState::Invalid) {
        collect_cross_targets(p.inst, *p.state, p.key, targets);
    }
    p.state->store_value(p.key, value, dead);
    return value;
}

// Out of line and noexcept, so that the frame of `decorated_call` holds
// none of their temporaries.
[[gnu::noinline]] bool begin_noexcept(DecoratorObject* self, PyObject* args, PyObject* kwargs, Prepared& out) noexcept {
    try {
        Status s = begin(self, args, kwargs, out);
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
    p.pop_frame();
    if (out != nullptr && !targets.refs.empty()) {
        Ref result = Ref::steal(out);
        out = entry_object([&]() -> Result<Ref> {
            Q_TRY(invalidate_cross_targets(std::move(targets)));
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
[[gnu::noinline]] PyObject* async_result(DecoratorObject* self, Prepared& p, PyObject* args,
                                         PyObject* kwargs) noexcept {
    return entry_object([&]() -> Result<Ref> {
        if (p.hit) {
            return ready_awaitable(std::move(p.hit));
        }
        return pending_awaitable(reinterpret_cast<PyObject*>(self), p.inst, p.key, args, kwargs);
    });
}

}  // namespace

PyObject* decorated_call(DecoratorObject* self, PyObject* args, PyObject* kwargs) noexcept {
    Prepared p;
    if (!begin_noexcept(self, args, kwargs, p)) {
        return failed(self);
    }
    if (p.fields->is_async) {
        return async_result(self, p, args, kwargs);
    }
    if (p.hit) {
        return p.hit.release();
    }
    PyObject* value = end_noexcept(p, PyObject_Call(p.func, args, kwargs));
    return value != nullptr ? value : failed(self);
}

}  // namespace quendle
