// tavro.modelwright prompt builders: the generation and revision prompts and
// the assessment and feedback prompts. Pure functions: the arguments are kept
// as str objects and joined with the fixed pieces of templates.cpp, so every
// code point of the caller's text survives unchanged (nothing is escaped).
#include "tavro/modelwright/modelwright.hpp"
#include "tavro/modelwright/prompts/templates.hpp"
#include "tavro/_py/names.hpp"

#include <initializer_list>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tavro::modelwright {

namespace py = tavro::py;
namespace t = templates;
using pyb::handle;
using pyb::object;

namespace {

const py::Name kGet{"get"}, kEmpty{""}, kDescPath{"desc_path"}, kModelPath{"model_path"}, kDataPath{"data_path"},
    kDescription{"description"}, kModel{"model"}, kData{"data"};

// The str object of a fixed piece, decoded once and reused: a cached object
// is only handed out for the very bytes it was made from.
object fixed_text(std::string_view fixed) {
    struct Entry {
        std::string bytes;
        PyObject* str;
    };
    static std::unordered_map<const char*, Entry> cache;
    auto it = cache.find(fixed.data());
    if (it != cache.end() && it->second.bytes == fixed) return pyb::reinterpret_borrow<object>(it->second.str);
    object str = py::text(fixed);
    if (it != cache.end()) {
        Py_DECREF(it->second.str);
        cache.erase(it);
    }
    cache.emplace(fixed.data(), Entry{std::string(fixed), str.inc_ref().ptr()});
    return str;
}

// Parts of one prompt, in order: fixed pieces and inserted str objects.
class Prompt {
public:
    Prompt& operator<<(std::string_view fixed) {
        parts_.push_back(fixed_text(fixed));
        return *this;
    }
    Prompt& operator<<(object value) {
        parts_.push_back(std::move(value));
        return *this;
    }
    object str() const {
        pyb::list items(parts_.size());
        for (std::size_t i = 0; i < parts_.size(); ++i) PyList_SET_ITEM(items.ptr(), i, parts_[i].inc_ref().ptr());
        PyObject* joined = PyUnicode_Join(kEmpty.get(), items.ptr());
        if (!joined) throw pyb::error_already_set();
        return pyb::reinterpret_steal<object>(joined);
    }

private:
    std::vector<object> parts_;
};

// record.get(key, "") in its text form.
object path_value(handle record, const py::Name& key) {
    return py::py_str(py::call_method(record, kGet, {key.obj(), kEmpty.obj()}));
}

// record[key] in its text form; a missing key raises KeyError unchanged.
object body_value(handle record, const py::Name& key) {
    PyObject* value = PyObject_GetItem(record.ptr(), key.get());
    if (!value) throw pyb::error_already_set();
    return py::py_str(pyb::reinterpret_steal<object>(value));
}

// The few-shot section: empty for None or [], else FS-OPEN, one numbered
// block per record, FS-CLOSE.
object few_shot_section(handle few_shots) {
    if (few_shots.is_none() || PyList_GET_SIZE(few_shots.ptr()) == 0) return py::text("");
    Prompt section;
    section << t::FS_OPEN;
    // The iterator protocol holds a reference to each record, even if str() of a
    // value changes the list meanwhile.
    Py_ssize_t index = 0;
    for (handle record : pyb::reinterpret_borrow<object>(few_shots)) {
        ++index;
        object desc_path = path_value(record, kDescPath);
        object model_path = path_value(record, kModelPath);
        object data_path = path_value(record, kDataPath);
        object description = body_value(record, kDescription);
        object model = body_value(record, kModel);
        object data = body_value(record, kData);
        section << t::EXAMPLE_OPEN << py::py_str(pyb::int_(index)) << t::EXAMPLE_INDEX_END
                << t::DESCRIPTION_HEAD << desc_path << t::HEAD_END << t::LINE_BREAK << description
                << t::DESCRIPTION_END << t::MODEL_HEAD << model_path << t::HEAD_END << t::LINE_BREAK << model
                << t::MODEL_END << t::DATA_HEAD << data_path << t::HEAD_END << t::LINE_BREAK << data
                << t::EXAMPLE_END;
    }
    section << t::FS_CLOSE;
    return section.str();
}

object borrow(handle h) { return pyb::reinterpret_borrow<object>(h); }

// Checks text arguments in parameter order: each must be exactly a str.
void expect_texts(std::initializer_list<std::pair<handle, const char*>> args) {
    for (const auto& [value, name] : args) py::expect_str(value, name);
}

// The middle of the three writing prompts: grammar reference, few-shot
// section, problem description.
void reference_and_problem(Prompt& p, handle grammar, handle few_shots, handle prompt) {
    object section = few_shot_section(few_shots);
    p << borrow(grammar) << t::GRAMMAR_END << section << t::PROBLEM_OPEN << borrow(prompt);
}

// The pair being revised, in both revision prompts.
void previous_attempt(Prompt& p, handle model_code, handle data_code) {
    p << t::PREV_MODEL << borrow(model_code) << t::PREV_DATA << borrow(data_code);
}

object build_generation_prompt(handle prompt, handle grammar, handle few_shots) {
    expect_texts({{prompt, "prompt"}, {grammar, "grammar_implementation"}});
    py::expect_optional_list(few_shots, "few_shots");
    Prompt p;
    p << t::GEN_OPEN;
    reference_and_problem(p, grammar, few_shots, prompt);
    p << t::GEN_CLOSE;
    return p.str();
}

object build_revision_prompt_syntax(handle prompt, handle grammar, handle model_code, handle data_code,
                                    handle syntax_errors, handle few_shots) {
    expect_texts({{prompt, "prompt"},
                  {grammar, "grammar_implementation"},
                  {model_code, "model_code"},
                  {data_code, "data_code"}});
    py::expect_optional_list(few_shots, "few_shots");
    Prompt p;
    p << t::SYN_OPEN;
    reference_and_problem(p, grammar, few_shots, prompt);
    previous_attempt(p, model_code, data_code);
    p << t::PREV_ERRORS << py::py_str(syntax_errors) << t::SYN_CLOSE;
    return p.str();
}

object build_revision_prompt_alignment(handle prompt, handle grammar, handle assessment_text, handle model_code,
                                       handle data_code, handle few_shots) {
    expect_texts({{prompt, "prompt"},
                  {grammar, "grammar_implementation"},
                  {assessment_text, "assessment_text"},
                  {model_code, "model_code"},
                  {data_code, "data_code"}});
    py::expect_optional_list(few_shots, "few_shots");
    Prompt p;
    // The assessment goes into the task section, ahead of the grammar reference.
    p << t::ALN_OPEN << borrow(assessment_text) << t::ALN_TASK;
    reference_and_problem(p, grammar, few_shots, prompt);
    previous_attempt(p, model_code, data_code);
    p << t::ALN_CLOSE;
    return p.str();
}

// The inputs of the two assessment prompts, after their opening piece.
void assessment_inputs(Prompt& p, handle prompt, handle grammar, handle model_code, handle data_code) {
    expect_texts({{prompt, "prompt"},
                  {grammar, "grammar_implementation"},
                  {model_code, "model_code"},
                  {data_code, "data_code"}});
    p << borrow(grammar) << t::INPUTS_DESCRIPTION << borrow(prompt) << t::DESCRIPTION_MODEL << borrow(model_code)
      << t::MODEL_DATA << borrow(data_code);
}

object build_alignment_prompt(handle prompt, handle grammar, handle model_code, handle data_code) {
    Prompt p;
    p << t::ALIGN_OPEN;
    assessment_inputs(p, prompt, grammar, model_code, data_code);
    p << t::ALIGN_CLOSE;
    return p.str();
}

object build_final_assessment_prompt(handle prompt, handle grammar, handle model_code, handle data_code,
                                     handle syntax_errors) {
    Prompt p;
    p << t::FINAL_OPEN;
    assessment_inputs(p, prompt, grammar, model_code, data_code);
    p << t::DATA_END;
    // The remaining compile errors sit after the closed data element.
    if (py::truthy(syntax_errors)) p << t::SYNTAX_ERRORS << py::py_str(syntax_errors) << t::BLANK_LINE;
    p << t::FINAL_CLOSE;
    return p.str();
}

object build_feedback_prompt(handle question, handle grammar, handle model_code, handle data_code) {
    expect_texts({{question, "user_prompt_text"},
                  {grammar, "grammar_implementation"},
                  {model_code, "model_code"},
                  {data_code, "data_code"}});
    Prompt p;
    p << t::FEEDBACK_OPEN << borrow(grammar) << t::INPUTS_QUESTION << borrow(question) << t::QUESTION_MODEL
      << borrow(model_code) << t::MODEL_DATA << borrow(data_code) << t::FEEDBACK_CLOSE;
    return p.str();
}

}  // namespace

