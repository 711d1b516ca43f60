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

std::string key_text(PyObject* key) {
    constexpr size_t kLongest = 200;
    if (key == nullptr || !PyTuple_Check(key) || PyTuple_Size(key) != 2) {
        return "<malformed key>";
    }
    std::string out = try_str(PyTuple_GetItem(key, 0)).value_or("<method>") + "(";
    PyObject* args = PyTuple_GetItem(key, 1);
    const Py_ssize_t n = PyTuple_Check(args) ? PyTuple_Size(args) : 0;
    for (Py_ssize_t j = 0; j < n; ++j) {
        PyObject* pair = PyTuple_GetItem(args, j);
        if (!PyTuple_Check(pair) || PyTuple_Size(pair) != 2) {
            continue;
        }
        std::string shown = try_repr(PyTuple_GetItem(pair, 1)).value_or("<unrepresentable>");
        if (shown.size() > kLongest) {
            shown = shown.substr(0, kLongest - 3) + "...";
        }
        out += (j > 0 ? ", " : "") + try_str(PyTuple_GetItem(pair, 0)).value_or("?") + "=" + shown;
    }
    return out + ")";
}

}  // namespace quendle
