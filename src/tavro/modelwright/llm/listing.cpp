// tavro.modelwright model listing: the model names each provider offers, as
// sorted lists of distinct strings, and list_models, which picks the provider
// the way the workflows do.
#include "tavro/modelwright/llm/llm.hpp"

namespace tavro::modelwright {

namespace py = tavro::py;
using pyb::handle;
using pyb::object;

namespace {

bool starts_with(handle name, handle prefix) { return py::truthy(name.attr("startswith")(prefix)); }

// A prefix that is None or empty filters nothing (prefix is str or None).
bool filters(handle prefix) { return !prefix.is_none() && PyUnicode_GET_LENGTH(prefix.ptr()) > 0; }

// sorted(set(names)), keeping only the names that start with a non-empty prefix.
object listing(const pyb::list& names, handle prefix) {
    pyb::list kept;
    for (handle name : names) {
        if (!filters(prefix) || starts_with(name, prefix)) kept.append(name);
    }
    PyObject* distinct = PySet_New(kept.ptr());
    if (!distinct) throw pyb::error_already_set();
    PyObject* sorted = PySequence_List(distinct);
    Py_DECREF(distinct);
    if (!sorted) throw pyb::error_already_set();
    object result = pyb::reinterpret_steal<object>(sorted);
    if (PyList_Sort(sorted) < 0) throw pyb::error_already_set();
    return result;
}

// Runs the provider's listing call; an ordinary failure becomes RuntimeError
// "<what><str(e)>", raised while that failure is handled (context only).
template <class Call>
object wrap_failure(const char* what, Call&& call) {
    return py::guard(std::forward<Call>(call), [what](pyb::error_already_set& e) -> object {
        py::raise_in_handler(PyExc_RuntimeError, py::format("%s%S", what, e.value()), e.value());
    });
}

object list_openai_models(handle prefix) {
    py::expect_optional_str(prefix, "prefix");
    object client = home().attr("_openai_client")();
    object resp = wrap_failure("Failed to list OpenAI models: ", [&] { return client.attr("models").attr("list")(); });
    pyb::list names;
    object data = py::getattr_or(resp, "data", pyb::none());
    object entries = PyList_Check(data.ptr()) ? data : resp.is_none() ? pyb::list() : resp;
    for (handle m : entries) {
        object mid = py::getattr_or(m, "id", pyb::none());
        if (!py::truthy(mid) && PyDict_Check(m.ptr())) mid = m.attr("get")("id");
        if (PyUnicode_Check(mid.ptr())) names.append(mid);
    }
    return listing(names, prefix);
}

object list_gemini_models(handle prefix) {
    py::expect_optional_str(prefix, "prefix");
    object genai = home().attr("_google_client")();
    object models = wrap_failure("Failed to list Gemini models: ", [&] { return genai.attr("list_models")(); });
    pyb::list names;
    if (!py::truthy(models)) return listing(names, prefix);
    object method = py::text("generateContent");
    object full_prefix = py::text("models/");
    object short_part = pyb::reinterpret_steal<object>(PySlice_New(pyb::int_(7).ptr(), nullptr, nullptr));
    if (!short_part) throw pyb::error_already_set();
    for (handle m : models) {
        int supported = PySequence_Contains(m.attr("supported_generation_methods").ptr(), method.ptr());
        if (supported < 0) throw pyb::error_already_set();
        if (!supported) continue;
        object name = m.attr("name");
        if (!PyUnicode_Check(name.ptr()) || !starts_with(name, full_prefix)) continue;
        names.append(object(name[short_part]));
    }
    return listing(names, prefix);
}

// entry["key"] of a dictionary entry, else its attribute; None when absent.
object entry_field(handle entry, const char* key) {
    if (PyDict_Check(entry.ptr())) return entry.attr("get")(key);
    return py::getattr_or(entry, key, pyb::none());
}

object list_ollama_models(handle prefix) {
    py::expect_optional_str(prefix, "prefix");
    object ollama_list = py::import_required("ollama", "list", kOllamaMissing);
    pyb::list names;
    wrap_failure("Failed to list Ollama models: ", [&] {
        object res = ollama_list();
        object models = PyDict_Check(res.ptr()) ? object(res.attr("get")("models", pyb::list()))
                                                : py::getattr_or(res, "models", pyb::list());
        for (handle m : models) {
            object name = entry_field(m, "model");
            if (!py::truthy(name)) name = entry_field(m, "name");
            if (PyUnicode_Check(name.ptr())) names.append(name);
        }
        return object(pyb::none());
    });
    return listing(names, prefix);
}

object list_models(handle llm_provider, handle model_name) {
    py::expect_optional_str(llm_provider, "llm_provider");
    py::expect_str(model_name, "model_name");
    object provider = home().attr("_infer_provider")(llm_provider, model_name);
    if (const Provider* p = provider_of(provider)) return home().attr(p->list_function)();
    // Only a replaced _infer_provider gets here; fail rather than return None.
    py::raise(PyExc_ValueError, py::format("Unsupported LLM provider: %S", provider));
}

}  // namespace

void register_listing(Registry& r) {
    handle scope = home().module();
    r.add("list_openai_models",
          py::function(scope, "list_openai_models", {{"prefix", pyb::str("gpt")}},
                       "Sorted distinct ids of the OpenAI models visible to the API key; a non-empty prefix keeps "
                       "only the ids that start with it.",
                       &list_openai_models));
    r.add("list_gemini_models",
          py::function(scope, "list_gemini_models", {{"prefix", pyb::str("gemini")}},
                       "Sorted distinct names (without \"models/\") of the Gemini models that support "
                       "generateContent; a non-empty prefix keeps only the names that start with it, while None or "
                       "the empty string lists every such model.",
                       &list_gemini_models));
    r.add("list_ollama_models",
          py::function(scope, "list_ollama_models", {{"prefix", pyb::none()}},
                       "Sorted distinct tags of the local Ollama models; a non-empty prefix keeps only the tags "
                       "that start with it.",
                       &list_ollama_models));
    // Defaults are the constants' load-time values.
    r.add("list_models",
          py::function(scope, "list_models", {{"llm_provider", pyb::none()}, {"model_name", home().attr("MODEL_NAME")}},
                       "The model list of the provider that _infer_provider chooses.", &list_models));
}

}  // namespace tavro::modelwright
