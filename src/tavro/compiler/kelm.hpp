// Public face of the Tavro compiler library: compile a model text and a data
// text into the compiled model, or into one diagnostic message.
#pragma once

#include <string>
#include <string_view>

#include "tavro/compiler/value.hpp"
#include "tavro/compiler/work.hpp"

namespace tavro::kelm {

struct CompileResult {
    bool ok = false;
    Value model;          // {"declarations": [...], "data": {...}} when ok
    std::string message;  // one diagnostic per line when !ok (see InstantiateResult)
    StopReason stopped = StopReason::None;
};

// Never throws: every fault of the input (and running out of memory) ends up
// in `message`. Tables bound in the data are found in `folder` ("" for the
// current folder); the work is bounded by `limits`.
CompileResult compile(std::string_view model_text, std::string_view data_text, std::string_view folder = {},
                      const Limits& limits = {});

}  // namespace tavro::kelm
