#include "base/binding.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <string_view>

namespace quendle {

namespace {

std::string full_name(const ArgSpec& spec) {
    std::string s;
    if (spec.cls_name != nullptr) {
        s += spec.cls_name;
        s += '.';
    }
    s += spec.func_name;
    s += "()";
    return s;
}

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
std::string name_list(const std::vector<const char*>& names) {
    std::string s;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) {
                s += " and ";
            } else {
                s += (i + 1 == names.size()) ? ", and " : ", ";
            }
        }
        s += '\'';
        s += names[i];
        s += '\'';
    }
    return s;
}

// The qualified name of a class, for messages.
std::optional<std::string> qualname_of(PyObject* type) {
    PyObject* q = PyObject_GetAttrString(type, "__qualname__");
    if (q == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    Ref owned = Ref::steal(q);
    if (!PyUnicode_Check(q)) {
        return std::nullopt;
    }
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(q, &n);
    if (p == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string(p, static_cast<size_t>(n));
}

std::string classinfo_text(PyObject* classinfo) {
    if (classinfo == reinterpret_cast<PyObject*>(Py_TYPE(Py_None))) {
        return "None";
    }
    if (PyTuple_Check(classinfo)) {
        std::string s;
        Py_ssize_t n = PyTuple_Size(classinfo);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i > 0) {
                s += " | ";
            }
            s += classinfo_text(PyTuple_GetItem(classinfo, i));
        }
        return s;
    }
    if (PyType_Check(classinfo)) {
        if (std::optional<std::string> q = qualname_of(classinfo)) {
            return *q;
        }
    }
    std::optional<std::string> s = try_str(classinfo);
    return s ? *s : std::string("<unknown>");
}

}  // namespace

Result<BoundArgs> bind_arguments(const ArgSpec& spec, PyObject* args, PyObject* kwargs) {
    BoundArgs bound;
    const size_t p = spec.positional_count;
    const size_t n = args != nullptr ? static_cast<size_t>(PyTuple_Size(args)) : 0;
    for (size_t i = 0; i < n && i < p; ++i) {
        bound.slots[i] = Ref::borrow(PyTuple_GetItem(args, static_cast<Py_ssize_t>(i)));
    }
    if (n > p) {
        std::string msg = full_name(spec);
        if (spec.required_count == p) {
            msg += " takes " + std::to_string(p);
        } else {
            msg += " takes from " + std::to_string(spec.required_count) + " to " + std::to_string(p);
        }
        msg += " positional arguments but " + std::to_string(n) + (n == 1 ? " was" : " were") + " given";
        return Error::type_error(std::move(msg));
    }
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            Ref k = Ref::borrow(key), v = Ref::borrow(value);
            size_t slot = p;
            if (PyUnicode_Check(key)) {
                Py_ssize_t len = 0;
                const char* text = PyUnicode_AsUTF8AndSize(key, &len);
                if (text == nullptr) {
                    PyErr_Clear();
                } else {
                    std::string_view kv(text, static_cast<size_t>(len));
                    for (size_t i = 0; i < p; ++i) {
                        if (kv == spec.positional_names[i]) {
                            slot = i;
                            break;
                        }
                    }
                }
            }
            if (slot < p) {
                if (bound.slots[slot]) {
                    return Error::type_error(full_name(spec) + " got multiple values for argument '" +
                                             spec.positional_names[slot] + "'");
                }
                bound.slots[slot] = std::move(v);
            } else if (spec.varkwargs) {
                if (!bound.surplus) {
                    Q_ASSIGN(bound.surplus, checked(PyDict_New()));
                }
                Q_TRY(checked_status(PyDict_SetItem(bound.surplus.get(), k.get(), v.get())));
            } else {
                std::optional<std::string> ks = try_str(k.get());
                return Error::type_error(full_name(spec) + " got an unexpected keyword argument '" +
                                         (ks ? *ks : std::string("<unknown>")) + "'");
            }
        }
    }
    if (n < spec.required_count) {
        std::vector<const char*> missing;
        for (size_t i = 0; i < spec.required_count; ++i) {
            if (!bound.slots[i]) {
                missing.push_back(spec.positional_names[i]);
            }
        }
        if (!missing.empty()) {
            return Error::type_error(full_name(spec) + " missing " + std::to_string(missing.size()) +
                                     " required positional " +
                                     (missing.size() == 1 ? "argument" : "arguments") + ": " +
                                     name_list(missing));
        }
    }
    return bound;
}

