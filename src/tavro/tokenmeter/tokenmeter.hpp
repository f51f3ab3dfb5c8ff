// Internal interface of tavro.tokenmeter: the module handle through which
// every documented function calls another, one registration function per
// source file, and the native price-list reader.
#pragma once

#include "tavro/_py/py.hpp"

namespace tavro::tokenmeter {

namespace pyb = pybind11;
using tavro::py::Registry;

// The loaded module: look names up here at call time, never call the C++
// function behind a documented name directly.
tavro::py::Home& home();

void register_usage(Registry&);    // usage.cpp: token counts and usage extraction
void register_pricing(Registry&);  // pricing.cpp: _parse_pricing (cached), clear_pricing_cache
void register_costs(Registry&);    // costs.cpp: estimate_costs, exercise_estimate_costs

// Compiles the source-address patterns with the host's re (pricing.cpp).
void compile_source_patterns(pyb::handle module);

// price_rules.cpp: the pricing table read from a whole document (a str).
pyb::object parse_price_list(pyb::handle text);

}  // namespace tavro::tokenmeter
