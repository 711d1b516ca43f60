#include "ops/observe.h"

#include "base/heap_type.h"
#include "cache/objects.h"
#include "ops/explain.h"

#include <optional>
#include <utility>

namespace quendle {

namespace {

OnceObject g_cache_info_type;
OnceObject g_trace_event_type;
OnceObject g_trace_type;

Result<PyObject*> named_tuple_type(OnceObject& cell, const char* name, const char* fields) {
    return cell.get([&]() -> Result<Ref> {
        Q_ASSIGN(Ref collections, import_module("collections"));
        Q_ASSIGN(Ref factory, get_attr(collections.get(), "namedtuple"));
        Q_ASSIGN(Ref type_name, new_str(name));
        Q_ASSIGN(Ref field_names, new_str(fields));
        Q_ASSIGN(Ref args, checked(PyTuple_Pack(2, type_name.get(), field_names.get())));
        Q_ASSIGN(Ref kwargs, checked(PyDict_New()));
        Q_ASSIGN(Ref module, new_str("quendle"));
        Q_TRY(checked_status(PyDict_SetItemString(kwargs.get(), "module", module.get())));
        return checked(PyObject_Call(factory.get(), args.get(), kwargs.get()));
    });
}

Result<PyObject*> cache_info_type() {
    return named_tuple_type(g_cache_info_type, "CacheInfo", "hits runs unchanged revalidated invalidations entries");
}

Result<PyObject*> trace_event_type() {
    return named_tuple_type(g_trace_event_type, "TraceEvent", "kind instance label cause");
}

// ------------------------------------------------------------- cache_info

const ArgSpec kCacheInfo{"cache_info", nullptr, {"instance"}, 1, 1, false};

// The names of the decorated methods of a class, bases first, each once at
// its first definition.
Result<std::vector<Ref>> method_order(PyObject* cls) {
    Q_ASSIGN(const Names* n, names());
    Q_ASSIGN(Ref mro, get_attr(cls, n->mro));
    Q_ASSIGN(std::vector<Ref> classes, to_object_sequence(mro.get()));
    Q_ASSIGN(Ref seen, checked(PySet_New(nullptr)));
    std::vector<Ref> out;
    for (auto it = classes.rbegin(); it != classes.rend(); ++it) {
        Q_ASSIGN(Ref dict, get_attr(it->get(), n->dict));
        Q_ASSIGN(Ref items, checked(PyObject_CallMethod(dict.get(), "items", nullptr)));
        Q_ASSIGN(Ref list, checked(PySequence_List(items.get())));
        Q_ASSIGN(std::vector<Ref> pairs, to_object_sequence(list.get()));
        for (const Ref& pair : pairs) {
            if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2) {
                continue;
            }
            PyObject* name = PyTuple_GetItem(pair.get(), 0);
            Q_ASSIGN(bool decorated, is_decorator(PyTuple_GetItem(pair.get(), 1)));
            if (!decorated || !PyUnicode_CheckExact(name)) {
                continue;
            }
            const int present = PySet_Contains(seen.get(), name);
            if (present < 0) {
                return Error::fetch();
            }
            if (present == 0) {
                Q_TRY(checked_status(PySet_Add(seen.get(), name)));
                out.push_back(Ref::borrow(name));
            }
        }
    }
    return out;
}

struct MethodInfo {
    Ref name;
    MethodCounts counts;
    std::uint64_t entries = 0;
};

// The counters of every method with a key, under the instance's shared borrow.
Result<std::vector<MethodInfo>> read_counts(QuendleBaseObject* inst) {
    Q_ASSIGN(Borrow b, Borrow::shared(inst->borrow, Conflict::Raise, Share::Recorded));
    Q_ASSIGN(const CacheState* state, state_of(inst));
    const CallCounters& c = state->counters();
    std::vector<MethodInfo> out(c.methods());
    for (size_t s = 0; s < c.methods(); ++s) {
        out[s].name = Ref::borrow(state->keys().method(c.first_key(s)));
        out[s].counts = c.counts(s);
    }
    for (CacheKey k = 0; k < state->next_key(); ++k) {
        if (state->has_value(k)) {
            ++out[c.slot(k)].entries;
        }
    }
    return out;
}

Result<Ref> info_tuple(const MethodInfo& m) {
    Q_ASSIGN(PyObject * type, cache_info_type());
    const std::uint64_t values[] = {m.counts.hits, m.counts.runs, m.counts.unchanged,
                                    m.counts.revalidated, m.counts.invalidations, m.entries};
    Q_ASSIGN(Ref args, checked(PyTuple_New(6)));
    for (Py_ssize_t i = 0; i < 6; ++i) {
        Q_ASSIGN(Ref v, checked(PyLong_FromUnsignedLongLong(values[i])));
        PyTuple_SetItem(args.get(), i, v.release());
    }
    return checked(PyObject_Call(type, args.get(), nullptr));
}

Result<Ref> cache_info(PyObject* args, PyObject* kwargs) {
    Q_ASSIGN(BoundArgs bound, bind_arguments(kCacheInfo, args, kwargs));
    PyObject* obj = bound.get(0);
    Result<QuendleBaseObject*> inst = as_quendle_base(obj);
    if (!inst.ok()) {
        return Error::type_error("cache_info() expects a QuendleBase instance");
    }
    Q_ASSIGN(std::vector<Ref> order, method_order(reinterpret_cast<PyObject*>(Py_TYPE(obj))));
    Q_ASSIGN(std::vector<MethodInfo> infos, read_counts(inst.value()));
    Q_ASSIGN(Ref dict, checked(PyDict_New()));
    MethodInfo zero;
    for (const Ref& name : order) {
        const MethodInfo* found = &zero;
        for (const MethodInfo& m : infos) {
            if (PyUnicode_Compare(m.name.get(), name.get()) == 0) {
                found = &m;
                break;
            }
        }
        Q_ASSIGN(Ref t, info_tuple(*found));
        Q_TRY(checked_status(PyDict_SetItem(dict.get(), name.get(), t.get())));
    }
    // Methods called on the instance through another class come last.
    for (const MethodInfo& m : infos) {
        const int present = PyDict_Contains(dict.get(), m.name.get());
        if (present < 0) {
            return Error::fetch();
        }
        if (present == 0) {
            Q_ASSIGN(Ref t, info_tuple(m));
            Q_TRY(checked_status(PyDict_SetItem(dict.get(), m.name.get(), t.get())));
        }
    }
    return dict;
}

PyObject* cache_info_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
    return entry_object([&] { return cache_info(args, kwargs); });
}

}  // namespace

