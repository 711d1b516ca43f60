// dump_cache / load_cache: move the values of serialisable methods to and
// from a plain dict. Names the caller leaves unordered are processed in a
// uniformly random order drawn anew on every call.
//
// Method names stay Python `str` objects from start to end (class
// dictionaries, dump keys, attribute lookups, load lookups): a name may hold
// any character, NUL included, and two names are the same exactly when the
// strings are equal.
#include "ops/persistence.h"
#include "base/hints.h"
#include "cache/instance_access.h"
#include "cache/objects.h"
#include "ops/call_path.h"

#include <random>
#include <string_view>

namespace quendle {

namespace {

const ArgSpec kDump{"dump_cache", "QuendleBase", {"order"}, 1, 0, false};
const ArgSpec kLoad{"load_cache", "QuendleBase", {"data", "order"}, 2, 1, false};

// One generator, seeded once from the operating system; used with the
// interpreter lock held. (Not one per thread: the module's thread-local
// data lives in the static TLS block, which has room for a few pointers only.)
Result<std::mt19937_64*> thread_generator() {
    static std::mt19937_64 gen;
    static bool seeded = false;
    if (!seeded) {
        try {
            std::random_device rd;
            std::seed_seq seq{rd(), rd(), rd(), rd(), rd(), rd(), rd(), rd()};
            gen.seed(seq);
        } catch (const std::bad_alloc&) {
            throw;  // out of memory, not out of entropy: MemoryError at the entry point
        } catch (const std::exception& e) {
            return Error::builtin(PyExc_OSError,
                                  std::string("could not seed the random generator: ") + e.what());
        }
        seeded = true;
    }
    return &gen;
}

// Exact `str` objects (never a subclass, so comparing and hashing them runs
// no user code).
using NameList = std::vector<Ref>;

Status shuffle_uniform(NameList& names) {
    if (names.size() < 2) {
        return {};
    }
    Q_ASSIGN(std::mt19937_64 * gen, thread_generator());
    for (size_t i = 1; i < names.size(); ++i) {
        std::uniform_int_distribution<size_t> pick(0, i);
        size_t j = pick(*gen);
        std::swap(names[i], names[j]);
    }
    return {};
}

// The name as an exact `str`: obj itself, or a plain copy of a str subclass.
Result<Ref> exact_name(PyObject* obj) {
    if (!PyUnicode_Check(obj)) {
        return cast_error(obj, reinterpret_cast<PyObject*>(&PyUnicode_Type));
    }
    return checked(PyUnicode_FromObject(obj));
}

// A set of names.
class NameSet {
public:
    static Result<NameSet> make() {
        Q_ASSIGN(Ref set, checked(PySet_New(nullptr)));
        return NameSet(std::move(set));
    }
    Result<bool> contains(PyObject* name) const {
        int rc = PySet_Contains(set_.get(), name);
        if (rc < 0) {
            return Error::fetch();
        }
        return rc == 1;
    }
    // Adds name; true when it was not there before.
    Result<bool> insert(PyObject* name) {
        Q_ASSIGN(bool present, contains(name));
        if (present) {
            return false;
        }
        Q_TRY(checked_status(PySet_Add(set_.get(), name)));
        return true;
    }
    // Removes name; true when it was there.
    Result<bool> erase(PyObject* name) {
        int rc = PySet_Discard(set_.get(), name);
        if (rc < 0) {
            return Error::fetch();
        }
        return rc == 1;
    }

private:
    explicit NameSet(Ref set) : set_(std::move(set)) {}
    Ref set_;
};

// A ValueError (or `type`) "<head><name><tail>", keeping every character
// of the name.
Error name_error(const char* head, PyObject* name, const char* tail, PyObject* type = PyExc_ValueError) {
    Ref message = Ref::steal(PyUnicode_FromFormat("%s%U%s", head, name, tail));
    if (!message) {
        return Error::fetch();
    }
    PyErr_SetObject(type, message.get());
    return Error::fetch();
}

Result<std::optional<NameList>> optional_order(PyObject* obj) {
    using Out = std::optional<NameList>;
    if (obj == nullptr || obj == Py_None) {
        return Out{};
    }
    Q_ASSIGN(std::vector<Ref> items, noted(to_object_sequence(obj), "order"));
    NameList names;
    names.reserve(items.size());
    for (const Ref& item : items) {
        Q_ASSIGN(Ref name, noted(exact_name(item.get()), "order"));
        names.push_back(std::move(name));
    }
    return Out{std::move(names)};
}

// The two halves of one item of `__dict__.items()`: a 2-tuple or a 2-list.
// Both halves are owned before any other Python code runs.
Result<std::pair<Ref, Ref>> dict_item(PyObject* item, PyObject* klass) {
    if (PyTuple_Check(item) && PyTuple_Size(item) == 2) {
        return std::pair<Ref, Ref>{Ref::borrow(PyTuple_GetItem(item, 0)),
                                   Ref::borrow(PyTuple_GetItem(item, 1))};
    }
    if (PyList_Check(item) && PyList_Size(item) == 2) {
        return std::pair<Ref, Ref>{Ref::borrow(PyList_GetItem(item, 0)),
                                   Ref::borrow(PyList_GetItem(item, 1))};
    }
    std::optional<std::string> cls = try_str(klass);
    std::optional<std::string> got = try_str(reinterpret_cast<PyObject*>(Py_TYPE(item)));
    std::string message = "__dict__.items() of ";
    message += cls ? *cls : std::string("<a class>");
    message += " must yield (name, value) pairs, got ";
    if (PyTuple_Check(item) || PyList_Check(item)) {
        Py_ssize_t n = PyObject_Size(item);
        message += "a " + (got ? *got : std::string("<unknown>")) + " of length " + std::to_string(n);
    } else {
        message += got ? *got : std::string("<unknown>");
    }
    return Error::type_error(std::move(message));
}

// Whether the name starts with two underscores.
bool is_dunder(PyObject* name) {
    return PyUnicode_GetLength(name) >= 2 && PyUnicode_ReadChar(name, 0) == '_' &&
           PyUnicode_ReadChar(name, 1) == '_';
}

Result<bool> is_serialisable_decorator(PyObject* value) {
    Q_ASSIGN(bool decorated, is_decorator(value));
    if (!decorated) {
        return false;
    }
    auto* dec = reinterpret_cast<DecoratorObject*>(value);
    return dec->fields != nullptr && dec->fields->serialisable;
}

// A class's own dictionary, held through its `__dict__` view.
struct ClassDict {
    Ref view;                // the mappingproxy, which keeps the dictionary alive
    PyObject* dict = nullptr;  // the exact dict behind it (borrowed from the view)
};

struct Referents {
    int count = 0;
    PyObject* last = nullptr;
};

int note_referent(PyObject* obj, void* arg) {
    auto* seen = static_cast<Referents*>(arg);
    ++seen->count;
    seen->last = obj;
    return 0;
}

// The dictionary of a class whose metaclass is `type` itself, the one its
// `__dict__` view shows, or nothing. The view is the interpreter's
// mappingproxy, whose traversal visits exactly the mapping it wraps (what
// gc.get_referents reports of it); anything else reads as nothing.
Result<std::optional<ClassDict>> own_dict(PyObject* cls) {
    using Out = std::optional<ClassDict>;
    if (Py_TYPE(cls) != &PyType_Type) {
        return Out{};
    }
    Q_ASSIGN(const Names* n, names());
    Q_ASSIGN(Ref view, get_attr(cls, n->dict));
    if (Py_TYPE(view.get()) != &PyDictProxy_Type) {
        return Out{};
    }
    auto traverse = reinterpret_cast<traverseproc>(PyType_GetSlot(&PyDictProxy_Type, Py_tp_traverse));
    if (traverse == nullptr) {
        PyErr_Clear();
        return Out{};
    }
    Referents seen;
    if (traverse(view.get(), note_referent, &seen) != 0 || seen.count != 1 || seen.last == nullptr ||
        !PyDict_CheckExact(seen.last)) {
        return Out{};
    }
    return Out{ClassDict{std::move(view), seen.last}};
}

// The serialisable names of an ordinary hierarchy, read straight from the
// class dictionaries: every class on the `__mro__` (a tuple) has the
// metaclass `type` itself, so `__mro__` and `__dict__` are the interpreter's
// own, and every name in the dictionaries read is an exact `str`. Nothing
// (and nothing done) when the hierarchy is not ordinary: the general walk
// then reads it. The result is the general walk's, in the same order; it is
// read anew on every call, so a class changed since the last one reads as it
// is now. No Python code runs while the dictionaries are read.
Result<std::optional<NameList>> ordinary_serialisable_names(PyObject* cls) {
    using Out = std::optional<NameList>;
    if (Py_TYPE(cls) != &PyType_Type) {
        return Out{};
    }
    Q_ASSIGN(const Names* n, names());
    Q_ASSIGN(Ref mro, get_attr(cls, n->mro));
    if (!PyTuple_CheckExact(mro.get())) {
        return Out{};
    }
    const Py_ssize_t count = PyTuple_Size(mro.get());
    std::vector<ClassDict> dicts;
    dicts.reserve(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* klass = PyTuple_GetItem(mro.get(), i);
        // `object` ends every such `__mro__`; it is immutable and all its
        // names are dunder names, so it holds nothing a dump reads.
        if (klass == reinterpret_cast<PyObject*>(&PyBaseObject_Type) && i == count - 1) {
            break;
        }
        Q_ASSIGN(std::optional<ClassDict> dict, own_dict(klass));
        if (!dict) {
            return Out{};
        }
        dicts.push_back(std::move(*dict));
    }
    PyObject* dec_type = decorator_type_if_created();
    NameList out;
    for (size_t k = 0; k < dicts.size(); ++k) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(dicts[k].dict, &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) {
                return Out{};
            }
            if (reinterpret_cast<PyObject*>(Py_TYPE(value)) != dec_type || is_dunder(key)) {
                continue;
            }
            auto* dec = reinterpret_cast<DecoratorObject*>(value);
            if (dec->fields == nullptr || !dec->fields->serialisable) {
                continue;
            }
            // A class earlier on the `__mro__` binding the name hides it.
            bool hidden = false;
            for (size_t j = 0; j < k && !hidden; ++j) {
                const int rc = PyDict_Contains(dicts[j].dict, key);
                if (rc < 0) {
                    return Error::fetch();
                }
                hidden = rc == 1;
            }
            if (!hidden) {
                out.push_back(Ref::borrow(key));
            }
        }
    }
    return Out{std::move(out)};
}

