#include "base/binding.h"
#include "cache/cache_state.h"
#include "ops/cross_instance_api.h"
#include "ops/defaults_warning.h"
#include "ops/explain.h"
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
    Q_ASSIGN(Ref func, checked(PyCFunction_NewEx(&custom_scenario_def, module, module_name.get())));
    Q_ASSIGN(const Names* n, names());
    Q_ASSIGN(Ref func_name, get_attr(func.get(), n->name));
    if (!PyUnicode_Check(func_name.get())) {
        return cast_error(func_name.get(), reinterpret_cast<PyObject*>(&PyUnicode_Type));
    }
    Q_TRY(register_member(module, func_name.get(), func.get()));
    // The view of an instance's cross-instance edges; outside `__all__`.
    Q_ASSIGN(Ref edges, checked(PyCFunction_NewEx(&cross_instance_edges_def, module, module_name.get())));
    Q_TRY(checked_status(PyObject_SetAttrString(module, cross_instance_edges_def.ml_name, edges.get())));
    // The project version from pyproject.toml (CMakeLists.txt defines it); outside `__all__`.
    Q_TRY(checked_status(PyModule_AddStringConstant(module, "__version__", QUENDLE_VERSION)));
    // A module attribute outside `__all__`, so no name a user gives a method is taken.
    Q_ASSIGN(Ref explain, checked(PyCFunction_NewEx(&explain_def, module, module_name.get())));
    Q_TRY(checked_status(PyObject_SetAttrString(module, explain_def.ml_name, explain.get())));
    // The state setter that pickled instances name, outside `__all__`.
    Q_ASSIGN(Ref restore, checked(PyCFunction_NewEx(&restore_instance_def, module, module_name.get())));
    Q_TRY(checked_status(PyObject_SetAttrString(module, restore_instance_def.ml_name, restore.get())));
    // What pickled instances call for the tokens naming instances others depend on, outside `__all__`.
    Q_ASSIGN(Ref token, checked(PyCFunction_NewEx(&instance_token_def, module, module_name.get())));
    Q_TRY(checked_status(PyObject_SetAttrString(module, instance_token_def.ml_name, token.get())));
    // The warning for a method never cached because its dependency binds no defaults, outside `__all__`.
    Q_ASSIGN(PyObject * warning, dependency_defaults_warning_type());
    Q_TRY(checked_status(PyObject_SetAttrString(module, "DependencyDefaultsWarning", warning)));
    Q_TRY(register_fork_handler(module));
#ifdef QUENDLE_INVARIANTS
    // Builds with the state checks carry their debugging function, outside `__all__`.
    Q_ASSIGN(Ref check, checked(PyCFunction_NewEx(&check_invariants_def, module, module_name.get())));
    Q_TRY(checked_status(PyObject_SetAttrString(module, check_invariants_def.ml_name, check.get())));
#endif
    return {};
}

int quendle_exec(PyObject* module) {
    return entry_status([&] { return exec_module(module); });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(quendle_exec)},
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
