// The coordination of shared asynchronous computations: a computation that
// suspends runs on in a task of its event loop, and every awaiter of its key
// on that loop waits for the task through a future of its own, so that
// cancelling one awaiter leaves the others' computation running. This is a
// few lines of Python, compiled once; the call path itself stays native.
#include "ops/async_call.h"

namespace quendle {

namespace {

constexpr const char* kSource = R"PY(
import asyncio
import inspect

def running_loop():
    try:
        return asyncio.get_running_loop()
    except RuntimeError:
        return None

class Computation:
    __slots__ = ("task", "waiters", "abandoned")

    def __init__(self, loop, driver):
        self.waiters = 0
        self.abandoned = False
        self.task = loop.create_task(driver)

def join(computation):
    if computation.abandoned:
        return None
    return _wait(computation)

async def _wait(computation):
    task = computation.task
    if task.done():
        return task.result()
    waiter = task.get_loop().create_future()

    def relay(done):
        if waiter.done():
            return
        if done.cancelled():
            waiter.cancel()
        elif done.exception() is not None:
            waiter.set_exception(done.exception())
        else:
            waiter.set_result(done.result())

    task.add_done_callback(relay)
    computation.waiters += 1
    try:
        return await waiter
    finally:
        computation.waiters -= 1
        task.remove_done_callback(relay)
        if computation.waiters == 0 and not task.done():
            computation.abandoned = True
            if not task.get_loop().is_closed():
                task.cancel()

is_coroutine = getattr(asyncio.coroutines, "_is_coroutine", None)
marker = None
if hasattr(inspect, "markcoroutinefunction"):
    marker = inspect.markcoroutinefunction(lambda: None)._is_coroutine_marker
)PY";

Result<PyObject*> item(PyObject* globals, const char* name) {
    PyObject* v = PyDict_GetItemString(globals, name);
    if (v == nullptr) {
        return QUENDLE_PANIC(std::string("the asynchronous helper lacks ") + name);
    }
    return v;
}

Result<Ref> make_helper() {
    Q_ASSIGN(Ref globals, checked(PyDict_New()));
    Q_ASSIGN(Ref builtins, import_module("builtins"));
    Q_TRY(checked_status(PyDict_SetItemString(globals.get(), "__builtins__", builtins.get())));
    Q_TRY(checked_status(PyDict_SetItemString(globals.get(), "__name__", Py_None)));
    Q_ASSIGN(Ref code, checked(Py_CompileString(kSource, "<quendle async>", Py_file_input)));
    Q_ASSIGN(Ref done, checked(PyEval_EvalCode(code.get(), globals.get(), globals.get())));
    ProcessValues::AsyncHelper& h = process().async;
    Q_ASSIGN(h.running_loop, item(globals.get(), "running_loop"));
    Q_ASSIGN(h.computation, item(globals.get(), "Computation"));
    Q_ASSIGN(h.join, item(globals.get(), "join"));
    Q_ASSIGN(h.is_coroutine, item(globals.get(), "is_coroutine"));
    Q_ASSIGN(h.marker, item(globals.get(), "marker"));
    return globals;
}

}  // namespace

Result<const ProcessValues::AsyncHelper*> async_helper() {
    if (process().async_helper.peek() == nullptr) {
        Q_TRY(process().async_helper.get(make_helper));
    }
    return &process().async;
}

}  // namespace quendle
