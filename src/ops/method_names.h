// The method names dump_cache and load_cache work with: exact `str`
// objects in lists and sets, the order a caller gives, the serialisable
// methods a class has along its method resolution order, and the class
// dictionaries read without running Python code where the hierarchy is
// ordinary (ops/persistence.cpp).
#pragma once

#include "base/binding.h"

#include <optional>
#include <vector>

namespace quendle {

// Exact `str` objects (never a subclass, so comparing and hashing them runs
// no user code).
using NameList = std::vector<Ref>;

// The names in a uniformly random order.
Status shuffle_uniform(NameList& names);

// The name as an exact `str`: obj itself, or a plain copy of a str subclass.
Result<Ref> exact_name(PyObject* obj);

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
Error name_error(const char* head, PyObject* name, const char* tail, PyObject* type = PyExc_ValueError);

// The names of `order` (None or absent: none given).
Result<std::optional<NameList>> optional_order(PyObject* obj);

// Whether the name starts with two underscores.
bool is_dunder(PyObject* name);

// A class's own dictionary, held through its `__dict__` view.
struct ClassDict {
    Ref view;                // the mappingproxy, which keeps the dictionary alive
    PyObject* dict = nullptr;  // the exact dict behind it (borrowed from the view)
};

// The dictionary of a class whose metaclass is `type` itself, the one its
// `__dict__` view shows, or nothing. The view is the interpreter's
// mappingproxy, whose traversal visits exactly the mapping it wraps (what
// gc.get_referents reports of it); anything else reads as nothing.
Result<std::optional<ClassDict>> own_dict(PyObject* cls);

// The names of the serialisable methods `cls` and its bases define, each
// once (the first definition along the method resolution order wins), in
// that order; dunder names are left out.
Result<NameList> collect_serialisable_names(PyObject* cls);

}  // namespace quendle