Error cast_error(PyObject* from, PyObject* classinfo) {
    std::string msg;
    if (from == Py_None) {
        msg = "'None' is not an instance of '";
    } else {
        std::optional<std::string> q = qualname_of(reinterpret_cast<PyObject*>(Py_TYPE(from)));
        msg = "'";
        msg += q ? *q : std::string("<failed to extract type name>");
        msg += "' object is not an instance of '";
    }
    msg += classinfo_text(classinfo);
    msg += "'";
    return Error::type_error(std::move(msg));
}

Result<std::string> to_text(PyObject* obj) {
    if (!PyUnicode_Check(obj)) {
        return cast_error(obj, reinterpret_cast<PyObject*>(&PyUnicode_Type));
    }
    return utf8(obj);
}

Result<bool> to_bool(PyObject* obj) {
    if (obj == Py_True) {
        return true;
    }
    if (obj == Py_False) {
        return false;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    Q_ASSIGN(const Names* n, names());
    bool numpy_bool = false;
    {
        Ref mod = Ref::steal(PyObject_GetAttr(type, n->module));
        Ref nm = mod ? Ref::steal(PyObject_GetAttr(type, n->name)) : Ref();
        if (!mod || !nm) {
            // A type without those names is simply not numpy's; anything
            // else (out of memory, say) is a real failure.
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                return Error::fetch();
            }
            PyErr_Clear();
        } else if (PyUnicode_Check(mod.get()) && PyUnicode_Check(nm.get()) &&
                   PyUnicode_CompareWithASCIIString(mod.get(), "numpy") == 0 &&
                   (PyUnicode_CompareWithASCIIString(nm.get(), "bool_") == 0 ||
                    PyUnicode_CompareWithASCIIString(nm.get(), "bool") == 0)) {
            numpy_bool = true;
        }
    }
    if (!numpy_bool) {
        return cast_error(obj, reinterpret_cast<PyObject*>(&PyBool_Type));
    }
    PyObject* method = PyObject_GetAttr(type, n->bool_);
    if (method == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return Error::fetch();
        }
        PyErr_Clear();
        std::optional<std::string> ts = try_str(type);
        return Error::type_error("object of type '" + (ts ? *ts : std::string("<unknown>")) +
                                 "' does not define a '__bool__' conversion");
    }
    Ref unbound = Ref::steal(method);
    Ref bound_method = unbound;
    PyObject* getter = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(method)), "__get__");
    if (getter == nullptr) {
        PyErr_Clear();
    } else {
        Ref g = Ref::steal(getter);
        Q_ASSIGN(bound_method, call2(g.get(), method, obj));
        // type(method).__get__ is unbound: call it as __get__(method, obj)
    }
    Q_ASSIGN(Ref result, call0(bound_method.get()));
    if (result.get() == Py_True) {
        return true;
    }
    if (result.get() == Py_False) {
        return false;
    }
    return cast_error(result.get(), reinterpret_cast<PyObject*>(&PyBool_Type));
}

Result<Ref> to_dict(PyObject* obj) {
    if (!PyDict_Check(obj)) {
        return cast_error(obj, reinterpret_cast<PyObject*>(&PyDict_Type));
    }
    return Ref::borrow(obj);
}

