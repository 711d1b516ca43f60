// The cache part of a pickled or copied instance: records made from the
// cache state's exported entries and read back into a new state, with every
// record checked, and the wrappers that name the entry a pickler failed on.
#include "base/heap_type.h"
#include "cache/cross_instance.h"
#include "cache/instance_access.h"
#include "cache/objects.h"
#include "ops/pickling.h"

#include <algorithm>
#include <tuple>
#include <unordered_map>
#include <utility>

namespace quendle {

namespace {

// ------------------------------------------------------------- labels

std::optional<std::string> try_repr(PyObject* obj) {
    Ref text = Ref::steal(PyObject_Repr(obj));
    if (!text) {
        PyErr_Clear();
        return std::nullopt;
    }
    return try_str(text.get());
}

// "method(a=1, b='x')" for a key tuple, whatever it holds.
std::string entry_label(PyObject* key) {
    if (key == nullptr || !PyTuple_Check(key) || PyTuple_Size(key) != 2) {
        return "<malformed key>";
    }
    std::optional<std::string> name = try_str(PyTuple_GetItem(key, 0));
    std::string out = (name ? *name : std::string("<method>")) + "(";
    PyObject* args = PyTuple_GetItem(key, 1);
    const Py_ssize_t n = PyTuple_Check(args) ? PyTuple_Size(args) : 0;
    for (Py_ssize_t j = 0; j < n; ++j) {
        PyObject* pair = PyTuple_GetItem(args, j);
        if (!PyTuple_Check(pair) || PyTuple_Size(pair) != 2) {
            continue;
        }
        std::optional<std::string> param = try_str(PyTuple_GetItem(pair, 0));
        std::optional<std::string> value = try_repr(PyTuple_GetItem(pair, 1));
        std::string shown = value ? *value : std::string("<unrepresentable>");
        if (shown.size() > 200) {
            shown = shown.substr(0, 197) + "...";
        }
        out += (j > 0 ? ", " : "") + (param ? *param : std::string("?")) + "=" + shown;
    }
    return out + ")";
}

// A record's key, or nullptr.
PyObject* record_key(PyObject* record) {
    return record != nullptr && PyTuple_Check(record) && PyTuple_Size(record) >= 1 ? PyTuple_GetItem(record, 0)
                                                                                   : nullptr;
}

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
        annotate(error, "while pickling the cache entry " + entry_label(record_key(record)));
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

// ------------------------------------------------------------- tokens

// A token stands for an instance that other instances depend on. An
// instance's pickle or deep copy names it by its token (its own part says
// "this is me", a dependant's says "my key depends on this key of that
// one"), so the instance itself is never drawn into a pickle, and the one
// memo of a pickler or a copier makes every mention of it one new token.
// Restoring the instance binds the new token to the copy; a dependant
// restored earlier leaves its end with the token, to be linked then.
struct PendingDependant {
    CrossRef dependant;  // a key of a restored instance, invalid until linked
    Ref key;             // the key tuple it depends on, in the token's instance
};

struct TokenObject {
    PyObject_HEAD
    std::optional<CrossRef>* bound;          // owned; the instance restored with it
    std::vector<PendingDependant>* pending;  // owned
};

TokenObject* token(PyObject* self) { return reinterpret_cast<TokenObject*>(self); }

void token_dealloc(PyObject* self) {
    delete std::exchange(token(self)->bound, nullptr);
    delete std::exchange(token(self)->pending, nullptr);
    free_instance(self);
}

Result<Ref> new_token();

// Pickled as a call of `quendle._instance_token()`; a deep copy is a new
// token, which the copier's memo gives to every later mention.
PyObject* token_reduce_ex(PyObject* /*self*/, PyObject* /*protocol*/) {
    return entry_object([&]() -> Result<Ref> {
        Q_ASSIGN(Ref module, import_module("quendle"));
        Q_ASSIGN(Ref make, get_attr(module.get(), instance_token_def.ml_name));
        return checked(Py_BuildValue("(O())", make.get()));
    });
}

PyObject* token_deepcopy(PyObject* /*self*/, PyObject* /*memo*/) {
    return entry_object([&]() -> Result<Ref> { return new_token(); });
}

PyMethodDef token_methods[] = {
    {"__reduce_ex__", token_reduce_ex, METH_O, "__reduce_ex__($self, protocol, /)\n--\n\n"},
    {"__deepcopy__", token_deepcopy, METH_O, "__deepcopy__($self, memo, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot token_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refusing_new)},
    {Py_tp_methods, token_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(token_dealloc)},
    {0, nullptr},
};

PyType_Spec token_spec{"builtins.QuendleInstanceToken", sizeof(TokenObject), 0, Py_TPFLAGS_DEFAULT, token_slots};

OnceObject g_token_type;

Result<PyObject*> token_type() { return create_type_on_use(g_token_type, &token_spec, "QuendleInstanceToken", false); }

Result<Ref> new_token() {
    Q_ASSIGN(PyObject * type, token_type());
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
    Q_ASSIGN(Ref obj, checked(alloc(tp, 0)));
    token(obj.get())->bound = new std::optional<CrossRef>();
    token(obj.get())->pending = new std::vector<PendingDependant>();
    return obj;
}

Result<bool> is_token(PyObject* obj) {
    Q_ASSIGN(PyObject * type, token_type());
    return reinterpret_cast<PyObject*>(Py_TYPE(obj)) == type;
}

// The instance's token, made on first use and kept while it has edges.
Result<Ref> token_of(QuendleBaseObject* inst) {
    if (Ref t = cross_token(inst)) {
        return t;
    }
    Q_ASSIGN(Ref fresh, new_token());
    return keep_cross_token(inst, std::move(fresh));
}

// The live instance a token was restored with, or nullptr.
QuendleBaseObject* bound_instance(PyObject* tok) {
    const std::optional<CrossRef>& b = *token(tok)->bound;
    return b ? resolve(*b) : nullptr;
}

// `key` of `inst`, found under its shared borrow (the key's equality may run
// code), with whether it is valid; none when the instance has no such key.
struct FoundKey {
    CacheKey key;
    bool valid;
};

Result<std::optional<FoundKey>> find_in(QuendleBaseObject* inst, PyObject* key) {
    const Py_hash_t hash = PyObject_Hash(key);
    if (hash == -1 && PyErr_Occurred() != nullptr) {
        return Error::fetch();
    }
    Q_ASSIGN(Borrow b, Borrow::shared(inst->borrow, Conflict::Raise, Share::Recorded));
    Q_ASSIGN(CacheState * state, state_of(inst));
    Q_ASSIGN(std::optional<CacheKey> k, state->find_key(hash, key));
    if (!k) {
        return std::optional<FoundKey>();
    }
    return std::optional<FoundKey>(FoundKey{*k, state->tracker().read(*k) == ValidationState::Valid});
}

// ------------------------------------------------------------ export

Result<Ref> record_of(const CacheEntry& e) {
    Q_ASSIGN(Ref dependants, checked(PyTuple_New(static_cast<Py_ssize_t>(e.dependants.size()))));
    for (size_t i = 0; i < e.dependants.size(); ++i) {
        Q_ASSIGN(Ref index, checked(PyLong_FromSize_t(e.dependants[i])));
        PyTuple_SetItem(dependants.get(), static_cast<Py_ssize_t>(i), index.release());
    }
    Ref state = Ref::borrow(Py_None);
    if (e.state) {
        Q_ASSIGN(state, checked(PyLong_FromLong(static_cast<long>(*e.state))));
    }
    Q_ASSIGN(Ref record, checked(PyTuple_New(e.value ? 5 : 4)));
    PyTuple_SetItem(record.get(), 0, e.key.new_ref());
    PyTuple_SetItem(record.get(), 1, state.release());
    PyTuple_SetItem(record.get(), 2, Ref::borrow(e.node ? Py_True : Py_False).release());
    PyTuple_SetItem(record.get(), 3, dependants.release());
    if (e.value) {
        PyTuple_SetItem(record.get(), 4, e.value.new_ref());
    }
    return record;
}

Result<bool> carries_cache(PyObject* cls) {
    PyObject* flag = PyObject_GetAttrString(cls, "__quendle_pickle_cache__");
    if (flag == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return Error::fetch();
        }
        PyErr_Clear();
        return true;
    }
    Ref owned = Ref::steal(flag);
    const int truth = PyObject_IsTrue(flag);
    if (truth < 0) {
        return Error::fetch();
    }
    return truth == 1;
}

Result<Ref> cache_part(Ref records, Ref cross) {
    if (cross) {
        return checked(Py_BuildValue("(lNN)", kCacheFormatVersion, records.release(), cross.release()));
    }
    return checked(Py_BuildValue("(lN)", kCacheFormatVersion, records.release()));
}

// The cross-instance part `(token or None, ((entry index, end, key), ...))`,
// or an empty handle when there is nothing to carry. An entry's dependency
// elsewhere travels as the far instance's token and the key there, and
// arrives linked when that instance travels in the same pickle or deep
// copy. A shallow copy carries no edge (its end is None): the copy is an
// instance of its own whose inputs nothing ties to the far instance, so
// the entry arrives invalid. The instance's own token travels when others
// depend on it (not for a shallow copy: the dependants stay with the
// original).
Result<Ref> export_cross_part(QuendleBaseObject* inst, const std::vector<CacheEntry>& entries, CacheCopy how) {
    Q_ASSIGN(std::vector<CrossDependency> deps, cross_dependencies_of(inst));
    Ref me = Ref::borrow(Py_None);
    if (how != CacheCopy::Shallow && has_cross_dependants(inst)) {
        Q_ASSIGN(me, token_of(inst));
    }
    if (deps.empty() && me.get() == Py_None) {
        return Ref{};
    }
    std::unordered_map<CacheKey, size_t> index;
    for (size_t i = 0; i < entries.size(); ++i) {
        index.emplace(entries[i].source, i);
    }
    // The same state always exports the same list.
    std::sort(deps.begin(), deps.end(), [](const CrossDependency& a, const CrossDependency& b) {
        return std::make_tuple(a.key, a.other.get(), a.other_key) < std::make_tuple(b.key, b.other.get(), b.other_key);
    });
    Q_ASSIGN(Ref list, checked(PyList_New(0)));
    for (const CrossDependency& d : deps) {
        auto at = index.find(d.key);
        if (at == index.end()) {
            continue;
        }
        auto* other = reinterpret_cast<QuendleBaseObject*>(d.other.get());
        Ref key;
        {
            Q_ASSIGN(Borrow b, Borrow::shared(other->borrow, Conflict::Raise, Share::Recorded));
            Q_ASSIGN(CacheState * state, state_of(other));
            if (d.other_key >= state->next_key()) {
                continue;
            }
            Q_ASSIGN(key, state->key_tuple(d.other_key));
        }
        Ref end = Ref::borrow(Py_None);
        if (how != CacheCopy::Shallow) {
            Q_ASSIGN(end, token_of(other));
        }
        Q_ASSIGN(Ref item, checked(Py_BuildValue("(nOO)", static_cast<Py_ssize_t>(at->second), end.get(), key.get())));
        Q_TRY(checked_status(PyList_Append(list.get(), item.get())));
    }
    Q_ASSIGN(Ref items, checked(PyList_AsTuple(list.get())));
    if (PyTuple_Size(items.get()) == 0 && me.get() == Py_None) {
        return Ref{};
    }
    return checked(PyTuple_Pack(2, me.get(), items.get()));
}

// ------------------------------------------------------------ import

// The class's methods as a restore applies them: each decorated method's
// name (its function's `__name__`, which its keys carry) with its
// `use_cache`, the first along the method resolution order winning, and the
// names declared dependencies name. An attribute a class nearer the front
// of the order defines hides a decorated one further back.
struct CurrentMethods {
    Ref decorated;  // dict: name -> use_cache
    Ref declared;   // set of names
};

Result<CurrentMethods> current_methods(PyObject* cls) {
    Q_ASSIGN(const Names* n, names());
    CurrentMethods out;
    Q_ASSIGN(out.decorated, checked(PyDict_New()));
    Q_ASSIGN(out.declared, checked(PySet_New(nullptr)));
    Q_ASSIGN(Ref seen, checked(PySet_New(nullptr)));
    Q_ASSIGN(Ref mro, get_attr(cls, n->mro));
    Q_ASSIGN(std::vector<Ref> classes, to_object_sequence(mro.get()));
    for (const Ref& klass : classes) {
        Q_ASSIGN(Ref proxy, get_attr(klass.get(), n->dict));
        // A plain dict walked in place (no items view, whose iterator some
        // interpreters free wrongly when its allocation fails).
        Q_ASSIGN(Ref dict, checked(PyObject_CallMethod(proxy.get(), "copy", nullptr)));
        if (!PyDict_Check(dict.get())) {
            return cast_error(dict.get(), reinterpret_cast<PyObject*>(&PyDict_Type));
        }
        // Taken before any is added: adding hashes, which may run code.
        struct Found {
            Ref attr;
            Ref method;  // empty for an attribute that is no decorated method
            bool use_cache = true;
            std::vector<Ref> declared;
        };
        std::vector<Found> found;
        Py_ssize_t pos = 0;
        PyObject *name = nullptr, *value = nullptr;
        while (PyDict_Next(dict.get(), &pos, &name, &value)) {
            Q_ASSIGN(bool decorated, is_decorator(value));
            const DecoratorFields* f = decorated ? reinterpret_cast<DecoratorObject*>(value)->fields : nullptr;
            Found each{Ref::borrow(name), Ref{}, true, {}};
            if (f != nullptr) {
                each.method = f->name_obj;
                each.use_cache = f->use_cache;
                for (const CallSignature& dep : f->dependencies) {
                    each.declared.push_back(Ref::borrow(PyTuple_GetItem(dep.key.get(), 0)));
                }
            }
            found.push_back(std::move(each));
        }
        for (const Found& each : found) {
            const int hidden = PySet_Contains(seen.get(), each.attr.get());
            if (hidden < 0) {
                return Error::fetch();
            }
            Q_TRY(checked_status(PySet_Add(seen.get(), each.attr.get())));
            if (hidden == 1 || !each.method) {
                continue;
            }
            Q_ASSIGN(Ref flag, bool_result(each.use_cache));
            PyObject* was = PyDict_GetItemWithError(out.decorated.get(), each.method.get());  // borrowed
            if (was == nullptr && PyErr_Occurred() != nullptr) {
                return Error::fetch();
            }
            if (was == nullptr) {
                Q_TRY(checked_status(PyDict_SetItem(out.decorated.get(), each.method.get(), flag.get())));
            }
            for (const Ref& dep : each.declared) {
                Q_TRY(checked_status(PySet_Add(out.declared.get(), dep.get())));
            }
        }
    }
    return out;
}

Error bad_record(Py_ssize_t i, const std::string& what) {
    return Error::type_error("cache entry " + std::to_string(i) + ": " + what);
}

// A non-negative index, or -1 for anything else (no exception left set).
Py_ssize_t index_of(PyObject* obj) {
    if (!PyLong_CheckExact(obj)) {
        return -1;
    }
    const Py_ssize_t v = PyLong_AsSsize_t(obj);
    if (v == -1 && PyErr_Occurred() != nullptr) {
        PyErr_Clear();
    }
    return v < 0 ? -1 : v;
}

Result<CacheEntry> parse_record(PyObject* item, Py_ssize_t i, PyObject* record_type) {
    PyObject* record = item;
    if (reinterpret_cast<PyObject*>(Py_TYPE(item)) == record_type && (record = wrapped(item)->record) == nullptr) {
        return cleared_error("QuendleCacheEntry");
    }
    if (!PyTuple_CheckExact(record) || (PyTuple_Size(record) != 4 && PyTuple_Size(record) != 5)) {
        return bad_record(i, "must be a tuple (key, state, node, dependants[, value])");
    }
    CacheEntry e;
    e.key = Ref::borrow(PyTuple_GetItem(record, 0));
    PyObject* state = PyTuple_GetItem(record, 1);
    if (state != Py_None) {
        const Py_ssize_t s = index_of(state);
        if (s < 0 || s > 2) {
            return bad_record(i, "the validation state must be None, 0, 1 or 2");
        }
        e.state = static_cast<ValidationState>(s);
    }
    PyObject* node = PyTuple_GetItem(record, 2);
    if (!PyBool_Check(node)) {
        return bad_record(i, "the graph node flag must be a bool");
    }
    e.node = node == Py_True;
    PyObject* dependants = PyTuple_GetItem(record, 3);
    if (!PyTuple_CheckExact(dependants)) {
        return bad_record(i, "the dependants must be a tuple of entry indices");
    }
    for (Py_ssize_t j = 0; j < PyTuple_Size(dependants); ++j) {
        const Py_ssize_t d = index_of(PyTuple_GetItem(dependants, j));
        if (d < 0) {
            return bad_record(i, "the dependants must be a tuple of entry indices");
        }
        e.dependants.push_back(static_cast<size_t>(d));
    }
    if (PyTuple_Size(record) == 5) {
        e.value = Ref::borrow(PyTuple_GetItem(record, 4));
    }
    return e;
}

constexpr size_t kDropped = ~size_t{0};

// Valid becomes invalid for every entry reached from the marked ones along
// their dependants.
void invalidate_dependants(std::vector<CacheEntry>& entries, const std::vector<char>& marked) {
    std::vector<size_t> stack;
    std::vector<char> reached(marked);
    for (size_t i = 0; i < entries.size(); ++i) {
        if (marked[i] != 0) {
            stack.push_back(i);
        }
    }
    while (!stack.empty()) {
        const size_t i = stack.back();
        stack.pop_back();
        for (size_t d : entries[i].dependants) {
            if (reached[d] == 0) {
                reached[d] = 1;
                if (entries[d].state == ValidationState::Valid) {
                    entries[d].state = ValidationState::Invalid;
                }
                stack.push_back(d);
            }
        }
    }
}

// What the class's current methods make of each entry (a key of another
// shape is left to the cache state, which refuses it): a method that is
// decorated and caches keeps its entry; one decorated with use_cache=False
// keeps no value, and a valid state becomes permanently invalid, as a call
// of it would leave it; a name that is no decorated method keeps a bare
// graph node when a declared dependency names it, and is dropped otherwise.
// Whatever was computed from a changed or dropped entry is invalid. The
// result maps each entry's index to its new one, or kDropped.
Result<std::vector<size_t>> apply_current_methods(std::vector<CacheEntry>& entries, const CurrentMethods& now) {
    const size_t n = entries.size();
    std::vector<char> changed(n, 0);
    std::vector<char> dropped(n, 0);
    for (size_t i = 0; i < n; ++i) {
        CacheEntry& e = entries[i];
        PyObject* key = e.key.get();
        if (!PyTuple_CheckExact(key) || PyTuple_Size(key) != 2 || !PyUnicode_CheckExact(PyTuple_GetItem(key, 0))) {
            continue;
        }
        PyObject* name = PyTuple_GetItem(key, 0);
        PyObject* use_cache = PyDict_GetItemWithError(now.decorated.get(), name);  // borrowed
        if (use_cache == nullptr && PyErr_Occurred() != nullptr) {
            return Error::fetch();
        }
        if (use_cache == Py_True) {
            continue;
        }
        changed[i] = 1;
        e.value = Ref{};
        if (use_cache != nullptr) {
            if (e.state == ValidationState::Valid) {
                e.state = ValidationState::PermanentlyInvalid;
            }
            continue;
        }
        const int declared = PySet_Contains(now.declared.get(), name);
        if (declared < 0) {
            return Error::fetch();
        }
        e.state.reset();
        dropped[i] = declared == 0 ? 1 : 0;
    }
    invalidate_dependants(entries, changed);
    std::vector<size_t> index(n, kDropped);
    size_t kept = 0;
    for (size_t i = 0; i < n; ++i) {
        if (dropped[i] == 0) {
            index[i] = kept++;
        }
    }
    if (kept == n) {
        return index;
    }
    std::vector<CacheEntry> left;
    left.reserve(kept);
    for (size_t i = 0; i < n; ++i) {
        if (dropped[i] != 0) {
            continue;
        }
        CacheEntry& e = entries[i];
        std::vector<size_t> dependants;
        for (size_t d : e.dependants) {  // checked: every index is in range
            if (index[d] != kDropped) {
                dependants.push_back(index[d]);
            }
        }
        e.dependants = std::move(dependants);
        left.push_back(std::move(e));
    }
    entries = std::move(left);
    return index;
}

// The cross-instance part as read: the instance's token and its entries'
// dependencies elsewhere.
struct CrossPart {
    Ref me;  // a token, or empty
    struct Dependency {
        size_t entry;
        Ref end;  // a token or an instance
        Ref key;
    };
    std::vector<Dependency> deps;
};

Result<CrossPart> parse_cross_part(PyObject* part, size_t entry_count) {
    CrossPart out;
    if (!PyTuple_CheckExact(part) || PyTuple_Size(part) != 2 || !PyTuple_CheckExact(PyTuple_GetItem(part, 1))) {
        return Error::type_error("the cross-instance part must be a tuple (token or None, dependencies)");
    }
    PyObject* me = PyTuple_GetItem(part, 0);
    if (me != Py_None) {
        Q_ASSIGN(bool tok, is_token(me));
        if (!tok) {
            return Error::type_error("the token of the cross-instance part must be an instance token or None");
        }
        out.me = Ref::borrow(me);
    }
    PyObject* deps = PyTuple_GetItem(part, 1);
    for (Py_ssize_t i = 0; i < PyTuple_Size(deps); ++i) {
        PyObject* d = PyTuple_GetItem(deps, i);
        const std::string what = "cross-instance dependency " + std::to_string(i);
        if (!PyTuple_CheckExact(d) || PyTuple_Size(d) != 3) {
            return Error::type_error(what + " must be a tuple (entry index, instance or token, key)");
        }
        const Py_ssize_t entry = index_of(PyTuple_GetItem(d, 0));
        if (entry < 0 || static_cast<size_t>(entry) >= entry_count) {
            return Error::value_error(what + " names no cache entry");
        }
        PyObject* end = PyTuple_GetItem(d, 1);
        Q_ASSIGN(bool tok, is_token(end));
        if (!tok && end != Py_None && !PyObject_TypeCheck(end, reinterpret_cast<PyTypeObject*>(quendle_base_type_if_created()))) {
            return Error::type_error(what + ": the other end must be a QuendleBase instance, an instance token or None");
        }
        out.deps.push_back(CrossPart::Dependency{static_cast<size_t>(entry), Ref::borrow(end), Ref::borrow(PyTuple_GetItem(d, 2))});
    }
    return out;
}

// A dependency elsewhere found before the restore.
struct FoundDependency {
    CacheKey key;  // here, in the restored state
    Ref other;
    CacheKey other_key;
};

// A dependency whose far end is a token not restored yet.
struct WaitingDependency {
    CacheKey key;
    const CrossPart::Dependency* d;
};

// Finds each dependency's far end where it is known (an instance, or a
// token already restored). `index` maps entries to the restored keys (an
// entry dropped has no dependencies left). A key whose far end is not
// found, or not valid, goes to `invalid`.
Status find_cross_dependencies(const CrossPart& cross, PyObject* obj, const std::vector<size_t>& index,
                               std::vector<FoundDependency>& found, std::vector<WaitingDependency>& waiting,
                               std::vector<CacheKey>& invalid) {
    for (const CrossPart::Dependency& d : cross.deps) {
        const size_t k = index[d.entry];
        if (k == kDropped) {
            continue;
        }
        if (d.end.get() == Py_None) {
            invalid.push_back(k);  // its far end did not travel
            continue;
        }
        Q_ASSIGN(bool tok, is_token(d.end.get()));
        QuendleBaseObject* other = nullptr;
        if (!tok) {
            other = reinterpret_cast<QuendleBaseObject*>(d.end.get());
        } else if (!token(d.end.get())->bound->has_value()) {
            waiting.push_back(WaitingDependency{k, &d});
        } else {
            other = bound_instance(d.end.get());  // nullptr once that instance is gone
        }
        bool valid = false;
        if (other != nullptr && reinterpret_cast<PyObject*>(other) != obj) {
            Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(other));
            Q_ASSIGN(std::optional<FoundKey> key, find_in(other, d.key.get()));
            if (key) {
                valid = key->valid;
                found.push_back(FoundDependency{k, std::move(keep), key->key});
            }
        }
        if (!valid) {
            invalid.push_back(k);  // a key is valid only if all its dependencies elsewhere are
        }
    }
    return {};
}

// Whether the far end of a dependency found is valid still (read without
// waiting; a busy instance counts as not known to be valid).
bool still_valid(const FoundDependency& f) {
    auto* other = reinterpret_cast<QuendleBaseObject*>(f.other.get());
    std::optional<Borrow> b = Borrow::try_take(other->borrow, false);
    return b && other->state != nullptr && other->state->tracker().read(f.other_key) == ValidationState::Valid;
}

// After the restore: the ends left with tokens not restored yet, and the
// instance's own token bound to it, linking the ends that waited for it.
Status finish_cross_part(QuendleBaseObject* inst, const CrossPart& cross, const std::vector<WaitingDependency>& waiting) {
    for (const WaitingDependency& w : waiting) {
        token(w.d->end.get())->pending->push_back(PendingDependant{cross_end(inst, w.key), w.d->key});
    }
    if (!cross.me) {
        return {};
    }
    *token(cross.me.get())->bound = cross_end(inst, 0);  // the instance; the key is not read
    std::vector<PendingDependant> pending;
    pending.swap(*token(cross.me.get())->pending);
    for (const PendingDependant& p : pending) {
        QuendleBaseObject* dependant = resolve(p.dependant);
        if (dependant == nullptr) {
            continue;
        }
        Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(dependant));
        Q_ASSIGN(std::optional<FoundKey> key, find_in(inst, p.key.get()));
        if (key) {
            // The dependant's entry arrived invalid; the edge is the one its
            // stored value was computed from, as if both had come at once.
            Q_ASSIGN([[maybe_unused]] bool linked, link_cross_edge(dependant, p.dependant.key, inst, key->key));
        }
    }
    return {};
}

