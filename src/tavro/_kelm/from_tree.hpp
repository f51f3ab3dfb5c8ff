// The compiled model's dictionary tree (docs/compiled_model.md), from
// compile_model or built by hand, read back into the compiler's own syntax
// tree, and its data dictionary into the compiler's values.
#pragma once

#include <string>

#include "tavro/_py/py.hpp"
#include "tavro/compiler/problem.hpp"
#include "tavro/compiler/sema.hpp"

namespace tavro::kelm_py {

// A malformed tree or data dictionary; the binding raises it as SemanticError.
struct TreeError {
    std::string message;
};

// Fills p.model from `ast` and returns the data: `data` when it is a
// non-empty dictionary, else the tree's own "data" entry (if any). Throws
// TreeError; needs the GIL.
kelm::Dict read_tree(pybind11::handle ast, pybind11::handle data, kelm::Program& p);

// Checks the model read by read_tree, adopts its data and grounds it. Never
// throws; faults are in the result's message. Runs without the GIL.
kelm::InstantiateResult ground_tree(kelm::Program& p, kelm::Dict data);

}  // namespace tavro::kelm_py
