// tavro.tokenmeter cost estimation: pricing a usage dictionary with the rate
// entry of a model, and the demonstration estimate behind `tavro estimate`.
#include "tavro/tokenmeter/tokenmeter.hpp"

namespace tavro::tokenmeter {

namespace py = tavro::py;
using pyb::handle;
using pyb::object;

namespace {

using py::contains;
using py::steal;
// _find_model_entry(key): the exact key, else the first key (in table order)
// that contains the model key or is contained in it.
object find_model_entry(handle pricing, handle key) {
    if (contains(pricing, key)) return steal(PyObject_GetItem(pricing.ptr(), key.ptr()));
    for (handle item : pricing.attr("items")()) {
        object k = item[pyb::int_(0)];
        if (contains(k, key) || contains(key, k)) return item[pyb::int_(1)];
    }
    return pyb::none();
}

// price * (tokens / 1000000.0)
object cost(handle price, handle tokens) {
    object per_token = steal(PyNumber_TrueDivide(tokens.ptr(), pyb::float_(1000000.0).ptr()));
    return steal(PyNumber_Multiply(price.ptr(), per_token.ptr()));
}

object formatted(handle value) { return steal(PyObject_Format(value.ptr(), nullptr)); }

object estimate_costs(handle args, handle usage) {
    object pricing = home().attr("_parse_pricing")(home().attr("PRICING_URL"));
    object model_key = args.attr("model").attr("lower")();
    object prompt_tokens = usage.attr("get")("prompt_tokens");
    object completion_tokens = usage.attr("get")("completion_tokens");
    object entry = find_model_entry(pricing, model_key);
    object shown_model = formatted(args.attr("model"));
    object shown_entry = formatted(entry);
    home().attr("logger").attr("debug")(
        py::format("Estimating costs for model '%U' using pricing entry: %U", shown_model, shown_entry));
    pyb::dict result;
    if (py::truthy(entry) && !prompt_tokens.is_none()) {
        object prompt_price = entry.attr("get")("prompt_per_1M");
        if (!prompt_price.is_none()) result["prompt_cost"] = cost(prompt_price, prompt_tokens);
        object completion_price = entry.attr("get")("completion_per_1M");
        if (!completion_price.is_none() && !completion_tokens.is_none())
            result["completion_cost"] = cost(completion_price, completion_tokens);
    }
    auto part = [&](const char* key) { return result.contains(key) ? object(result[key]) : object(pyb::float_(0.0)); };
    result["total_cost"] = steal(PyNumber_Add(part("prompt_cost").ptr(), part("completion_cost").ptr()));
    return result;
}

object exercise_estimate_costs(handle model) {
    py::expect_optional_str(model, "model");
    pyb::dict usage;
    usage["prompt_tokens"] = 21549;
    usage["completion_tokens"] = 7091;
    object name = py::truthy(model) ? pyb::reinterpret_borrow<object>(model) : py::text("gpt-4.1");
    object args = home().attr("SimpleNamespace")(pyb::arg("model") = name);
    object estimated = home().attr("estimate_costs")(args, usage);
    pyb::dict shown;
    shown["model"] = name;
    shown["usage"] = usage;
    shown["estimated_costs"] = estimated;
    py::import_module("builtins").attr("print")(shown);
    return estimated;
}

}  // namespace

void register_costs(Registry& r) {
    handle scope = home().module();
    r.add("estimate_costs",
          py::function(scope, "estimate_costs", {"args", "usage"},
                       "Estimate the cost of `usage` for the model `args.model` from the pricing table.",
                       &estimate_costs));
    r.add("exercise_estimate_costs",
          py::function(scope, "exercise_estimate_costs", {{"model", pyb::none()}},
                       "Print and return the estimate for a fixed usage of `model` (default gpt-4.1).",
                       &exercise_estimate_costs));
}

}  // namespace tavro::tokenmeter
