#include "base/key_text.h"

#include "base/runtime.h"

namespace quendle {

std::optional<std::string> try_repr(PyObject* obj) {
    Ref text = Ref::steal(PyObject_Repr(obj));
    if (!text) {
        PyErr_Clear();
        return std::nullopt;
    }
    return try_str(text.get());
}

namespace {

// The text of a key: with `exact`, nothing when a part cannot be shown;
// otherwise that part reads as a placeholder.
std::optional<std::string> render(PyObject* key, bool exact) {
    constexpr size_t kLongest = 200;
    if (key == nullptr || !PyTuple_Check(key) || PyTuple_Size(key) != 2) {
        return exact ? std::nullopt : std::optional<std::string>("<malformed key>");
    }
    std::optional<std::string> method = try_str(PyTuple_GetItem(key, 0));
    if (!method && exact) {
        return std::nullopt;
    }
    std::string out = method.value_or("<method>") + "(";
    PyObject* args = PyTuple_GetItem(key, 1);
    const Py_ssize_t n = PyTuple_Check(args) ? PyTuple_Size(args) : 0;
    for (Py_ssize_t j = 0; j < n; ++j) {
        PyObject* pair = PyTuple_GetItem(args, j);
        if (!PyTuple_Check(pair) || PyTuple_Size(pair) != 2) {
            if (exact) {
                return std::nullopt;
            }
            continue;
        }
        std::optional<std::string> name = try_str(PyTuple_GetItem(pair, 0));
        std::optional<std::string> value = try_repr(PyTuple_GetItem(pair, 1));
        if ((!name || !value) && exact) {
            return std::nullopt;
        }
        std::string shown = value.value_or("<unrepresentable>");
        if (shown.size() > kLongest) {
            shown = shown.substr(0, kLongest - 3) + "...";
        }
        out += (j > 0 ? ", " : "") + name.value_or("?") + "=" + shown;
    }
    return out + ")";
}

}  // namespace

std::string key_text(PyObject* key) { return *render(key, false); }

std::optional<std::string> exact_key_text(PyObject* key) { return render(key, true); }

}  // namespace quendle