Result<NameList> collect_serialisable_names(PyObject* cls) {
    Q_ASSIGN(std::optional<NameList> ordinary, ordinary_serialisable_names(cls));
    if (ordinary) {
        return std::move(*ordinary);
    }
    Q_ASSIGN(const Names* n, names());
    Q_ASSIGN(Ref mro, get_attr(cls, n->mro));
    Q_ASSIGN(std::vector<Ref> classes, to_object_sequence(mro.get()));
    NameList out;
    Q_ASSIGN(NameSet seen, NameSet::make());
    for (const Ref& klass : classes) {
        Q_ASSIGN(Ref dict, get_attr(klass.get(), n->dict));
        Q_ASSIGN(Ref items, checked(PyObject_CallMethod(dict.get(), "items", nullptr)));
        Q_ASSIGN(Ref list, checked(PySequence_List(items.get())));
        Q_ASSIGN(std::vector<Ref> pairs, to_object_sequence(list.get()));
        for (const Ref& pair : pairs) {
            Q_ASSIGN(auto halves, dict_item(pair.get(), klass.get()));
            Q_ASSIGN(Ref name, exact_name(halves.first.get()));
            if (is_dunder(name.get())) {
                continue;
            }
            Q_ASSIGN(bool fresh, seen.insert(name.get()));
            if (!fresh) {
                continue;
            }
            Q_ASSIGN(bool serialisable, is_serialisable_decorator(halves.second.get()));
            if (serialisable) {
                out.push_back(std::move(name));
            }
        }
    }
    return out;
}

