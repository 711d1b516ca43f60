// dump_cache / load_cache: move the values of serialisable methods to and
// from a plain dict. Names the caller leaves unordered are processed in a
// uniformly random order drawn anew on every call.
#include "decorator.h"
#include "quendle_base.h"

#include <random>
#include <unordered_set>

namespace quendle {

namespace {

const ArgSpec kDump{"dump_cache", "QuendleBase", {"order"}, 1, 0, false};
const ArgSpec kLoad{"load_cache", "QuendleBase", {"data", "order"}, 2, 1, false};

// A generator per thread, seeded once from the operating system.
Result<std::mt19937_64*> thread_generator() {
    thread_local std::mt19937_64 gen;
    thread_local bool seeded = false;
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

Status shuffle_uniform(std::vector<std::string>& names) {
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

Result<std::optional<std::vector<std::string>>> optional_order(PyObject* obj) {
    using Out = std::optional<std::vector<std::string>>;
    if (obj == nullptr || obj == Py_None) {
        return Out{};
    }
    Q_ASSIGN(std::vector<std::string> names, noted(to_text_sequence(obj), "order"));
    return Out{std::move(names)};
}

Result<std::vector<std::string>> collect_serialisable_names(PyObject* cls) {
    Q_ASSIGN(const Names* n, names());
    Q_ASSIGN(Ref mro, get_attr(cls, n->mro));
    Q_ASSIGN(std::vector<Ref> classes, to_object_sequence(mro.get()));
    std::vector<std::string> out;
    std::unordered_set<std::string> seen;
    for (const Ref& klass : classes) {
        Q_ASSIGN(Ref dict, get_attr(klass.get(), n->dict));
        Q_ASSIGN(Ref items, checked(PyObject_CallMethod(dict.get(), "items", nullptr)));
        Q_ASSIGN(Ref list, checked(PySequence_List(items.get())));
        Q_ASSIGN(std::vector<Ref> pairs, to_object_sequence(list.get()));
        for (const Ref& pair : pairs) {
            PyObject* name = PyTuple_GetItem(pair.get(), 0);
            PyObject* value = PyTuple_GetItem(pair.get(), 1);
            if (name == nullptr || value == nullptr) {
                return Error::fetch();
            }
            Q_ASSIGN(std::string text, to_text(name));
            if (text.size() >= 2 && text[0] == '_' && text[1] == '_') {
                continue;
            }
            if (!seen.insert(text).second) {
                continue;
            }
            Q_ASSIGN(bool decorated, is_decorator(value));
            if (decorated) {
                auto* dec = reinterpret_cast<DecoratorObject*>(value);
                if (dec->fields != nullptr && dec->fields->serialisable) {
                    out.push_back(std::move(text));
                }
            }
        }
    }
    return out;
}

Result<Ref> call_by_name(PyObject* self, const std::string& name) {
    Q_ASSIGN(Ref attr, checked(PyObject_GetAttrString(self, name.c_str())));
    return call0(attr.get());
}

Result<Ref> dump_cache(PyObject* self, PyObject* args, PyObject* kwargs) {
    Q_ASSIGN(BoundArgs bound, bind_arguments(kDump, args, kwargs));
    Q_ASSIGN(std::optional<std::vector<std::string>> order, optional_order(bound.get(0)));
    Q_ASSIGN(std::vector<std::string> serialisable,
             collect_serialisable_names(reinterpret_cast<PyObject*>(Py_TYPE(self))));
    std::unordered_set<std::string> remaining(serialisable.begin(), serialisable.end());
    std::vector<std::string> result;
    if (order) {
        std::unordered_set<std::string> seen;
        for (const std::string& name : *order) {
            if (!seen.insert(name).second) {
                continue;
            }
            if (remaining.erase(name) != 0) {
                result.push_back(name);
            }
        }
    }
    std::vector<std::string> rest;
    for (const std::string& name : serialisable) {
        if (remaining.count(name) != 0) {
            rest.push_back(name);
        }
    }
    Q_TRY(shuffle_uniform(rest));
    result.insert(result.end(), rest.begin(), rest.end());
    Q_ASSIGN(Ref dict, checked(PyDict_New()));
    for (const std::string& name : result) {
        Q_ASSIGN(Ref value, call_by_name(self, name));
        Q_TRY(checked_status(PyDict_SetItemString(dict.get(), name.c_str(), value.get())));
    }
    return dict;
}

Status load_method_value(PyObject* self, PyObject* data, const std::string& name) {
    Q_ASSIGN(Ref key, new_str(name));
    PyObject* found = PyDict_GetItemWithError(data, key.get());
    if (found == nullptr) {
        if (PyErr_Occurred()) {
            return Error::fetch();
        }
        return {};
    }
    Ref value = Ref::borrow(found);
    Q_ASSIGN(Ref attr, get_attr(reinterpret_cast<PyObject*>(Py_TYPE(self)), key.get()));
    Q_ASSIGN(bool decorated, is_decorator(attr.get()));
    if (!decorated) {
        return Error::value_error("Method '" + name + "' is not decorated with @quendled");
    }
    auto* dec = reinterpret_cast<DecoratorObject*>(attr.get());
    if (dec->fields == nullptr) {
        return cleared_error("QuendleDecorator");
    }
    if (!dec->fields->serialisable) {
        return Error::value_error("Method '" + name + "' is not marked as serialisable");
    }
    Ref func = dec->fields->func;
    Q_TRY(check_serialisable_signature(func.get()));
    Q_ASSIGN(Ref computed, call_by_name(self, name));
    Q_ASSIGN(CallSignature sig, query_signature(name, nullptr));
    auto* inst = reinterpret_cast<QuendleBaseObject*>(self);
    Graveyard dead;
    Q_ASSIGN(Borrow b, Borrow::exclusive(inst->borrow, Conflict::Panic));
    Q_ASSIGN(CacheState * state, state_of(inst));
    Q_ASSIGN(CacheKey k, state->get_or_create_key(std::move(sig)));
    state->base_values().set(k, std::move(value), dead);
    b.release();
    return {};
}

Result<Ref> load_cache(PyObject* self, PyObject* args, PyObject* kwargs) {
    Q_ASSIGN(BoundArgs bound, bind_arguments(kLoad, args, kwargs));
    Q_ASSIGN(Ref data, noted(to_dict(bound.get(0)), "data"));
    Q_ASSIGN(std::optional<std::vector<std::string>> order, optional_order(bound.get(1)));
    std::vector<std::string> keys;
    {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(data.get(), &pos, &key, &value)) {
            Q_ASSIGN(std::string text, to_text(key));
            keys.push_back(std::move(text));
        }
    }
    std::unordered_set<std::string> seen;
    if (order) {
        for (const std::string& name : *order) {
            if (seen.count(name) != 0) {
                continue;
            }
            Q_TRY(load_method_value(self, data.get(), name));
            seen.insert(name);
        }
    }
    std::vector<std::string> rest;
    for (const std::string& name : keys) {
        if (seen.count(name) == 0) {
            rest.push_back(name);
        }
    }
    Q_TRY(shuffle_uniform(rest));
    for (const std::string& name : rest) {
        Q_TRY(load_method_value(self, data.get(), name));
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
