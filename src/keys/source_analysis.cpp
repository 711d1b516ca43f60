// Dependency discovery for `automagically_quendled`: the zero-argument
// `self.<name>()` calls found anywhere below the statements of the method's
// body, in pre-order, each name once, in the order first seen.
#include "base/binding.h"
#include "base/hints.h"
#include "base/runtime.h"
#include "keys/introspection.h"

#include <unordered_set>

namespace quendle {

namespace {

struct AstTypes {
    Ref call, attribute, name;
    Ref iter_child_nodes;
};

Result<Ref> str_attr(PyObject* obj, const char* name) {
    Q_ASSIGN(Ref v, get_attr(obj, name));
    if (!PyUnicode_Check(v.get())) {
        return cast_error(v.get(), reinterpret_cast<PyObject*>(&PyUnicode_Type));
    }
    return v;
}

Result<Py_ssize_t> length(PyObject* obj) {
    Py_ssize_t n = PyObject_Size(obj);
    if (n < 0) {
        return Error::fetch();
    }
    return n;
}

// The attribute name when node is `self.<name>()` with no arguments.
Result<std::optional<std::string>> match_self_call(PyObject* node, const AstTypes& ast) {
    using Out = std::optional<std::string>;
    Q_ASSIGN(bool is_call, is_instance(node, ast.call.get()));
    if (!is_call) {
        return Out{};
    }
    Q_ASSIGN(Ref args, get_attr(node, "args"));
    Q_ASSIGN(Ref keywords, get_attr(node, "keywords"));
    Q_ASSIGN(Py_ssize_t nargs, length(args.get()));
    if (nargs != 0) {
        return Out{};
    }
    Q_ASSIGN(Py_ssize_t nkw, length(keywords.get()));
    if (nkw != 0) {
        return Out{};
    }
    Q_ASSIGN(Ref func, get_attr(node, "func"));
    Q_ASSIGN(bool is_attr, is_instance(func.get(), ast.attribute.get()));
    if (!is_attr) {
        return Out{};
    }
    Q_ASSIGN(Ref value, get_attr(func.get(), "value"));
    Q_ASSIGN(bool is_name, is_instance(value.get(), ast.name.get()));
    if (!is_name) {
        return Out{};
    }
    Q_ASSIGN(Ref id, str_attr(value.get(), "id"));
    if (PyUnicode_CompareWithASCIIString(id.get(), "self") != 0) {
        return Out{};
    }
    Q_ASSIGN(Ref attr, str_attr(func.get(), "attr"));
    Q_ASSIGN(std::string text, utf8(attr.get()));
    return Out{std::move(text)};
}

Status visit_node(PyObject* node, const AstTypes& ast, std::vector<DependencyDecl>& result,
                  std::unordered_set<std::string>& seen) {
    // An explicit stack keeps pre-order: children are pushed in reverse.
    std::vector<Ref> stack{Ref::borrow(node)};
    while (!stack.empty()) {
        Ref cur = std::move(stack.back());
        stack.pop_back();
        Q_ASSIGN(std::optional<std::string> name, match_self_call(cur.get(), ast));
        if (name && seen.insert(*name).second) {
            Q_ASSIGN(Ref kwargs, checked(PyDict_New()));
            result.push_back(DependencyDecl{std::move(*name), std::move(kwargs)});
        }
        Q_ASSIGN(Ref children_iter, call1(ast.iter_child_nodes.get(), cur.get()));
        Q_ASSIGN(std::vector<Ref> children, [&]() -> Result<std::vector<Ref>> {
            std::vector<Ref> out;
            Q_ASSIGN(Ref it, checked(PyObject_GetIter(children_iter.get())));
            while (PyObject* child = PyIter_Next(it.get())) {
                out.push_back(Ref::steal(child));
            }
            if (PyErr_Occurred()) {
                return Error::fetch();
            }
            return out;
        }());
        for (auto it = children.rbegin(); it != children.rend(); ++it) {
            stack.push_back(std::move(*it));
        }
    }
    return {};
}

// "<qualified type name>: <str(value)>"
Error parse_failure() {
    Error fetched = Error::fetch();
    Ref exc = fetched.exception_object();
    std::string rendered;
    if (exc) {
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc.get()));
        Ref q = Ref::steal(PyObject_GetAttrString(type, "__qualname__"));
        std::optional<std::string> qs;
        if (q) {
            qs = try_str(q.get());
        } else {
            PyErr_Clear();
        }
        rendered = qs ? *qs : std::string("<unknown>");
        std::optional<std::string> text = try_str(exc.get());
        rendered += ": ";
        rendered += text ? *text : std::string("<exception str() failed>");
    }
    return Error::value_error("Failed to parse source: " + rendered);
}

}  // namespace

