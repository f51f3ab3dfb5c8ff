// The six prompts of tavro.modelwright as whole templates, character for
// character, with named slots ({grammar}, {prompt}, ...) where the builders
// insert their arguments. The shared sentences are macros so that every
// prompt carries the very same wording. A brace not followed by a slot name
// and a closing brace is text.
#include "tavro/modelwright/prompts/templates.hpp"

namespace tavro::modelwright::templates {

#define TAVRO_ROLE                                                \
    "<role>\n"                                                    \
    "You are an expert in mathematical optimization and Tavro.\n" \
    "</role>\n"                                                   \
    "\n"                                                          \
    "<task>\n"

#define TAVRO_LITERATE                                                                                \
    "Label all constraints and the objective function meaningfully; thoroughly comment the model to " \
    "explain the purpose of variables, parameters, objective, and constraints; match these "          \
    "explanations to the problem description by following the predicaments of literate programming.\n"

#define TAVRO_FEW_SHOT_NOTE                                                                          \
    "You are also provided with a few-shot examples section; use it only as guidance and produce a " \
    "solution tailored to the new problem.\n"

#define TAVRO_BEGIN_REFERENCE "Use the following Tavro syntax implementation as a reference for valid Tavro syntax.\n"

#define TAVRO_OPEN_REFERENCE \
    "</task>\n"              \
    "\n"                     \
    "<grammar_reference>\n"  \
    "--- BEGIN TAVRO SYNTAX IMPLEMENTATION ---\n"

#define TAVRO_FENCE_NOTE                                                                              \
    "- Optional: you MAY wrap the JSON in a ```json fenced block; if you do, the fence must contain " \
    "only the JSON.\n"                                                                                \
    "</output_requirements>\n"

#define TAVRO_MODEL_DATA_CONTRACT                                                                     \
    "<output_requirements>\n"                                                                         \
    "- Return ONLY a JSON object with exactly two keys: \"model\" (the Tavro model) and \"data\" "    \
    "(the matching data file).\n"                                                                     \
    "- The values must be single JSON strings (no arrays/objects inside them).\n"                     \
    "- Escape all double quotes and backslashes; encode newlines as \\n.\n"                           \
    "- No trailing commas. No additional keys. No commentary.\n" TAVRO_FENCE_NOTE                     \
    "\n"                                                                                              \
    "<json_schema>\n"                                                                                 \
    "{\n"                                                                                             \
    "  \"type\": \"object\",\n"                                                                       \
    "  \"additionalProperties\": false,\n"                                                            \
    "  \"required\": [\"model\", \"data\"],\n"                                                        \
    "  \"properties\": {\n"                                                                           \
    "    \"model\": {\"type\": \"string\"},\n"                                                        \
    "    \"data\":  {\"type\": \"string\"}\n"                                                         \
    "  }\n"                                                                                           \
    "}\n"                                                                                             \
    "</json_schema>\n"                                                                                \
    "\n"                                                                                              \
    "<example_output>\n"                                                                              \
    "{\n"                                                                                             \
    "  \"model\": \"float a;\\nfloat b;\\ndvar float x;\\nminimize z: a*x;\\nsubject to { b*x >= 0; " \
    "}\",  \"data\":  \"a = 10;\\nb= 5;\"\n"                                                          \
    "}\n"                                                                                             \
    "</example_output>\n"

#define TAVRO_ASSESSMENT_FOCUS                                       \
    "<assessment_focus>\n"                                           \
    "- Objective and constraints reflect the prompt intent.\n"       \
    "- Decision variables have correct domains and indices.\n"       \
    "- Data is consistent with sets/parameters used by the model.\n" \
    "- Signs, units, and indexing are correct; no missing links.\n"  \
    "- Any syntax error raised by the compiler.\n"                   \
    "- Most impactful improvements if misaligned.\n"                 \
    "</assessment_focus>\n"                                          \
    "\n"

#define TAVRO_CLOSE_REFERENCE                   \
    "\n"                                        \
    "--- END TAVRO SYNTAX IMPLEMENTATION ---\n" \
    "</grammar_reference>\n"                    \
    "\n"

// The grammar reference with its {grammar} slot, and the problem description.
#define TAVRO_REFERENCE  \
    TAVRO_OPEN_REFERENCE \
    "{grammar}" TAVRO_CLOSE_REFERENCE

#define TAVRO_PROBLEM          \
    "<problem_description>\n"  \
    "{prompt}\n"               \
    "</problem_description>\n" \
    "\n"

// The grammar reference, the few-shot section and the problem, in the three
// prompts that write a model.
#define TAVRO_REFERENCE_EXAMPLES_PROBLEM \
    TAVRO_REFERENCE                      \
    "{few_shots}" TAVRO_PROBLEM

// The model and data elements with their slots.
#define TAVRO_MODEL_AND_DATA \
    "<model>\n"              \
    "{model_code}\n"         \
    "</model>\n"             \
    "\n"                     \
    "<data>\n"               \
    "{data_code}\n"          \
    "</data>\n"

// The pair being revised, in both revision prompts.
#define TAVRO_PREVIOUS_ATTEMPT                  \
    "<previous_attempt>\n" TAVRO_MODEL_AND_DATA \
    "</previous_attempt>\n"                     \
    "\n"

// The grammar reference and the inputs of the two assessment prompts (the
// inputs element stays open).
#define TAVRO_REFERENCE_AND_INPUTS \
    TAVRO_REFERENCE                \
    "<inputs>\n" TAVRO_PROBLEM TAVRO_MODEL_AND_DATA

// The few-shot section and one numbered example block of it.
const std::string_view FEW_SHOT_SECTION =
    "<few_shot_examples>\n"
    "Use the following exemplars as guidance for structure and syntax only. Do not copy variable "
    "names unless appropriate to the new problem.\n"
    "{examples}"
    "</few_shot_examples>\n"
    "\n";

const std::string_view FEW_SHOT_EXAMPLE =
    "<example index=\"{index}\">\n"
    "<description path=\"{desc_path}\">\n"
    "{description}\n"
    "</description>\n"
    "\n"
    "<model_file path=\"{model_path}\">\n"
    "{model}\n"
    "</model_file>\n"
    "\n"
    "<data_file path=\"{data_path}\">\n"
    "{data}\n"
    "</data_file>\n"
    "</example>\n";

const std::string_view GENERATION = TAVRO_ROLE
    "Generate a valid Tavro model (.mod) and a matching data file (.dat) for the given problem "
    "description.\n"
    "Ensure the model decision variables, objective function, and constraints fully align with the "
    "provided problem description.\n"
    "Infer from the problem context whether decision variables should be integer, binary, or "
    "continuous.\n" TAVRO_LITERATE
    "If data are missing, create a small, plausible mock instance consistent with the model.\n" TAVRO_BEGIN_REFERENCE
        TAVRO_FEW_SHOT_NOTE TAVRO_REFERENCE_EXAMPLES_PROBLEM TAVRO_MODEL_DATA_CONTRACT;

const std::string_view REVISION_SYNTAX = TAVRO_ROLE
    "The previous attempt to generate a Tavro model and data file failed due to syntax errors.\n"
    "Revise the model and data to fix the errors while retaining alignment with the problem "
    "description.\n"
    "Change only what is necessary to fix the errors.\n" TAVRO_LITERATE TAVRO_BEGIN_REFERENCE TAVRO_FEW_SHOT_NOTE
        TAVRO_REFERENCE_EXAMPLES_PROBLEM TAVRO_PREVIOUS_ATTEMPT
    "<errors>\n"
    "{syntax_errors}\n"
    "</errors>\n"
    "\n"
    "<revision_guidelines>\n"
    "- Fix the listed syntax/semantic errors.\n"
    "- Preserve the original modeling intent and structure when possible.\n"
    "- Ensure the model compiles with the data under the given implementation.\n"
    "- Return complete model and data strings; do not return diffs.\n"
    "</revision_guidelines>\n"
    "\n" TAVRO_MODEL_DATA_CONTRACT;

// The assessment sits in the task section, ahead of the grammar reference.
const std::string_view REVISION_ALIGNMENT = TAVRO_ROLE
    "The previous attempt produced a syntactically valid Tavro model and data, but they are NOT "
    "fully aligned with the problem description.\n"
    "<assessment>\n"
    "{assessment}\n"
    "</assessment>\n"
    "Revise the model and data so that they fully align with the problem description while "
    "preserving syntactic validity.\n"
    "Change only what is necessary to achieve alignment (objective, constraints, variables, "
    "sets/parameters, and data consistency).\n" TAVRO_LITERATE TAVRO_BEGIN_REFERENCE TAVRO_FEW_SHOT_NOTE
        TAVRO_REFERENCE_EXAMPLES_PROBLEM TAVRO_PREVIOUS_ATTEMPT
    "<revision_guidelines>\n"
    "- Ensure the objective, constraints, indices, and variable domains reflect the problem "
    "description.\n"
    "- Make the minimal set of changes necessary to correct misalignment.\n"
    "- Keep syntax strictly valid.\n"
    "- Return complete model and data strings; do not return diffs.\n"
    "</revision_guidelines>\n"
    "\n" TAVRO_MODEL_DATA_CONTRACT;

const std::string_view ALIGNMENT = TAVRO_ROLE
    "Assess whether the generated Tavro model and data fully align with the problem description.\n"
    "Alignment means the objective, constraints, decision variables, and data match the problem "
    "description.\n"
    "Be critical and specific about modeling choices, feasibility, and "
    "consistency.\n" TAVRO_BEGIN_REFERENCE TAVRO_REFERENCE_AND_INPUTS
    "</inputs>\n"
    "\n" TAVRO_ASSESSMENT_FOCUS
    "<output_requirements>\n"
    "- Return ONLY a JSON object with exactly two keys: \"aligned\" (boolean) and \"assessment\" "
    "(string).\n"
    "- If issues exist, mention the most critical fixes in \"assessment\", a single short paragraph "
    "(3–6 sentences) of plain text.\n"
    "- No Markdown. No bullet lists. No commentary. No additional keys. No trailing commas.\n" TAVRO_FENCE_NOTE
    "\n"
    "<json_schema>\n"
    "{\n"
    "  \"type\": \"object\",\n"
    "  \"additionalProperties\": false,\n"
    "  \"required\": [\"aligned\", \"assessment\"],\n"
    "  \"properties\": {\n"
    "    \"aligned\": {\"type\": \"boolean\"},\n"
    "    \"assessment\": {\"type\": \"string\"}\n"
    "  }\n"
    "}\n"
    "</json_schema>\n"
    "\n"
    "<example_output>\n"
    "{ \"aligned\": false, \"assessment\": \"The model objective function does not include fixed "
    "costs.\" }\n"
    "</example_output>\n";

// {syntax_errors} is FINAL_ERRORS when there are errors, else empty; it sits
// after the closed data element.
const std::string_view FINAL_ASSESSMENT = TAVRO_ROLE
    "Assess how well the generated Tavro model and data align with the problem description.\n"
    "Be critical and specific about modeling choices, feasibility, and consistency.\n"
    "If you believe the problem description is incomplete or ambiguous, point this out in your "
    "assessment.\n" TAVRO_BEGIN_REFERENCE TAVRO_REFERENCE_AND_INPUTS
    "\n"
    "{syntax_errors}"
    "</inputs>\n"
    "\n" TAVRO_ASSESSMENT_FOCUS
    "<output_requirements>\n"
    "- Return a single short paragraph (3–6 sentences) of plain text.\n"
    "- No Markdown, no bullet lists, no code fences.\n"
    "- If issues exist, mention the most critical fixes.\n"
    "</output_requirements>\n";

const std::string_view FINAL_ERRORS =
    "SYNTAX ERRORS:\n"
    "{errors}\n"
    "\n";

const std::string_view FEEDBACK = TAVRO_ROLE
    "Answer the user's question about the provided Tavro model and data.\n"
    "Provide critical, specific feedback. If revisions are necessary for correctness,\n"
    "semantics, or consistency with the grammar reference, propose minimal changes.\n"
    "Only change what is necessary.\n"
    "Label all constraints and the objective function meaningfully; thoroughly comment the changes "
    "to explain the purpose of variables, parameters, objective, and constraints; match these "
    "explanations to user's question by following the predicaments of literate "
    "programming.\n" TAVRO_BEGIN_REFERENCE TAVRO_REFERENCE
    "<inputs>\n"
    "<question>\n"
    "{question}\n"
    "</question>\n"
    "\n" TAVRO_MODEL_AND_DATA
    "</inputs>\n"
    "\n"
    "<output_requirements>\n"
    "- Return ONLY a JSON object with 1 required key and up to 2 optional keys:\n"
    "  \"feedback\" (required), \"revised_model\" (optional), \"revised_data\" (optional).\n"
    "- Each value must be a single JSON string. Escape all double quotes and backslashes;\n"
    "  encode newlines as \\n.\n"
    "- If no changes are needed, omit \"revised_model\" and \"revised_data\".\n"
    "- If changes are needed, return complete model and data strings; do not return diffs.\n"
    "- No trailing commas. No additional keys. No commentary.\n" TAVRO_FENCE_NOTE
    "\n"
    "<json_schema>\n"
    "{\n"
    "  \"type\": \"object\",\n"
    "  \"additionalProperties\": false,\n"
    "  \"required\": [\"feedback\"],\n"
    "  \"properties\": {\n"
    "    \"feedback\": {\"type\": \"string\"},\n"
    "    \"revised_model\": {\"type\": \"string\"},\n"
    "    \"revised_data\": {\"type\": \"string\"}\n"
    "  }\n"
    "}\n"
    "</json_schema>\n"
    "\n"
    "<example_output>\n"
    "{\n"
    "  \"feedback\": \"The model was missing coefficients a and b.\",\n"
    "  \"revised_model\": \"// minimal fix\\nfloat a;\\nfloat b;\\ndvar float x;\\nminimize z: "
    "a*x;\\nsubject to { b*x >= 0; }\",  \"revised_data\":  \"a = 10;\\nb= 5;\"\n"
    "}\n"
    "</example_output>\n";

#undef TAVRO_ROLE
#undef TAVRO_LITERATE
#undef TAVRO_FEW_SHOT_NOTE
#undef TAVRO_BEGIN_REFERENCE
#undef TAVRO_OPEN_REFERENCE
#undef TAVRO_CLOSE_REFERENCE
#undef TAVRO_REFERENCE
#undef TAVRO_PROBLEM
#undef TAVRO_REFERENCE_EXAMPLES_PROBLEM
#undef TAVRO_MODEL_AND_DATA
#undef TAVRO_PREVIOUS_ATTEMPT
#undef TAVRO_REFERENCE_AND_INPUTS
#undef TAVRO_FENCE_NOTE
#undef TAVRO_MODEL_DATA_CONTRACT
#undef TAVRO_ASSESSMENT_FOCUS

}  // namespace tavro::modelwright::templates
