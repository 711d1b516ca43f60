// Process-wide values: created once, on first need, and kept for the life of
// the process as deliberately immortal raw pointers (a static owning handle
// would release after the interpreter is gone).
#pragma once

#include "base/result.h"
#include "base/thread_exit.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace quendle {

// A once-guarded slot for one process-wide object. Creation runs with the
// interpreter lock held and may run Python code, which can let another thread
// in; that thread waits with the lock released, so the two cannot deadlock.
// A failed creation leaves the slot empty, to be tried again later.
class OnceObject {
public:
    template <class Make>
    Result<PyObject*> get(Make&& make) {
        for (;;) {
            PyObject* v = value_.load(std::memory_order_acquire);
            if (v != nullptr) {
                return v;
            }
            unsigned long me = PyThread_get_thread_ident();
            unsigned long expected = 0;
            if (owner_.compare_exchange_strong(expected, me)) {
                Result<Ref> made = make();
                std::lock_guard<std::mutex> lock(mutex_);
                owner_.store(0);
                if (made.ok()) {
                    value_.store(made.take().release(), std::memory_order_release);
                    cv_.notify_all();
                    return value_.load();
                }
                cv_.notify_all();
                return made.take_error();
            }
            if (expected == me) {
                return QUENDLE_PANIC("recursive initialisation of a process-wide value");
            }
            with_lock_released([this] {
                std::unique_lock<std::mutex> lock(mutex_);
                cv_.wait(lock, [this] { return owner_.load() == 0; });
            });
        }
    }
    [[nodiscard]] PyObject* peek() const noexcept { return value_.load(std::memory_order_acquire); }

private:
    std::atomic<PyObject*> value_{nullptr};
    std::atomic<unsigned long> owner_{0};
    std::mutex mutex_;
    std::condition_variable cv_;
};

// Interned attribute names used on hot paths.
struct Names {
    PyObject* name;          // "__name__"
    PyObject* qualname;      // "__qualname__"
    PyObject* module;        // "__module__"
    PyObject* all;           // "__all__"
    PyObject* add_note;      // "add_note"
    PyObject* signature;     // "signature"
    PyObject* bind;          // "bind"
    PyObject* apply_defaults;// "apply_defaults"
    PyObject* arguments;     // "arguments"
    PyObject* parameters;    // "parameters"
    PyObject* mro;           // "__mro__"
    PyObject* dict;          // "__dict__"
    PyObject* bool_;         // "__bool__"
    PyObject* self;          // "self"
    PyObject* code;          // "__code__"
    PyObject* defaults;      // "__defaults__"
    PyObject* kwdefaults;    // "__kwdefaults__"
    PyObject* wrapped;       // "__wrapped__"
    PyObject* signature_attr;        // "__signature__"
    PyObject* text_signature;        // "__text_signature__"
    PyObject* partialmethod;         // "__partialmethod__"
    PyObject* partialmethod_private; // "_partialmethod"
};

// One attribute of plain functions, read through the function type's own
// descriptor (the type's dict cannot change), skipping the generic lookup.
struct FunctionAttr {
    PyObject* descr = nullptr;
    descrgetfunc get = nullptr;
};

// Every value the module keeps for the life of the process, in one place.
// Cells are filled once, on first need, and their objects are deliberately
// immortal. Only the module's own objects (types, interned names, imported
// modules and their attributes fixed at import) live here; attributes users
// may patch (`inspect.getsource`, `ast.parse`) are read on every use.
struct ProcessValues {
    // Interned names (the cell holds a marker once `names` is filled).
    OnceObject names_cell;
    Names names{};
    // `native_runtime.PanicException`.
    OnceObject panic_type;
    // Imported modules and objects.
    OnceObject inspect, keyword_iskeyword, ast, textwrap, builtins;
    OnceObject sequence_abc;   // collections.abc.Sequence
    OnceObject method_type;    // types.MethodType
    // A spare 2-tuple for the arguments of MethodType(decorator, instance),
    // untracked by the collector; its items are None while it is idle.
    OnceObject method_args;
    OnceObject function_type;  // types.FunctionType
    // `__code__`, `__defaults__` and `__kwdefaults__` of plain functions,
    // set (in this order, `code` last) by the native binder's first use.
    FunctionAttr code_attr, defaults_attr, kwdefaults_attr;
    std::atomic<PyObject*> function_type_ready{nullptr};
    // Whether the native binder's tuple hash agrees with this interpreter's:
    // -1 not known yet, 0 no, 1 yes.
    std::atomic<Tri> hash_agrees{Tri::Undecided};
    // The module's heap types, made on first use.
    OnceObject quendled_type, automagically_quendled_type, decorator_type, base_type, scenario_type;
    OnceObject awaitable_type;
    // The coordination helper of asynchronous methods (its globals), and
    // the objects read from it, filled before the cell is.
    OnceObject async_helper;
    struct AsyncHelper {
        PyObject* running_loop;  // running_loop(): the running asyncio loop, or None
        PyObject* computation;   // Computation(loop, driver): runs driver in a task
        PyObject* join;          // join(computation): an awaitable of its result, or None
        PyObject* is_coroutine;  // what asyncio.iscoroutinefunction looks for, or None
        PyObject* marker;        // what inspect.iscoroutinefunction looks for (3.12+), or None
    } async{};
};

namespace detail {
extern ProcessValues g_process;  // defined in runtime.cpp; read through process()
}  // namespace detail
inline ProcessValues& process() noexcept { return detail::g_process; }

// The interned names; fails only if the interpreter is out of memory.
Result<const Names*> names();

// The internal-failure exception type `native_runtime.PanicException`.
Result<PyObject*> panic_type();
// The panic type if it was already created, else nullptr.
PyObject* panic_type_if_created() noexcept;

// `collections.abc.Sequence`, imported once.
Result<PyObject*> sequence_abc();

// `types.MethodType`, fetched once.
Result<PyObject*> method_type();

// A module imported once into `cell` and kept.
Result<PyObject*> imported_module(OnceObject& cell, const char* name);

// Imports a module through the normal import machinery.
Result<Ref> import_module(const char* name);

// Attribute helpers returning new references.
Result<Ref> get_attr(PyObject* obj, PyObject* name);
Result<Ref> get_attr(PyObject* obj, const char* name);
// The attribute, or an empty handle when there is none (AttributeError);
// any other failure is an error.
Result<Ref> optional_attr(PyObject* obj, PyObject* name);
Result<Ref> optional_attr(PyObject* obj, const char* name);

// Calls helpers.
Result<Ref> call0(PyObject* callable);
Result<Ref> call1(PyObject* callable, PyObject* arg);
Result<Ref> call2(PyObject* callable, PyObject* a, PyObject* b);
Result<Ref> call_method0(PyObject* obj, PyObject* name);
Result<Ref> call_method1(PyObject* obj, PyObject* name, PyObject* arg);

// Text helpers.
Result<Ref> new_str(std::string_view text);
// `str(obj)` as UTF-8, or nothing (with no exception set) when that fails.
std::optional<std::string> try_str(PyObject* obj);
// The UTF-8 text of a `str` object.
Result<std::string> utf8(PyObject* str);

// RecursionError when the calling thread's C stack is nearly used up: a
// deep recursion through decorated methods ends in an exception, never in a
// crash, whatever recursion limit the user set.
Status check_stack_depth();

// isinstance(obj, cls) as a Result.
Result<bool> is_instance(PyObject* obj, PyObject* cls);

}  // namespace quendle
