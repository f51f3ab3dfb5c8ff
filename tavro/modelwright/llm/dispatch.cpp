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

object build_create_params(handle model_name, handle input_text, handle max_tokens, handle temperature,
                           handle stop) {
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

object openai_branch(handle model_name, handle input_text, handle max_tokens, handle temperature, handle stop,
                     handle progress, handle capture_usage) {
    object client = home().attr("_openai_client")();
    object create_params = home().attr("_build_create_params")(
        pyb::arg("model_name") = model_name, pyb::arg("input_text") = input_text, pyb::arg("max_tokens") = max_tokens,
        pyb::arg("temperature") = temperature, pyb::arg("stop") = stop);
    report_progress(progress, py::concat({py::text("[LLM] OpenAI \u2022 "), model_name, py::text(": sending request")}));
    object response = home().attr("_call_openai_with_retry")(client, create_params, pyb::arg("progress") = progress);
    report_progress(progress, py::text("[LLM] OpenAI: response received"));
    object text = home().attr("_coalesce_response_text")(response);
    if (!py::truthy(text))
        py::raise(PyExc_RuntimeError,
                  py::concat({py::text("Empty OpenAI response: "), py::py_str(response), py::text(".")}));
    if (!py::truthy(capture_usage)) return text;
    object usage = home().attr("_extract_openai_usage")(response, input_text, text, model_name);
    return pyb::make_tuple(text, usage);
}

object ollama_branch(handle model_name, handle input_text, handle max_tokens, handle progress, handle capture_usage) {
    report_progress(progress, py::concat({py::text("[LLM] Ollama \u2022 "), model_name, py::text(": generating")}));
    object generate = home().attr("_ollama_generate_text");
    if (!py::truthy(capture_usage)) {
        object text = generate(pyb::arg("model_name") = model_name, pyb::arg("prompt") = input_text,
                               pyb::arg("num_predict") = max_tokens);
        report_progress(progress, py::text("[LLM] Ollama: response received"));
        return text;
    }
    auto [text, usage] = py::unpack_pair(generate(pyb::arg("model_name") = model_name, pyb::arg("prompt") = input_text,
                                              pyb::arg("num_predict") = max_tokens, pyb::arg("return_usage") = true));
    report_progress(progress, py::text("[LLM] Ollama: response received"));
    return pyb::make_tuple(text, usage);
}

object llm_generate_text(handle provider, handle model_name, handle input_text, handle max_tokens,
                         handle temperature, handle stop, handle progress, handle capture_usage) {
    check_request_args(model_name, input_text, max_tokens, temperature, stop);
    object members = home().attr("LLMProvider");
    if (py::equal(provider, members.attr("OPENAI")))
        return openai_branch(model_name, input_text, max_tokens, temperature, stop, progress, capture_usage);
    if (py::equal(provider, members.attr("GOOGLE")))
        return gemini_generate_text(model_name, input_text, max_tokens, temperature, progress, capture_usage);
    if (py::equal(provider, members.attr("OLLAMA")))
        return ollama_branch(model_name, input_text, max_tokens, progress, capture_usage);
    py::raise(PyExc_ValueError, py::concat({py::text("Unsupported LLM provider: "), py::py_str(provider)}));
}

}  // namespace

void register_dispatch(Registry& r) {
    handle scope = home().module();
    // max_tokens defaults to the load-time MAX_OUTPUT_TOKENS, None.
    r.add("_build_create_params",
          py::function(scope, "_build_create_params",
                       "(model_name, input_text, max_tokens=None, temperature=None, stop=None)",
                       "Build the keyword arguments of one OpenAI Responses request.", &build_create_params,
                       pyb::arg("model_name"), pyb::arg("input_text"), pyb::arg("max_tokens") = home().attr("MAX_OUTPUT_TOKENS"),
                       pyb::arg("temperature") = pyb::none(), pyb::arg("stop") = pyb::none()));
    r.add("_llm_generate_text",
          py::function(scope, "_llm_generate_text",
                       "(provider, model_name, input_text, max_tokens=None, temperature=None, stop=None, "
                       "progress=None, capture_usage=False)",
                       "Send one prompt to the provider and return the reply text, with usage when asked.",
                       &llm_generate_text, pyb::arg("provider"), pyb::arg("model_name"), pyb::arg("input_text"),
                       pyb::arg("max_tokens") = home().attr("MAX_OUTPUT_TOKENS"), pyb::arg("temperature") = pyb::none(),
                       pyb::arg("stop") = pyb::none(), pyb::arg("progress") = pyb::none(),
                       pyb::arg("capture_usage") = false));
}

}  // namespace tavro::modelwright
