#include "types/decorator.h"

#include "base/heap_type.h"
#include "base/hints.h"
#include "base/runtime.h"
#include "ops/async_call.h"
#include "ops/call_path.h"

#include <memory>

namespace quendle {

namespace {

// ------------------------------------------------------------- factories

const ArgSpec kQuendledNew{"__new__", "quendled", {"use_cache", "dependencies", "track_runtime_dependencies", "serialisable", "cutoff"}, 5, 0, false};
const ArgSpec kAutoNew{"__new__", "automagically_quendled", {"use_cache", "dependencies", "track_runtime_dependencies", "serialisable", "cutoff"}, 5, 0, false};
const ArgSpec kQuendledCall{"__call__", "quendled", {"func"}, 1, 1, false};
const ArgSpec kAutoCall{"__call__", "automagically_quendled", {"func"}, 1, 1, false};

Result<bool> optional_bool(PyObject* obj, bool fallback, const char* name) {
    if (obj == nullptr) {
        return fallback;
    }
    return noted(to_bool(obj), name);
}

// `cutoff`: None or False (none), True (equality) or a callable(old, new).
Result<Ref> cutoff_option(PyObject* obj) {
    if (obj == nullptr || obj == Py_None || obj == Py_False) {
        return Ref{};
    }
    if (obj == Py_True || PyCallable_Check(obj) != 0) {
        return Ref::borrow(obj);
    }
    return Error::type_error("cutoff must be None, True or a callable taking (old, new)");
}

Result<Ref> factory_new(PyTypeObject* type, PyObject* args, PyObject* kwargs, bool automagic) {
    Q_ASSIGN(BoundArgs bound, bind_arguments(automagic ? kAutoNew : kQuendledNew, args, kwargs));
    MethodOptions options;
    Result<bool> use_cache = optional_bool(bound.get(0), true, "use_cache");
    if (!use_cache.ok()) {
        return hint_factory_not_called(use_cache.take_error(), bound.get(0),
                                       automagic ? "automagically_quendled" : "quendled");
    }
    options.use_cache = use_cache.value();
    Q_ASSIGN(options.track_runtime_dependencies,
             optional_bool(bound.get(2), false, "track_runtime_dependencies"));
    Q_ASSIGN(options.serialisable, optional_bool(bound.get(3), false, "serialisable"));
    Q_ASSIGN(options.cutoff, cutoff_option(bound.get(4)));
    PyObject* deps = bound.get(1);
    if (deps != nullptr && deps != Py_None) {
        Q_ASSIGN(std::vector<DependencyDecl> parsed, parse_dependencies(deps));
        options.dependencies = std::move(parsed);
    } else if (!automagic) {
        options.dependencies.emplace();
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    Q_ASSIGN(Ref obj, checked(alloc(type, 0)));
    reinterpret_cast<FactoryObject*>(obj.get())->options = new MethodOptions(std::move(options));
    return obj;
}

PyObject* quendled_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return entry_object([&] { return factory_new(type, args, kwargs, false); });
}

PyObject* auto_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return entry_object([&] { return factory_new(type, args, kwargs, true); });
}

int factory_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    MethodOptions* o = reinterpret_cast<FactoryObject*>(self)->options;
    if (o != nullptr && o->dependencies) {
        for (const DependencyDecl& d : *o->dependencies) {
            Py_VISIT(d.kwargs.get());
        }
    }
    if (o != nullptr) {
        Py_VISIT(o->cutoff.get());
    }
    return 0;
}

int factory_clear(PyObject* self) {
    MethodOptions* o = std::exchange(reinterpret_cast<FactoryObject*>(self)->options, nullptr);
    delete o;
    return 0;
}

void factory_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    factory_clear(self);
    free_instance(self);
}

Result<std::vector<CallSignature>> dependency_signatures(const std::vector<DependencyDecl>& decls) {
    std::vector<CallSignature> out;
    out.reserve(decls.size());
    for (const DependencyDecl& d : decls) {
        Q_ASSIGN(CallSignature sig, query_signature(d.method_name, d.kwargs.get()));
        out.push_back(std::move(sig));
    }
    return out;
}

