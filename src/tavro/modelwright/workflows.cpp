// tavro.modelwright workflows: generative_solve (generate, compile, revise and
// assess a model/data pair) and generative_feedback (one question about an
// existing pair). Every collaborator is a module attribute looked up at call
// time, so a rebinding on the module changes what these workflows do.
#include "tavro/modelwright/modelwright.hpp"
#include "tavro/_py/fastcall.hpp"
#include "tavro/_py/names.hpp"

namespace tavro::modelwright {

namespace py = tavro::py;
using pyb::handle;
using pyb::object;

namespace {

const char* const kSolveDoc =
    R"DOC(Generate a Tavro model and data file from a prompt, validate with tavro, iterate on errors, and assess alignment.

    Args:
        prompt (str): Problem description to model.
        model_file (str): Path to save the generated Tavro model (.mod).
        data_file (str): Path to save the generated Tavro data file (.dat).
        model_name (str): LLM model name, e.g. "gpt-5".
        mode (Grammar): Grammar implementation to use: Grammar.NONE, Grammar.BNF, or Grammar.CODE.
        iterations (int): Maximum number of generation/validation iterations (default 5).
        return_statistics (bool): If True, return a dict with statistics instead of just the assessment string.
        alignment_check (bool|None): If True, check alignment with the original prompt; if False, skip alignment check; if None, use default ALIGNMENT_CHECK.
        temperature (float|None): Sampling temperature; if None, use model default.
        stop (list[str]|None): List of stop sequences; if None, no stop sequences.
        llm_provider (str|None): "openai" (default), "google", or "ollama".
        progress (callable|None): Optional function that receives progress messages (str).  # NEW

    Returns:
        str or dict: If return_statistics is False, returns the final assessment string.
                     If return_statistics is True, returns a dict with keys:
                     - "iterations": number of iterations performed
                     - "assessment": final assessment string
                     - "syntax_errors": list of syntax errors encountered (if any)
                     - "cost": { "model": str, "usage": {"prompt_tokens": int, "completion_tokens": int}, "estimated_costs": dict }  # NEW
    Raises:
        RuntimeError: If generation or validation fails irrecoverably.
    )DOC";

const char* const kFeedbackDoc = R"DOC(Provide feedback on a given Tavro model and data file based on a user prompt.

    Args:
        prompt (str): User question or request regarding the model and data.
        model_file (str): Path to the Tavro model file (.mod).
        data_file (str): Path to the Tavro data file (.dat).
        model_name (str): LLM model name, e.g. "gpt-5".
        mode (Grammar): Grammar implementation to use: Grammar.NONE, Grammar.BNF, or Grammar.CODE.
        temperature (float|None): Sampling temperature; if None, use model default.
        stop (list[str]|None): List of stop sequences; if None, no stop sequences.
        llm_provider (str|None): "openai" (default), "google", or "ollama".
        progress (callable|None): Optional function that receives progress messages (str).  # NEW

    Raises:
        RuntimeError: If feedback generation fails irrecoverably.

    Returns:
        dict: A dictionary with keys:
              - "feedback": string with the feedback message
              - "revised_model": (optional) string with revised Tavro model if changes are proposed
              - "revised_data": (optional) string with revised Tavro data if changes are proposed
    )DOC";

using py::Name;

