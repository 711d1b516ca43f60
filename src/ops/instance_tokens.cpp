// The instance tokens of pickles and deep copies: the type, made on first
// use, a token's reduction (a call of `quendle._instance_token()`) and deep
// copy (a new token), the instance's own token, and the instance a restored
// token is bound to.
#include "base/heap_type.h"
#include "ops/pickle_parts.h"

#include <utility>

namespace quendle {

namespace {

void token_dealloc(PyObject* self) {
    delete std::exchange(token(self)->bound, nullptr);
    delete std::exchange(token(self)->pending, nullptr);
    free_instance(self);
}

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

PyObject* instance_token(PyObject* /*module*/, PyObject* /*unused*/) {
    return entry_object([]() -> Result<Ref> { return new_token(); });
}

}  // namespace

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

PyMethodDef instance_token_def = {"_instance_token", instance_token, METH_NOARGS, "_instance_token()\n--\n\n"};

}  // namespace quendle
