#include "cache/objects.h"

#include "base/runtime.h"
#include "cache/instance_access.h"

#include <string>
#include <utility>

namespace quendle {

Error cleared_error(const char* class_name) {
    return Error::builtin(PyExc_ReferenceError,
                          std::string(class_name) + " object was cleared by the garbage collector");
}

Result<PyObject*> quendle_base_type() {
    PyObject* type = quendle_base_type_if_created();
    if (type == nullptr) {
        return QUENDLE_PANIC("QuendleBase used before the module made it");
    }
    return type;
}

PyObject* quendle_base_type_if_created() noexcept { return process().base_type.peek(); }

Result<QuendleBaseObject*> as_quendle_base(PyObject* obj) {
    PyObject* type = quendle_base_type_if_created();
    if (type == nullptr || !PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type))) {
        return Error::type_error("expected a QuendleBase instance");
    }
    return reinterpret_cast<QuendleBaseObject*>(obj);
}

Result<CacheState*> state_of(QuendleBaseObject* self) {
    if (self->state == nullptr) {
        return QUENDLE_PANIC("QuendleBase instance without cache state");
    }
    return self->state;
}

Status replace_empty_state(QuendleBaseObject* self, std::unique_ptr<CacheState> fresh) {
    // Declared before the access, so the old state goes after the borrow.
    std::unique_ptr<CacheState> old;
    Q_ASSIGN(ExclusiveAccess access, ExclusiveAccess::take(self->borrow, Conflict::Raise));
    Q_ASSIGN(CacheState * state, state_of(self));
    if (!state->is_empty()) {
        return Error::value_error("the cache state of an instance can be restored only while it is empty");
    }
    // Counts start at zero in the restored state: they count this
    // instance's events, and building the state was none of them.
    fresh->reset_counts();
    fresh->set_owner(reinterpret_cast<PyObject*>(self));
    old.reset(std::exchange(self->state, fresh.release()));
    return {};
}

PyObject* decorator_type_if_created() noexcept { return process().decorator_type.peek(); }

Result<bool> is_decorator(PyObject* obj) {
    PyObject* type = decorator_type_if_created();
    return type != nullptr && PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type)) != 0;
}

}  // namespace quendle