// Module attributes and names used on every call, interned once.
const Name kNotify{"_notify"}, kLogger{"logger"}, kDebug{"debug"}, kLlmGenerate{"_llm_generate_text"},
    kMaxOutputTokens{"MAX_OUTPUT_TOKENS"}, kMaxIterations{"MAX_ITERATIONS"}, kAlignmentCheck{"ALIGNMENT_CHECK"},
    kFewShotTopK{"FEW_SHOT_TOP_K"}, kGetGrammar{"_get_grammar_implementation"}, kInferProvider{"_infer_provider"},
    kGatherFewShots{"_gather_few_shots"}, kBuildGeneration{"_build_generation_prompt"},
    kBuildRevisionSyntax{"_build_revision_prompt_syntax"}, kBuildAlignment{"_build_alignment_prompt"},
    kBuildRevisionAlignment{"_build_revision_prompt_alignment"},
    kBuildFinalAssessment{"_build_final_assessment_prompt"}, kBuildFeedback{"_build_feedback_prompt"},
    kJsonLoadsRelaxed{"_json_loads_relaxed"}, kKelmCompiler{"KelmCompiler"}, kCompileModel{"compile_model"},
    kSemanticError{"SemanticError"}, kEstimateCosts{"_estimate_costs"}, kValue{"value"}, kGet{"get"}, kStrip{"strip"},
    kOpen{"open"}, kRead{"read"}, kClose{"close"}, kIterations{"iterations"}, kSyntaxErrors{"syntax_errors"},
    kCost{"cost"}, kUsageKey{"usage"}, kEstimatedCosts{"estimated_costs"}, kModel{"model"}, kData{"data"},
    kAligned{"aligned"}, kAssessment{"assessment"}, kPromptTokens{"prompt_tokens"},
    kCompletionTokens{"completion_tokens"};

// Fixed progress and log texts, made once.
const Name kMsgCompiling{"Compiling model and data"}, kMsgParsed{"LLM response parsed (model + data)"},
    kMsgGenerated{"Model and data generated."}, kMsgRevising{"Model or data has syntax errors; revising..."},
    kMsgNoAlignment{"Syntax OK; alignment check disabled. Stopping."},
    kMsgChecking{"Checking alignment with original prompt..."}, kMsgAligned{"Aligned \u2713 Stopping."},
    kMsgAlignedLog{"Model and data are syntactically valid and aligned with the prompt."},
    kMsgNotAligned{"Not aligned; revising per assessment"},
    kMsgFinalLog{"Final assessment of model and data alignment..."}, kMsgFinal{"Requesting final assessment"},
    kMsgComplete{"Generation complete"}, kMsgFeedback{"Generating feedback from LLM"},
    kMsgFeedbackParsing{"Feedback received; parsing"};

const py::KwNames kLlmKeywords{"provider",    "model_name", "input_text", "max_tokens",
                               "temperature", "stop",       "progress",   "capture_usage"};
const py::KwNames kFewShotKeywords{"k", "models_dir", "progress"};
const py::KwNames kFewShotsKeyword{"few_shots"};
const py::KwNames kModelKeyword{"model"};

object attr(const char* name) { return home().attr(name); }
object attr(const Name& name) { return py::getattr(home().module(), name); }

// format(value, ""): what an f-string field shows.
object fmt(handle value) {
    PyObject* s = PyObject_Format(value.ptr(), nullptr);
    if (!s) throw pyb::error_already_set();
    return pyb::reinterpret_steal<object>(s);
}

object as_int(long long v) { return pyb::reinterpret_steal<object>(PyLong_FromLongLong(v)); }

void notify(handle progress, handle msg) { py::call(attr(kNotify), {progress, msg}); }
void notify(handle progress, const Name& msg) { notify(progress, msg.obj()); }
void debug(handle msg) { py::call_method(attr(kLogger), kDebug, {msg}); }
void debug(const Name& msg) { debug(msg.obj()); }

object add(handle a, handle b) {
    PyObject* sum = PyNumber_Add(a.ptr(), b.ptr());
    if (!sum) throw pyb::error_already_set();
    return pyb::reinterpret_steal<object>(sum);
}

// One _llm_generate_text call with the keywords both workflows send.
object llm_call(handle provider, handle model_name, handle input_text, handle temperature, handle stop, handle progress,
                bool capture_usage) {
    object fn = attr(kLlmGenerate);
    return py::call(fn,
                    {provider, model_name, input_text, attr(kMaxOutputTokens), temperature, stop, progress,
                     capture_usage ? Py_True : Py_False},
                    &kLlmKeywords);
}

// 0.0 / 0.2 when the caller gave a temperature, else None.
object fixed_temperature(handle caller_temperature, double value) {
    if (caller_temperature.is_none()) return pyb::none();
    return pyb::float_(value);
}