// The methods an instance's class binds in its own dictionary, found
// without the attribute lookup when its outcome is certain. For an ordinary
// class (metaclass exactly `type`, the generic attribute lookup on its
// instances) whose own dictionary binds a name that is not a dunder name to
// a decorator, `getattr(type(self), name)` is that decorator (the class is
// first on its `__mro__`; `type` binds no such name as a data descriptor)
// and so, the decorator being a data descriptor, `getattr(self, name)` is
// the decorator bound to self, whose call is the decorator's call with self
// first. Each lookup checks anew that all this still holds, since any call
// may change the class, and its instances may change class.
class OwnMethods {
public:
    static Result<OwnMethods> of(PyObject* self) {
        PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(self));
        PyObject* dec_type = decorator_type_if_created();
        Q_ASSIGN(Ref args, checked(PyTuple_Pack(1, self)));
        OwnMethods out(dec_type, std::move(args));
        if (generic_lookup(cls)) {
            Q_ASSIGN(out.dict_, own_dict(cls));
            if (out.dict_) {
                out.cls_ = Ref::borrow(cls);
            }
        }
        return out;
    }

    // The decorator `name` binds on self's class, or null when the lookup
    // decides.
    Result<Ref> find(PyObject* self, PyObject* name) const {
        PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(self));
        if (!cls_ || cls != cls_.get() || !generic_lookup(cls) || is_dunder(name)) {
            return Ref();
        }
        PyObject* value = PyDict_GetItemWithError(dict_->dict, name);
        if (value == nullptr) {
            if (PyErr_Occurred()) {
                return Error::fetch();
            }
            return Ref();
        }
        if (reinterpret_cast<PyObject*>(Py_TYPE(value)) != dec_type_) {
            return Ref();
        }
        return Ref::borrow(value);
    }

    // `getattr(self, name)()` for the decorator `find` gave.
    Result<Ref> call(PyObject* decorator) const { return checked(PyObject_Call(decorator, args_.get(), nullptr)); }

