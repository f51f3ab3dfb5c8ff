// SciPyCodeGeneratorBase: the state every SciPy code generator shares, the
// declaration look-ups and key builders used while walking the syntax tree,
// the error factories for unsupported constructs, and the four abstract steps.
#include "tavro/_py/classes.hpp"
#include "tavro/lpwriter_base/lpwriter_base.hpp"

namespace tavro::lpwriter_base {

namespace py = tavro::py;
using pyb::handle;
using pyb::object;

namespace {

constexpr const char* kClassDoc =
    "\n    Abstract base class for SciPy code generators.\n    Subclasses must implement the required methods.\n    ";

// bool(a == b), without the identity shortcut of PyObject_RichCompareBool.
bool eq(handle a, handle b) {
    PyObject* r = PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ);
    if (!r) throw pyb::error_already_set();
    return py::truthy(pyb::reinterpret_steal<object>(r));
}

object init(handle self, handle ast, handle data_dict) {
    self.attr("ast") = ast;
    self.attr("data_dict") = py::truthy(data_dict) ? pyb::reinterpret_borrow<object>(data_dict) : pyb::dict();
    self.attr("scipy_code_lines") = pyb::list();
    self.attr("indent_level") = 0;
    self.attr("var_names") = pyb::list();
    self.attr("var_indices") = pyb::dict();
    self.attr("bounds") = pyb::list();
    self.attr("c") = pyb::list();
    self.attr("A_eq") = pyb::list();
    self.attr("b_eq") = pyb::list();
    self.attr("A_ub") = pyb::list();
    self.attr("b_ub") = pyb::list();
    self.attr("results_varname") = "results";
    self.attr("integrality") = pyb::list();
    self.attr("tuple_types") = pyb::dict();
    return pyb::none();
}

// "    " * self.indent_level
object indent(handle self) { return py::text("    ") * self.attr("indent_level"); }

// self.scipy_code_lines.append(self._indent() + line)
object add_code_line(handle self, handle line) {
    object append = self.attr("scipy_code_lines").attr("append");
    object prefix = self.attr("_indent")();
    append(prefix + line);
    return pyb::none();
}

template <const char* Message>
object abstract_step(handle) {
    py::raise(PyExc_NotImplementedError, Message);
}

constexpr char kGenerateCode[] = "Subclasses must implement generate_code()";
constexpr char kBuildVariables[] = "Subclasses must implement _build_variables()";
constexpr char kBuildObjective[] = "Subclasses must implement _build_objective()";
constexpr char kBuildConstraints[] = "Subclasses must implement _build_constraints()";

// decl.get("name") == name and (decl_type is None or decl.get("type") == decl_type)
bool declares(handle decl, handle name, handle decl_type) {
    if (!eq(decl.attr("get")("name"), name)) return false;
    return decl_type.is_none() || eq(decl.attr("get")("type"), decl_type);
}

object declarations(handle self) { return self.attr("ast").attr("get")("declarations", pyb::list()); }

object find_declaration(handle self, handle name, handle decl_type) {
    for (handle decl : declarations(self)) {
        if (declares(decl, name, decl_type)) return pyb::reinterpret_borrow<object>(decl);
    }
    return pyb::none();
}

object find_declarations(handle self, handle name, handle decl_type) {
    pyb::list found;
    for (handle decl : declarations(self)) {
        if (declares(decl, name, decl_type)) found.append(decl);
    }
    return found;
}

// Lists and tuples become tuples, element by element; the recursion goes
// through SciPyCodeGeneratorBase.normalize_index of this module, never an override.
object normalize_index(handle idx) {
    if (!PyList_Check(idx.ptr()) && !PyTuple_Check(idx.ptr())) return pyb::reinterpret_borrow<object>(idx);
    py::RecursionGuard level(" in normalize_index");
    pyb::list parts;
    for (handle element : idx) {
        parts.append(home().attr("SciPyCodeGeneratorBase").attr("normalize_index")(element));
    }
    return pyb::tuple(std::move(parts));
}

object normalize_index_on(handle self, handle idx) { return self.attr("normalize_index")(idx); }

object tuple_key(handle self, handle elements, handle env_arg) {
    py::RecursionGuard level(" in _tuple_key");
    object env = env_arg.is_none() ? pyb::dict() : pyb::reinterpret_borrow<object>(env_arg);
    pyb::list parts;
    for (handle element : elements) {
        if (!PyDict_Check(element.ptr())) {
            parts.append(element);
            continue;
        }
        object kind = element.attr("get")("type");
        if (eq(kind, py::text("name"))) {
            object name = element["name"];
            parts.append(py::contains(env, name) ? object(env[name]) : name);
        } else if (eq(kind, py::text("number")) || eq(kind, py::text("string"))) {
            parts.append(element["value"]);
        } else if (eq(kind, py::text("tuple_literal"))) {
            parts.append(self.attr("_tuple_key")(element["elements"], env));
        } else {
            parts.append(element);
        }
    }
    return pyb::tuple(std::move(parts));
}

object find_decl(handle self, handle name, handle decl_type) { return self.attr("find_declaration")(name, decl_type); }

object find_decls(handle self, handle name, handle decl_type) {
    return self.attr("find_declarations")(name, decl_type);
}

object semantic_error(handle message) { return home().attr("SemanticError")(message); }

object unsupported_type_error(handle context, handle value) {
    return semantic_error(py::format("Unsupported %S type: %S", context, value));
}

object unsupported_operator_error(handle context, handle op) {
    return semantic_error(py::format("Unsupported %S operator: '%S'", context, op));
}

}  // namespace