// open(path, mode) as a call in Python resolves it: builtins.open as it is now.
object open_file(handle path, const char* mode) {
    static PyObject* builtins = PyImport_ImportModule("builtins");
    if (!builtins) throw pyb::error_already_set();
    return py::call(py::getattr(builtins, kOpen), {path, py::text(mode)});
}

// with open(path) as f: return f.read()
object read_text(handle path) {
    object f = open_file(path, "r");
    object content;
    try {
        content = py::call_method(f, kRead, {});
    } catch (pyb::error_already_set&) {
        py::call_method(f, kClose, {});
        throw;
    }
    py::call_method(f, kClose, {});
    return content;
}

// The text open(path, "w") would leave, written atomically: a kill, a full
// disk or a size limit during the write leaves the earlier file whole.
void write_text(handle path, handle content) {
    py::import_module("tavro._fileio").attr("write_text_atomic")(path, content);
}

// Text mode refuses anything but str; checked before either file is touched,
// so the files of an earlier iteration survive a bad reply.
void expect_writable(handle content) {
    if (PyUnicode_Check(content.ptr())) return;
    py::raise(PyExc_TypeError, py::concat({py::text("write() argument must be str, not "), py::type_name(content)}));
}

void make_parent_dir(handle path) {
    object os = attr("os");
    object folder = os.attr("path").attr("dirname")(path);
    if (py::truthy(folder)) os.attr("makedirs")(folder, pyb::arg("exist_ok") = true);
}

// Adds the usage's counts (0 when absent) to the running sums.
void add_usage(handle usage, object& prompt_sum, object& completion_sum) {
    object get = py::getattr(usage, kGet);
    static handle zero = PyLong_FromLong(0);
    prompt_sum = add(prompt_sum, py::call(get, {kPromptTokens.obj(), zero}));
    completion_sum = add(completion_sum, py::call(get, {kCompletionTokens.obj(), zero}));
}

// estimate_costs(SimpleNamespace(model=model_name), usage), or {} on any failure.
object estimate(handle model_name, handle usage) {
    return py::guard(
        [&]() -> object {
            // types.SimpleNamespace, imported once (inside the guard: no namespace, no estimate).
            static PyObject* namespace_type = py::import_from("types", "SimpleNamespace").release().ptr();
            object ns = py::call(namespace_type, {model_name}, &kModelKeyword);
            object costs = py::call(attr(kEstimateCosts), {ns, usage});
            if (!py::truthy(costs)) return pyb::dict();
            py::expect_value(costs, &PyDict_Type, false);
            return costs;
        },
        [](pyb::error_already_set&) -> object { return pyb::dict(); });
}

// max(int(iterations), 1), or MAX_ITERATIONS as it is now.
object iteration_budget(handle iterations) {
    return py::guard(
        [&]() -> object {
            PyObject* n = PyNumber_Long(iterations.ptr());
            if (!n) throw pyb::error_already_set();
            object value = pyb::reinterpret_steal<object>(n);
            object one = as_int(1);
            int less = PyObject_RichCompareBool(value.ptr(), one.ptr(), Py_LT);
            if (less < 0) throw pyb::error_already_set();
            return less ? one : value;
        },
        [](pyb::error_already_set&) { return attr(kMaxIterations); });
}

// The loop count behind a budget, with range()'s integer rule.
Py_ssize_t loop_count(handle budget) {
    PyObject* index = PyNumber_Index(budget.ptr());
    if (!index) throw pyb::error_already_set();
    // range() takes any int: a budget beyond Py_ssize_t runs until aligned.
    Py_ssize_t n = PyNumber_AsSsize_t(index, nullptr);  // clamps instead of overflowing
    Py_DECREF(index);
    if (n == -1 && PyErr_Occurred()) throw pyb::error_already_set();
    return n < 0 ? 0 : n;
}