private:
    OwnMethods(PyObject* dec_type, Ref args) : dec_type_(dec_type), args_(std::move(args)) {}

    static bool generic_lookup(PyObject* cls) {
        return Py_TYPE(cls) == &PyType_Type &&
               PyType_GetSlot(reinterpret_cast<PyTypeObject*>(cls), Py_tp_getattro) ==
                   reinterpret_cast<void*>(PyObject_GenericGetAttr);
    }

    PyObject* dec_type_;  // the decorator type, immortal by intent
    Ref args_;            // (self,)
    Ref cls_;             // the ordinary class the view is of, or null
    std::optional<ClassDict> dict_;
};

Result<Ref> call_by_name(PyObject* self, PyObject* name) {
    Q_ASSIGN(Ref attr, get_attr(self, name));
    return call0(attr.get());
}

// The decorator of an asynchronous method bound to `name` on the
// instance's class, or null.
Result<DecoratorObject*> async_decorator(PyObject* self, PyObject* name) {
    Q_ASSIGN(Ref attr, get_attr(reinterpret_cast<PyObject*>(Py_TYPE(self)), name));
    Q_ASSIGN(bool decorated, is_decorator(attr.get()));
    auto* dec = reinterpret_cast<DecoratorObject*>(attr.get());
    // The class keeps the decorator alive.
    return decorated && dec->fields != nullptr && dec->fields->is_async ? dec : nullptr;
}

// An asynchronous method is dumped with its cached value: its call gives
// an awaitable, which a dump must not hold.
Result<Ref> dump_value(PyObject* self, PyObject* name, const OwnMethods& own) {
    Q_ASSIGN(Ref own_dec, own.find(self, name));
    DecoratorObject* dec = nullptr;
    if (own_dec) {
        auto* found = reinterpret_cast<DecoratorObject*>(own_dec.get());
        if (found->fields == nullptr || !found->fields->is_async) {
            return own.call(own_dec.get());
        }
        dec = found;
    } else {
        Q_ASSIGN(dec, async_decorator(self, name));
        if (dec == nullptr) {
            return call_by_name(self, name);
        }
    }
    Q_ASSIGN(CallSignature sig, query_signature(dec->fields->name, nullptr));
    auto* inst = reinterpret_cast<QuendleBaseObject*>(self);
    Q_ASSIGN(ExclusiveAccess access, ExclusiveAccess::take(inst->borrow, Conflict::Raise));
    Q_ASSIGN(CacheState * state, state_of(inst));
    Q_ASSIGN(std::optional<CacheKey> key, state->find_key(sig.hash, sig.key.get()));
    if (key) {
        if (Ref v = state->get_value(*key)) {
            return v;
        }
    }
    return name_error("Method '", name, "' is asynchronous and has no cached value to dump; await it first",
                      PyExc_TypeError);
}

