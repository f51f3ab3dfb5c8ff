// tavro.modelwright configuration: the tuning constants, the LLMProvider and
// Grammar enumerations, progress reporting (_notify) and provider inference.
#include "tavro/modelwright/modelwright.hpp"

namespace tavro::modelwright {

namespace py = tavro::py;
using pyb::object;
using pyb::handle;

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
    m.attr("LLMProvider") = Enum("LLMProvider",
                                 pyb::make_tuple(pyb::make_tuple("OPENAI", "openai"),
                                                 pyb::make_tuple("GOOGLE", "google"),
                                                 pyb::make_tuple("OLLAMA", "ollama")),
                                 pyb::arg("module") = "tavro.modelwright");
    m.attr("Grammar") = Enum("Grammar",
                             pyb::make_tuple(pyb::make_tuple("NONE", 1), pyb::make_tuple("BNF", 2),
                                             pyb::make_tuple("CODE", 3)),
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
        object p = llm_provider.attr("strip")().attr("lower")();
        auto is = [&](const char* s) { return py::equal(p, py::text(s)); };
        if (is("openai") || is("oai")) return members.attr("OPENAI");
        if (is("google") || is("genai") || is("gemini") || is("google.generativeai")) return members.attr("GOOGLE");
        if (is("ollama")) return members.attr("OLLAMA");
    }
    auto starts = [&](const char* s) { return py::truthy(model_name.attr("startswith")(s)); };
    if (starts("gemini")) return members.attr("GOOGLE");
    int has_oss = PySequence_Contains(model_name.ptr(), py::text("gpt-oss").ptr());
    if (has_oss < 0) throw pyb::error_already_set();
    if (has_oss == 1 || starts("llama") ||
        starts("qwen") || starts("mistral"))
        return members.attr("OLLAMA");
    return members.attr("OPENAI");
}

}  // namespace

void register_config(Registry& r) {
    handle scope = home().module();
    r.add("_notify", py::function(scope, "_notify", "(progress, msg)",
                                  "Send a progress message to the callback, or to the debug log without one.",
                                  &notify, pyb::arg("progress"), pyb::arg("msg")));
    r.add("_infer_provider",
          py::function(scope, "_infer_provider", "(llm_provider, model_name)",
                       "Choose the LLMProvider from a provider name, else from the model name.", &infer_provider,
                       pyb::arg("llm_provider"), pyb::arg("model_name")));
}

}  // namespace tavro::modelwright
