#include "keys/native_binder.h"

#include "base/hints.h"

#include "base/runtime.h"
#include "keys/native_binder_parts.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace quendle {

namespace {

bool same_name(PyObject* a, PyObject* b) {
    if (a == b) {
        return true;
    }
    int rc = PyUnicode_Compare(a, b);
    if (rc == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return rc == 0;
}

#if !QUENDLE_FREE_THREADING
Status init_attr(FunctionAttr& attr, PyObject* ftype, const char* name) {
    Q_ASSIGN(Ref d, get_attr(ftype, name));
    attr.get = reinterpret_cast<descrgetfunc>(PyType_GetSlot(Py_TYPE(d.get()), Py_tp_descr_get));
    attr.descr = d.release();  // immortal by intent
    return {};
}
#endif

PyObject* read_attr(const FunctionAttr& attr, PyObject* func, PyObject* ftype, PyObject* name) {
    if (attr.get == nullptr) {
        return PyObject_GetAttr(func, name);
    }
    return attr.get(attr.descr, func, ftype);
}

}  // namespace

namespace {

// A step of the native bind: found = the call still fits, not found = the
// call is left to inspect, failed = an error.
struct Fit {};
using Step = Lookup<Fit>;

Step fits() { return Fit{}; }
Step leave_to_inspect() { return Step::not_found(); }

// The function carries nothing that could change what inspect reports.
Step check_no_overrides(PyObject* func) {
    Q_ASSIGN(Ref dict, checked(PyObject_GenericGetDict(func, nullptr)));
    if (!PyDict_Check(dict.get())) {
        return leave_to_inspect();
    }
    if (PyDict_Size(dict.get()) == 0) {
        return fits();
    }
    Q_ASSIGN(const Names* n, names());
    for (PyObject* key : {n->signature_attr, n->wrapped, n->text_signature, n->partialmethod_private,
                          n->partialmethod}) {
        const int rc = PyDict_Contains(dict.get(), key);
        if (rc < 0) {
            return Error::fetch();
        }
        if (rc == 1) {
            return leave_to_inspect();
        }
    }
    return fits();
}

// Puts the layout of the function's current code into `out.layout`; from
// then on the bind reads only that reference, never the shared cache.
Step take_layout(PyObject* func, BinderCache& cache, BoundCall& out, const Names* n) {
    const ProcessValues& pv = process();
    Q_ASSIGN(Ref code, checked(read_attr(pv.code_attr, func, pv.function_type_ready.load(), n->code)));
    if (!cache.layout || cache.layout->code.get() != code.get()) {
        auto fresh = std::make_unique<BinderLayout>();
        Q_TRY(load_layout(code.get(), *fresh));
        cache.replace(std::move(fresh));
    }
    out.pin.take(cache);
    out.layout = cache.layout.get();
    return out.layout->usable ? fits() : leave_to_inspect();
}

// The general bind and the pure one (a hit served without user code) share
// the steps below; they differ only in what a step may do. The general bind
// may run user code (hashing any value, comparing a keyword name, reading
// keyword-only defaults) and reports errors; the pure one runs none and,
// where it would, gives up (not found: the general bind decides), with no
// error set.
enum class Bind : std::uint8_t {
    General,
    Pure,
};

// Reads the attribute into `slot` unless an earlier read of this call did.
template <Bind B>
[[gnu::always_inline]] inline Step read_once(Ref& slot, const FunctionAttr& attr, PyObject* func, PyObject* ftype, PyObject* name) {
    if (!slot) {
        PyObject* v = read_attr(attr, func, ftype, name);
        if (v == nullptr) {
            if constexpr (B == Bind::Pure) {
                PyErr_Clear();
                return leave_to_inspect();
            }
            return Error::fetch();
        }
        slot = Ref::steal(v);
    }
    return fits();
}

// The index of the parameter named `key`, or `total` when there is none.
template <Bind B>
[[gnu::always_inline]] inline size_t parameter_index(const BinderLayout& c, PyObject* key) {
    const size_t total = c.names.size();
    // Keyword names are usually the very objects of the code's names.
    for (size_t j = 0; j < total; ++j) {
        if (c.names[j].get() == key) {
            return j;
        }
    }
    if constexpr (B == Bind::General) {
        for (size_t j = 0; j < total; ++j) {
            if (same_name(c.names[j].get(), key)) {
                return j;
            }
        }
    }
    return total;
}

// Sorts the positional and keyword arguments into `vals`, by parameter.
template <Bind B>
[[gnu::always_inline]] inline Step collect_values(const BinderLayout& c, const BindArgs& in, PyObject** vals, BoundCall& out) {
    const size_t nargs = in.npos;
    const size_t P = c.positional;
    if (nargs > P && !c.varargs) {
        return leave_to_inspect();
    }
    const size_t total = c.names.size();
    for (size_t i = 0; i < total; ++i) {
        vals[i] = i < nargs && i < P ? in.pos[i] : nullptr;
    }
    if (c.varargs) {
        if constexpr (B == Bind::Pure) {
            return leave_to_inspect();  // the *args tuple is built by the general bind
        }
        const size_t first = std::min(nargs, P);
        Q_ASSIGN(out.keep[0], checked(PyTuple_New(static_cast<Py_ssize_t>(nargs - first))));
        for (size_t i = first; i < nargs; ++i) {
            PyTuple_SetItem(out.keep[0].get(), static_cast<Py_ssize_t>(i - first), Py_NewRef(in.pos[i]));
        }
        vals[P] = out.keep[0].get();
    }
    for (size_t k = 0; k < in.nkw; ++k) {
        PyObject* key = in.kw_names[k];
        if (!PyUnicode_CheckExact(key)) {
            return leave_to_inspect();
        }
        const size_t found = parameter_index<B>(c, key);
        if (found == total || (c.varargs && found == P) || found < c.posonly || vals[found] != nullptr) {
            return leave_to_inspect();
        }
        vals[found] = in.kw_values[k];
    }
    return fits();
}

// Fills the parameters the call left out from the function's defaults.
template <Bind B>
[[gnu::always_inline]] inline Step fill_defaults(const BinderLayout& c, PyObject* func, PyObject** vals, BoundCall& out) {
    const ProcessValues& pv = process();
    PyObject* ftype = pv.function_type_ready.load(std::memory_order_relaxed);
    const Names& n = pv.names;
    const size_t P = c.positional;
    for (size_t i = 0; i < P; ++i) {
        if (vals[i] != nullptr) {
            continue;
        }
        Q_LOOKUP(read, read_once<B>(out.keep[1], pv.defaults_attr, func, ftype, n.defaults));
        if (!read.found()) {
            return read;
        }
        PyObject* defaults = out.keep[1].get();
        if (!PyTuple_Check(defaults)) {
            return leave_to_inspect();  // None: a required argument is missing
        }
        const size_t d = static_cast<size_t>(PyTuple_Size(defaults));
        if (d > P || i < P - d) {
            return leave_to_inspect();
        }
        vals[i] = PyTuple_GetItem(defaults, static_cast<Py_ssize_t>(i - (P - d)));
    }
    const size_t total = c.names.size();
    for (size_t i = P + (c.varargs ? 1 : 0); i < total; ++i) {
        if (vals[i] != nullptr) {
            continue;
        }
        if constexpr (B == Bind::Pure) {
            return leave_to_inspect();  // keyword-only defaults: a dict lookup may run user code
        }
        Q_LOOKUP(read, read_once<B>(out.keep[2], pv.kwdefaults_attr, func, ftype, n.kwdefaults));
        if (!read.found()) {
            return read;
        }
        PyObject* kwdefaults = out.keep[2].get();
        if (!PyDict_CheckExact(kwdefaults)) {
            return leave_to_inspect();
        }
        PyObject* v = PyDict_GetItemWithError(kwdefaults, c.names[i].get());
        if (v == nullptr) {
            if (PyErr_Occurred()) {
                return Error::fetch();
            }
            return leave_to_inspect();
        }
        // Held on our own: user code run by hashing could change the dict.
        out.extra.push_back(Ref::borrow(v));
        vals[i] = v;
    }
    return fits();
}

// Sorts the pairs by name into `out` and hashes them exactly as
// hash((method, ((name, value), ...))) would. The general bind runs user
// code here (`__hash__`); the pure one takes only values whose hash runs
// none.
template <Bind B>
[[gnu::always_inline]] inline Step hash_pairs(PyObject* method, std::uint64_t method_hash, PyObject* const* vals, BoundCall& out) {
    const BinderLayout& c = *out.layout;
    TupleHasher pairs;
    const size_t count = c.order.size();
    for (size_t i = 0; i < count; ++i) {
        const size_t j = c.order[i];
        PyObject* v = vals[j];
        if constexpr (B == Bind::Pure) {
            if (!pure_value(v)) {
                return leave_to_inspect();
            }
        }
        out.names[i] = c.names[j].get();
        out.values[i] = v;
        const Py_hash_t hv = PyObject_Hash(v);
        if (hv == -1 && PyErr_Occurred()) {
            if constexpr (B == Bind::Pure) {
                PyErr_Clear();
                return leave_to_inspect();
            }
            return hint_unhashable(Error::fetch(), method, c.names[j].get());
        }
        pairs.add(pair_hash(c.hashes[j], hv));
    }
    out.method = method;
    out.count = count;
    out.hash = key_hash(method_hash, pairs);
    return fits();
}

// The steps shared by both binds, once the layout is in `out.layout`.
template <Bind B>
[[gnu::always_inline]] inline Step bind_steps(PyObject* method, std::uint64_t method_hash, PyObject* func, const BindArgs& in, BoundCall& out) {
    PyObject* vals[kMaxNativeParams];
    Q_LOOKUP(collected, collect_values<B>(*out.layout, in, vals, out));
    if (!collected.found()) {
        return collected;
    }
    Q_LOOKUP(filled, fill_defaults<B>(*out.layout, func, vals, out));
    if (!filled.found()) {
        return filled;
    }
    return hash_pairs<B>(method, method_hash, vals, out);
}

#if QUENDLE_FREE_THREADING
// Threads that get here at once each read the descriptors; the first to
// claim the slots fills them and publishes the type, the others wait for
// that (a few stores away, no Python code) and drop theirs.
Status init_function_attrs() {
    Q_ASSIGN(PyObject * ftype, plain_function_type());
    Q_ASSIGN(Ref code, get_attr(ftype, "__code__"));
    Q_ASSIGN(Ref defaults, get_attr(ftype, "__defaults__"));
    Q_ASSIGN(Ref kwdefaults, get_attr(ftype, "__kwdefaults__"));
    ProcessValues& pv = process();
    static std::atomic<bool> claimed{false};
    if (!claimed.exchange(true, std::memory_order_acq_rel)) {
        const auto fill = [](FunctionAttr& attr, Ref& d) {
            attr.get = reinterpret_cast<descrgetfunc>(PyType_GetSlot(Py_TYPE(d.get()), Py_tp_descr_get));
            attr.descr = d.release();  // immortal by intent
        };
        fill(pv.code_attr, code);
        fill(pv.defaults_attr, defaults);
        fill(pv.kwdefaults_attr, kwdefaults);
        pv.function_type_ready.store(ftype, std::memory_order_release);
        return {};
    }
    while (pv.function_type_ready.load(std::memory_order_acquire) == nullptr) {
        std::this_thread::yield();
    }
    return {};
}
#else
Status init_function_attrs() {
    Q_ASSIGN(PyObject * ftype, plain_function_type());
    ProcessValues& pv = process();
    Q_TRY(init_attr(pv.code_attr, ftype, "__code__"));
    Q_TRY(init_attr(pv.defaults_attr, ftype, "__defaults__"));
    Q_TRY(init_attr(pv.kwdefaults_attr, ftype, "__kwdefaults__"));
    pv.function_type_ready.store(ftype);
    return {};
}
#endif

}  // namespace

Lookup<const BoundCall*> native_bind(PyObject* method, std::uint64_t method_hash, PyObject* func, const BindArgs& in,
                                     BinderCache& cache, BoundCall& out) {
    using Out = Lookup<const BoundCall*>;
    PyObject* ftype = process().function_type_ready.load(std::memory_order_acquire);
    if (ftype == nullptr) {
        Q_TRY(init_function_attrs());
        ftype = process().function_type_ready.load();
    }
    if (reinterpret_cast<PyObject*>(Py_TYPE(func)) != ftype) {
        return Out::not_found();
    }
    if (process().hash_agrees.load(std::memory_order_relaxed) != Tri::Yes) {
        Q_ASSIGN(bool agrees, hash_agrees());
        if (!agrees) {
            return Out::not_found();
        }
    }
    Q_ASSIGN(const Names* n, names());
    Q_LOOKUP(plain, check_no_overrides(func));
    if (!plain.found()) {
        return Out::not_found();
    }
    Q_LOOKUP(layout, take_layout(func, cache, out, n));
    if (!layout.found()) {
        return Out::not_found();
    }
    Q_LOOKUP(bound, bind_steps<Bind::General>(method, method_hash, func, in, out));
    if (!bound.found()) {
        return Out::not_found();
    }
    return Out(&out);
}

bool pure_bind(PyObject* method, std::uint64_t method_hash, PyObject* func, const BindArgs& in, BinderCache& cache,
               BoundCall& out) noexcept {
    const ProcessValues& pv = process();
    PyObject* ftype = pv.function_type_ready.load(std::memory_order_relaxed);
    const BinderLayout* c = cache.layout.get();
    if (ftype == nullptr || reinterpret_cast<PyObject*>(Py_TYPE(func)) != ftype || c == nullptr || !c->usable ||
        c->varargs || pv.hash_agrees.load(std::memory_order_relaxed) != Tri::Yes) {
        return false;
    }
    {
        // Nothing that could change what inspect reports: an empty __dict__,
        // and the code the layout was read from.
        Ref dict = Ref::steal(PyObject_GenericGetDict(func, nullptr));
        if (!dict || !PyDict_Check(dict.get()) || PyDict_Size(dict.get()) != 0) {
            PyErr_Clear();
            return false;
        }
        Ref code = Ref::steal(read_attr(pv.code_attr, func, ftype, pv.names.code));
        if (code.get() != c->code.get()) {
            PyErr_Clear();
            return false;
        }
    }
    out.layout = c;
    return bind_steps<Bind::Pure>(method, method_hash, func, in, out).found();
}

}  // namespace quendle
