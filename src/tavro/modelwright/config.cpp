// tavro.modelwright configuration: the tuning constants, the LLMProvider and
// Grammar enumerations, progress reporting (_notify) and provider inference.
#include "tavro/modelwright/llm/llm.hpp"

namespace tavro::modelwright {

namespace py = tavro::py;
using pyb::handle;
using pyb::object;

void bind_constants(pyb::module_& m) {
    m.attr("MAX_ITERATIONS") = 5;
    m.attr("MAX_OUTPUT_TOKENS") = pyb::none();
    m.attr("LLM_PROVIDER") = "openai";
    m.attr("MODEL_NAME") = "gpt-5";
    m.attr("ALIGNMENT_CHECK") = true;
    m.attr("FEW_SHOT_TOP_K") = 3;
    m.attr("FEW_SHOT_MAX_CHARS") = 2147483647;

    // Real enum.Enum subclasses that belong to this module.
    object Enum = m.attr("Enum");
    pyb::list providers;
    for (const Provider& p : kProviders) providers.append(pyb::make_tuple(p.member, p.value));
    m.attr("LLMProvider") = Enum("LLMProvider", pyb::tuple(providers), pyb::arg("module") = "tavro.modelwright");
    m.attr("Grammar") = Enum(
        "Grammar", pyb::make_tuple(pyb::make_tuple("NONE", 1), pyb::make_tuple("BNF", 2), pyb::make_tuple("CODE", 3)),
        pyb::arg("module") = "tavro.modelwright");
}

namespace {

object notify(handle progress, handle msg) {
    py::expect_str(msg, "msg");
    py::guard(
        [&] {
            if (py::truthy(progress)) {
                pyb::reinterpret_borrow<object>(progress)(msg);
            } else {
                home().attr("logger").attr("debug")(msg);
            }
            return 0;
        },
        [](pyb::error_already_set&) { return 0; });
    return pyb::none();
}

object infer_provider(handle llm_provider, handle model_name) {
    py::expect_optional_str(llm_provider, "llm_provider");
    py::expect_str(model_name, "model_name");
    object members = home().attr("LLMProvider");
    if (!llm_provider.is_none() && PyUnicode_GET_LENGTH(llm_provider.ptr()) > 0) {
        object name = llm_provider.attr("strip")().attr("lower")();
        for (const Provider& p : kProviders) {
            for (const char* known : p.names) {
                if (py::equal(name, py::text(known))) return members.attr(p.member);
            }
        }
    }
    for (const Provider& p : kProviders) {
        for (const char* part : p.model_parts) {
            if (py::contains(model_name, py::text(part))) return members.attr(p.member);
        }
        for (const char* prefix : p.model_prefixes) {
            if (py::truthy(model_name.attr("startswith")(prefix))) return members.attr(p.member);
        }
    }
    return members.attr(kProviders.front().member);
}

}  // namespace

void register_config(Registry& r) {
    handle scope = home().module();
    r.add("_notify",
          py::function(scope, "_notify", {"progress", "msg"},
                       "Send a progress message to the callback, or to the debug log without one.", &notify));
    r.add("_infer_provider",
          py::function(scope, "_infer_provider", {"llm_provider", "model_name"},
                       "Choose the LLMProvider from a provider name, else from the model name.", &infer_provider));
}

}  // namespace tavro::modelwright