// Compiles the pair with a fresh compiler; every failure becomes one entry.
pyb::list compile_errors(handle progress, handle model_code, handle data_code) {
    object compiler = py::call(attr(kKelmCompiler), {});
    pyb::list errors;
    try {
        notify(progress, kMsgCompiling);
        py::call_method(compiler, kCompileModel, {model_code, data_code});
    } catch (pyb::error_already_set& e) {
        if (e.matches(attr(kSemanticError))) {
            object message = py::py_str(e.value());
            errors.append(message);
            debug(py::concat({py::text("Semantic error in model: "), message}));
        } else if (py::is_ordinary(e)) {
            errors.append(py::concat({py::type_name(e.value()), py::text(": "), py::py_str(e.value())}));
        } else {
            throw;
        }
    }
    return errors;
}

bool is_bool(handle v) { return PyBool_Check(v.ptr()); }

// {name: value, ...} in the order given.
pyb::dict make_dict(std::initializer_list<std::pair<const Name&, handle>> items) {
    pyb::dict d;
    for (const auto& [name, value] : items)
        if (PyDict_SetItem(d.ptr(), name.get(), value.ptr()) < 0) throw pyb::error_already_set();
    return d;
}

// obj[key]
object item(handle obj, const Name& key) {
    PyObject* value = PyObject_GetItem(obj.ptr(), key.get());
    if (!value) throw pyb::error_already_set();
    return pyb::reinterpret_steal<object>(value);
}

