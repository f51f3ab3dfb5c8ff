// tavro.modelwright prompt builders: the generation and revision prompts and
// the assessment and feedback prompts. Pure functions: the arguments are kept
// as str objects and put into the slots of the templates of templates.cpp, so
// every code point of the caller's text survives unchanged (nothing is escaped).
#include "tavro/modelwright/modelwright.hpp"
#include "tavro/modelwright/prompts/templates.hpp"

#include <algorithm>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tavro::modelwright {

namespace py = tavro::py;
namespace t = templates;
using pyb::handle;
using pyb::object;

namespace {

// A template split once into its fixed text and its slots, in order; render()
// puts the values (str objects) into the slots unchanged.
class Template {
public:
    Template(std::string_view text, std::initializer_list<const char*> slots) {
        size_t start = 0;
        for (size_t open = text.find('{'); open != std::string_view::npos; open = text.find('{', open + 1)) {
            size_t close = text.find_first_not_of("abcdefghijklmnopqrstuvwxyz_", open + 1);
            if (close == std::string_view::npos || close == open + 1 || text[close] != '}') continue;
            std::string_view name = text.substr(open + 1, close - open - 1);
            const auto* slot = std::find(slots.begin(), slots.end(), name);
            if (slot == slots.end())
                throw std::logic_error("prompt template: unknown slot {" + std::string(name) + "}");
            pieces_.push_back({py::text(text.substr(start, open - start)), slot - slots.begin()});
            start = close + 1;
        }
        pieces_.push_back({py::text(text.substr(start)), -1});
    }

    // The fixed str objects are made once; the values go in unchanged.
    object render(std::initializer_list<handle> values) const {
        std::vector<object> parts;
        parts.reserve(2 * pieces_.size());
        for (const Piece& piece : pieces_) {
            if (PyUnicode_GET_LENGTH(piece.text.ptr())) parts.push_back(piece.text);
            if (piece.slot >= 0) parts.push_back(pyb::reinterpret_borrow<object>(values.begin()[piece.slot]));
        }
        return py::concat(parts);
    }

private:
    struct Piece {
        object text;          // fixed text before the slot (a str, made once)
        std::ptrdiff_t slot;  // index into the values, -1 after the last slot
    };
    std::vector<Piece> pieces_;
};

const Template& few_shot_section_template() {
    static const Template tpl(t::FEW_SHOT_SECTION, {"examples"});
    return tpl;
}
const Template& few_shot_example_template() {
    static const Template tpl(t::FEW_SHOT_EXAMPLE,
                              {"index", "desc_path", "description", "model_path", "model", "data_path", "data"});
    return tpl;
}

// record.get(key, "") in its text form.
object path_value(handle record, const char* key) {
    return py::py_str(record.attr("get")(py::text(key), py::text("")));
}

// record[key] in its text form; a missing key raises KeyError unchanged.
object body_value(handle record, const char* key) {
    return py::py_str(pyb::reinterpret_borrow<object>(record)[py::text(key)]);
}

// The few-shot section: empty for None or [], else one numbered block per
// record inside the section.
object few_shot_section(handle few_shots) {
    if (few_shots.is_none() || PyList_GET_SIZE(few_shots.ptr()) == 0) return py::text("");
    std::vector<object> blocks;
    // The iterator protocol holds a reference to each record, even if str() of a
    // value changes the list meanwhile.
    Py_ssize_t index = 0;
    for (handle record : pyb::reinterpret_borrow<object>(few_shots)) {
        ++index;
        // Paths are read before bodies.
        object desc_path = path_value(record, "desc_path");
        object model_path = path_value(record, "model_path");
        object data_path = path_value(record, "data_path");
        object description = body_value(record, "description");
        object model = body_value(record, "model");
        object data = body_value(record, "data");
        blocks.push_back(few_shot_example_template().render(
            {py::format("%zd", index), desc_path, description, model_path, model, data_path, data}));
    }
    return few_shot_section_template().render({py::concat(blocks)});
}

// Checks text arguments in parameter order: each must be exactly a str.
void expect_texts(std::initializer_list<std::pair<handle, const char*>> args) {
    for (const auto& [value, name] : args) py::expect_str(value, name);
}

object build_generation_prompt(handle prompt, handle grammar, handle few_shots) {
    expect_texts({{prompt, "prompt"}, {grammar, "grammar_implementation"}});
    py::expect_optional_list(few_shots, "few_shots");
    static const Template tpl(t::GENERATION, {"grammar", "few_shots", "prompt"});
    return tpl.render({grammar, few_shot_section(few_shots), prompt});
}

object build_revision_prompt_syntax(handle prompt, handle grammar, handle model_code, handle data_code,
                                    handle syntax_errors, handle few_shots) {
    expect_texts({{prompt, "prompt"},
                  {grammar, "grammar_implementation"},
                  {model_code, "model_code"},
                  {data_code, "data_code"}});
    py::expect_optional_list(few_shots, "few_shots");
    static const Template tpl(t::REVISION_SYNTAX,
                              {"grammar", "few_shots", "prompt", "model_code", "data_code", "syntax_errors"});
    object section = few_shot_section(few_shots);
    return tpl.render({grammar, section, prompt, model_code, data_code, py::py_str(syntax_errors)});
}

object build_revision_prompt_alignment(handle prompt, handle grammar, handle assessment_text, handle model_code,
                                       handle data_code, handle few_shots) {
    expect_texts({{prompt, "prompt"},
                  {grammar, "grammar_implementation"},
                  {assessment_text, "assessment_text"},
                  {model_code, "model_code"},
                  {data_code, "data_code"}});
    py::expect_optional_list(few_shots, "few_shots");
    static const Template tpl(t::REVISION_ALIGNMENT,
                              {"assessment", "grammar", "few_shots", "prompt", "model_code", "data_code"});
    return tpl.render({assessment_text, grammar, few_shot_section(few_shots), prompt, model_code, data_code});
}

// The text arguments of the two assessment prompts.
void expect_assessment_texts(handle prompt, handle grammar, handle model_code, handle data_code) {
    expect_texts({{prompt, "prompt"},
                  {grammar, "grammar_implementation"},
                  {model_code, "model_code"},
                  {data_code, "data_code"}});
}

object build_alignment_prompt(handle prompt, handle grammar, handle model_code, handle data_code) {
    expect_assessment_texts(prompt, grammar, model_code, data_code);
    static const Template tpl(t::ALIGNMENT, {"grammar", "prompt", "model_code", "data_code"});
    return tpl.render({grammar, prompt, model_code, data_code});
}

object build_final_assessment_prompt(handle prompt, handle grammar, handle model_code, handle data_code,
                                     handle syntax_errors) {
    expect_assessment_texts(prompt, grammar, model_code, data_code);
    static const Template tpl(t::FINAL_ASSESSMENT, {"grammar", "prompt", "model_code", "data_code", "syntax_errors"});
    static const Template errors(t::FINAL_ERRORS, {"errors"});
    object block = py::truthy(syntax_errors) ? errors.render({py::py_str(syntax_errors)}) : py::text("");
    return tpl.render({grammar, prompt, model_code, data_code, block});
}

object build_feedback_prompt(handle question, handle grammar, handle model_code, handle data_code) {
    expect_texts({{question, "user_prompt_text"},
                  {grammar, "grammar_implementation"},
                  {model_code, "model_code"},
                  {data_code, "data_code"}});
    static const Template tpl(t::FEEDBACK, {"grammar", "question", "model_code", "data_code"});
    return tpl.render({grammar, question, model_code, data_code});
}

}  // namespace

