// The Python surface of cross-instance dependencies: the class keyword
// `cross_instance` taken by `QuendleBase.__init_subclass__`, and the module
// function `cross_instance_edges(obj)` that shows an instance's edges.
#include "ops/cross_instance_api.h"
#include "base/thread_exit.h"
#include "cache/cross_instance.h"
#include "ops/reports.h"

#include <algorithm>

namespace quendle {

namespace {

const ArgSpec kEdges{"cross_instance_edges", nullptr, {"obj"}, 1, 1, false};

// `__init_subclass__(cls, /, cross_instance=None, **kwargs)`: stores the
// keyword on the class (None, or no keyword, inherits it) and passes every
// other keyword on to the next class of the method resolution order.
Result<Ref> init_subclass(PyObject* cls, PyObject* args, PyObject* kwargs) {
    Ref rest;
    if (kwargs != nullptr) {
        Q_ASSIGN(rest, checked(PyDict_Copy(kwargs)));
        PyObject* given = PyDict_GetItemString(rest.get(), "cross_instance");  // borrowed
        if (given != nullptr) {
            Ref flag = Ref::borrow(given);
            Q_TRY(checked_status(PyDict_DelItemString(rest.get(), "cross_instance")));
            if (flag.get() != Py_None) {
                Q_ASSIGN(bool on, noted(to_bool(flag.get()), "cross_instance"));
                Q_TRY(checked_status(
                    PyObject_SetAttrString(cls, "__quendle_cross_instance__", on ? Py_True : Py_False)));
            }
        }
    }
    Q_ASSIGN(PyObject * base, quendle_base_type());
    Q_ASSIGN(Ref super, checked(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type), base,
                                                             cls, nullptr)));
    Q_ASSIGN(Ref next, get_attr(super.get(), "__init_subclass__"));
    Q_ASSIGN(Ref empty, checked(PyTuple_New(0)));
    return checked(exit_safe([&] { return PyObject_Call(next.get(), args != nullptr ? args : empty.get(), rest.get()); }));
}

PyObject* init_subclass_entry(PyObject* cls, PyObject* args, PyObject* kwargs) {
    return entry_object([&] { return init_subclass(cls, args, kwargs); });
}

// One key of the instance with its edges, the far ends held alive.
struct EdgeRow {
    Ref label;
    std::vector<std::pair<Ref, CacheKey>> ends[2];  // dependants, dependencies
};

void take_ends(const std::unordered_map<CacheKey, CrossSet>& edges, CacheKey key,
               std::vector<std::pair<Ref, CacheKey>>& out) {
    auto it = edges.find(key);
    if (it == edges.end()) {
        return;
    }
    for (const CrossRef& r : it->second) {
        if (QuendleBaseObject* other = resolve(r)) {
            out.emplace_back(Ref::borrow(reinterpret_cast<PyObject*>(other)), r.key);
        }
    }
}

Result<std::vector<EdgeRow>> edge_rows(QuendleBaseObject* obj) {
    Q_ASSIGN(Borrow b, Borrow::shared(obj->borrow, Conflict::Raise, Share::Recorded));
    Q_ASSIGN(CacheState * state, state_of(obj));
    [[maybe_unused]] CrossTableSection table;
    std::vector<EdgeRow> rows;
    const Participant* p = participant_of(obj);
    if (p == nullptr) {
        return rows;
    }
    std::vector<CacheKey> keys;
    for (const auto* edges : {&p->dependants, &p->dependencies}) {
        for (const auto& [key, set] : *edges) {
            keys.push_back(key);
        }
    }
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    for (CacheKey key : keys) {
        EdgeRow row;
        Q_ASSIGN(row.label, entry_label(*state, key));
        take_ends(p->dependants, key, row.ends[0]);
        take_ends(p->dependencies, key, row.ends[1]);
        if (row.label && (!row.ends[0].empty() || !row.ends[1].empty())) {
            rows.push_back(std::move(row));
        }
    }
    return rows;
}

// A list of (instance, label) pairs, each label read under its instance's borrow.
Result<Ref> end_list(const std::vector<std::pair<Ref, CacheKey>>& ends) {
    Q_ASSIGN(Ref list, checked(PyList_New(0)));
    for (const auto& [inst_ref, key] : ends) {
        auto* inst = reinterpret_cast<QuendleBaseObject*>(inst_ref.get());
        Ref label;
        {
            Q_ASSIGN(Borrow b, Borrow::shared(inst->borrow, Conflict::Raise, Share::Recorded));
            Q_ASSIGN(CacheState * state, state_of(inst));
            Q_ASSIGN(label, entry_label(*state, key));
        }
        if (!label) {
            continue;
        }
        Q_ASSIGN(Ref pair, checked(PyTuple_Pack(2, inst_ref.get(), label.get())));
        Q_TRY(checked_status(PyList_Append(list.get(), pair.get())));
    }
    return list;
}

Result<Ref> cross_instance_edges(PyObject* args, PyObject* kwargs) {
    Q_ASSIGN(BoundArgs bound, bind_arguments(kEdges, args, kwargs));
    Q_ASSIGN(QuendleBaseObject * obj, noted(as_quendle_base(bound.get(0)), "obj"));
    Q_ASSIGN(std::vector<EdgeRow> rows, edge_rows(obj));
    Q_ASSIGN(Ref result, checked(PyDict_New()));
    for (const EdgeRow& row : rows) {
        Q_ASSIGN(Ref entry, checked(PyDict_New()));
        const char* names[2] = {"dependants", "dependencies"};
        for (int i = 0; i < 2; ++i) {
            Q_ASSIGN(Ref list, end_list(row.ends[i]));
            Q_TRY(checked_status(PyDict_SetItemString(entry.get(), names[i], list.get())));
        }
        Q_TRY(checked_status(PyDict_SetItem(result.get(), row.label.get(), entry.get())));
    }
    return result;
}

PyObject* cross_instance_edges_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
    return entry_object([&] { return cross_instance_edges(args, kwargs); });
}

}  // namespace

PyMethodDef init_subclass_def = {"__init_subclass__",
                                 reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(init_subclass_entry)),
                                 METH_VARARGS | METH_KEYWORDS | METH_CLASS,
                                 "__init_subclass__($cls, /, cross_instance=None, **kwargs)\n--\n\n"};

PyMethodDef cross_instance_edges_def = {
    "cross_instance_edges", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(cross_instance_edges_entry)),
    METH_VARARGS | METH_KEYWORDS, "cross_instance_edges(obj)\n--\n\n"};

}  // namespace quendle
