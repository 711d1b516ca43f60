// The records of a pickled cache part as a pickler sees them: each wrapped
// in an object whose reduction names the entry (its method and key
// arguments) when pickling it fails, the labels that name an entry, and the
// note added to the exception of a failure.
#include "base/heap_type.h"
#include "base/key_text.h"
#include "ops/pickle_parts.h"

#include <utility>

namespace quendle {

// ------------------------------------------------------------- labels

// A record's key, or nullptr.
PyObject* record_key(PyObject* record) {
    return record != nullptr && PyTuple_Check(record) && PyTuple_Size(record) >= 1 ? PyTuple_GetItem(record, 0)
                                                                                   : nullptr;
}

namespace {

// --------------------------------------------- the reduction of a record

// A tuple type for the value a wrapped record's `__reduce_ex__` returns,
// `(tuple, (record,))`. A pickler drops that value as soon as it has saved
// it, or failed to: a finaliser that finds an exception in flight knows the
// record failed, and notes which entry it was.
void entry_reduce_finalize(PyObject* self) {
    PyObject* panic = panic_type_if_created();
    if (PyErr_Occurred() == nullptr || (panic != nullptr && PyErr_ExceptionMatches(panic))) {
        return;
    }
    Error error = Error::fetch();
    try {
        PyObject* args = PyTuple_Size(self) == 2 ? PyTuple_GetItem(self, 1) : nullptr;
        PyObject* record = args != nullptr && PyTuple_Check(args) && PyTuple_Size(args) == 1
                               ? PyTuple_GetItem(args, 0)
                               : nullptr;
        error = with_note(std::move(error), "while pickling the cache entry " + key_text(record_key(record)), WithoutNotes::Reworded);
    } catch (...) {
        PyErr_Clear();  // out of memory: the error goes on without its note
    }
    std::move(error).restore();
}

int entry_reduce_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    for (Py_ssize_t i = 0; i < PyTuple_Size(self); ++i) {
        Py_VISIT(PyTuple_GetItem(self, i));
    }
    return 0;
}

PyType_Slot entry_reduce_slots[] = {
    {Py_tp_finalize, reinterpret_cast<void*>(entry_reduce_finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(entry_reduce_traverse)},
    {0, nullptr},
};

PyType_Spec entry_reduce_spec{"builtins.QuendleEntryReduction", 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                              entry_reduce_slots};

OnceObject g_entry_reduce_type;

Result<PyObject*> entry_reduce_type() {
    if (PyObject* t = g_entry_reduce_type.peek()) {
        return t;
    }
    return g_entry_reduce_type.get([]() -> Result<Ref> {
        Q_ASSIGN(Ref bases, checked(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyTuple_Type))));
        return checked(PyType_FromSpecWithBases(&entry_reduce_spec, bases.get()));
    });
}

// ------------------------------------------------ the wrapped record

struct EntryRecordObject {
    PyObject_HEAD
    PyObject* record;  // owned; nullptr once cleared
};

EntryRecordObject* wrapped(PyObject* self) { return reinterpret_cast<EntryRecordObject*>(self); }

PyObject* entry_record_reduce_ex(PyObject* self, PyObject* /*protocol*/) {
    return entry_object([&]() -> Result<Ref> {
        PyObject* record = wrapped(self)->record;
        if (record == nullptr) {
            return cleared_error("QuendleCacheEntry");
        }
        Q_ASSIGN(PyObject * type, entry_reduce_type());
        Q_ASSIGN(Ref value, checked(Py_BuildValue("(O(O))", reinterpret_cast<PyObject*>(&PyTuple_Type), record)));
        return call1(type, value.get());
    });
}

int entry_record_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(wrapped(self)->record);
    return 0;
}

int entry_record_clear(PyObject* self) {
    Ref dead = Ref::steal(std::exchange(wrapped(self)->record, nullptr));
    return 0;
}

void entry_record_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    entry_record_clear(self);
    free_instance(self);
}

PyMethodDef entry_record_methods[] = {
    {"__reduce_ex__", entry_record_reduce_ex, METH_O, "__reduce_ex__($self, protocol, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot entry_record_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refusing_new)},
    {Py_tp_methods, entry_record_methods},
    {Py_tp_traverse, reinterpret_cast<void*>(entry_record_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(entry_record_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(entry_record_dealloc)},
    {0, nullptr},
};

PyType_Spec entry_record_spec{"builtins.QuendleCacheEntry", sizeof(EntryRecordObject), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, entry_record_slots};

OnceObject g_entry_record_type;
}  // namespace

Result<PyObject*> entry_record_type() {
    return create_type_on_use(g_entry_record_type, &entry_record_spec, "QuendleCacheEntry", false);
}

Result<Ref> wrap_record(Ref record) {
    Q_ASSIGN(PyObject * type, entry_record_type());
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
    Q_ASSIGN(Ref obj, checked(alloc(tp, 0)));
    wrapped(obj.get())->record = record.release();
    return obj;
}

PyObject* wrapped_record(PyObject* wrapper) { return wrapped(wrapper)->record; }

// --------------------------------------------------------------- notes

}  // namespace quendle