Error unknown_version(PyObject* version) {
    std::optional<std::string> shown = try_repr(version);
    return Error::value_error("unsupported cache format version " + (shown ? *shown : std::string("?")) +
                              " (this build of quendle reads version " + std::to_string(kCacheFormatVersion) + ")");
}

PyObject* instance_token(PyObject* /*module*/, PyObject* /*unused*/) {
    return entry_object([]() -> Result<Ref> { return new_token(); });
}

}  // namespace

PyMethodDef instance_token_def = {"_instance_token", instance_token, METH_NOARGS, "_instance_token()\n--\n\n"};

// --------------------------------------------------------------- notes

void annotate(Error& error, const std::string& note) {
    if (error.kind() == Error::Kind::Panic) {
        return;
    }
    Ref exc = error.exception_object();
    if (!exc) {
        return;
    }
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
    PyObject* add_note = text ? PyObject_GetAttrString(exc.get(), "add_note") : nullptr;
    if (add_note != nullptr) {
        Ref method = Ref::steal(add_note);
        Ref done = Ref::steal(PyObject_CallFunctionObjArgs(method.get(), text.get(), nullptr));
        if (!done) {
            PyErr_Clear();
        }
        return;
    }
    PyErr_Clear();
    // No notes: the same type of exception saying both, caused by the original.
    std::optional<std::string> said = try_str(exc.get());
    const std::string both = (said && !said->empty() ? *said + " " : std::string()) + "(" + note + ")";
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(exc.get()));
    Ref message = Ref::steal(PyUnicode_FromStringAndSize(both.data(), static_cast<Py_ssize_t>(both.size())));
    Ref fresh = message ? Ref::steal(PyObject_CallFunctionObjArgs(type, message.get(), nullptr)) : Ref();
    if (!fresh || PyObject_TypeCheck(fresh.get(), Py_TYPE(exc.get())) == 0) {
        PyErr_Clear();
        return;
    }
    PyException_SetCause(fresh.get(), exc.new_ref());
    PyException_SetContext(fresh.get(), exc.new_ref());
    PyErr_SetObject(type, fresh.get());
    error = Error::fetch();
}