object make_generator_base(handle module) {
    py::ClassBuilder cls(module, "SciPyCodeGeneratorBase", kClassDoc);
    cls.method("__init__", {"self", "ast", {"data_dict", pyb::none()}}, "Set up the shared generator state.", &init);
    cls.method("_indent", {"self"}, "Leading spaces of the current indentation level.", &indent);
    cls.method("_add_code_line", {"self", "line"}, "Append one line at the current indentation.", &add_code_line);
    cls.method("generate_code", {"self"}, "Generate the SciPy source text (abstract).", &abstract_step<kGenerateCode>);
    cls.method("_build_variables", {"self"}, "Build the decision variables (abstract).",
               &abstract_step<kBuildVariables>);
    cls.method("_build_objective", {"self"}, "Build the objective (abstract).", &abstract_step<kBuildObjective>);
    cls.method("_build_constraints", {"self"}, "Build the constraints (abstract).", &abstract_step<kBuildConstraints>);
    cls.method("find_declaration", {"self", "name", {"decl_type", pyb::none()}},
               "The first declaration named `name` (of kind `decl_type` unless None), or None.", &find_declaration);
    cls.method("find_declarations", {"self", "name", {"decl_type", pyb::none()}},
               "All declarations named `name` (of kind `decl_type` unless None), in order.", &find_declarations);
    cls.static_method("normalize_index", {"idx"}, "Lists and tuples as tuples, recursively; other values unchanged.",
                      &normalize_index);
    cls.method("_normalize_index", {"self", "idx"}, "normalize_index(idx), looked up on the instance.",
               &normalize_index_on);
    cls.method("_tuple_key", {"self", "elements", {"env", pyb::none()}},
               "The tuple key of a tuple literal's elements; names bound in `env` take their values.", &tuple_key);
    cls.method("_find_decl", {"self", "name", {"decl_type", pyb::none()}},
               "find_declaration(name, decl_type) of the instance.", &find_decl);
    cls.method("_find_decls", {"self", "name", {"decl_type", pyb::none()}},
               "find_declarations(name, decl_type) of the instance.", &find_decls);
    cls.static_method("_unsupported_type_error", {"context", "value"},
                      "A new SemanticError for an unsupported type (returned, not raised).", &unsupported_type_error);
    cls.static_method("_unsupported_operator_error", {"context", "op"},
                      "A new SemanticError for an unsupported operator (returned, not raised).",
                      &unsupported_operator_error);
    return cls.build();
}

}  // namespace tavro::lpwriter_base