// An asynchronous method's loaded value is stored as if its body had
// returned it: the key is registered as a call registers it and becomes
// valid, and a computation of it in progress does not overwrite it.
Status load_async_value(QuendleBaseObject* inst, std::string_view text, Ref value, const DecoratorFields& f) {
    Q_ASSIGN(CallSignature sig, query_signature(text, nullptr));
    Q_ASSIGN(ExclusiveAccess access, ExclusiveAccess::take(inst->borrow, Conflict::Panic));
    Q_ASSIGN(CacheState * state, state_of(inst));
    Q_ASSIGN(CacheKey k, state->get_or_create_key(std::move(sig)));
    Q_TRY(register_method_call(*state, f, k));
    state->base_values().set(k, std::move(value), access.dead());
    state->revalidate(k);
    state->bump_epoch(k);
    return {};
}

Result<Ref> dump_cache(PyObject* self, PyObject* args, PyObject* kwargs) {
    Q_ASSIGN(BoundArgs bound, bind_arguments(kDump, args, kwargs));
    Q_ASSIGN(std::optional<NameList> order, optional_order(bound.get(0)));
    Q_ASSIGN(NameList serialisable, collect_serialisable_names(reinterpret_cast<PyObject*>(Py_TYPE(self))));
    NameList result;
    NameList rest;
    if (!order) {
        rest = std::move(serialisable);
    } else {
        Q_ASSIGN(NameSet remaining, NameSet::make());
        for (const Ref& name : serialisable) {
            Q_TRY(remaining.insert(name.get()));
        }
        Q_ASSIGN(NameSet seen, NameSet::make());
        for (const Ref& name : *order) {
            Q_ASSIGN(bool fresh, seen.insert(name.get()));
            if (!fresh) {
                continue;
            }
            Q_ASSIGN(bool listed, remaining.erase(name.get()));
            if (listed) {
                result.push_back(name);
            }
        }
        for (const Ref& name : serialisable) {
            Q_ASSIGN(bool left, remaining.contains(name.get()));
            if (left) {
                rest.push_back(name);
            }
        }
    }
    Q_TRY(shuffle_uniform(rest));
    result.insert(result.end(), rest.begin(), rest.end());
    Q_ASSIGN(Ref dict, checked(PyDict_New()));
    Q_ASSIGN(OwnMethods own, OwnMethods::of(self));
    for (const Ref& name : result) {
        Q_ASSIGN(Ref value, dump_value(self, name.get(), own));
        Q_TRY(checked_status(PyDict_SetItem(dict.get(), name.get(), value.get())));
    }
    return dict;
}

// The key (name, ()), allocated when new. Under the method's own name it is
// looked up from its parts and a hash made once per method (the call just
// made has registered it); any other name builds the key tuple.
Result<CacheKey> no_argument_key(CacheState& state, PyObject* name, const DecoratorFields& d) {
    bool own_name = name == d.name_obj.get();
    if (!own_name) {
        const int rc = PyUnicode_Compare(name, d.name_obj.get());
        if (rc == -1 && PyErr_Occurred() != nullptr) {
            return Error::fetch();
        }
        own_name = rc == 0;
    }
    if (own_name) {
        if (!d.no_argument_hash) {
            Q_ASSIGN(CallSignature sig, no_argument_signature(d.name_obj.get()));
            d.no_argument_hash = sig.hash;
        }
        BoundCall call;
        call.method = d.name_obj.get();
        call.hash = *d.no_argument_hash;
        CacheKey key = 0;
        const int pure = state.find_pure(call, key);  // the stored names are str: no user code
        if (pure == 1) {
            return key;
        }
        if (pure < 0) {
            Q_ASSIGN(std::optional<CacheKey> found, state.find_bound(call));
            if (found) {
                return *found;
            }
        }
    }
    Q_ASSIGN(CallSignature sig, no_argument_signature(name));
    return state.get_or_create_key(std::move(sig));
}

