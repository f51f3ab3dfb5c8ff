// The prompt templates of templates.cpp: whole texts with named slots
// ({grammar}, {prompt}, ...) that the builders in builders.cpp fill.
#pragma once

#include <string_view>

namespace tavro::modelwright::templates {

// Slots: {examples} (the FEW_SHOT_EXAMPLE blocks).
extern const std::string_view FEW_SHOT_SECTION;
// Slots: {index} {desc_path} {description} {model_path} {model} {data_path} {data}.
extern const std::string_view FEW_SHOT_EXAMPLE;
// Slots: {grammar} {few_shots} {prompt}.
extern const std::string_view GENERATION;
// Slots: {grammar} {few_shots} {prompt} {model_code} {data_code} {syntax_errors}.
extern const std::string_view REVISION_SYNTAX;
// Slots: {assessment} {grammar} {few_shots} {prompt} {model_code} {data_code}.
extern const std::string_view REVISION_ALIGNMENT;
// Slots: {grammar} {prompt} {model_code} {data_code}.
extern const std::string_view ALIGNMENT;
// Slots: {grammar} {prompt} {model_code} {data_code} {syntax_errors}.
extern const std::string_view FINAL_ASSESSMENT;
// Slots: {errors}.
extern const std::string_view FINAL_ERRORS;
// Slots: {grammar} {question} {model_code} {data_code}.
extern const std::string_view FEEDBACK;

}  // namespace tavro::modelwright::templates
