// tavro.modelwright OpenAI access: the client factory, the request loop with
// attempts, back-off and stripping of refused parameters, and the extraction
// of the reply text from a Responses object.
#include "tavro/modelwright/llm/llm.hpp"

#include <array>
#include <climits>

namespace tavro::modelwright {

namespace py = tavro::py;
using pyb::handle;
using pyb::object;

namespace {

// Patterns for server messages that name a refused parameter; compiled once
// with the host's `re` when the module loads, kept for the process lifetime.
struct RefusalPatterns {
    object unsupported;    // "unsupported parameter: 'name'"
    object not_supported;  // "parameter 'name' is not supported"
};
const RefusalPatterns* g_patterns = nullptr;

constexpr std::array<const char*, 4> kFallbackKeys = {"response_format", "stop", "reasoning", "temperature"};

bool dict_has(handle d, handle key) {
    int r = PyDict_Contains(d.ptr(), key.ptr());
    if (r < 0) throw pyb::error_already_set();
    return r == 1;
}

void dict_del(handle d, handle key) {
    if (PyDict_DelItem(d.ptr(), key.ptr()) < 0) throw pyb::error_already_set();
}

// The captured name of `pattern.search(msg)` when it is a key of `params`.
std::optional<object> refused_key(handle pattern, handle msg, handle params) {
    object m = pattern.attr("search")(msg);
    if (m.is_none()) return std::nullopt;
    object name = m.attr("group")(1);
    if (!dict_has(params, name)) return std::nullopt;
    return name;
}

// Drops from `params` the parameters that an error message says were refused.
bool strip_param_from_error_message(handle params, handle msg) {
    object low = msg.attr("lower")();
    bool removed = false;
    for (const char* key : kFallbackKeys) {
        object k = py::text(key);
        if (dict_has(params, k) && py::contains(low, k)) {
            dict_del(params, k);
            removed = true;
        }
    }
    if (auto name = refused_key(g_patterns->unsupported, msg, params)) {
        dict_del(params, *name);
        removed = true;
    }
    if (auto name = refused_key(g_patterns->not_supported, msg, params)) {
        dict_del(params, *name);
        return true;
    }
    return removed;
}

// Keeps only the keywords that the client's `create` accepts, unless it takes
// arbitrary keywords; any failure to inspect it leaves `params` as it is.
void prefilter_by_signature(handle client, handle params) {
    py::guard(
        [&] {
            object create_callable = client.attr("responses").attr("create");
            object inspect = home().attr("inspect");
            object sig = inspect.attr("signature")(create_callable);
            object var_keyword = inspect.attr("Parameter").attr("VAR_KEYWORD");
            object parameters = sig.attr("parameters");
            for (handle p : parameters.attr("values")()) {
                if (py::equal(p.attr("kind"), var_keyword)) return 0;
            }
            pyb::set supported;
            for (handle name : parameters) {
                if (!py::equal(name, py::text("self"))) supported.add(name);
            }
            pyb::list keys = pyb::reinterpret_steal<pyb::list>(PyDict_Keys(params.ptr()));
            for (handle key : keys) {
                if (!supported.contains(key)) {
                    dict_del(params, key);
                }
            }
            return 0;
        },
        [](pyb::error_already_set&) { return 0; });
}

// backoff_sec * 2 ** attempt, with the host's arithmetic.
object backoff_delay(handle backoff_sec, long long attempt) {
    object power =
        pyb::reinterpret_steal<object>(PyNumber_Power(pyb::int_(2).ptr(), pyb::int_(attempt).ptr(), Py_None));
    if (!power) throw pyb::error_already_set();
    object delay = pyb::reinterpret_steal<object>(PyNumber_Multiply(backoff_sec.ptr(), power.ptr()));
    if (!delay) throw pyb::error_already_set();
    return delay;
}

object call_openai_with_retry(handle client, handle create_params, handle retries_obj, handle backoff_obj,
                              handle progress) {
    py::expect_int(retries_obj, "retries");
    // A C double parameter: any real number (int, float, __float__), never text.
    double backoff = PyFloat_AsDouble(backoff_obj.ptr());
    if (backoff == -1.0 && PyErr_Occurred()) throw pyb::error_already_set();
    object backoff_sec = pyb::float_(backoff);

    // A shallow copy: keys only ever leave it, the caller's dictionary stays as it was.
    PyObject* copy = PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), create_params.ptr());
    if (!copy) throw pyb::error_already_set();
    object params = pyb::reinterpret_steal<object>(copy);
    object last_err = pyb::none();
    prefilter_by_signature(client, params);

