#include "ops/scenario.h"

#include "base/heap_type.h"
#include "cache/cross_instance.h"
#include "cache/instance_access.h"
#include "cache/objects.h"

#include <atomic>
#include <memory>

namespace quendle {

namespace {

struct ScenarioObject {
    PyObject_HEAD
    std::vector<Ref>* items;
    BorrowFlag borrow;
};

const ArgSpec kCustomScenario{"custom_scenario", nullptr, {"items"}, 1, 1, false};
const ArgSpec kExit{"__exit__", "Scenario", {"_exc_type", "_exc_value", "_traceback"}, 3, 3, false};

const char kWrongItem[] = "custom_scenario() expects items to inherit from QuendleBase";

ScenarioObject* scenario(PyObject* self) { return reinterpret_cast<ScenarioObject*>(self); }

// Runs `step` on the state of every item, first to last, each under its
// own exclusive borrow; stops at the first item that is not a QuendleBase
// or whose step fails. What earlier items did stays done.
template <class Step>
Status for_each_item(PyObject* self, Step&& step) {
    Q_ASSIGN(Borrow sb, Borrow::shared(scenario(self)->borrow, Conflict::Panic));
    Q_ASSIGN(PyObject * base_type, quendle_base_type());
    // A copy of the list keeps the items alive even if the scenario is cleared meanwhile.
    std::vector<Ref> items = *scenario(self)->items;
    for (const Ref& item : items) {
        if (!PyObject_TypeCheck(item.get(), reinterpret_cast<PyTypeObject*>(base_type))) {
            return Error::type_error(kWrongItem);
        }
        auto* inst = reinterpret_cast<QuendleBaseObject*>(item.get());
        Q_ASSIGN(ExclusiveAccess access, ExclusiveAccess::take(inst->borrow, Conflict::Panic));
        Q_ASSIGN(CacheState * state, state_of(inst));
        Q_TRY(step(inst, *state, access.dead()));
    }
    return {};
}

// The number of the last scenario entry, process-wide (see Layer::stamp).
std::atomic<std::uint64_t> g_last_entry{0};

Result<Ref> enter_scenario(PyObject* self) {
    const std::uint64_t stamp = g_last_entry.fetch_add(1, std::memory_order_relaxed) + 1;
    const unsigned long thread = PyThread_get_thread_ident();
    Q_TRY(for_each_item(self, [&](QuendleBaseObject* inst, CacheState& state, Graveyard&) -> Status {
        state.push_layer(stamp);
        inst->borrow.enter_layer(thread);
        return {};
    }));
    return Ref::borrow(self);
}

Result<Ref> exit_scenario(PyObject* self, PyObject* args, PyObject* kwargs) {
    Q_ASSIGN(BoundArgs bound, bind_arguments(kExit, args, kwargs));
    // A scenario belongs to the thread that entered it: another thread
    // would wait for its exit for ever.
    const unsigned long thread = PyThread_get_thread_ident();
    for (const Ref& item : *scenario(self)->items) {
        Q_ASSIGN(PyObject * base_type, quendle_base_type());
        if (PyObject_TypeCheck(item.get(), reinterpret_cast<PyTypeObject*>(base_type)) &&
            reinterpret_cast<QuendleBaseObject*>(item.get())->borrow.foreign_layers(thread)) {
            return Error::runtime_error("A scenario is exited on the thread that entered it");
        }
    }
    // Dependants elsewhere of what the layers changed are invalidated once
    // every item has its layer popped.
    CrossTargets targets;
    Status popped = for_each_item(self, [&](QuendleBaseObject* inst, CacheState& state, Graveyard& dead) -> Status {
        if (state.layers().empty()) {
            return Error::runtime_error("Attempted to remove non existant layer");
        }
        cross_before_pop(inst, state, targets);
        state.pop_layer(dead);
        inst->borrow.leave_layer();
        return {};
    });
    Q_TRY(invalidate_cross_targets(std::move(targets)));
    Q_TRY(std::move(popped));
    return bool_result(false);
}

PyObject* scenario_enter(PyObject* self, PyObject*) {
    return entry_object([&] { return enter_scenario(self); });
}

PyObject* scenario_exit(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry_object([&] { return exit_scenario(self, args, kwargs); });
}

int scenario_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (std::vector<Ref>* items = scenario(self)->items) {
        for (const Ref& r : *items) {
            Py_VISIT(r.get());
        }
    }
    return 0;
}

int scenario_clear(PyObject* self) {
    ScenarioObject* s = scenario(self);
    if (s->items == nullptr || s->borrow.value != 0) {
        return 0;
    }
    // Empty the list in place before the references go, so the object stays usable.
    std::vector<Ref> dead;
    dead.swap(*s->items);
    return 0;
}

void scenario_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    delete std::exchange(scenario(self)->items, nullptr);
    free_instance(self);
}

PyMethodDef scenario_methods[] = {
    {"__enter__", scenario_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(scenario_exit)),
     METH_VARARGS | METH_KEYWORDS, "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot scenario_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refusing_new)},
    {Py_tp_methods, scenario_methods},
    {Py_tp_traverse, reinterpret_cast<void*>(scenario_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(scenario_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(scenario_dealloc)},
    {0, nullptr},
};

PyType_Spec scenario_spec{"builtins.Scenario", sizeof(ScenarioObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, scenario_slots};

OnceObject g_scenario_type;

Result<Ref> custom_scenario(PyObject* args, PyObject* kwargs) {
    Q_ASSIGN(BoundArgs bound, bind_arguments(kCustomScenario, args, kwargs));
    Q_ASSIGN(std::vector<Ref> items, noted(to_object_sequence(bound.get(0)), "items"));
    auto owned = std::make_unique<std::vector<Ref>>(std::move(items));
    Q_ASSIGN(PyObject * type, scenario_type());
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
    Q_ASSIGN(Ref obj, checked(alloc(tp, 0)));
    scenario(obj.get())->borrow = BorrowFlag{};
    scenario(obj.get())->items = owned.release();
    return obj;
}

PyObject* custom_scenario_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
    return entry_object([&] { return custom_scenario(args, kwargs); });
}

}  // namespace

PyMethodDef custom_scenario_def = {
    "custom_scenario", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(custom_scenario_entry)),
    METH_VARARGS | METH_KEYWORDS, "custom_scenario(items)\n--\n\n"};

Result<PyObject*> scenario_type() {
    return create_type_on_use(g_scenario_type, &scenario_spec, "Scenario", true);
}

}  // namespace quendle
