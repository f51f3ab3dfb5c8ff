// tavro.lpwriter_csc: the sparse (CSC) SciPy code generator. Only its place in
// the class hierarchy exists so far; the generation steps are still the base's.
#include "tavro/_py/classes.hpp"

namespace {

constexpr const char* kClassDoc =
    "\n    SciPy code generator that assembles the constraint matrices in sparse\n"
    "    CSC (compressed sparse column) form.\n\n"
    "    Still to be filled in: code generation is not implemented yet, so the\n"
    "    generation steps are those of SciPyCodeGeneratorBase and raise\n"
    "    NotImplementedError.\n    ";

}  // namespace

PYBIND11_MODULE(lpwriter_csc, m) {
    namespace py = tavro::py;
    pybind11::object base = py::import_from("tavro.lpwriter_base", "SciPyCodeGeneratorBase");
    m.attr("SciPyCodeGeneratorBase") = base;
    m.attr("SciPyCSCCodeGenerator") = py::ClassBuilder(m, "SciPyCSCCodeGenerator", kClassDoc).build(
        pybind11::make_tuple(base));
}
