// tavro.lpwriter_base: binds SemanticError, then the abstract generator base.
#include "tavro/lpwriter_base/lpwriter_base.hpp"

namespace tavro::lpwriter_base {

tavro::py::Home& home() {
    static tavro::py::Home h;
    return h;
}

}  // namespace tavro::lpwriter_base

PYBIND11_MODULE(lpwriter_base, m) {
    using namespace tavro::lpwriter_base;
    home().set(m);
    m.attr("SemanticError") = tavro::py::import_from("tavro.semantic_error", "SemanticError");
    m.attr("SciPyCodeGeneratorBase") = make_generator_base(m);
}
