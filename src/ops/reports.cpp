// The read-only reports `cached_values`, `dependency_graph` and
// `validation_state`, keyed by entry labels: the method name for a call
// without arguments, else the call's key tuple.
#include "ops/reports.h"
#include "cache/objects.h"

namespace quendle {

namespace {

template <class Build>
PyObject* report(PyObject* self, Build&& build) {
    return entry_object([&]() -> Result<Ref> {
        auto* obj = reinterpret_cast<QuendleBaseObject*>(self);
        Q_ASSIGN(Borrow b, Borrow::shared(obj->borrow, Conflict::Raise, Share::Recorded));
        Q_ASSIGN(CacheState * state, state_of(obj));
        Q_ASSIGN(Ref dict, checked(PyDict_New()));
        Q_TRY(build(*state, dict.get()));
        return dict;
    });
}

const char* state_text(ValidationState s) {
    switch (s) {
        case ValidationState::Valid:
            return "valid";
        case ValidationState::Invalid:
            return "invalid";
        case ValidationState::PermanentlyInvalid:
            return "permanently invalid";
    }
    return "permanently invalid";
}

}  // namespace

Result<Ref> entry_label(const CacheState& state, CacheKey k) {
    if (k >= state.next_key()) {
        return Ref{};
    }
    if (state.keys().count(k) == 0) {
        return Ref::borrow(state.keys().method(k));
    }
    return state.shared_key_tuple(k);
}

PyObject* qb_cached_values(PyObject* self, void*) {
    return report(self, [](const CacheState& state, PyObject* dict) -> Status {
        size_t n = state.base_values().size();
        for (const Layer& layer : state.layers()) {
            n = std::max(n, layer.values.size());
        }
        for (CacheKey k = 0; k < n; ++k) {
            Ref value = Ref::borrow(state.effective_value(k));
            if (!value) {
                continue;
            }
            Q_ASSIGN(Ref label, entry_label(state, k));
            if (label) {
                Q_TRY(checked_status(PyDict_SetItem(dict, label.get(), value.get())));
            }
        }
        return {};
    });
}

PyObject* qb_dependency_graph(PyObject* self, void*) {
    return report(self, [](const CacheState& state, PyObject* dict) -> Status {
        const DependencyTracker& t = state.tracker();
        return t.for_each_node([&](CacheKey k) -> Status {
            Q_ASSIGN(Ref label, entry_label(state, k));
            if (!label) {
                return {};
            }
            Q_ASSIGN(Ref set, checked(PySet_New(nullptr)));
            std::vector<CacheKey> members;
            if (const KeySet* dependants = t.dependants(k)) {
                dependants->for_each([&](CacheKey d) { members.push_back(d); });
            }
            for (CacheKey d : members) {
                Q_ASSIGN(Ref dl, entry_label(state, d));
                if (dl) {
                    Q_TRY(checked_status(PySet_Add(set.get(), dl.get())));
                }
            }
            return checked_status(PyDict_SetItem(dict, label.get(), set.get()));
        });
    });
}

PyObject* qb_validation_state(PyObject* self, void*) {
    return report(self, [](const CacheState& state, PyObject* dict) -> Status {
        const DependencyTracker& t = state.tracker();
        return t.for_each_with_state([&](CacheKey k) -> Status {
            Q_ASSIGN(Ref label, entry_label(state, k));
            if (!label) {
                return {};
            }
            Q_ASSIGN(Ref text, new_str(state_text(t.read(k))));
            return checked_status(PyDict_SetItem(dict, label.get(), text.get()));
        });
    });
}

}  // namespace quendle