// A generator function's cached result would be one generator, spent after
// its first use and served again on every later call.
Status refuse_generator(PyObject* func, const std::string& name) {
    constexpr long kGenerator = 0x20, kAsyncGenerator = 0x200;
    PyObject* code = PyObject_GetAttrString(func, "__code__");
    if (code == nullptr) {
        PyErr_Clear();  // not a plain function: nothing to tell
        return {};
    }
    Ref owned = Ref::steal(code);
    Q_ASSIGN(Ref flags_obj, get_attr(code, "co_flags"));
    const long flags = PyLong_Check(flags_obj.get()) ? PyLong_AsLong(flags_obj.get()) : 0;
    if (flags == -1 && PyErr_Occurred()) {
        return Error::fetch();
    }
    if ((flags & (kGenerator | kAsyncGenerator)) == 0) {
        return {};
    }
    const char* kind = (flags & kGenerator) != 0 ? "generator" : "asynchronous generator";
    return Error::type_error(std::string("Cannot cache ") + kind + " function '" + name + "': its " + kind +
                             " is spent after the first use, and every later call would be served the same "
                             "one; return a list or tuple instead, or decorate with use_cache=False");
}

Result<Ref> decorate(PyObject* self, PyObject* args, PyObject* kwargs, bool automagic) {
    Q_ASSIGN(BoundArgs bound, bind_arguments(automagic ? kAutoCall : kQuendledCall, args, kwargs));
    PyObject* func = bound.get(0);
    const MethodOptions* maybe_options = reinterpret_cast<FactoryObject*>(self)->options;
    if (maybe_options == nullptr) {
        return cleared_error(automagic ? "automagically_quendled" : "quendled");
    }
    const MethodOptions& options = *maybe_options;
    Q_ASSIGN(const Names* n, names());
    auto fields = std::make_unique<DecoratorFields>();
    Q_ASSIGN(Ref name, get_attr(func, n->name));
    if (!PyUnicode_Check(name.get())) {
        return cast_error(name.get(), reinterpret_cast<PyObject*>(&PyUnicode_Type));
    }
    Q_ASSIGN(fields->name, utf8(name.get()));
    {
        Q_ASSIGN(Ref name_obj, new_str(fields->name));
        PyObject* interned = name_obj.release();
        PyUnicode_InternInPlace(&interned);
        fields->name_obj = Ref::steal(interned);
        Py_hash_t h = PyObject_Hash(interned);
        if (h == -1) {
            return Error::fetch();
        }
        fields->name_hash = static_cast<std::uint64_t>(h);
    }
    if (options.use_cache) {
        Q_TRY(refuse_generator(func, fields->name));
    }
    if (options.dependencies) {
        Q_ASSIGN(fields->dependencies, dependency_signatures(*options.dependencies));
    } else {
        Q_ASSIGN(std::vector<DependencyDecl> found, discover_dependencies(func));
        Q_ASSIGN(fields->dependencies, dependency_signatures(found));
    }
    if (options.serialisable) {
        Q_TRY(check_serialisable_signature(func));
    }
    fields->func = Ref::borrow(func);
    fields->descriptor_kind = wrapped_descriptor_kind(func);
    fields->use_cache = options.use_cache;
    fields->track_runtime_dependencies = options.track_runtime_dependencies;
    fields->serialisable = options.serialisable;
    fields->cutoff = options.cutoff;
    Q_ASSIGN(fields->is_async, is_coroutine_function(func));
    Q_ASSIGN(PyObject * type, decorator_type());
    auto tp = reinterpret_cast<PyTypeObject*>(type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
    Q_ASSIGN(Ref obj, checked(alloc(tp, 0)));
    auto* dec = reinterpret_cast<DecoratorObject*>(obj.get());
    dec->borrow = BorrowFlag{};
    dec->fields = fields.release();
#if QUENDLE_VECTORCALL
    dec->vectorcall = decorated_vectorcall;
#endif
    return obj;
}

PyObject* quendled_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry_object([&] { return decorate(self, args, kwargs, false); });
}

PyObject* auto_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry_object([&] { return decorate(self, args, kwargs, true); });
}

