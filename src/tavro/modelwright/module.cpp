// tavro.modelwright: module set-up. Binds, in the documented order, the
// standard names, the sibling imports, the logger, _notify, the constants,
// the enumerations and the functions of every part of the module.
#include "tavro/modelwright/modelwright.hpp"

namespace tavro::modelwright {

tavro::py::Home& home() {
    static tavro::py::Home h;
    return h;
}

namespace {

using pyb::object;

// `import name`, except that a module nothing has imported yet is created
// with importlib.util.LazyLoader and runs on its first attribute access. The
// object is the one sys.modules holds, so every later import of the name
// gives the same module. For inspect (ast, dis, ...), which only the OpenAI
// request filter uses.
object import_lazily(const char* name) {
    using tavro::py::import_module;
    object key = tavro::py::text(name);
    if (PyObject* loaded = PyImport_GetModule(key.ptr())) return pyb::reinterpret_steal<object>(loaded);
    if (PyErr_Occurred()) throw pyb::error_already_set();
    object util = import_module("importlib.util");
    object spec = util.attr("find_spec")(key);
    if (spec.is_none()) return import_module(name);  // the import's own error
    object loader = util.attr("LazyLoader")(spec.attr("loader"));
    spec.attr("loader") = loader;
    object module = util.attr("module_from_spec")(spec);
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_SetItem(modules, key.ptr(), module.ptr()) < 0) throw pyb::error_already_set();
    try {
        loader.attr("exec_module")(module);
    } catch (pyb::error_already_set&) {
        PyDict_DelItem(modules, key.ptr());  // as a failed import leaves it
        throw;
    }
    return module;
}

void bind_imports(pyb::module_& m) {
    using tavro::py::import_from;
    using tavro::py::import_module;
    m.attr("inspect") = import_lazily("inspect");
    for (const char* name : {"json", "logging", "os", "re"}) m.attr(name) = import_module(name);
    m.attr("Enum") = import_from("enum", "Enum");
    m.attr("auto") = import_from("enum", "auto");
    m.attr("files") = import_from("importlib.resources", "files");
    m.attr("Path") = import_from("pathlib", "Path");
    m.attr("sleep") = import_from("time", "sleep");
    for (const char* name : {"Any", "Callable", "Dict", "List", "Optional", "Tuple", "Union"})
        m.attr(name) = import_from("typing", name);
    m.attr("_extract_gemini_usage") = import_from("tavro.tokenmeter", "_extract_gemini_usage");
    m.attr("_extract_openai_usage") = import_from("tavro.tokenmeter", "_extract_openai_usage");
    m.attr("_estimate_costs") = import_from("tavro.tokenmeter", "estimate_costs");
    m.attr("KelmCompiler") = import_from("tavro.tavro_core", "KelmCompiler");
    m.attr("SemanticError") = import_from("tavro.tavro_core", "SemanticError");
    m.attr("rag_rank") = import_from("tavro.rag_helper", "rank_problem_descriptions");
}

}  // namespace

}  // namespace tavro::modelwright

PYBIND11_MODULE(modelwright, m) {
    using namespace tavro::modelwright;
    home().set(m);
    bind_imports(m);
    m.attr("logger") = m.attr("logging").attr("getLogger")("tavro.modelwright");

    Registry registry;
    register_config(registry);
    registry.bind_in_order(m, {"_notify"}, /*strict=*/false);
    // Constants and enumerations exist before the other parts register, so
    // their functions can take load-time defaults from them.
    bind_constants(m);
    register_grammar(registry);
    register_reply_json(registry);
    register_few_shot(registry);
    register_prompt_builders(registry);
    register_openai(registry);
    register_gemini_ollama(registry);
    register_dispatch(registry);
    register_listing(registry);
    register_workflows(registry);

    registry.bind_in_order(m, {
                                  "_notify",
                                  "_read_file",
                                  "_read_tavro_GBNF",
                                  "_read_tavro_grammar",
                                  "_read_tavro_code",
                                  "_get_grammar_implementation",
                                  "_safe_read_text",
                                  "_find_pair_in_folder",
                                  "_gather_few_shots",
                                  "extract_json_from_markdown",
                                  "_json_loads_relaxed",
                                  "_coalesce_response_text",
                                  "_openai_client",
                                  "_google_client",
                                  "_ollama_generate_text",
                                  "_build_create_params",
                                  "_infer_provider",
                                  "_llm_generate_text",
                                  "_call_openai_with_retry",
                                  "_build_generation_prompt",
                                  "_build_alignment_prompt",
                                  "_build_revision_prompt_alignment",
                                  "_build_revision_prompt_syntax",
                                  "_build_final_assessment_prompt",
                                  "_build_feedback_prompt",
                                  "generative_solve",
                                  "generative_feedback",
                                  "list_openai_models",
                                  "list_gemini_models",
                                  "list_ollama_models",
                                  "list_models",
                              });
}