    int overflow = 0;
    long long retries = PyLong_AsLongLongAndOverflow(retries_obj.ptr(), &overflow);
    if (overflow) retries = overflow > 0 ? LLONG_MAX : 0;
    object retries_text = py::py_str(retries_obj);
    for (long long attempt = 0; attempt < retries; ++attempt) {
        try {
            object create = client.attr("responses").attr("create");
            object kwargs = pyb::reinterpret_steal<object>(PyDict_Copy(params.ptr()));
            if (!kwargs) throw pyb::error_already_set();
            PyObject* result = PyObject_Call(create.ptr(), pyb::tuple().ptr(), kwargs.ptr());
            if (!result) throw pyb::error_already_set();
            return pyb::reinterpret_steal<object>(result);
        } catch (pyb::error_already_set& e) {
            if (!py::is_ordinary(e)) throw;
            // `e` is the exception being handled while the progress callback and
            // sleep run, so what they raise takes it as __context__.
            py::Handling handling(e);
            last_err = pyb::reinterpret_borrow<object>(e.value());
            object msg = py::truthy(last_err) ? py::py_str(last_err) : py::text("unknown error");
            report_progress(progress, py::format("[LLM] OpenAI: %U", msg));
            if (strip_param_from_error_message(params, msg)) {
                report_progress(progress, py::text("[LLM] OpenAI: retrying without unsupported parameters"));
                continue;
            }
            report_progress(progress,
                            py::format("[LLM] OpenAI: retry %lld/%U after error: %U", attempt + 1, retries_text, msg));
            home().attr("sleep")(backoff_delay(backoff_sec, attempt));
        }
    }
    report_progress(progress, py::format("[LLM] OpenAI: failed after %U attempts", retries_text));
    py::raise(PyExc_RuntimeError, py::format("OpenAI request failed after %U attempts: %S", retries_text, last_err));
}

object coalesce_response_text(handle resp) {
    // 1. The convenience property of the client's response objects.
    if (auto value = py::getattr_opt(resp, "output_text"); value && py::truthy(*value)) {
        py::expect_value(*value, &PyUnicode_Type);
        return std::move(*value);
    }
    // 2. The text parts of every output item.
    std::optional<object> joined = py::guard(
        [&]() -> std::optional<object> {
            std::vector<object> chunks;
            object output = py::getattr_or(resp, "output", pyb::none());
            if (!py::truthy(output)) output = pyb::list();
            auto text_or_empty = [](handle holder) {
                object t = holder.attr("text");
                return py::truthy(t) ? t : py::text("");
            };
            for (handle item : output) {
                object content = py::getattr_or(item, "content", pyb::none());
                if (content.is_none()) {
                    if (py::hasattr(item, "text")) chunks.push_back(text_or_empty(item));
                    continue;
                }
                for (handle part : content) {
                    if (py::hasattr(part, "text")) {
                        chunks.push_back(text_or_empty(part));
                    } else if (PyDict_Check(part.ptr())) {
                        object t = part.attr("get")("text");
                        if (PyUnicode_Check(t.ptr())) chunks.push_back(t);
                    }
                }
            }
            if (chunks.empty()) return std::nullopt;
            return py::concat(chunks);
        },
        [](pyb::error_already_set&) -> std::optional<object> { return std::nullopt; });
    if (joined) return std::move(*joined);
    // 3. The first part of the first item, however it is shaped.
    std::optional<object> first = py::guard(
        [&]() -> std::optional<object> {
            object output = py::getattr_or(resp, "output", pyb::list());
            object item = output[pyb::int_(0)];
            object content = py::getattr_or(item, "content", pyb::list());
            object part = content[pyb::int_(0)];
            auto t = py::getattr_opt(part, "text");
            if (!t) return std::nullopt;
            if (!py::truthy(*t)) return py::text("");
            py::expect_value(*t, &PyUnicode_Type);
            return std::move(*t);
        },
        [](pyb::error_already_set&) -> std::optional<object> { return std::nullopt; });
    if (first) return std::move(*first);
    return py::text("");
}

object openai_client() {
    object OpenAI = py::import_required("openai", "OpenAI", "openai is not installed. pip install openai");
    object key = home().attr("os").attr("environ").attr("get")("OPENAI_API_KEY");
    if (!py::truthy(key)) py::raise(PyExc_RuntimeError, "OPENAI_API_KEY environment variable not set.");
    return OpenAI(pyb::arg("api_key") = key);
}

}  // namespace

void register_openai(Registry& r) {
    handle scope = home().module();
    r.add("_coalesce_response_text",
          py::function(scope, "_coalesce_response_text", {"resp"},
                       "Take the reply text out of an OpenAI response object.", &coalesce_response_text));
    r.add("_openai_client", py::function(scope, "_openai_client", py::Signature{},
                                         "Create an OpenAI client with the key from OPENAI_API_KEY.", &openai_client));
    r.add("_call_openai_with_retry",
          py::function(scope, "_call_openai_with_retry",
                       {"client",
                        "create_params",
                        {"retries", pyb::int_(3)},
                        {"backoff_sec", pyb::float_(1.5)},
                        {"progress", pyb::none()}},
                       "Send one Responses request with bounded attempts, back-off and removal of refused "
                       "parameters.",
                       &call_openai_with_retry));

    object re = home().attr("re");
    object flags = re.attr("IGNORECASE");
    g_patterns = new RefusalPatterns{re.attr("compile")(R"(unsupported parameter:\s*'([^']+)')", flags),
                                     re.attr("compile")(R"(parameter\s*'([^']+)'\s*is not supported)", flags)};
}

}  // namespace tavro::modelwright