Result<Ref> export_cache_part(PyObject* self, CacheCopy how) {
    Q_ASSIGN(QuendleBaseObject * inst, as_quendle_base(self));
    Q_ASSIGN(bool carry, carries_cache(reinterpret_cast<PyObject*>(Py_TYPE(self))));
    std::vector<CacheEntry> entries;
    if (carry) {
        Q_ASSIGN(Borrow b, Borrow::shared(inst->borrow, Conflict::Raise, Share::Recorded));
        Q_ASSIGN(CacheState * state, state_of(inst));
        Q_ASSIGN(entries, state->export_entries());
    }
    Q_ASSIGN(Ref records, checked(PyTuple_New(static_cast<Py_ssize_t>(entries.size()))));
    for (size_t i = 0; i < entries.size(); ++i) {
        Q_ASSIGN(Ref record, record_of(entries[i]));
        if (how == CacheCopy::Pickle) {
            Q_ASSIGN(record, wrap_record(std::move(record)));
        }
        PyTuple_SetItem(records.get(), static_cast<Py_ssize_t>(i), record.release());
    }
    Ref cross;
    if (!entries.empty()) {
        Q_ASSIGN(cross, export_cross_part(inst, entries, how));
    }
    return cache_part(std::move(records), std::move(cross));
}