PyMethodDef cache_info_def = {
    "cache_info", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(cache_info_entry)),
    METH_VARARGS | METH_KEYWORDS,
    "cache_info(instance, /)\n--\n\n"
    "The counters of every decorated method of the instance, keyed by method name."};

namespace {

// ------------------------------------------------------------- the events

const char* kind_text(EventKind k) {
    switch (k) {
        case EventKind::Hit:
            return "hit";
        case EventKind::Run:
            return "run";
        case EventKind::Unchanged:
            return "unchanged";
        case EventKind::Revalidated:
            return "revalidated";
        case EventKind::Invalidated:
            break;
    }
    return "invalidated";
}

// The key tuples an event names, taken under the instance's shared borrow
// (none when another operation holds it exclusively).
struct EventKeys {
    Ref key, origin, via;
};

Result<EventKeys> event_keys(const QueuedEvent& e) {
    EventKeys out;
    auto* inst = reinterpret_cast<QuendleBaseObject*>(e.inst.get());
    std::optional<Borrow> b = Borrow::try_take(inst->borrow, false);
    if (!b || inst->state == nullptr) {
        return out;
    }
    const CacheState& state = *inst->state;
    auto tuple_of = [&](CacheKey k) -> Result<Ref> {
        if (k >= state.next_key()) {
            return Ref{};
        }
        return state.shared_key_tuple(k);
    };
    Q_ASSIGN(out.key, tuple_of(e.key));
    if (e.has_origin) {
        Q_ASSIGN(out.origin, tuple_of(e.origin));
    }
    if (e.has_via) {
        Q_ASSIGN(out.via, tuple_of(e.via));
    }
    return out;
}

Result<Ref> text_of(const Ref& key) {
    if (!key) {
        return new_str("?");
    }
    return entry_text(key.get());
}

Result<Ref> cause_text(const QueuedEvent& e, const EventKeys& keys) {
    const char* head = nullptr;
    bool names_origin = false;
    switch (e.cause) {
        case EventCause::None:
            return Ref::borrow(Py_None);
        case EventCause::FirstCall:
            head = "first call";
            break;
        case EventCause::NotCached:
            head = "not cached";
            break;
        case EventCause::Update:
            head = "update of ";
            names_origin = true;
            break;
        case EventCause::Clear:
            head = "clear of ";
            names_origin = true;
            break;
        case EventCause::ClearAll:
            head = "clear_cache()";
            break;
        case EventCause::Recomputation:
            head = "recomputation of ";
            names_origin = true;
            break;
        case EventCause::InvalidDependency:
            head = "invalid dependency ";
            names_origin = true;
            break;
        case EventCause::Elsewhere:
            head = "a change on another instance";
            break;
        case EventCause::NoValue:
            head = "no stored value";
            break;
        case EventCause::Unrecorded:
            head = "an unrecorded change";
            break;
    }
    Q_ASSIGN(Ref text, new_str(head));
    if (names_origin) {
        Q_ASSIGN(Ref origin, text_of(keys.origin));
        Q_ASSIGN(text, checked(PyUnicode_Concat(text.get(), origin.get())));
    }
    if (e.has_via) {
        Q_ASSIGN(Ref via, text_of(keys.via));
        Q_ASSIGN(text, checked(PyUnicode_FromFormat("%U through %U", text.get(), via.get())));
    }
    return text;
}

Result<Ref> make_event(const QueuedEvent& e) {
    Q_ASSIGN(EventKeys keys, event_keys(e));
    Q_ASSIGN(Ref kind, new_str(kind_text(e.kind)));
    Q_ASSIGN(Ref label, text_of(keys.key));
    Q_ASSIGN(Ref cause, cause_text(e, keys));
    Q_ASSIGN(PyObject * type, trace_event_type());
    Q_ASSIGN(Ref args, checked(PyTuple_Pack(4, kind.get(), e.inst.get(), label.get(), cause.get())));
    return checked(PyObject_Call(type, args.get(), nullptr));
}

struct FlushEnd {
    FlushEnd() = default;
    FlushEnd(const FlushEnd&) = delete;
    ~FlushEnd() { observe::end_flush(); }
};

// ------------------------------------------------------------- the trace

struct TraceObject {
    PyObject_HEAD
    PyObject* events;  // the list, from __enter__ on
    int open;          // 1 between __enter__ and __exit__
};

TraceObject* trace_of(PyObject* self) { return reinterpret_cast<TraceObject*>(self); }

const ArgSpec kTrace{"trace", nullptr, {}, 0, 0, false};
const ArgSpec kTraceExit{"__exit__", "Trace", {"_exc_type", "_exc_value", "_traceback"}, 3, 3, false};

Result<Ref> enter_trace(PyObject* self) {
    TraceObject* t = trace_of(self);
    if (t->events != nullptr) {
        return Error::runtime_error("A trace is entered once");
    }
    Q_ASSIGN(Ref list, checked(PyList_New(0)));
    try {
        observe::open_trace(list.get());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return Error::fetch();
    }
    t->events = Ref(list).release();
    t->open = 1;
    return list;
}

Result<Ref> exit_trace(PyObject* self, PyObject* args, PyObject* kwargs) {
    Q_ASSIGN(BoundArgs bound, bind_arguments(kTraceExit, args, kwargs));
    TraceObject* t = trace_of(self);
    if (t->open == 0) {
        return bool_result(false);
    }
    Status flushed = flush_events();
    t->open = 0;
    observe::close_trace(t->events);
    Q_TRY(std::move(flushed));
    return bool_result(false);
}

PyObject* trace_enter(PyObject* self, PyObject*) {
    return entry_object([&] { return enter_trace(self); });
}

PyObject* trace_exit(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry_object([&] { return exit_trace(self, args, kwargs); });
}

int trace_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(trace_of(self)->events);
    return 0;
}