Result<std::vector<DependencyDecl>> discover_dependencies(PyObject* func) {
    Q_ASSIGN(PyObject * inspect, imported_module(process().inspect, "inspect"));
    Q_ASSIGN(Ref getsource, get_attr(inspect, "getsource"));
    Result<Ref> got = call1(getsource.get(), func);
    if (!got.ok()) {
        return hint_no_source(got.take_error());
    }
    Ref source = got.take();
    if (!PyUnicode_Check(source.get())) {
        return cast_error(source.get(), reinterpret_cast<PyObject*>(&PyUnicode_Type));
    }
    Q_ASSIGN(PyObject * textwrap, imported_module(process().textwrap, "textwrap"));
    Q_ASSIGN(Ref dedent, get_attr(textwrap, "dedent"));
    Q_ASSIGN(Ref dedented, call1(dedent.get(), source.get()));
    Q_ASSIGN(Ref text, checked(PyObject_CallMethod(dedented.get(), "strip", nullptr)));
    if (!PyUnicode_Check(text.get())) {
        return cast_error(text.get(), reinterpret_cast<PyObject*>(&PyUnicode_Type));
    }
    Q_ASSIGN(PyObject * ast, imported_module(process().ast, "ast"));
    Q_ASSIGN(Ref parse, get_attr(ast, "parse"));
    PyObject* parsed = PyObject_CallFunctionObjArgs(parse.get(), text.get(), nullptr);
    if (parsed == nullptr) {
        return parse_failure();
    }
    Ref tree = Ref::steal(parsed);
    Q_ASSIGN(Ref function_def, get_attr(ast, "FunctionDef"));
    Q_ASSIGN(Ref async_function_def, get_attr(ast, "AsyncFunctionDef"));
    AstTypes types;
    Q_ASSIGN(types.call, get_attr(ast, "Call"));
    Q_ASSIGN(types.attribute, get_attr(ast, "Attribute"));
    Q_ASSIGN(types.name, get_attr(ast, "Name"));
    Q_ASSIGN(types.iter_child_nodes, get_attr(ast, "iter_child_nodes"));
    std::vector<DependencyDecl> result;
    std::unordered_set<std::string> seen;
    Q_ASSIGN(Ref body, get_attr(tree.get(), "body"));
    Q_ASSIGN(Ref it, checked(PyObject_GetIter(body.get())));
    while (PyObject* raw = PyIter_Next(it.get())) {
        Ref stmt = Ref::steal(raw);
        Q_ASSIGN(bool is_def, is_instance(stmt.get(), function_def.get()));
        if (!is_def) {
            Q_ASSIGN(bool is_async, is_instance(stmt.get(), async_function_def.get()));
            if (!is_async) {
                continue;
            }
        }
        Q_ASSIGN(Ref inner, get_attr(stmt.get(), "body"));
        Q_ASSIGN(Ref inner_it, checked(PyObject_GetIter(inner.get())));
        while (PyObject* raw_node = PyIter_Next(inner_it.get())) {
            Ref node = Ref::steal(raw_node);
            Q_TRY(visit_node(node.get(), types, result, seen));
        }
        if (PyErr_Occurred()) {
            return Error::fetch();
        }
    }
    if (PyErr_Occurred()) {
        return Error::fetch();
    }
    return result;
}

}  // namespace quendle
