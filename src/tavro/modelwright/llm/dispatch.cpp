// tavro.modelwright text generation dispatch: one prompt to the provider of
// an LLMProvider member, the reply text back, optionally with token usage.
#include "tavro/modelwright/llm/llm.hpp"

namespace tavro::modelwright {

namespace py = tavro::py;
using pyb::handle;
using pyb::object;

namespace {

void check_request_args(handle model_name, handle input_text, handle max_tokens, handle temperature, handle stop) {
    py::expect_str(model_name, "model_name");
    py::expect_str(input_text, "input_text");
    py::expect_optional_int(max_tokens, "max_tokens");
    py::expect_optional_float(temperature, "temperature");
    py::expect_optional_list(stop, "stop");
}

object build_create_params(handle model_name, handle input_text, handle max_tokens, handle temperature, handle stop) {
    check_request_args(model_name, input_text, max_tokens, temperature, stop);
    pyb::dict params;
    params["model"] = model_name;
    params["input"] = input_text;
    pyb::dict response_format;
    response_format["type"] = "json";
    params["response_format"] = response_format;
    if (!max_tokens.is_none()) params["max_output_tokens"] = max_tokens;
    if (!temperature.is_none()) params["temperature"] = temperature;
    if (!stop.is_none() && PyList_GET_SIZE(stop.ptr()) > 0) params["stop"] = stop;
    return params;
}

}  // namespace

object openai_generate_text(const Request& q) {
    object client = home().attr("_openai_client")();
    object create_params = home().attr("_build_create_params")(
        pyb::arg("model_name") = q.model_name, pyb::arg("input_text") = q.input_text,
        pyb::arg("max_tokens") = q.max_tokens, pyb::arg("temperature") = q.temperature, pyb::arg("stop") = q.stop);
    report_progress(q.progress, py::format("[LLM] OpenAI %s %U: sending request", kBullet, q.model_name));
    object response = home().attr("_call_openai_with_retry")(client, create_params, pyb::arg("progress") = q.progress);
    report_progress(q.progress, py::text("[LLM] OpenAI: response received"));
    object text = home().attr("_coalesce_response_text")(response);
    if (!py::truthy(text)) py::raise(PyExc_RuntimeError, py::format("Empty OpenAI response: %S.", response));
    if (!py::truthy(q.capture_usage)) return text;
    object usage = home().attr("_extract_openai_usage")(response, q.input_text, text, q.model_name);
    return pyb::make_tuple(text, usage);
}

object ollama_generate(const Request& q) {
    report_progress(q.progress, py::format("[LLM] Ollama %s %U: generating", kBullet, q.model_name));
    object generate = home().attr("_ollama_generate_text");
    if (!py::truthy(q.capture_usage)) {
        object text = generate(pyb::arg("model_name") = q.model_name, pyb::arg("prompt") = q.input_text,
                               pyb::arg("num_predict") = q.max_tokens);
        report_progress(q.progress, py::text("[LLM] Ollama: response received"));
        return text;
    }
    auto [text, usage] =
        py::unpack_pair(generate(pyb::arg("model_name") = q.model_name, pyb::arg("prompt") = q.input_text,
                                 pyb::arg("num_predict") = q.max_tokens, pyb::arg("return_usage") = true));
    report_progress(q.progress, py::text("[LLM] Ollama: response received"));
    return pyb::make_tuple(text, usage);
}

namespace {

object llm_generate_text(handle provider, handle model_name, handle input_text, handle max_tokens, handle temperature,
                         handle stop, handle progress, handle capture_usage) {
    check_request_args(model_name, input_text, max_tokens, temperature, stop);
    if (const Provider* p = provider_of(provider))
        return p->generate({model_name, input_text, max_tokens, temperature, stop, progress, capture_usage});
    py::raise(PyExc_ValueError, py::format("Unsupported LLM provider: %S", provider));
}

}  // namespace

void register_dispatch(Registry& r) {
    handle scope = home().module();
    // max_tokens defaults to the load-time MAX_OUTPUT_TOKENS, None.
    object max_tokens = home().attr("MAX_OUTPUT_TOKENS");
    r.add("_build_create_params",
          py::function(scope, "_build_create_params",
                       {"model_name",
                        "input_text",
                        {"max_tokens", max_tokens},
                        {"temperature", pyb::none()},
                        {"stop", pyb::none()}},
                       "Build the keyword arguments of one OpenAI Responses request.", &build_create_params));
    r.add("_llm_generate_text",
          py::function(scope, "_llm_generate_text",
                       {"provider",
                        "model_name",
                        "input_text",
                        {"max_tokens", max_tokens},
                        {"temperature", pyb::none()},
                        {"stop", pyb::none()},
                        {"progress", pyb::none()},
                        {"capture_usage", pyb::bool_(false)}},
                       "Send one prompt to the provider and return the reply text, with usage when asked.",
                       &llm_generate_text));
}

}  // namespace tavro::modelwright