object generative_solve(object prompt, object model_file, object data_file, object model_name, object mode,
                        object iterations, object return_statistics, object alignment_check, object temperature,
                        object stop, object llm_provider, object progress, object few_shot) {
    py::expect_optional_float(temperature, "temperature");
    py::expect_optional_list(stop, "stop");
    py::expect_optional_str(llm_provider, "llm_provider");

    object grammar_implementation = py::call(attr(kGetGrammar), {mode});
    object budget = iteration_budget(iterations);
    bool do_alignment = py::truthy(alignment_check.is_none() ? attr(kAlignmentCheck) : alignment_check);
    object provider = py::call(attr(kInferProvider), {llm_provider, model_name});
    notify(progress, py::concat({py::text("Generating with provider="), fmt(py::getattr(provider, kValue)),
                                 py::text(" model="), fmt(model_name), py::text(" iterations="), fmt(budget),
                                 py::text(" alignment="), py::text(do_alignment ? "on" : "off")}));

    object few_shots;
    if (py::truthy(few_shot)) {
        object gather = attr(kGatherFewShots);
        few_shots = py::call(gather, {prompt, attr(kFewShotTopK), Py_None, progress}, &kFewShotKeywords);
        py::expect_value(few_shots, &PyList_Type);
    } else {
        few_shots = pyb::list();
    }
    object user_prompt =
        py::call(attr(kBuildGeneration), {prompt, grammar_implementation, few_shots}, &kFewShotsKeyword);

    object assessment = py::text("");
    pyb::list syntax_errors;
    object prompt_tokens = as_int(0), completion_tokens = as_int(0);
    object model_code = py::text(""), data_code = py::text("");

    const Py_ssize_t count = loop_count(budget);
    Py_ssize_t done = 0;
    for (Py_ssize_t r = 0; r < count; ++r) {
        done = r + 1;
        object round = fmt(as_int(done));
        debug(py::concat({py::text("Iteration "), round, py::text("/"), fmt(budget)}));
        notify(progress,
               py::concat({py::text("Iteration "), round, py::text("/"), fmt(budget), py::text(": prompting model")}));

        auto [content, usage] =
            py::unpack_pair(llm_call(provider, model_name, user_prompt, temperature, stop, progress, true));
        add_usage(usage, prompt_tokens, completion_tokens);
        if (!py::truthy(content)) py::raise(PyExc_RuntimeError, "Empty model response.");

        try {
            object reply = py::call(attr(kJsonLoadsRelaxed), {content});
            model_code = item(reply, kModel);
            data_code = item(reply, kData);
            notify(progress, kMsgParsed);
            debug(kMsgGenerated);
        } catch (pyb::error_already_set& e) {
            if (!py::is_ordinary(e)) throw;
            py::raise_in_handler(PyExc_RuntimeError,
                                 py::concat({py::text("Failed to parse model response as JSON: "),
                                             py::py_str(e.value()), py::text("\nResponse: "), fmt(content)}),
                                 e.value());
        }

        syntax_errors = compile_errors(progress, model_code, data_code);

        make_parent_dir(model_file);
        make_parent_dir(data_file);
        expect_writable(model_code);
        expect_writable(data_code);
        write_text(model_file, model_code);
        write_text(data_file, data_code);
        notify(progress,
               py::concat({py::text("Wrote files: "), fmt(model_file), py::text(" \u2022 "), fmt(data_file)}));

        if (!syntax_errors.empty()) {
            notify(progress, py::concat({py::text("Syntax/semantic errors found: "), fmt(as_int(syntax_errors.size())),
                                         py::text("; revising...")}));
            debug(kMsgRevising);
            user_prompt = py::call(attr(kBuildRevisionSyntax),
                                   {prompt, grammar_implementation, model_code, data_code, syntax_errors, few_shots},
                                   &kFewShotsKeyword);
            continue;
        }
        if (!do_alignment) {
            notify(progress, kMsgNoAlignment);
            break;
        }

        debug(kMsgChecking);
        notify(progress, kMsgChecking);
        object alignment_prompt =
            py::call(attr(kBuildAlignment), {prompt, grammar_implementation, model_code, data_code});
        auto [alignment_content, usage2] = py::unpack_pair(llm_call(
            provider, model_name, alignment_prompt, fixed_temperature(temperature, 0.0), stop, progress, true));
        add_usage(usage2, prompt_tokens, completion_tokens);
        if (!py::truthy(alignment_content)) py::raise(PyExc_RuntimeError, "Empty alignment response.");

        object verdict = py::call(attr(kJsonLoadsRelaxed), {alignment_content});
        object aligned = pyb::none(), text = pyb::none();
        if (PyDict_Check(verdict.ptr())) {
            aligned = py::call_method(verdict, kGet, {kAligned.obj(), Py_None});
            text = py::call_method(verdict, kGet, {kAssessment.obj(), Py_None});
        }
        if (!is_bool(aligned) || !PyUnicode_Check(text.ptr()))
            py::raise(PyExc_RuntimeError,
                      py::concat({py::text("Invalid alignment response JSON: "), fmt(alignment_content)}));
        assessment = py::call_method(text, kStrip, {});

        if (aligned.ptr() == Py_True) {
            notify(progress, kMsgAligned);
            debug(kMsgAlignedLog);
            break;
        }
        notify(progress, kMsgNotAligned);
        debug(py::concat(
            {py::text("Model and data are syntactically valid but NOT aligned with the prompt. Assessment: "),
             assessment}));
        user_prompt =
            py::call(attr(kBuildRevisionAlignment),
                     {prompt, grammar_implementation, assessment, model_code, data_code, few_shots}, &kFewShotsKeyword);
    }

    // The final assessment sees the files as written.
    model_code = read_text(model_file);
    data_code = read_text(data_file);
    if (!syntax_errors.empty() || !do_alignment) {
        debug(kMsgFinalLog);
        notify(progress, kMsgFinal);
        object assessment_prompt = py::call(attr(kBuildFinalAssessment),
                                            {prompt, grammar_implementation, model_code, data_code, syntax_errors});
        auto [final_text, usage3] = py::unpack_pair(llm_call(
            provider, model_name, assessment_prompt, fixed_temperature(temperature, 0.2), stop, progress, true));
        add_usage(usage3, prompt_tokens, completion_tokens);
        assessment = py::truthy(final_text) ? final_text : py::text("");
    }
    notify(progress, kMsgComplete);

    pyb::dict usage_summary = make_dict({{kPromptTokens, prompt_tokens}, {kCompletionTokens, completion_tokens}});
    object estimated_costs = estimate(model_name, usage_summary);
    pyb::dict cost = make_dict({{kModel, model_name}, {kUsageKey, usage_summary}, {kEstimatedCosts, estimated_costs}});
    notify(progress, py::concat({py::text("[LLM] Estimated costs: "), py::py_str(cost)}));

    if (!py::truthy(return_statistics)) return py::call_method(assessment, kStrip, {});
    return make_dict({{kIterations, as_int(done)},
                      {kAssessment, py::call_method(assessment, kStrip, {})},
                      {kSyntaxErrors, syntax_errors},
                      {kCost, cost}});
}

