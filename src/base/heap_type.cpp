#include "base/heap_type.h"

namespace quendle {

Result<PyObject*> create_type_on_use(OnceObject& cell, PyType_Spec* spec, const char* class_name,
                                     bool report_unraisable, Status (*finish)(PyObject*)) {
    if (PyObject* t = cell.peek()) {
        return t;
    }
    Result<PyObject*> r = cell.get([&]() -> Result<Ref> {
        Q_ASSIGN(Ref type, checked(PyType_FromSpec(spec)));
        if (finish != nullptr) {
            Q_TRY(finish(type.get()));
        }
        return type;
    });
    if (r.ok() || !report_unraisable) {
        return r;
    }
    std::move(r.take_error()).restore();
    PyErr_WriteUnraisable(nullptr);
    return QUENDLE_PANIC(std::string("failed to create type object for `") + class_name + "`");
}

PyObject* refusing_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
    return entry_object([&]() -> Result<Ref> {
        auto part = [&](const char* attr) {
            PyObject* v = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), attr);
            if (v == nullptr) {
                PyErr_Clear();
                return std::string("<unknown>");
            }
            Ref owned = Ref::steal(v);
            std::optional<std::string> s = try_str(v);
            return s ? *s : std::string("<unknown>");
        };
        return Error::type_error("cannot create '" + part("__module__") + "." + part("__qualname__") +
                                 "' instances");
    });
}

void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

}  // namespace quendle
