// tavro.tokenmeter usage: the character-based token estimate, OpenAI token
// counts through tiktoken, and the usage dictionaries read from OpenAI and
// Gemini responses.
#include "tavro/tokenmeter/tokenmeter.hpp"

#include <algorithm>

namespace tavro::tokenmeter {

namespace py = tavro::py;
using pyb::handle;
using pyb::object;

namespace {

object approx_token_count(handle text) {
    py::expect_str(text, "text");
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text.ptr());
    return pyb::int_(n == 0 ? 0 : std::max<Py_ssize_t>(0, (n + 3) / 4));
}

object count_openai_tokens(handle text, handle model_name) {
    py::expect_str(text, "text");
    py::expect_str(model_name, "model_name");
    return py::guard(
        [&] {
            object tiktoken = py::import_module("tiktoken");
            object encoding = py::guard(
                [&] { return tiktoken.attr("encoding_for_model")(model_name); },
                [&](pyb::error_already_set&) {
                    return py::guard([&] { return tiktoken.attr("get_encoding")("o200k_base"); },
                                     [&](pyb::error_already_set&) {
                                         return tiktoken.attr("get_encoding")("cl100k_base");
                                     });
                });
            object tokens = encoding.attr("encode")(text);
            const Py_ssize_t n = PyObject_Length(tokens.ptr());
            if (n < 0) throw pyb::error_already_set();
            return object(pyb::int_(n));
        },
        [&](pyb::error_already_set&) { return home().attr("_approx_token_count")(text); });
}

object usage_dict(handle prompt_tokens, handle completion_tokens) {
    py::expect_optional_int(prompt_tokens, "prompt_tokens");
    py::expect_optional_int(completion_tokens, "completion_tokens");
    auto count = [](handle v) { return py::truthy(v) ? pyb::reinterpret_borrow<object>(v) : object(pyb::int_(0)); };
    pyb::dict usage;
    usage["prompt_tokens"] = count(prompt_tokens);
    usage["completion_tokens"] = count(completion_tokens);
    return std::move(usage);
}

// The look-up rule of both extractors: nothing from None, dictionaries by
// key, anything else by attribute (only a missing attribute means absent).
object lookup(handle container, const char* key) {
    if (container.is_none()) return pyb::none();
    if (PyDict_Check(container.ptr())) return container.attr("get")(key);
    return py::getattr_or(container, key, pyb::none());
}

// resp.<name>, or resp["<name>"] for a dictionary response without it.
object usage_container(handle resp, const char* name) {
    object usage = py::getattr_or(resp, name, pyb::none());
    if (usage.is_none() && PyDict_Check(resp.ptr())) usage = resp.attr("get")(name);
    return usage;
}

// `first or second`: the second key is read only when the first is falsy.
object first_truthy(handle usage, const char* first, const char* second) {
    object value = lookup(usage, first);
    return py::truthy(value) ? value : lookup(usage, second);
}

template <class Body>
void swallow_ordinary(Body&& body) {
    py::guard(
        [&] {
            body();
            return 0;
        },
        [](pyb::error_already_set&) { return 0; });
}

object extract_openai_usage(handle resp, handle input_text, handle output_text, handle model_name) {
    py::expect_str(input_text, "input_text");
    py::expect_str(output_text, "output_text");
    py::expect_str(model_name, "model_name");
    object prompt = pyb::none(), completion = pyb::none();
    swallow_ordinary([&] {
        object usage = usage_container(resp, "usage");
        prompt = first_truthy(usage, "input_tokens", "prompt_tokens");
        completion = first_truthy(usage, "output_tokens", "completion_tokens");
    });
    if (prompt.is_none()) prompt = home().attr("_count_openai_tokens")(input_text, model_name);
    if (completion.is_none()) completion = home().attr("_count_openai_tokens")(output_text, model_name);
    return home().attr("_usage_dict")(prompt, completion);
}

object extract_gemini_usage(handle resp, handle input_text, handle output_text) {
    py::expect_str(input_text, "input_text");
    py::expect_str(output_text, "output_text");
    object prompt = pyb::none(), completion = pyb::none();
    swallow_ordinary([&] {
        object usage = usage_container(resp, "usage_metadata");
        prompt = lookup(usage, "prompt_token_count");
        completion = lookup(usage, "candidates_token_count");
    });
    if (prompt.is_none()) prompt = home().attr("_approx_token_count")(input_text);
    if (completion.is_none()) completion = home().attr("_approx_token_count")(output_text);
    return home().attr("_usage_dict")(prompt, completion);
}

}  // namespace

void register_usage(Registry& r) {
    handle scope = home().module();
    r.add("_approx_token_count",
          py::function(scope, "_approx_token_count", {"text"},
                       "Estimate the token count of `text`: one token per four characters, rounded up.",
                       &approx_token_count));
    r.add("_count_openai_tokens",
          py::function(scope, "_count_openai_tokens", {"text", "model_name"},
                       "Count the tokens of `text` with tiktoken's encoding for the model, else estimate them.",
                       &count_openai_tokens));
    r.add("_usage_dict",
          py::function(scope, "_usage_dict", {"prompt_tokens", "completion_tokens"},
                       "Build a usage dictionary; None and 0 both count as 0.", &usage_dict));
    r.add("_extract_openai_usage",
          py::function(scope, "_extract_openai_usage", {"resp", "input_text", "output_text", "model_name"},
                       "Token usage of an OpenAI response; unreported counts are counted from the texts.",
                       &extract_openai_usage));
    r.add("_extract_gemini_usage",
          py::function(scope, "_extract_gemini_usage", {"resp", "input_text", "output_text"},
                       "Token usage of a Gemini response; unreported counts are estimated from the texts.",
                       &extract_gemini_usage));
}

}  // namespace tavro::tokenmeter