namespace {

template <class T, class Convert>
Result<std::vector<T>> to_sequence(PyObject* obj, Convert convert) {
    if (PyUnicode_Check(obj)) {
        return Error::type_error("Can't extract `str` to `Vec`");
    }
    if (!PySequence_Check(obj)) {
        Q_ASSIGN(PyObject * seq, sequence_abc());
        return cast_error(obj, seq);
    }
    std::vector<T> out;
    Py_ssize_t hint = PyObject_Size(obj);
    if (hint < 0) {
        PyErr_Clear();
    } else {
        out.reserve(static_cast<size_t>(hint));
    }
    Q_ASSIGN(Ref it, checked(PyObject_GetIter(obj)));
    for (;;) {
        PyObject* item = PyIter_Next(it.get());
        if (item == nullptr) {
            if (PyErr_Occurred()) {
                return Error::fetch();
            }
            break;
        }
        Ref owned = Ref::steal(item);
        Q_ASSIGN(T converted, convert(std::move(owned)));
        out.push_back(std::move(converted));
    }
    return out;
}

}  // namespace

Result<std::vector<Ref>> to_object_sequence(PyObject* obj) {
    return to_sequence<Ref>(obj, [](Ref item) -> Result<Ref> { return item; });
}

Result<std::vector<std::string>> to_text_sequence(PyObject* obj) {
    return to_sequence<std::string>(obj, [](Ref item) { return to_text(item.get()); });
}

Error with_note(Error error, std::string_view text) {
    Ref exc = error.exception_object();
    if (!exc) {
        return error;
    }
    Result<const Names*> n = names();
    if (!n.ok()) {
        PyErr_Clear();
        return error;
    }
    PyObject* add_note = PyObject_GetAttr(exc.get(), n.value()->add_note);
    if (add_note == nullptr) {
        PyErr_Clear();  // before 3.11: exceptions carry no notes
        return error;
    }
    Ref method = Ref::steal(add_note);
    Result<Ref> note = new_str(text);
    if (!note.ok()) {
        PyErr_Clear();
        return error;
    }
    Ref r = Ref::steal(PyObject_CallFunctionObjArgs(method.get(), note.value().get(), nullptr));
    if (!r) {
        PyErr_Clear();
    }
    return error;
}

Error note_argument(Error error, const char* name) {
    return with_note(std::move(error), std::string("while processing '") + name + "'");
}