int trace_clear(PyObject* self) {
    TraceObject* t = trace_of(self);
    if (std::exchange(t->open, 0) != 0) {
        observe::close_trace(t->events);
    }
    Py_CLEAR(t->events);
    return 0;
}

void trace_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    trace_clear(self);
    free_instance(self);
}

PyMethodDef trace_methods[] = {
    {"__enter__", trace_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(trace_exit)), METH_VARARGS | METH_KEYWORDS,
     "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot trace_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refusing_new)},
    {Py_tp_methods, trace_methods},
    {Py_tp_traverse, reinterpret_cast<void*>(trace_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(trace_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(trace_dealloc)},
    {0, nullptr},
};

PyType_Spec trace_spec{"builtins.Trace", sizeof(TraceObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                       trace_slots};

Result<Ref> trace(PyObject* args, PyObject* kwargs) {
    Q_ASSIGN(BoundArgs bound, bind_arguments(kTrace, args, kwargs));
    Q_ASSIGN(PyObject * type, create_type_on_use(g_trace_type, &trace_spec, "Trace", true));
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
    Q_ASSIGN(Ref obj, checked(alloc(tp, 0)));
    trace_of(obj.get())->events = nullptr;
    trace_of(obj.get())->open = 0;
    return obj;
}

PyObject* trace_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
    return entry_object([&] { return trace(args, kwargs); });
}

}  // namespace

PyMethodDef trace_def = {
    "trace", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(trace_entry)), METH_VARARGS | METH_KEYWORDS,
    "trace()\n--\n\n"
    "A context manager collecting the events of the calls made on this thread while it is open."};

