// What introspection tools read from a `QuendleDecorator`: the function it
// wraps (`__wrapped__`, which `inspect.signature` follows), its docstring,
// whether it is abstract, and a repr naming it.
#include "types/decorator.h"

#include "ops/async_call.h"

#include "base/heap_type.h"
#include "base/runtime.h"

namespace quendle {

namespace {

// Runs f(fields) with the decorator shared-borrowed, as every read does.
template <class F>
PyObject* read_fields(PyObject* self, F&& f) {
    return entry_object([&]() -> Result<Ref> {
        auto* dec = reinterpret_cast<DecoratorObject*>(self);
        Q_ASSIGN(Borrow b, Borrow::shared(dec->borrow, Conflict::Raise));
        if (dec->fields == nullptr) {
            return cleared_error("QuendleDecorator");
        }
        return f(*dec->fields);
    });
}

// `__doc__` of the type: the class itself has no docstring (None), while an
// instance gives the docstring of the function it wraps. A getset descriptor
// cannot do both, since reading it from the class gives the descriptor.
PyObject* doc_get(PyObject* /*descr*/, PyObject* obj, PyObject* /*type*/) {
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(Py_None);
    }
    return entry_object([&]() -> Result<Ref> {
        Q_ASSIGN(bool decorator, is_decorator(obj));
        if (!decorator) {
            return Ref::borrow(Py_None);
        }
        return Ref::steal(read_fields(obj, [](const DecoratorFields& f) -> Result<Ref> {
            Q_ASSIGN(Ref doc, optional_attr(f.func.get(), "__doc__"));
            return doc ? doc : Ref::borrow(Py_None);
        }));
    });
}

PyType_Slot doc_slots[] = {
    {Py_tp_descr_get, reinterpret_cast<void*>(doc_get)},
    {Py_tp_new, reinterpret_cast<void*>(refusing_new)},
    {0, nullptr},
};

PyType_Spec doc_spec{"builtins.QuendleDecoratorDoc", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, doc_slots};

// One of the helper's markers for a coroutine function; AttributeError for
// any other method, or where the interpreter has no such marker.
PyObject* coroutine_mark(PyObject* self, PyObject* ProcessValues::AsyncHelper::* which, const char* name) {
    return read_fields(self, [&](const DecoratorFields& f) -> Result<Ref> {
        if (f.is_async) {
            Q_ASSIGN(const ProcessValues::AsyncHelper* h, async_helper());
            if (h->*which != Py_None) {
                return Ref::borrow(h->*which);
            }
        }
        return Error::builtin(PyExc_AttributeError, std::string("'QuendleDecorator' object has no attribute '") +
                                                        name + "'");
    });
}

}  // namespace

PyObject* decorator_is_coroutine(PyObject* self, void*) {
    return coroutine_mark(self, &ProcessValues::AsyncHelper::is_coroutine, "_is_coroutine");
}

PyObject* decorator_coroutine_marker(PyObject* self, void*) {
    return coroutine_mark(self, &ProcessValues::AsyncHelper::marker, "_is_coroutine_marker");
}

PyObject* decorator_wrapped(PyObject* self, void*) {
    return read_fields(self, [](const DecoratorFields& f) -> Result<Ref> { return f.func; });
}

PyObject* decorator_function_attr(PyObject* self, void* closure) {
    const char* name = static_cast<const char*>(closure);
    Ref func = Ref::steal(decorator_wrapped(self, nullptr));
    if (!func) {
        return nullptr;
    }
    // Read with the decorator free: the function's attribute may run code.
    return entry_object([&]() -> Result<Ref> {
        Q_ASSIGN(Ref value, optional_attr(func.get(), name));
        if (!value) {
            return Error::builtin(PyExc_AttributeError,
                                  std::string("'QuendleDecorator' object has no attribute '") + name + "'");
        }
        return value;
    });
}

PyObject* decorator_isabstract(PyObject* self, void*) {
    return read_fields(self, [](const DecoratorFields& f) -> Result<Ref> {
        Q_ASSIGN(Ref flag, optional_attr(f.func.get(), "__isabstractmethod__"));
        if (!flag) {
            return bool_result(false);
        }
        int truth = PyObject_IsTrue(flag.get());
        if (truth < 0) {
            return Error::fetch();
        }
        return bool_result(truth != 0);
    });
}

PyObject* decorator_repr(PyObject* self) {
    return read_fields(self, [](const DecoratorFields& f) -> Result<Ref> {
        Q_ASSIGN(Ref qualname, optional_attr(f.func.get(), "__qualname__"));
        std::string shown = f.name;
        if (qualname && PyUnicode_Check(qualname.get())) {
            Q_ASSIGN(shown, utf8(qualname.get()));
        }
        return new_str("<quendled method " + shown + ">");
    });
}

Status install_decorator_doc(PyObject* type) {
    Q_ASSIGN(Ref doc_type, checked(PyType_FromSpec(&doc_spec)));
    auto* tp = reinterpret_cast<PyTypeObject*>(doc_type.get());
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
    Q_ASSIGN(Ref descr, checked(alloc(tp, 0)));
    return checked_status(PyObject_SetAttrString(type, "__doc__", descr.get()));
}

}  // namespace quendle
