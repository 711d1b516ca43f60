#include "base/binding.h"
#include "cache/cache_state.h"
#include "ops/cross_instance_api.h"
#include "ops/defaults_warning.h"
#include "ops/explain.h"
#include "ops/observe.h"
#include "ops/pickling.h"
#include "ops/scenario.h"
#include "types/decorator.h"
#include "types/quendle_base.h"

// A build for the debug interpreter (QUENDLE_DEBUG_PYTHON) that found the release
// headers would count references as a release build does: it stops here instead.
#if defined(QUENDLE_DEBUG_PYTHON) && !defined(Py_DEBUG)
#error "QUENDLE_DEBUG_PYTHON is set but Python.h does not define Py_DEBUG: the release headers were found"
#endif

namespace quendle {

namespace {

Status register_member(PyObject* module, PyObject* name, PyObject* value) {
    Q_ASSIGN(const Names* n, names());
    PyObject* all = PyObject_GetAttr(module, n->all);
    Ref list;
    if (all == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return Error::fetch();
        }
        PyErr_Clear();
        Q_ASSIGN(list, checked(PyList_New(0)));
        Q_TRY(checked_status(PyObject_SetAttr(module, n->all, list.get())));
    } else {
        list = Ref::steal(all);
        if (!PyList_Check(list.get())) {
            return cast_error(list.get(), reinterpret_cast<PyObject*>(&PyList_Type));
        }
    }
    if (PyList_Append(list.get(), name) < 0) {
        PyErr_Clear();
        return QUENDLE_PANIC("could not append __name__ to __all__");
    }
    return checked_status(PyObject_SetAttr(module, name, value));
}

enum class Listed : bool {
    No,
    InAll,
};

// Adds the module function `def`, listed in `__all__` or not.
Status add_function(PyObject* module, PyObject* module_name, PyMethodDef& def, Listed listed) {
    Q_ASSIGN(Ref func, checked(PyCFunction_NewEx(&def, module, module_name)));
    Q_ASSIGN(Ref name, new_str(def.ml_name));
    if (listed == Listed::InAll) {
        return register_member(module, name.get(), func.get());
    }
    return checked_status(PyObject_SetAttr(module, name.get(), func.get()));
}

Status exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        return cast_error(module, reinterpret_cast<PyObject*>(&PyModule_Type));
    }
    struct TypeEntry {
        const char* name;
        Result<PyObject*> (*get)();
    };
    const TypeEntry types[] = {
        {"QuendleBase", make_quendle_base_type},
        {"quendled", quendled_type},
        {"automagically_quendled", automagically_quendled_type},
    };
    for (const TypeEntry& t : types) {
        Q_ASSIGN(PyObject * type, t.get());
        Q_ASSIGN(Ref name, new_str(t.name));
        Q_TRY(register_member(module, name.get(), type));
    }
    Q_ASSIGN(Ref module_name, checked(PyModule_GetNameObject(module)));
    Q_TRY(add_function(module, module_name.get(), custom_scenario_def, Listed::InAll));
    // Module attributes outside `__all__`, so that no name a user gives a
    // method is taken: the view of an instance's cross-instance edges, the
    // explanation of an entry's state, the state setter that pickled
    // instances name and what they call for the tokens of instances others
    // depend on, the counters and traces of a model (and, in builds with the
    // state checks, their check).
    PyMethodDef* const unlisted[] = {
        &cross_instance_edges_def,
        &explain_def,
        &restore_instance_def,
        &instance_token_def,
        &cache_info_def,
        &trace_def,
#ifdef QUENDLE_INVARIANTS
        &check_invariants_def,
#endif
    };
    for (PyMethodDef* def : unlisted) {
        Q_TRY(add_function(module, module_name.get(), *def, Listed::No));
    }
    // The project version from pyproject.toml (CMakeLists.txt defines it).
    Q_TRY(checked_status(PyModule_AddStringConstant(module, "__version__", QUENDLE_VERSION)));
    // The warning for a method never cached because its dependency binds no defaults.
    Q_ASSIGN(PyObject * warning, dependency_defaults_warning_type());
    Q_TRY(checked_status(PyObject_SetAttrString(module, "DependencyDefaultsWarning", warning)));
    // Counters and traces, outside `__all__`.
    Q_TRY(register_observe_types(module));
    Q_TRY(register_fork_handler(module));
    return {};
}

int quendle_exec(PyObject* module) {
    return entry_status([&] { return exec_module(module); });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(quendle_exec)},
#if QUENDLE_FREE_THREADING
    // Nothing relies on the interpreter lock (base/borrow.h): importing the
    // module leaves a free-threaded interpreter without it.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "quendle",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace quendle

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_quendle(void) {
    return PyModuleDef_Init(&quendle::module_definition);
}