Result<Ref> deepcopy_cache_part(PyObject* part, PyObject* memo) {
    PyObject* records = PyTuple_GetItem(part, 1);
    if (records == nullptr) {
        return Error::fetch();
    }
    const Py_ssize_t n = PyTuple_Size(records);
    Q_ASSIGN(Ref copies, checked(PyTuple_New(n)));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* record = PyTuple_GetItem(records, i);
        const Py_ssize_t size = PyTuple_Size(record);
        Q_ASSIGN(Ref copy, checked(PyTuple_New(size)));
        for (Py_ssize_t at = 0; at < size; ++at) {
            PyObject* item = PyTuple_GetItem(record, at);
            if (at != 0 && at != 4) {  // the key and the value are copied, the rest is plain data
                PyTuple_SetItem(copy.get(), at, Ref::borrow(item).release());
                continue;
            }
            Result<Ref> copied = deepcopy_of(item, memo);
            if (!copied.ok()) {
                Error error = copied.take_error();
                annotate(error, "while copying the cache entry " + entry_label(record_key(record)));
                return error;
            }
            PyTuple_SetItem(copy.get(), at, copied.take().release());
        }
        PyTuple_SetItem(copies.get(), i, copy.release());
    }
    // Tokens and keys of the cross-instance part through the same memo.
    Ref cross;
    if (PyTuple_Size(part) == 3) {
        Q_ASSIGN(cross, deepcopy_of(PyTuple_GetItem(part, 2), memo));
    }
    return cache_part(std::move(copies), std::move(cross));
}

