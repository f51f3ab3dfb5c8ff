// Data given from Python as a mapping {declared name: value}, read into the
// compiler's values with the checks of the data reader.
#pragma once

#include <string_view>

#include "tavro/_py/py.hpp"
#include "tavro/compiler/sema.hpp"

namespace tavro::kelm_py {

// Parses and checks `model_text` into `p`, then reads `data` (a dict) into
// its data declarations: numbers, strings, lists and tuples, dicts keyed by
// index values (tuples for several dimensions, or nested dicts), numpy
// arrays (numeric ones copied as buffers), and tavro._data's Keyed and Frame
// forms of pandas objects. Faults go to p.diag as "data['name']: ...". Needs
// the GIL.
void read_mapping(kelm::Program& p, std::string_view model_text, pybind11::handle data);

}  // namespace tavro::kelm_py
