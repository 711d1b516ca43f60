// The method names of dump_cache and load_cache: the random order of names
// the caller leaves unordered, the names of a given order, and the
// serialisable methods of a class, read straight from the class
// dictionaries of an ordinary hierarchy and through attribute lookups
// otherwise.
#include "ops/method_names.h"
#include "base/hints.h"
#include "cache/objects.h"

#include <mutex>
#include <random>

namespace quendle {

namespace {

// One generator, seeded once from the operating system; used with the
// interpreter lock held (in a free-threaded build, under a mutex). (Not one per thread: the module's thread-local
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

}  // namespace

Status shuffle_uniform(NameList& names) {
    if (names.size() < 2) {
        return {};
    }
#if QUENDLE_FREE_THREADING
    // Without the interpreter lock the one generator is shared under a mutex
    // (no Python code runs while it is held).
    static std::mutex generator_mutex;
    std::lock_guard<std::mutex> lock(generator_mutex);
#endif
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

// A ValueError (or `type`) "<head><name><tail>", keeping every character
// of the name.
Error name_error(const char* head, PyObject* name, const char* tail, PyObject* type) {
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

namespace {

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

}  // namespace

// Whether the name starts with two underscores.
bool is_dunder(PyObject* name) {
    return PyUnicode_GetLength(name) >= 2 && PyUnicode_ReadChar(name, 0) == '_' &&
           PyUnicode_ReadChar(name, 1) == '_';
}

namespace {

Result<bool> is_serialisable_decorator(PyObject* value) {
    Q_ASSIGN(bool decorated, is_decorator(value));
    if (!decorated) {
        return false;
    }
    auto* dec = reinterpret_cast<DecoratorObject*>(value);
    return dec->fields != nullptr && dec->fields->serialisable;
}

}  // namespace

namespace {

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

}  // namespace

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

namespace {

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

}  // namespace

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

}  // namespace quendle
