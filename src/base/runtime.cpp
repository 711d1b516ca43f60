#include "base/runtime.h"
#include "base/thread_exit.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

namespace quendle {

void park_exiting_thread() noexcept {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::hours(1));
    }
}

namespace {

// The lowest address of the calling thread's stack that calls may use, or
// nullptr when it is unknown; found once per thread.
struct StackLimit {
    bool known = false;
    const char* floor = nullptr;
};

// In the static TLS block (a few bytes): read by every computed call, and the
// dynamic model's lookup through __tls_get_addr would cost more than the read.
[[gnu::tls_model("initial-exec")]] thread_local StackLimit t_stack_limit;

const char* find_stack_floor() {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) {
        return nullptr;
    }
    void* low = nullptr;
    size_t size = 0;
    const int rc = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    if (rc != 0 || low == nullptr || size == 0) {
        return nullptr;
    }
    // Room for the interpreter to unwind and report: a sixteenth of the
    // stack, between 32 KiB and 256 KiB.
    const size_t reserve = std::clamp<size_t>(size / 16, size_t{32} << 10, size_t{256} << 10);
    return reserve < size ? static_cast<const char*>(low) + reserve : nullptr;
}

}  // namespace

Status check_stack_depth() {
    StackLimit& limit = t_stack_limit;
    if (!limit.known) {
        limit.floor = find_stack_floor();
        limit.known = true;
    }
    const char* here = static_cast<const char*>(__builtin_frame_address(0));
    if (limit.floor != nullptr && here < limit.floor) {
        return Error::builtin(PyExc_RecursionError, "maximum recursion depth exceeded while calling a quendled method");
    }
    return {};
}

namespace detail {
ProcessValues g_process;
}  // namespace detail

namespace {

using detail::g_process;
Names& g_names = g_process.names;

const char kPanicDoc[] =
    "Reports a failure inside the extension's native code.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that\n"
    "it typically propagates all the way up the stack and ends the interpreter.";

Result<Ref> make_names() {
    struct Entry {
        PyObject** slot;
        const char* text;
    };
    const Entry entries[] = {
        {&g_names.name, "__name__"},
        {&g_names.qualname, "__qualname__"},
        {&g_names.module, "__module__"},
        {&g_names.all, "__all__"},
        {&g_names.add_note, "add_note"},
        {&g_names.signature, "signature"},
        {&g_names.bind, "bind"},
        {&g_names.apply_defaults, "apply_defaults"},
        {&g_names.arguments, "arguments"},
        {&g_names.parameters, "parameters"},
        {&g_names.mro, "__mro__"},
        {&g_names.dict, "__dict__"},
        {&g_names.bool_, "__bool__"},
        {&g_names.self, "self"},
        {&g_names.code, "__code__"},
        {&g_names.defaults, "__defaults__"},
        {&g_names.kwdefaults, "__kwdefaults__"},
        {&g_names.wrapped, "__wrapped__"},
        {&g_names.signature_attr, "__signature__"},
        {&g_names.text_signature, "__text_signature__"},
        {&g_names.partialmethod, "__partialmethod__"},
        {&g_names.partialmethod_private, "_partialmethod"},
    };
    for (const Entry& e : entries) {
        if (*e.slot == nullptr) {
            PyObject* s = PyUnicode_InternFromString(e.text);
            if (s == nullptr) {
                return Error::fetch();
            }
            *e.slot = s;  // immortal by intent
        }
    }
    // The cell only needs a non-null marker object.
    return Ref::borrow(g_names.name);
}

}  // namespace

Result<const Names*> names() {
    if (g_process.names_cell.peek() != nullptr) {
        return static_cast<const Names*>(&g_names);
    }
    Result<PyObject*> r = g_process.names_cell.get(make_names);
    if (!r.ok()) {
        return r.take_error();
    }
    return static_cast<const Names*>(&g_names);
}

Result<PyObject*> panic_type() {
    return g_process.panic_type.get([]() -> Result<Ref> {
        return checked(PyErr_NewExceptionWithDoc("native_runtime.PanicException", kPanicDoc,
                                                 PyExc_BaseException, nullptr));
    });
}

PyObject* panic_type_if_created() noexcept { return g_process.panic_type.peek(); }

Result<PyObject*> sequence_abc() {
    if (PyObject* t = g_process.sequence_abc.peek()) {
        return t;
    }
    return g_process.sequence_abc.get([]() -> Result<Ref> {
        Q_ASSIGN(Ref abc, import_module("collections.abc"));
        return get_attr(abc.get(), "Sequence");
    });
}

Result<PyObject*> method_type() {
    if (PyObject* t = g_process.method_type.peek()) {
        return t;
    }
    return g_process.method_type.get([]() -> Result<Ref> {
        Q_ASSIGN(Ref types, import_module("types"));
        return get_attr(types.get(), "MethodType");
    });
}

