// `QuendleAwaitable` as a Python type: the coroutine and iterator
// protocols over the state machine of async_steps.cpp, and the
// constructors the call path uses.
#include "ops/async_call.h"

#include "base/heap_type.h"
#include "ops/async_state.h"

namespace quendle {

namespace awaiting {

namespace {

PySendResult step(PyObject* self, PyObject* arg, PyObject* thrown, PyObject** out) noexcept {
    *out = nullptr;
    try {
        Result<Outcome> r = step_impl(self, arg, thrown);
        if (r.ok()) {
            Outcome o = r.take();
            *out = o.value.release();
            return o.done ? PYGEN_RETURN : PYGEN_NEXT;
        }
        r.take_error().restore();
    } catch (...) {
        set_error_from_current_cxx_exception();
    }
    return PYGEN_ERROR;
}

// The iterator protocol's form of a step: a return is StopIteration, made
// explicitly so that a tuple or an exception value arrives as it is.
PyObject* step_object(PyObject* self, PyObject* arg, PyObject* thrown) {
    PyObject* out = nullptr;
    if (step(self, arg, thrown, &out) != PYGEN_RETURN) {
        return out;
    }
    PyObject* stop = PyObject_CallFunctionObjArgs(PyExc_StopIteration, out, nullptr);
    Py_DECREF(out);
    if (stop != nullptr) {
        PyErr_SetObject(PyExc_StopIteration, stop);
        Py_DECREF(stop);
    }
    return nullptr;
}

PySendResult aw_am_send(PyObject* self, PyObject* arg, PyObject** out) { return step(self, arg, nullptr, out); }
PyObject* aw_next(PyObject* self) { return step_object(self, Py_None, nullptr); }
PyObject* aw_send(PyObject* self, PyObject* arg) { return step_object(self, arg, nullptr); }
PyObject* aw_await(PyObject* self) { return Py_NewRef(self); }

PyObject* aw_throw(PyObject* self, PyObject* args) {
    if (PyTuple_Size(args) < 1 || PyTuple_Size(args) > 3) {
        PyErr_SetString(PyExc_TypeError, "throw expected 1 to 3 arguments");
        return nullptr;
    }
    return step_object(self, Py_None, args);
}

PyObject* aw_close(PyObject* self, PyObject* /*unused*/) {
    return entry_object([&]() -> Result<Ref> {
        AwaitState& st = state(self);
        if (st.mode != Mode::Delegate && st.mode != Mode::Drive && st.mode != Mode::Start) {
            return none_result();
        }
        const bool driving = st.mode == Mode::Drive;
        Ref it = st.iter;
        Ref inst = st.inst;
        finish_as(st, Mode::Done, Ref());
        if (driving) {
            Q_TRY(end_pending(inst.get(), self));
        }
        if (!it) {
            return none_result();
        }
        Q_ASSIGN(Ref method, get_attr(it.get(), "close"));
        return call0(method.get());
    });
}

int aw_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    const AwaitState& st = state(self);
    for (const Ref* r : {&st.value, &st.decorator, &st.args, &st.kwargs, &st.inst, &st.iter, &st.first_yield,
                         &st.cutoff, &st.previous}) {
        Py_VISIT(r->get());
    }
    return 0;
}

int aw_clear(PyObject* self) {
    AwaitState& st = state(self);
    AwaitState old;
    std::swap(old, st);  // this object is empty before anything it held goes
    return 0;
}

void aw_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    state(self).~AwaitState();
    free_instance(self);
}

PyMethodDef aw_methods[] = {
    {"send", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(aw_send)), METH_O, "send($self, value, /)\n--\n\n"},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(aw_throw)), METH_VARARGS,
     "throw($self, typ, val=None, tb=None, /)\n--\n\n"},
    {"close", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(aw_close)), METH_NOARGS, "close($self, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot aw_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refusing_new)},
    {Py_am_await, reinterpret_cast<void*>(aw_await)},
    {Py_am_send, reinterpret_cast<void*>(aw_am_send)},
    {Py_tp_iter, reinterpret_cast<void*>(aw_await)},
    {Py_tp_iternext, reinterpret_cast<void*>(aw_next)},
    {Py_tp_methods, aw_methods},
    {Py_tp_traverse, reinterpret_cast<void*>(aw_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(aw_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(aw_dealloc)},
    {0, nullptr},
};

PyType_Spec aw_spec{"builtins.QuendleAwaitable", sizeof(AwaitableObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                    aw_slots};

}  // namespace

Result<PyObject*> awaitable_type() {
    return create_type_on_use(process().awaitable_type, &aw_spec, "QuendleAwaitable", true);
}

}  // namespace awaiting

using awaiting::AwaitState;
using awaiting::Mode;
using awaiting::state;

Result<Ref> ready_awaitable(Ref value) {
    Q_ASSIGN(Ref obj, new_awaitable(Mode::Ready));
    state(obj.get()).value = std::move(value);
    return obj;
}

Result<Ref> pending_awaitable(PyObject* decorator, QuendleBaseObject* inst, CacheKey key, PyObject* args,
                              PyObject* kwargs) {
    Q_ASSIGN(Ref obj, new_awaitable(Mode::Start));
    AwaitState& st = state(obj.get());
    st.decorator = Ref::borrow(decorator);
    st.inst = Ref::borrow(reinterpret_cast<PyObject*>(inst));
    st.args = Ref::borrow(args);
    st.kwargs = Ref::borrow(kwargs);
    st.key = key;
    return obj;
}

Result<bool> is_coroutine_function(PyObject* func) {
    constexpr long kCoroutine = 0x80;
    PyObject* code = PyObject_GetAttrString(func, "__code__");
    if (code != nullptr) {
        Ref owned = Ref::steal(code);
        Q_ASSIGN(Ref flags_obj, get_attr(code, "co_flags"));
        const long flags = PyLong_Check(flags_obj.get()) ? PyLong_AsLong(flags_obj.get()) : 0;
        if (flags == -1 && PyErr_Occurred()) {
            return Error::fetch();
        }
        if ((flags & kCoroutine) != 0) {
            return true;
        }
    } else {
        PyErr_Clear();
    }
    PyObject* mark = PyObject_GetAttrString(func, "_is_coroutine_marker");
    if (mark == nullptr) {
        PyErr_Clear();
        return false;
    }
    Ref owned_mark = Ref::steal(mark);
    Q_ASSIGN(const ProcessValues::AsyncHelper* h, async_helper());
    return h->marker != Py_None && mark == h->marker;
}

}  // namespace quendle
