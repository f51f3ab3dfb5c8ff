// tavro.modelwright Gemini and Ollama access: the configured Gemini package,
// the Gemini generation branch of the dispatcher, and one Ollama generation.
#include "tavro/modelwright/llm/llm.hpp"

#include <vector>

namespace tavro::modelwright {

namespace py = tavro::py;
using pyb::handle;
using pyb::object;

namespace {

object google_client() {
    object genai = py::import_module_required("google.generativeai",
                                              "google.generativeai is not installed. pip install google-generativeai");
    object key = home().attr("os").attr("environ").attr("get")("GEMINI_API_KEY");
    if (!py::truthy(key)) py::raise(PyExc_RuntimeError, "GEMINI_API_KEY environment variable not set.");
    genai.attr("configure")(pyb::arg("api_key") = key);
    return genai;
}

// The reply text: `text`, else the joined text parts of every candidate.
object gemini_text(handle response) {
    object text = py::getattr_or(response, "text", pyb::none());
    if (!py::truthy(text)) {
        auto candidates = py::getattr_opt(response, "candidates");
        if (candidates && py::truthy(*candidates)) {
            std::vector<object> parts;
            for (handle candidate : *candidates) {
                object content = py::getattr_or(candidate, "content", pyb::none());
                if (!py::truthy(content)) continue;
                auto content_parts = py::getattr_opt(content, "parts");
                if (!content_parts) continue;
                for (handle part : *content_parts) {
                    if (auto t = py::getattr_opt(part, "text")) parts.push_back(py::truthy(*t) ? *t : py::text(""));
                }
            }
            text = py::concat(parts);
        }
    }
    if (!py::truthy(text)) return py::text("");
    py::expect_value(text, &PyUnicode_Type);
    return text;
}

object ollama_generate_text(handle model_name, handle prompt, handle num_predict, handle return_usage) {
    py::expect_str(model_name, "model_name");
    py::expect_str(prompt, "prompt");
    py::expect_optional_int(num_predict, "num_predict");

    object ollama_generate = py::import_required("ollama", "generate", kOllamaMissing);
    pyb::dict options;
    if (!num_predict.is_none()) options["num_predict"] = num_predict;
    object resp =
        ollama_generate(pyb::arg("model") = model_name, pyb::arg("prompt") = prompt, pyb::arg("options") = options);

    object text;
    try {
        text = resp.attr("get")("response", "");
        if (!py::truthy(text)) text = py::text("");
        py::expect_value(text, &PyUnicode_Type);
    } catch (pyb::error_already_set& e) {
        if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_KeyError)) throw;
        py::raise_in_handler(PyExc_RuntimeError,
                             py::format("Failed to retrieve response text from Ollama response: %S", e.value()),
                             e.value());
    }
    if (!py::truthy(return_usage)) return text;

    auto count = [&](const char* key) {
        object value = resp.attr("get")(key);
        if (!py::truthy(value)) return object(pyb::int_(0));
        PyObject* n = PyNumber_Long(value.ptr());
        if (!n) throw pyb::error_already_set();
        return pyb::reinterpret_steal<object>(n);
    };
    object prompt_tokens = count("prompt_eval_count");
    object completion_tokens = count("eval_count");
    pyb::dict usage;
    usage["prompt_tokens"] = prompt_tokens;
    usage["completion_tokens"] = completion_tokens;
    return pyb::make_tuple(text, usage);
}

}  // namespace

object gemini_generate_text(const Request& q) {
    object genai = home().attr("_google_client")();
    object model = genai.attr("GenerativeModel")(q.model_name);
    pyb::dict config;
    if (!q.max_tokens.is_none()) config["max_output_tokens"] = q.max_tokens;
    if (!q.temperature.is_none()) config["temperature"] = q.temperature;
    report_progress(q.progress, py::format("[LLM] Gemini %s %U: sending request", kBullet, q.model_name));
    object response = model.attr("generate_content")(q.input_text, pyb::arg("generation_config") = config);
    report_progress(q.progress, py::text("[LLM] Gemini: response received"));
    object text = gemini_text(response);
    if (!py::truthy(q.capture_usage)) return text;
    object usage = home().attr("_extract_gemini_usage")(response, q.input_text, text);
    return pyb::make_tuple(text, usage);
}

void register_gemini_ollama(Registry& r) {
    handle scope = home().module();
    r.add(
        "_google_client",
        py::function(scope, "_google_client", py::Signature{},
                     "Configure google.generativeai with the key from GEMINI_API_KEY and return it.", &google_client));
    // num_predict defaults to the load-time MAX_OUTPUT_TOKENS, None.
    r.add("_ollama_generate_text",
          py::function(scope, "_ollama_generate_text",
                       {"model_name",
                        "prompt",
                        {"num_predict", home().attr("MAX_OUTPUT_TOKENS")},
                        {"return_usage", pyb::bool_(false)}},
                       "Generate one reply with the local Ollama server.", &ollama_generate_text));
}

}  // namespace tavro::modelwright