Status flush_events() {
    if (!observe::begin_flush()) {
        return {};
    }
    FlushEnd end;
    for (;;) {
        std::vector<QueuedEvent> batch = observe::take_queued();
        if (batch.empty()) {
            if (observe::take_lost()) {
                PyErr_NoMemory();  // the traces miss events of a change that was made
                return Error::fetch();
            }
            return {};
        }
        for (const QueuedEvent& e : batch) {
            Q_ASSIGN(Ref event, make_event(e));
            std::vector<Ref> lists;
            try {
                lists = observe::thread_lists();
            } catch (const std::bad_alloc&) {
                PyErr_NoMemory();
                return Error::fetch();
            }
            for (const Ref& l : lists) {
                Q_TRY(checked_status(PyList_Append(l.get(), event.get())));
            }
        }
    }
}

PyObject* flush_after(PyObject* out) noexcept {
    if (out == nullptr) {
        return nullptr;  // the events stay queued for the next flush
    }
    Ref held = Ref::steal(out);
    return entry_object([&]() -> Result<Ref> {
        Q_TRY(flush_events());
        return std::move(held);
    });
}

Status register_observe_types(PyObject* module) {
    Q_ASSIGN(PyObject * info, cache_info_type());
    Q_TRY(checked_status(PyObject_SetAttrString(module, "CacheInfo", info)));
    Q_ASSIGN(PyObject * event, trace_event_type());
    Q_TRY(checked_status(PyObject_SetAttrString(module, "TraceEvent", event)));
    return {};
}

}  // namespace quendle
