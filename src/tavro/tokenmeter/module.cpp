// tavro.tokenmeter: module set-up. Binds the standard names, the logger, the
// pricing source configuration and the functions of every part, in order.
#include "tavro/tokenmeter/tokenmeter.hpp"

namespace tavro::tokenmeter {

tavro::py::Home& home() {
    static tavro::py::Home h;
    return h;
}

}  // namespace tavro::tokenmeter

PYBIND11_MODULE(tokenmeter, m) {
    using namespace tavro::tokenmeter;
    using tavro::py::import_from;
    using tavro::py::import_module;
    home().set(m);
    m.doc() = "Token counting, usage extraction, price list loading and cost estimation.";

    m.attr("logging") = import_module("logging");
    m.attr("re") = import_module("re");
    // urllib.request (with http.client and ssl) is imported by the first fetch.
    m.attr("urllib") = import_module("urllib");
    m.attr("lru_cache") = import_from("functools", "lru_cache");
    m.attr("SimpleNamespace") = import_from("types", "SimpleNamespace");
    m.attr("logger") = m.attr("logging").attr("getLogger")("tavro.tokenmeter");
    m.attr("PRICING_URL") = "https://github.com/AgentOps-AI/tokencost/blob/main/pricing_table.md";
    // Where repository pages of the site are fetched from (see pricing.cpp).
    m.attr("_RAW_HOST") = "raw.githubusercontent.com";
    // Bounds of one fetch: seconds for the whole of it, and body bytes.
    m.attr("_FETCH_TIMEOUT") = 10;
    m.attr("_FETCH_MAX_BYTES") = 32 * 1024 * 1024;
    compile_source_patterns(m);

    Registry registry;
    register_usage(registry);
    register_pricing(registry);
    register_costs(registry);
    registry.bind_in_order(m, {
                                  "_approx_token_count",
                                  "_count_openai_tokens",
                                  "_usage_dict",
                                  "_extract_openai_usage",
                                  "_extract_gemini_usage",
                                  "_parse_pricing",
                                  "clear_pricing_cache",
                                  "estimate_costs",
                                  "exercise_estimate_costs",
                              });
}