object generative_feedback(object prompt, object model_file, object data_file, object model_name, object mode,
                           object temperature, object stop, object llm_provider, object progress) {
    py::expect_optional_float(temperature, "temperature");
    py::expect_optional_list(stop, "stop");
    py::expect_optional_str(llm_provider, "llm_provider");

    object provider = py::call(attr(kInferProvider), {llm_provider, model_name});
    object grammar_implementation = py::call(attr(kGetGrammar), {mode});
    object model_code = read_text(model_file);
    object data_code = read_text(data_file);
    notify(progress, kMsgFeedback);
    object feedback_prompt = py::call(attr(kBuildFeedback), {prompt, grammar_implementation, model_code, data_code});
    object reply =
        llm_call(provider, model_name, feedback_prompt, fixed_temperature(temperature, 0.0), stop, progress, false);
    py::expect_value(reply, &PyUnicode_Type);
    if (!py::truthy(reply)) py::raise(PyExc_RuntimeError, "Empty model response.");
    try {
        notify(progress, kMsgFeedbackParsing);
        return py::call(attr(kJsonLoadsRelaxed), {reply});
    } catch (pyb::error_already_set& e) {
        if (!py::is_ordinary(e)) throw;
        py::raise_in_handler(PyExc_RuntimeError,
                             py::concat({py::text("Failed to parse feedback response as JSON: "), py::py_str(e.value()),
                                         py::text("\nResponse: "), reply}),
                             e.value());
    }
}

}  // namespace

void register_workflows(Registry& r) {
    handle scope = home().module();
    // Load-time defaults: later rebinding of the constants does not change them.
    py::Param model_name{"model_name", home().attr("MODEL_NAME")};
    py::Param mode{"mode", home().attr("Grammar").attr("BNF")};
    py::Param temperature{"temperature", pyb::none()}, stop{"stop", pyb::none()};
    py::Param llm_provider{"llm_provider", home().attr("LLM_PROVIDER")}, progress{"progress", pyb::none()};
    // The implementations behind the Python faces take every argument
    // positionally, bound without pybind11's dispatcher.
    r.add("generative_solve",
          py::fast_python_function(scope, "generative_solve",
                                   {"prompt",
                                    "model_file",
                                    "data_file",
                                    model_name,
                                    mode,
                                    {"iterations", home().attr("MAX_ITERATIONS")},
                                    {"return_statistics", pyb::bool_(false)},
                                    {"alignment_check", pyb::none()},
                                    temperature,
                                    stop,
                                    llm_provider,
                                    progress,
                                    {"few_shot", pyb::bool_(true)}},
                                   kSolveDoc, [](PyObject* const* a) {
                                       auto o = [&](int i) { return pyb::reinterpret_borrow<object>(a[i]); };
                                       return generative_solve(o(0), o(1), o(2), o(3), o(4), o(5), o(6), o(7), o(8),
                                                               o(9), o(10), o(11), o(12));
                                   }));
    r.add("generative_feedback",
          py::fast_python_function(
              scope, "generative_feedback",
              {"prompt", "model_file", "data_file", model_name, mode, temperature, stop, llm_provider, progress},
              kFeedbackDoc, [](PyObject* const* a) {
                  auto o = [&](int i) { return pyb::reinterpret_borrow<object>(a[i]); };
                  return generative_feedback(o(0), o(1), o(2), o(3), o(4), o(5), o(6), o(7), o(8));
              }));
}

}  // namespace tavro::modelwright