void register_prompt_builders(Registry& r) {
    handle scope = home().module();
    using pyb::arg;
    r.add("_build_generation_prompt",
          py::function(scope, "_build_generation_prompt", "(prompt, grammar_implementation, few_shots=None)",
                       "Build the prompt that asks for a model file and a matching data file.",
                       &build_generation_prompt, arg("prompt"), arg("grammar_implementation"),
                       arg("few_shots") = pyb::none()));
    r.add("_build_alignment_prompt",
          py::function(scope, "_build_alignment_prompt", "(prompt, grammar_implementation, model_code, data_code)",
                       "Build the prompt that asks whether a compiled model and data match the description.",
                       &build_alignment_prompt, arg("prompt"), arg("grammar_implementation"), arg("model_code"),
                       arg("data_code")));
    r.add("_build_revision_prompt_alignment",
          py::function(scope, "_build_revision_prompt_alignment",
                       "(prompt, grammar_implementation, assessment_text, model_code, data_code, few_shots=None)",
                       "Build the prompt that asks to revise a compiled pair the assessment found misaligned.",
                       &build_revision_prompt_alignment, arg("prompt"), arg("grammar_implementation"),
                       arg("assessment_text"), arg("model_code"), arg("data_code"), arg("few_shots") = pyb::none()));
    r.add("_build_revision_prompt_syntax",
          py::function(scope, "_build_revision_prompt_syntax",
                       "(prompt, grammar_implementation, model_code, data_code, syntax_errors, few_shots=None)",
                       "Build the prompt that asks to fix a pair the compiler rejected.",
                       &build_revision_prompt_syntax, arg("prompt"), arg("grammar_implementation"),
                       arg("model_code"), arg("data_code"), arg("syntax_errors"), arg("few_shots") = pyb::none()));
    r.add("_build_final_assessment_prompt",
          py::function(scope, "_build_final_assessment_prompt",
                       "(prompt, grammar_implementation, model_code, data_code, syntax_errors)",
                       "Build the prompt that asks for a plain-text assessment of the final pair.",
                       &build_final_assessment_prompt, arg("prompt"), arg("grammar_implementation"),
                       arg("model_code"), arg("data_code"), arg("syntax_errors")));
    r.add("_build_feedback_prompt",
          py::function(scope, "_build_feedback_prompt",
                       "(user_prompt_text, grammar_implementation, model_code, data_code)",
                       "Build the prompt that answers a question about a model and data file.",
                       &build_feedback_prompt, arg("user_prompt_text"), arg("grammar_implementation"),
                       arg("model_code"), arg("data_code")));
}

}  // namespace tavro::modelwright