namespace borrow_detail {

std::uint32_t fork_generation = 0;

// Who holds and who waits for which flag. Read and changed only with the
// interpreter lock held; the mutex and condition variable serve the waits,
// which run with the lock released.
namespace {

struct Holder {
    BorrowFlag* flag;
    unsigned long thread;
};

std::vector<Holder> g_shared_holders;  // recorded shared borrows
std::vector<Holder> g_waits;           // threads waiting for a flag
std::mutex g_wait_mutex;
std::condition_variable g_wait_cv;

// The thread that made the last fork, and the first generation from which
// its borrows came along every fork since (a thread ident alone may be
// reused by a thread the child starts).
unsigned long g_survivor = 0;
std::uint32_t g_survivor_since = 0;

// How often a waiting thread looks for a signal to handle.
constexpr auto kSignalPoll = std::chrono::milliseconds(20);

// Whether `thread`, which took something in fork generation `generation`,
// is gone: it stayed behind in a process this one was forked from.
bool vanished(unsigned long thread, std::uint32_t generation) noexcept {
    return generation != fork_generation && !(thread == g_survivor && generation >= g_survivor_since);
}

// In a forked child: the flag's exclusive borrow and open scenarios of a
// thread that stayed behind are released.
void release_vanished(BorrowFlag& flag) noexcept {
    if (fork_generation == 0) {
        return;
    }
    if (flag.value < 0 && vanished(flag.owner, flag.owner_fork)) {
        flag.release_exclusive();
    }
    if (flag.layer_owner != 0 && vanished(flag.layer_owner, flag.layer_fork)) {
        flag.drop_layers();
    }
}

bool holds_shared(const BorrowFlag* flag, unsigned long thread) {
    return std::any_of(g_shared_holders.begin(), g_shared_holders.end(),
                       [&](const Holder& h) { return h.flag == flag && h.thread == thread; });
}

// The threads holding the flag, as far as they are known, and the thread
// whose scenario is open on it.
template <class F>
void for_each_holder(const BorrowFlag* flag, F&& f) {
    const Py_ssize_t v = __atomic_load_n(&flag->value, __ATOMIC_ACQUIRE);
    if (v < 0) {
        f(flag->owner);
    } else if (v > 0) {
        for (const Holder& h : g_shared_holders) {
            if (h.flag == flag) {
                f(h.thread);
            }
        }
    }
    if (flag->layer_owner != 0) {
        f(flag->layer_owner);
    }
}

// Whether waiting for `flag` would close a cycle of threads that each wait
// for a flag held by the next, back to `me`.
bool would_deadlock(const BorrowFlag* flag, unsigned long me) {
    std::vector<const BorrowFlag*> pending{flag};
    std::vector<const BorrowFlag*> seen;
    while (!pending.empty()) {
        const BorrowFlag* f = pending.back();
        pending.pop_back();
        if (std::find(seen.begin(), seen.end(), f) != seen.end()) {
            continue;
        }
        seen.push_back(f);
        bool cycle = false;
        for_each_holder(f, [&](unsigned long holder) {
            if (holder == me) {
                cycle = true;
                return;
            }
            for (const Holder& w : g_waits) {
                if (w.thread == holder) {
                    pending.push_back(w.flag);
                }
            }
        });
        if (cycle) {
            return true;
        }
    }
    return false;
}

bool available(const BorrowFlag& flag, bool exclusive, unsigned long me) {
    const Py_ssize_t v = __atomic_load_n(&flag.value, __ATOMIC_ACQUIRE);
    return (exclusive ? v == 0 : v >= 0) && !flag.foreign_layers(me);
}

Error same_thread_conflict(bool exclusive, Conflict on_conflict) {
    const char* text = exclusive ? "Already borrowed" : "Already mutably borrowed";
    if (on_conflict == Conflict::Raise) {
        return Error::runtime_error(text);
    }
    return QUENDLE_PANIC(text);
}

// Waits, with the interpreter lock released, until the flag looks free.
// Signal handlers run meanwhile (those of the main thread): one that
// raises ends the wait with its exception.
Status wait_for(BorrowFlag& flag, bool exclusive, unsigned long me) {
    g_waits.push_back(Holder{&flag, me});
    waiters.fetch_add(1, std::memory_order_relaxed);
    Status outcome;
    for (;;) {
        bool ready = false;
        Py_BEGIN_ALLOW_THREADS;
        {
            std::unique_lock<std::mutex> lock(g_wait_mutex);
            ready = g_wait_cv.wait_for(lock, kSignalPoll, [&] { return available(flag, exclusive, me); });
        }
        Py_END_ALLOW_THREADS;
        if (ready) {
            break;
        }
        if (PyErr_CheckSignals() < 0) {
            outcome = Error::fetch();
            break;
        }
    }
    waiters.fetch_sub(1, std::memory_order_relaxed);
    auto it = std::find_if(g_waits.begin(), g_waits.end(),
                           [&](const Holder& h) { return h.flag == &flag && h.thread == me; });
    if (it != g_waits.end()) {
        g_waits.erase(it);
    }
    return outcome;
}

// os.register_at_fork(after_in_child=...): runs in the child, on the one
// thread that came along, with the interpreter lock held.
PyObject* after_fork_in_child(PyObject* /*module*/, PyObject* /*unused*/) noexcept {
    const unsigned long me = PyThread_get_thread_ident();
    if (me != g_survivor) {
        g_survivor = me;
        g_survivor_since = fork_generation;
    }
    ++fork_generation;
    // A waiter that stayed behind may have held the mutex at the fork.
    new (&g_wait_mutex) std::mutex();
    new (&g_wait_cv) std::condition_variable();
    g_waits.clear();
    waiters.store(0, std::memory_order_relaxed);
    // Shared borrows of the threads that stayed behind are given back; their
    // exclusive borrows and scenarios go when a thread here meets them.
    std::erase_if(g_shared_holders, [&](const Holder& h) {
        if (h.thread == me) {
            return false;
        }
        h.flag->release_shared();
        return true;
    });
    Py_RETURN_NONE;
}

PyMethodDef after_fork_in_child_def = {"_after_fork_in_child", after_fork_in_child, METH_NOARGS, nullptr};

bool g_fork_handler_registered = false;

}  // namespace

std::atomic<int> waiters{0};

void wake_waiters() noexcept {
    std::lock_guard<std::mutex> lock(g_wait_mutex);
    g_wait_cv.notify_all();
}

void record_shared(BorrowFlag* flag, unsigned long thread) { g_shared_holders.push_back(Holder{flag, thread}); }

void forget_shared(const BorrowFlag* flag, unsigned long thread) noexcept {
    for (auto it = g_shared_holders.rbegin(); it != g_shared_holders.rend(); ++it) {
        if (it->flag == flag && it->thread == thread) {
            g_shared_holders.erase(std::next(it).base());
            return;
        }
    }
}

Status acquire_slow(BorrowFlag& flag, bool exclusive, Conflict on_conflict, unsigned long thread) {
    if (thread == 0) {
        thread = PyThread_get_thread_ident();
    }
    for (;;) {
        release_vanished(flag);
        if (exclusive ? flag.try_exclusive(thread) : flag.try_shared(thread)) {
            return {};
        }
        const Py_ssize_t v = __atomic_load_n(&flag.value, __ATOMIC_ACQUIRE);
        const bool held = exclusive ? v != 0 : v < 0;
        const bool mine = held && (v < 0 ? flag.owner == thread : holds_shared(&flag, thread));
        if (mine) {
            return same_thread_conflict(exclusive, on_conflict);
        }
        if (would_deadlock(&flag, thread)) {
            return Error::runtime_error(
                "Deadlock: the object is borrowed by another thread that is waiting for an object "
                "this thread has borrowed");
        }
        Q_TRY(wait_for(flag, exclusive, thread));
    }
}

}  // namespace borrow_detail

