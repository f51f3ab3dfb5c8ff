// tavro.lpwriter_csc: the sparse (CSC) SciPy code generator. The model is
// grounded once by the compiler (tavro._kelm.instantiate_tree, so the
// language has one meaning); the steps fill the base's collections from that
// problem and the script is rendered by tavro._csc_script, which embeds
// tavro._answer so the script and tavro.solver solve through the same lines.
#include "tavro/_py/classes.hpp"

namespace {

namespace pyb = pybind11;
namespace py = tavro::py;
using pyb::handle;
using pyb::object;

constexpr const char* kClassDoc =
    "\n    SciPy code generator that assembles the constraint matrix in sparse\n"
    "    CSC (compressed sparse column) form.\n\n"
    "    The dictionary tree and data (from compile_model, or built by hand) are\n"
    "    grounded by the compiler's instantiation engine on first use; a\n"
    "    malformed tree or data raises SemanticError. The steps fill:\n\n"
    "    - _build_variables: var_names (the dvar names, in column order),\n"
    "      var_indices ({dvar name: (first column, [index texts of each\n"
    "      dimension])}, columns row-major), bounds (numpy array of shape\n"
    "      (n, 2): lower, upper; -inf/inf when unbounded), integrality (numpy\n"
    "      uint8 array, 1 for an integer column).\n"
    "    - _build_objective: c (numpy float64 array, in the model's sense),\n"
    "      maximize (bool), offset (float constant), objective_name (str or None).\n"
    "    - _build_constraints: A (scipy.sparse CSC matrix), row_lower, row_upper\n"
    "      (numpy arrays: row_lower <= A x <= row_upper), row_blocks ([(label,\n"
    "      first row, arity, index texts)]), and linprog's form: A_eq, b_eq\n"
    "      (equality rows) and A_ub, b_ub (x <= rows; a >= row negated, a range\n"
    "      row twice), sparse CSC matrices and numpy arrays.\n\n"
    "    generate_code(sidecar=None) runs the three steps and returns the\n"
    "    script text (also left in scipy_code_lines, one entry per line): a\n"
    "    standalone numpy/scipy program that builds the same problem, solves it\n"
    "    with scipy.optimize.milp and leaves results, status, objective and\n"
    "    solution in its namespace. Small problems are written as literals with\n"
    "    their names beside the numbers; large ones as base64 buffers, or, with\n"
    "    `sidecar` (a path), in that .npz file, loaded from the script's folder.\n"
    "    ";

py::Home& home() {
    static py::Home h;
    return h;
}

object script(const char* step) { return py::import_from("tavro._csc_script", step); }

object init(handle self, handle ast, handle data_dict) {
    home().attr("SciPyCodeGeneratorBase").attr("__init__")(self, ast, data_dict);
    self.attr("problem") = pyb::none();
    self.attr("A") = pyb::none();
    self.attr("row_lower") = pyb::list();
    self.attr("row_upper") = pyb::list();
    self.attr("row_blocks") = pyb::list();
    self.attr("maximize") = false;
    self.attr("offset") = 0.0;
    self.attr("objective_name") = pyb::none();
    return pyb::none();
}

object generate_code(handle self, handle sidecar) { return script("generate_code")(self, sidecar); }
object build_variables(handle self) {
    script("build_variables")(self);
    return pyb::none();
}
object build_objective(handle self) {
    script("build_objective")(self);
    return pyb::none();
}
object build_constraints(handle self) {
    script("build_constraints")(self);
    return pyb::none();
}

}  // namespace

PYBIND11_MODULE(lpwriter_csc, m) {
    home().set(m);
    object base = py::import_from("tavro.lpwriter_base", "SciPyCodeGeneratorBase");
    m.attr("SciPyCodeGeneratorBase") = base;
    py::ClassBuilder cls(m, "SciPyCSCCodeGenerator", kClassDoc);
    cls.method("__init__", {"self", "ast", {"data_dict", pyb::none()}},
               "Set up the generator for a model tree and its data.", &init);
    cls.method("generate_code", {"self", {"sidecar", pyb::none()}},
               "Return the text of the standalone SciPy script (arrays in the .npz file `sidecar` when given).",
               &generate_code);
    cls.method("_build_variables", {"self"}, "Fill var_names, var_indices, bounds and integrality.", &build_variables);
    cls.method("_build_objective", {"self"}, "Fill c, maximize, offset and objective_name.", &build_objective);
    cls.method("_build_constraints", {"self"}, "Fill A, row_lower, row_upper, A_ub, b_ub, A_eq and b_eq.",
               &build_constraints);
    m.attr("SciPyCSCCodeGenerator") = cls.build(pyb::make_tuple(base));
}
