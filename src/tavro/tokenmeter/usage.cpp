// tavro.tokenmeter usage: the character-based token estimate, OpenAI token
// counts through tiktoken, and the usage dictionaries read from OpenAI and
// Gemini responses.
#include "tavro/tokenmeter/tokenmeter.hpp"
#include "tavro/_py/names.hpp"

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
                    return py::guard(
                        [&] { return tiktoken.attr("get_encoding")("o200k_base"); },
                        [&](pyb::error_already_set&) { return tiktoken.attr("get_encoding")("cl100k_base"); });
                });
            object tokens = encoding.attr("encode")(text);
            const Py_ssize_t n = PyObject_Length(tokens.ptr());
            if (n < 0) throw pyb::error_already_set();
            return object(pyb::int_(n));
        },
        [&](pyb::error_already_set&) { return home().attr("_approx_token_count")(text); });
}

using py::Name;

const Name kGet{"get"}, kUsage{"usage"}, kUsageMetadata{"usage_metadata"}, kInputTokens{"input_tokens"},
    kPromptTokens{"prompt_tokens"}, kOutputTokens{"output_tokens"}, kCompletionTokens{"completion_tokens"},
    kPromptTokenCount{"prompt_token_count"}, kCandidatesTokenCount{"candidates_token_count"}, kUsageDict{"_usage_dict"},
    kCountOpenaiTokens{"_count_openai_tokens"}, kApproxTokenCount{"_approx_token_count"};

object usage_dict(handle prompt_tokens, handle completion_tokens) {
    py::expect_optional_int(prompt_tokens, "prompt_tokens");
    py::expect_optional_int(completion_tokens, "completion_tokens");
    auto count = [](handle v) { return py::truthy(v) ? pyb::reinterpret_borrow<object>(v) : object(pyb::int_(0)); };
    pyb::dict usage;
    if (PyDict_SetItem(usage.ptr(), kPromptTokens.get(), count(prompt_tokens).ptr()) < 0 ||
        PyDict_SetItem(usage.ptr(), kCompletionTokens.get(), count(completion_tokens).ptr()) < 0)
        throw pyb::error_already_set();
    return usage;
}

object module_attr(const Name& name) { return py::getattr(home().module(), name); }

// getattr(obj, name, None): only AttributeError counts as absence.
object getattr_or_none(handle obj, const Name& name) {
    PyObject* value = PyObject_GetAttr(obj.ptr(), name.get());
    if (value) return pyb::reinterpret_steal<object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw pyb::error_already_set();
    PyErr_Clear();
    return pyb::none();
}

// The look-up rule of both extractors: nothing from None, dictionaries by
// key, anything else by attribute (only a missing attribute means absent).
object lookup(handle container, const Name& key) {
    if (container.is_none()) return pyb::none();
    if (PyDict_Check(container.ptr())) return py::call_method(container, kGet, {key.obj()});
    return getattr_or_none(container, key);
}

// resp.<name>, or resp["<name>"] for a dictionary response without it.
object usage_container(handle resp, const Name& name) {
    object usage = getattr_or_none(resp, name);
    if (usage.is_none() && PyDict_Check(resp.ptr())) usage = py::call_method(resp, kGet, {name.obj()});
    return usage;
}

// `first or second`: the second key is read only when the first is falsy.
object first_truthy(handle usage, const Name& first, const Name& second) {
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
        object usage = usage_container(resp, kUsage);
        prompt = first_truthy(usage, kInputTokens, kPromptTokens);
        completion = first_truthy(usage, kOutputTokens, kCompletionTokens);
    });
    if (prompt.is_none()) prompt = py::call(module_attr(kCountOpenaiTokens), {input_text, model_name});
    if (completion.is_none()) completion = py::call(module_attr(kCountOpenaiTokens), {output_text, model_name});
    return py::call(module_attr(kUsageDict), {prompt, completion});
}

object extract_gemini_usage(handle resp, handle input_text, handle output_text) {
    py::expect_str(input_text, "input_text");
    py::expect_str(output_text, "output_text");
    object prompt = pyb::none(), completion = pyb::none();
    swallow_ordinary([&] {
        object usage = usage_container(resp, kUsageMetadata);
        prompt = lookup(usage, kPromptTokenCount);
        completion = lookup(usage, kCandidatesTokenCount);
    });
    if (prompt.is_none()) prompt = py::call(module_attr(kApproxTokenCount), {input_text});
    if (completion.is_none()) completion = py::call(module_attr(kApproxTokenCount), {output_text});
    return py::call(module_attr(kUsageDict), {prompt, completion});
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
    r.add("_usage_dict", py::function(scope, "_usage_dict", {"prompt_tokens", "completion_tokens"},
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