void register_prompt_builders(Registry& r) {
    handle scope = home().module();
    const py::Param few_shots{"few_shots", pyb::none()};
    r.add("_build_generation_prompt",
          py::function(scope, "_build_generation_prompt", {"prompt", "grammar_implementation", few_shots},
                       "Build the prompt that asks for a model file and a matching data file.",
                       &build_generation_prompt));
    r.add(
        "_build_alignment_prompt",
        py::function(scope, "_build_alignment_prompt", {"prompt", "grammar_implementation", "model_code", "data_code"},
                     "Build the prompt that asks whether a compiled model and data match the description.",
                     &build_alignment_prompt));
    r.add("_build_revision_prompt_alignment",
          py::function(scope, "_build_revision_prompt_alignment",
                       {"prompt", "grammar_implementation", "assessment_text", "model_code", "data_code", few_shots},
                       "Build the prompt that asks to revise a compiled pair the assessment found misaligned.",
                       &build_revision_prompt_alignment));
    r.add(
        "_build_revision_prompt_syntax",
        py::function(scope, "_build_revision_prompt_syntax",
                     {"prompt", "grammar_implementation", "model_code", "data_code", "syntax_errors", few_shots},
                     "Build the prompt that asks to fix a pair the compiler rejected.", &build_revision_prompt_syntax));
    r.add("_build_final_assessment_prompt",
          py::function(scope, "_build_final_assessment_prompt",
                       {"prompt", "grammar_implementation", "model_code", "data_code", "syntax_errors"},
                       "Build the prompt that asks for a plain-text assessment of the final pair.",
                       &build_final_assessment_prompt));
    r.add(
        "_build_feedback_prompt",
        py::function(scope, "_build_feedback_prompt",
                     {"user_prompt_text", "grammar_implementation", "model_code", "data_code"},
                     "Build the prompt that answers a question about a model and data file.", &build_feedback_prompt));
}

}  // namespace tavro::modelwright