Status import_cache_part(PyObject* obj, PyObject* part) {
    Q_ASSIGN(QuendleBaseObject * inst, as_quendle_base(obj));
    if (!PyTuple_CheckExact(part) || (PyTuple_Size(part) != 2 && PyTuple_Size(part) != 3)) {
        return Error::type_error("the cache state must be a tuple (version, entries) or (version, entries, cross-instance part)");
    }
    PyObject* version = PyTuple_GetItem(part, 0);
    if (!PyLong_CheckExact(version)) {
        return Error::type_error("the cache format version must be an int");
    }
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(version, &overflow);
    if (v == -1 && PyErr_Occurred() != nullptr) {
        return Error::fetch();
    }
    if (overflow != 0 || v != kCacheFormatVersion) {
        return unknown_version(version);
    }
    PyObject* records = PyTuple_GetItem(part, 1);
    if (!PyTuple_CheckExact(records)) {
        return Error::type_error("the cache entries must be a tuple");
    }
    const auto count = static_cast<size_t>(PyTuple_Size(records));
    CrossPart cross;
    if (PyTuple_Size(part) == 3) {
        Q_ASSIGN(cross, parse_cross_part(PyTuple_GetItem(part, 2), count));
    }
    if (count == 0) {
        return {};
    }
    if (cross.me) {
        QuendleBaseObject* bound = bound_instance(cross.me.get());
        if (bound != nullptr && bound != inst) {
            return Error::value_error("the instance token of the cache state stands for another instance");
        }
    }
    Q_ASSIGN(PyObject * record_type, entry_record_type());
    auto* cls = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    std::vector<CacheEntry> entries;
    for (size_t i = 0; i < count; ++i) {
        Q_ASSIGN(CacheEntry e, parse_record(PyTuple_GetItem(records, static_cast<Py_ssize_t>(i)),
                                            static_cast<Py_ssize_t>(i), record_type));
        entries.push_back(std::move(e));
    }
    // Checked as the records say before the class's current methods apply.
    Q_TRY(CacheState::check_entries(entries));
    Q_ASSIGN(CurrentMethods now, current_methods(cls));
    Q_ASSIGN(std::vector<size_t> index, apply_current_methods(entries, now));
    Q_ASSIGN(std::unique_ptr<CacheState> fresh, CacheState::from_entries(std::move(entries)));
    // A key whose dependency elsewhere did not come along, or is not valid,
    // arrives invalid, and so does whatever was computed from it.
    std::vector<FoundDependency> found;
    std::vector<WaitingDependency> waiting;
    std::vector<CacheKey> invalid;
    Q_TRY(find_cross_dependencies(cross, obj, index, found, waiting, invalid));
    if (!found.empty()) {
        // From here until the state is in place no code of the user's runs,
        // so nothing changes between the last look at a far end and the
        // edge that carries its next change here.
        {
            Q_ASSIGN(Borrow b, Borrow::shared(inst->borrow, Conflict::Raise));
            Q_ASSIGN(CacheState * state, state_of(inst));
            if (!state->is_empty()) {
                return Error::value_error("the cache state of an instance can be restored only while it is empty");
            }
        }
        for (const FoundDependency& f : found) {
            auto* other = reinterpret_cast<QuendleBaseObject*>(f.other.get());
            bool linked = false;
            if (still_valid(f)) {
                Q_ASSIGN(linked, link_cross_edge(inst, f.key, other, f.other_key));
            }
            if (!linked) {
                invalid.push_back(f.key);
            }
        }
    }
    for (CacheKey k : invalid) {
        fresh->invalidate(k);
    }
    Q_TRY(replace_empty_state(inst, std::move(fresh)));
    return finish_cross_part(inst, cross, waiting);
}

}  // namespace quendle
