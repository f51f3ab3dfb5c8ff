// tavro.lpwriter: the generator factory SciPyCodeGenerator, which hands out
// the CSC generator and refuses the withdrawn dense one, and the names that
// users of the code generation framework import from here.
#include "tavro/_py/classes.hpp"

namespace {

namespace pyb = pybind11;
namespace py = tavro::py;
using pyb::handle;
using pyb::object;

py::Home& home() {
    static py::Home h;
    return h;
}

// SciPyCodeGenerator.__new__: returns the generator for `mode`, never an
// instance of SciPyCodeGenerator itself.
object create(handle /*cls*/, handle ast, handle data_dict, handle mode) {
    if (py::equal(mode, py::text("csc"))) return home().attr("SciPyCSCCodeGenerator")(ast, data_dict);
    if (py::equal(mode, py::text("dense"))) {
        home().attr("logger").attr("error")("SciPyDenseCodeGenerator is deprecated");
        py::raise(PyExc_NotImplementedError, "SciPyDenseCodeGenerator is deprecated and cannot be used.");
    }
    py::raise(PyExc_ValueError, py::format("Unknown mode: %S", mode));
}

}  // namespace

PYBIND11_MODULE(lpwriter, m) {
    home().set(m);
    m.attr("logging") = py::import_module("logging");
    m.attr("SciPyCodeGeneratorBase") = py::import_from("tavro.lpwriter_base", "SciPyCodeGeneratorBase");
    m.attr("SciPyCSCCodeGenerator") = py::import_from("tavro.lpwriter_csc", "SciPyCSCCodeGenerator");
    m.attr("SemanticError") = py::import_from("tavro.semantic_error", "SemanticError");
    m.attr("logger") = m.attr("logging").attr("getLogger")("tavro.lpwriter");

    py::ClassBuilder factory(m, "SciPyCodeGenerator");
    factory.static_method("__new__", {"cls", "ast", {"data_dict", pyb::none()}, {"mode", pyb::str("csc")}},
                          "Create the code generator for `mode` (only \"csc\" is available).", &create);
    m.attr("SciPyCodeGenerator") = factory.build();
    pyb::list exported;
    for (const char* name : {"SciPyCodeGenerator", "SciPyCSCCodeGenerator", "SciPyCodeGeneratorBase", "SemanticError"})
        exported.append(name);
    m.attr("__all__") = exported;
}