PyType_Slot quendled_slots[] = {
    {Py_tp_doc, const_cast<char*>("quendled(use_cache=True, dependencies=None, "
                                  "track_runtime_dependencies=False, serialisable=False, cutoff=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(quendled_new)},
    {Py_tp_call, reinterpret_cast<void*>(quendled_call)},
    {Py_tp_traverse, reinterpret_cast<void*>(factory_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(factory_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(factory_dealloc)},
    {0, nullptr},
};

PyType_Slot auto_slots[] = {
    {Py_tp_doc, const_cast<char*>("automagically_quendled(use_cache=True, dependencies=None, "
                                  "track_runtime_dependencies=False, serialisable=False, cutoff=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(auto_new)},
    {Py_tp_call, reinterpret_cast<void*>(auto_call)},
    {Py_tp_traverse, reinterpret_cast<void*>(factory_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(factory_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(factory_dealloc)},
    {0, nullptr},
};

PyType_Spec quendled_spec{"builtins.quendled", sizeof(FactoryObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, quendled_slots};
PyType_Spec auto_spec{"builtins.automagically_quendled", sizeof(FactoryObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, auto_slots};

// ------------------------------------------------------------ descriptor

PyObject* decorator_tp_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return decorated_call(reinterpret_cast<DecoratorObject*>(self), args, kwargs);
}

#if !QUENDLE_FREE_THREADING
PyObject* decorator_get_slow(PyObject* self, PyObject* obj) {
    return entry_object([&]() -> Result<Ref> {
        if (obj == nullptr || obj == Py_None) {
            return Ref::borrow(self);
        }
        Q_ASSIGN(PyObject * method_type_obj, method_type());
        Q_TRY(process().method_args.get([]() -> Result<Ref> {
            Q_ASSIGN(Ref spare, checked(PyTuple_Pack(2, Py_None, Py_None)));
            PyObject_GC_UnTrack(spare.get());  // never reachable from user code
            return spare;
        }));
        // MethodType(self, obj), straight through its constructor slot.
        auto* tp = reinterpret_cast<PyTypeObject*>(method_type_obj);
        auto make = reinterpret_cast<newfunc>(PyType_GetSlot(tp, Py_tp_new));
        Q_ASSIGN(Ref pair, checked(PyTuple_Pack(2, self, obj)));
        if (make == nullptr) {
            return checked(PyObject_Call(method_type_obj, pair.get(), nullptr));
        }
        return checked(make(tp, pair.get(), nullptr));
    });
}

// Fills the spare argument tuple with (self, obj) while the constructor runs
// and hands it back with None in both places. While it is out, its count is
// 2, so an access made meanwhile (a finaliser the allocation runs, another
// thread) packs a tuple of its own.
PyObject* construct_with_spare(newfunc make, PyTypeObject* tp, PyObject* spare, PyObject* self, PyObject* obj) {
    PyTuple_SetItem(spare, 0, Py_NewRef(self));
    PyTuple_SetItem(spare, 1, Py_NewRef(obj));
    Py_INCREF(spare);
    PyObject* bound = make(tp, spare, nullptr);
    Py_DECREF(spare);
    // The callers hold both objects, so releasing them here frees nothing.
    PyTuple_SetItem(spare, 0, Py_NewRef(Py_None));
    PyTuple_SetItem(spare, 1, Py_NewRef(Py_None));
    return bound;
}
#endif

// MethodType(self, obj) on every access to a method of an instance, straight
// through the type's constructor once it is known.
PyObject* decorator_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
#if QUENDLE_FREE_THREADING
    // No spare tuple to share between threads: the full API makes the bound method directly.
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
#else
    ProcessValues& p = process();
    PyObject* method_type_obj = p.method_type.peek();
    PyObject* spare = p.method_args.peek();
    if (obj == nullptr || obj == Py_None || method_type_obj == nullptr || spare == nullptr) {
        return decorator_get_slow(self, obj);
    }
    auto* tp = reinterpret_cast<PyTypeObject*>(method_type_obj);
    static const auto make = reinterpret_cast<newfunc>(PyType_GetSlot(tp, Py_tp_new));
    if (make == nullptr) {
        return decorator_get_slow(self, obj);
    }
    if (Py_REFCNT(spare) == 1) {
        return construct_with_spare(make, tp, spare, self, obj);
    }
    PyObject* pair = PyTuple_Pack(2, self, obj);
    if (pair == nullptr) {
        return nullptr;
    }
    PyObject* bound = make(tp, pair, nullptr);
    Py_DECREF(pair);
    return bound;
#endif
}

int decorator_set(PyObject* self, PyObject* /*obj*/, PyObject* value) {
    return entry_status([&]() -> Status {
        auto* dec = reinterpret_cast<DecoratorObject*>(self);
        Q_ASSIGN(Borrow b, Borrow::shared(dec->borrow, Conflict::Raise));
        if (value == nullptr) {
            return Error::builtin(PyExc_NotImplementedError, "can't delete descriptor");
        }
        return Error::type_error("Cannot assign to decorated method");
    });
}

PyObject* decorator_name(PyObject* self, void*) {
    return entry_object([&]() -> Result<Ref> {
        auto* dec = reinterpret_cast<DecoratorObject*>(self);
        Q_ASSIGN(Borrow b, Borrow::shared(dec->borrow, Conflict::Raise));
        if (dec->fields == nullptr) {
            return cleared_error("QuendleDecorator");
        }
        return new_str(dec->fields->name);
    });
}

int decorator_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    DecoratorFields* f = reinterpret_cast<DecoratorObject*>(self)->fields;
    if (f != nullptr) {
        Py_VISIT(f->func.get());
        Py_VISIT(f->known_class.get());
        Py_VISIT(f->passed_code.get());
        Py_VISIT(f->cutoff.get());
        for (const CallSignature& s : f->dependencies) {
            Py_VISIT(s.key.get());
        }
    }
    return 0;
}

int decorator_clear(PyObject* self) {
    auto* dec = reinterpret_cast<DecoratorObject*>(self);
    if (dec->borrow.value != 0) {
        return 0;  // in use: the references go when the object does
    }
    DecoratorFields* f = std::exchange(dec->fields, nullptr);
    delete f;
    return 0;
}

void decorator_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    DecoratorFields* f = std::exchange(reinterpret_cast<DecoratorObject*>(self)->fields, nullptr);
    delete f;
    free_instance(self);
}

PyGetSetDef decorator_getset[] = {
    {"__name__", decorator_name, nullptr, nullptr, nullptr},
    {"__qualname__", decorator_name, nullptr, nullptr, nullptr},
    {"__wrapped__", decorator_wrapped, nullptr, nullptr, nullptr},
    {"__isabstractmethod__", decorator_isabstract, nullptr, nullptr, nullptr},
    {"__code__", decorator_function_attr, nullptr, nullptr, const_cast<char*>("__code__")},
    {"__defaults__", decorator_function_attr, nullptr, nullptr, const_cast<char*>("__defaults__")},
    {"__kwdefaults__", decorator_function_attr, nullptr, nullptr, const_cast<char*>("__kwdefaults__")},
    {"__annotations__", decorator_function_attr, nullptr, nullptr, const_cast<char*>("__annotations__")},
    {"_is_coroutine", decorator_is_coroutine, nullptr, nullptr, nullptr},
    {"_is_coroutine_marker", decorator_coroutine_marker, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#if QUENDLE_VECTORCALL
PyMemberDef decorator_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(DecoratorObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
constexpr unsigned long kDecoratorVectorcall = Py_TPFLAGS_HAVE_VECTORCALL;
#else
constexpr unsigned long kDecoratorVectorcall = 0;
#endif

PyType_Slot decorator_slots[] = {
#if QUENDLE_VECTORCALL
    {Py_tp_members, decorator_members},
#endif
    {Py_tp_new, reinterpret_cast<void*>(refusing_new)},
    {Py_tp_call, reinterpret_cast<void*>(decorator_tp_call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(decorator_get)},
    {Py_tp_descr_set, reinterpret_cast<void*>(decorator_set)},
    {Py_tp_getset, decorator_getset},
    {Py_tp_repr, reinterpret_cast<void*>(decorator_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(decorator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(decorator_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(decorator_dealloc)},
    {0, nullptr},
};

// A data descriptor (it has `__set__`), so an entry of the same name in an
// instance's `__dict__` never hides the method. It deliberately does not
// claim to behave like an unbound method: the interpreter's method-call fast
// path would then look in the instance dict first. Calls through vectorcall
// (the 3.12 build) build no argument tuple.
PyType_Spec decorator_spec{"builtins.QuendleDecorator", sizeof(DecoratorObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | kDecoratorVectorcall, decorator_slots};

}  // namespace

Result<PyObject*> quendled_type() { return create_type_on_use(process().quendled_type, &quendled_spec, "quendled", false); }

Result<PyObject*> automagically_quendled_type() {
    return create_type_on_use(process().automagically_quendled_type, &auto_spec, "automagically_quendled", false);
}

Result<PyObject*> decorator_type() {
    return create_type_on_use(process().decorator_type, &decorator_spec, "QuendleDecorator", true,
                              install_decorator_doc);
}

}  // namespace quendle