Status load_method_value(PyObject* self, PyObject* data, PyObject* name, const OwnMethods& own) {
    PyObject* found = PyDict_GetItemWithError(data, name);
    if (found == nullptr) {
        if (PyErr_Occurred()) {
            return Error::fetch();
        }
        return {};
    }
    Ref value = Ref::borrow(found);
    // The cache key is built from the UTF-8 text; a name without one fails
    // here, before any method runs.
    Py_ssize_t size = 0;
    const char* chars = PyUnicode_AsUTF8AndSize(name, &size);  // kept by the str, which the caller holds
    if (chars == nullptr) {
        return Error::fetch();
    }
    const std::string_view text(chars, static_cast<size_t>(size));
    Q_ASSIGN(Ref attr, own.find(self, name));
    if (!attr) {
        Result<Ref> looked_up = get_attr(reinterpret_cast<PyObject*>(Py_TYPE(self)), name);
        if (!looked_up.ok()) {
            return hint_missing_method(looked_up.take_error(), reinterpret_cast<PyObject*>(Py_TYPE(self)), name);
        }
        attr = looked_up.take();
    }
    Q_ASSIGN(bool decorated, is_decorator(attr.get()));
    if (!decorated) {
        return name_error("Method '", name, "' is not decorated with @quendled");
    }
    auto* dec = reinterpret_cast<DecoratorObject*>(attr.get());
    if (dec->fields == nullptr) {
        return cleared_error("QuendleDecorator");
    }
    if (!dec->fields->serialisable) {
        return name_error("Method '", name, "' is not marked as serialisable");
    }
    Ref func = dec->fields->func;
    Q_TRY(check_serialisable_signature(func.get(), &dec->fields->passed_code));
    if (dec->fields->is_async) {
        Ref keep = attr;  // the decorator's fields stay while it is held
        return load_async_value(reinterpret_cast<QuendleBaseObject*>(self), text, std::move(value), *dec->fields);
    }
    Q_ASSIGN(Ref method, own.find(self, name));
    Q_ASSIGN(Ref computed, method ? own.call(method.get()) : call_by_name(self, name));
    auto* inst = reinterpret_cast<QuendleBaseObject*>(self);
    Q_ASSIGN(ExclusiveAccess access, ExclusiveAccess::take(inst->borrow, Conflict::Panic));
    Q_ASSIGN(CacheState * state, state_of(inst));
    Q_ASSIGN(CacheKey k, no_argument_key(*state, name, *dec->fields));
    state->base_values().set(k, std::move(value), access.dead());
    return {};
}

Result<Ref> load_cache(PyObject* self, PyObject* args, PyObject* kwargs) {
    Q_ASSIGN(BoundArgs bound, bind_arguments(kLoad, args, kwargs));
    Q_ASSIGN(Ref data, noted(to_dict(bound.get(0)), "data"));
    Q_ASSIGN(std::optional<NameList> order, optional_order(bound.get(1)));
    NameList keys;
    {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(data.get(), &pos, &key, &value)) {
            Q_ASSIGN(Ref name, exact_name(key));
            keys.push_back(std::move(name));
        }
    }
    Q_ASSIGN(OwnMethods own, OwnMethods::of(self));
    NameList rest;
    if (!order) {
        rest = std::move(keys);
    } else {
        Q_ASSIGN(NameSet seen, NameSet::make());
        for (const Ref& name : *order) {
            Q_ASSIGN(bool done, seen.contains(name.get()));
            if (done) {
                continue;
            }
            Q_TRY(load_method_value(self, data.get(), name.get(), own));
            Q_TRY(seen.insert(name.get()));
        }
        for (const Ref& name : keys) {
            Q_ASSIGN(bool done, seen.contains(name.get()));
            if (!done) {
                rest.push_back(name);
            }
        }
    }
    Q_TRY(shuffle_uniform(rest));
    for (const Ref& name : rest) {
        Q_TRY(load_method_value(self, data.get(), name.get(), own));
    }
    return none_result();
}

}  // namespace

PyObject* qb_dump_cache(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry_object([&] { return dump_cache(self, args, kwargs); });
}

PyObject* qb_load_cache(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry_object([&] { return load_cache(self, args, kwargs); });
}

}  // namespace quendle
