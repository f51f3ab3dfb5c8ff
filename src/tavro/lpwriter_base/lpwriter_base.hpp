// Internal interface of tavro.lpwriter_base: the module handle that methods
// use for their call-time look-ups, and the class factory.
#pragma once

#include "tavro/_py/py.hpp"

namespace tavro::lpwriter_base {

namespace pyb = pybind11;

// The loaded module: SemanticError and the class itself are looked up here.
tavro::py::Home& home();

// Builds SciPyCodeGeneratorBase as a plain class of `module`.
pyb::object make_generator_base(pyb::handle module);

}  // namespace tavro::lpwriter_base