Result<Ref> import_module(const char* name) { return checked(PyImport_ImportModule(name)); }

Result<PyObject*> imported_module(OnceObject& cell, const char* name) {
    if (PyObject* m = cell.peek()) {
        return m;
    }
    return cell.get([name] { return import_module(name); });
}

Result<Ref> get_attr(PyObject* obj, PyObject* name) { return checked(PyObject_GetAttr(obj, name)); }

Result<Ref> get_attr(PyObject* obj, const char* name) {
    return checked(PyObject_GetAttrString(obj, name));
}

namespace {

Result<Ref> attr_or_nothing(PyObject* v) {
    if (v != nullptr) {
        return Ref::steal(v);
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return Error::fetch();
    }
    PyErr_Clear();
    return Ref{};
}

}  // namespace

Result<Ref> optional_attr(PyObject* obj, PyObject* name) { return attr_or_nothing(PyObject_GetAttr(obj, name)); }

Result<Ref> optional_attr(PyObject* obj, const char* name) {
    return attr_or_nothing(PyObject_GetAttrString(obj, name));
}

Result<Ref> call0(PyObject* callable) { return checked(PyObject_CallObject(callable, nullptr)); }

Result<Ref> call1(PyObject* callable, PyObject* arg) {
    return checked(PyObject_CallFunctionObjArgs(callable, arg, nullptr));
}

Result<Ref> call2(PyObject* callable, PyObject* a, PyObject* b) {
    return checked(PyObject_CallFunctionObjArgs(callable, a, b, nullptr));
}

Result<Ref> call_method0(PyObject* obj, PyObject* name) {
    return checked(PyObject_CallMethodObjArgs(obj, name, nullptr));
}

Result<Ref> call_method1(PyObject* obj, PyObject* name, PyObject* arg) {
    return checked(PyObject_CallMethodObjArgs(obj, name, arg, nullptr));
}

Result<Ref> new_str(std::string_view text) {
    return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

std::optional<std::string> try_str(PyObject* obj) {
    PyObject* s = PyObject_Str(obj);
    if (s == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    Ref owned = Ref::steal(s);
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (p == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string(p, static_cast<size_t>(n));
}

Result<std::string> utf8(PyObject* str) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(str, &n);
    if (p == nullptr) {
        return Error::fetch();
    }
    return std::string(p, static_cast<size_t>(n));
}

Result<bool> is_instance(PyObject* obj, PyObject* cls) {
    int rc = PyObject_IsInstance(obj, cls);
    if (rc < 0) {
        return Error::fetch();
    }
    return rc == 1;
}

// The conversions between Error and the interpreter's error indicator live
// with the process values because an internal failure travels through
// Python code as the panic type, which is one of them.

Error Error::fetch() {
    PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
    PyErr_Fetch(&t, &v, &tb);
    if (t == nullptr) {
        return QUENDLE_PANIC("an operation failed without setting an exception");
    }
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb != nullptr && v != nullptr) {
        PyException_SetTraceback(v, tb);
    }
    PyObject* panic = panic_type_if_created();
    if (panic != nullptr && PyErr_GivenExceptionMatches(t, panic)) {
        // Python code we called raised our internal-failure type: resume it
        // as an internal failure of our own.
        std::fprintf(stderr, "quendle: resuming an internal failure raised from Python code\n");
        std::fprintf(stderr, "Python stack trace below:\n");
        std::fflush(stderr);
        Ref value = Ref::borrow(v);
        PyErr_Restore(t, v, tb);
        PyErr_PrintEx(0);
        std::optional<std::string> text = try_str(value.get());
        Error e;
        e.kind_ = Kind::Panic;
        e.message_ = text ? *text : std::string("Unwrapped panic from Python code");
        return e;
    }
    Error e;
    e.kind_ = Kind::Python;
    e.type_ = Ref::steal(t);
    e.value_ = Ref::steal(v);
    e.traceback_ = Ref::steal(tb);
    return e;
}

namespace {

// The whole message, NUL characters included (a name may hold them), where
// PyErr_SetString would stop at the first.
void set_message(PyObject* type, const std::string& message) {
    Ref text = Ref::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "backslashreplace"));
    if (text) {
        PyErr_SetObject(type, text.get());
    }
}

}  // namespace

void Error::restore() && {
    switch (kind_) {
        case Kind::Builtin:
            set_message(builtin_type_, message_);
            return;
        case Kind::Python:
            PyErr_Restore(type_.release(), value_.release(), traceback_.release());
            return;
        case Kind::Panic: {
            Result<PyObject*> type = panic_type();
            if (!type.ok()) {
                // Could not even create the panic type: report what we have.
                std::move(type.take_error()).restore();
                return;
            }
            set_message(type.value(), message_);
            return;
        }
    }
}

}  // namespace quendle