// In the static TLS block, as every exclusive borrow counts in it.
[[gnu::tls_model("initial-exec")]] constinit thread_local std::uint32_t t_borrows_held = 0;

Status register_fork_handler(PyObject* module) {
    if (borrow_detail::g_fork_handler_registered) {
        return {};
    }
    Q_ASSIGN(Ref os, checked(PyImport_ImportModule("os")));
    PyObject* reg = PyObject_GetAttrString(os.get(), "register_at_fork");
    if (reg == nullptr) {  // a platform without fork
        PyErr_Clear();
        return {};
    }
    Ref register_at_fork = Ref::steal(reg);
    Q_ASSIGN(Ref handler, checked(PyCFunction_NewEx(&borrow_detail::after_fork_in_child_def, module, nullptr)));
    Q_ASSIGN(Ref args, checked(PyTuple_New(0)));
    Q_ASSIGN(Ref kwargs, checked(PyDict_New()));
    Q_TRY(checked_status(PyDict_SetItemString(kwargs.get(), "after_in_child", handler.get())));
    Q_ASSIGN(Ref done, checked(PyObject_Call(register_at_fork.get(), args.get(), kwargs.get())));
    borrow_detail::g_fork_handler_registered = true;
    return {};
}

void set_error_from_current_cxx_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        std::move(QUENDLE_PANIC(std::string("C++ exception: ") + e.what())).restore();
    } catch (...) {
        std::move(QUENDLE_PANIC("unknown C++ exception")).restore();
    }
}

}  // namespace quendle
