"""The fixed pieces of the six prompts, written out as the prompts must carry them.

Tests assemble whole expected prompts from these and compare them with the
builders' output character for character.
"""

# Shared by several pieces, as the prompts share them word for word.
_MODEL_DATA_CONTRACT = (
    "<output_requirements>\n"
    "- Return ONLY a JSON object with exactly two keys: \"model\" (the Tavro model) and \"data\" (the "
    "matching data file).\n"
    "- The values must be single JSON strings (no arrays/objects inside them).\n"
    "- Escape all double quotes and backslashes; encode newlines as \\n.\n"
    "- No trailing commas. No additional keys. No commentary.\n"
    "- Optional: you MAY wrap the JSON in a ```json fenced block; if you do, the fence must contain only "
    "the JSON.\n"
    "</output_requirements>\n"
    "\n"
    "<json_schema>\n"
    "{\n"
    "  \"type\": \"object\",\n"
    "  \"additionalProperties\": false,\n"
    "  \"required\": [\"model\", \"data\"],\n"
    "  \"properties\": {\n"
    "    \"model\": {\"type\": \"string\"},\n"
    "    \"data\":  {\"type\": \"string\"}\n"
    "  }\n"
    "}\n"
    "</json_schema>\n"
    "\n"
    "<example_output>\n"
    "{\n"
    "  \"model\": \"float a;\\nfloat b;\\ndvar float x;\\nminimize z: a*x;\\nsubject to { b*x >= 0; }\", "
    " \"data\":  \"a = 10;\\nb= 5;\"\n"
    "}\n"
    "</example_output>\n"
)

_ASSESSMENT_FOCUS = (
    "<assessment_focus>\n"
    "- Objective and constraints reflect the prompt intent.\n"
    "- Decision variables have correct domains and indices.\n"
    "- Data is consistent with sets/parameters used by the model.\n"
    "- Signs, units, and indexing are correct; no missing links.\n"
    "- Any syntax error raised by the compiler.\n"
    "- Most impactful improvements if misaligned.\n"
    "</assessment_focus>\n"
    "\n"
)

GEN_OPEN = (
    "<role>\n"
    "You are an expert in mathematical optimization and Tavro.\n"
    "</role>\n"
    "\n"
    "<task>\n"
    "Generate a valid Tavro model (.mod) and a matching data file (.dat) for the given problem "
    "description.\n"
    "Ensure the model decision variables, objective function, and constraints fully align with the "
    "provided problem description.\n"
    "Infer from the problem context whether decision variables should be integer, binary, or "
    "continuous.\n"
    "Label all constraints and the objective function meaningfully; thoroughly comment the model to "
    "explain the purpose of variables, parameters, objective, and constraints; match these explanations "
    "to the problem description by following the predicaments of literate programming.\n"
    "If data are missing, create a small, plausible mock instance consistent with the model.\n"
    "Use the following Tavro syntax implementation as a reference for valid Tavro syntax.\n"
    "You are also provided with a few-shot examples section; use it only as guidance and produce a "
    "solution tailored to the new problem.\n"
    "</task>\n"
    "\n"
    "<grammar_reference>\n"
    "--- BEGIN TAVRO SYNTAX IMPLEMENTATION ---\n"
)

GRAMMAR_END = (
    "\n"
    "--- END TAVRO SYNTAX IMPLEMENTATION ---\n"
    "</grammar_reference>\n"
    "\n"
)

GEN_CLOSE = (
    "\n"
    "</problem_description>\n"
    "\n"
    + _MODEL_DATA_CONTRACT
)

SYN_OPEN = (
    "<role>\n"
    "You are an expert in mathematical optimization and Tavro.\n"
    "</role>\n"
    "\n"
    "<task>\n"
    "The previous attempt to generate a Tavro model and data file failed due to syntax errors.\n"
    "Revise the model and data to fix the errors while retaining alignment with the problem "
    "description.\n"
    "Change only what is necessary to fix the errors.\n"
    "Label all constraints and the objective function meaningfully; thoroughly comment the model to "
    "explain the purpose of variables, parameters, objective, and constraints; match these explanations "
    "to the problem description by following the predicaments of literate programming.\n"
    "Use the following Tavro syntax implementation as a reference for valid Tavro syntax.\n"
    "You are also provided with a few-shot examples section; use it only as guidance and produce a "
    "solution tailored to the new problem.\n"
    "</task>\n"
    "\n"
    "<grammar_reference>\n"
    "--- BEGIN TAVRO SYNTAX IMPLEMENTATION ---\n"
)

SYN_CLOSE = (
    "\n"
    "</errors>\n"
    "\n"
    "<revision_guidelines>\n"
    "- Fix the listed syntax/semantic errors.\n"
    "- Preserve the original modeling intent and structure when possible.\n"
    "- Ensure the model compiles with the data under the given implementation.\n"
    "- Return complete model and data strings; do not return diffs.\n"
    "</revision_guidelines>\n"
    "\n"
    + _MODEL_DATA_CONTRACT
)

ALN_OPEN = (
    "<role>\n"
    "You are an expert in mathematical optimization and Tavro.\n"
    "</role>\n"
    "\n"
    "<task>\n"
    "The previous attempt produced a syntactically valid Tavro model and data, but they are NOT fully "
    "aligned with the problem description.\n"
    "<assessment>\n"
)

ALN_TASK = (
    "\n"
    "</assessment>\n"
    "Revise the model and data so that they fully align with the problem description while preserving "
    "syntactic validity.\n"
    "Change only what is necessary to achieve alignment (objective, constraints, variables, "
    "sets/parameters, and data consistency).\n"
    "Label all constraints and the objective function meaningfully; thoroughly comment the model to "
    "explain the purpose of variables, parameters, objective, and constraints; match these explanations "
    "to the problem description by following the predicaments of literate programming.\n"
    "Use the following Tavro syntax implementation as a reference for valid Tavro syntax.\n"
    "You are also provided with a few-shot examples section; use it only as guidance and produce a "
    "solution tailored to the new problem.\n"
    "</task>\n"
    "\n"
    "<grammar_reference>\n"
    "--- BEGIN TAVRO SYNTAX IMPLEMENTATION ---\n"
)

ALN_CLOSE = (
    "\n"
    "</data>\n"
    "</previous_attempt>\n"
    "\n"
    "<revision_guidelines>\n"
    "- Ensure the objective, constraints, indices, and variable domains reflect the problem "
    "description.\n"
    "- Make the minimal set of changes necessary to correct misalignment.\n"
    "- Keep syntax strictly valid.\n"
    "- Return complete model and data strings; do not return diffs.\n"
    "</revision_guidelines>\n"
    "\n"
    + _MODEL_DATA_CONTRACT
)

PREV_MODEL = (
    "\n"
    "</problem_description>\n"
    "\n"
    "<previous_attempt>\n"
    "<model>\n"
)

PREV_DATA = (
    "\n"
    "</model>\n"
    "\n"
    "<data>\n"
)

FS_OPEN = (
    "<few_shot_examples>\n"
    "Use the following exemplars as guidance for structure and syntax only. Do not copy variable names "
    "unless appropriate to the new problem.\n"
)

FS_CLOSE = (
    "</few_shot_examples>\n"
    "\n"
)

ALIGN_OPEN = (
    "<role>\n"
    "You are an expert in mathematical optimization and Tavro.\n"
    "</role>\n"
    "\n"
    "<task>\n"
    "Assess whether the generated Tavro model and data fully align with the problem description.\n"
    "Alignment means the objective, constraints, decision variables, and data match the problem "
    "description.\n"
    "Be critical and specific about modeling choices, feasibility, and consistency.\n"
    "Use the following Tavro syntax implementation as a reference for valid Tavro syntax.\n"
    "</task>\n"
    "\n"
    "<grammar_reference>\n"
    "--- BEGIN TAVRO SYNTAX IMPLEMENTATION ---\n"
)

ALIGN_CLOSE = (
    "\n"
    "</data>\n"
    "</inputs>\n"
    "\n"
    + _ASSESSMENT_FOCUS
    + "<output_requirements>\n"
    "- Return ONLY a JSON object with exactly two keys: \"aligned\" (boolean) and \"assessment\" "
    "(string).\n"
    "- If issues exist, mention the most critical fixes in \"assessment\", a single short paragraph (3–6 "
    "sentences) of plain text.\n"
    "- No Markdown. No bullet lists. No commentary. No additional keys. No trailing commas.\n"
    "- Optional: you MAY wrap the JSON in a ```json fenced block; if you do, the fence must contain only "
    "the JSON.\n"
    "</output_requirements>\n"
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
    "</example_output>\n"
)

FINAL_OPEN = (
    "<role>\n"
    "You are an expert in mathematical optimization and Tavro.\n"
    "</role>\n"
    "\n"
    "<task>\n"
    "Assess how well the generated Tavro model and data align with the problem description.\n"
    "Be critical and specific about modeling choices, feasibility, and consistency.\n"
    "If you believe the problem description is incomplete or ambiguous, point this out in your "
    "assessment.\n"
    "Use the following Tavro syntax implementation as a reference for valid Tavro syntax.\n"
    "</task>\n"
    "\n"
    "<grammar_reference>\n"
    "--- BEGIN TAVRO SYNTAX IMPLEMENTATION ---\n"
)

FINAL_CLOSE = (
    "</inputs>\n"
    "\n"
    + _ASSESSMENT_FOCUS
    + "<output_requirements>\n"
    "- Return a single short paragraph (3–6 sentences) of plain text.\n"
    "- No Markdown, no bullet lists, no code fences.\n"
    "- If issues exist, mention the most critical fixes.\n"
    "</output_requirements>\n"
)

INPUTS_DESCRIPTION = (
    "\n"
    "--- END TAVRO SYNTAX IMPLEMENTATION ---\n"
    "</grammar_reference>\n"
    "\n"
    "<inputs>\n"
    "<problem_description>\n"
)

DESCRIPTION_MODEL = (
    "\n"
    "</problem_description>\n"
    "\n"
    "<model>\n"
)

MODEL_DATA = (
    "\n"
    "</model>\n"
    "\n"
    "<data>\n"
)

DATA_END = (
    "\n"
    "</data>\n"
    "\n"
)

FEEDBACK_OPEN = (
    "<role>\n"
    "You are an expert in mathematical optimization and Tavro.\n"
    "</role>\n"
    "\n"
    "<task>\n"
    "Answer the user's question about the provided Tavro model and data.\n"
    "Provide critical, specific feedback. If revisions are necessary for correctness,\n"
    "semantics, or consistency with the grammar reference, propose minimal changes.\n"
    "Only change what is necessary.\n"
    "Label all constraints and the objective function meaningfully; thoroughly comment the changes to "
    "explain the purpose of variables, parameters, objective, and constraints; match these explanations "
    "to user's question by following the predicaments of literate programming.\n"
    "Use the following Tavro syntax implementation as a reference for valid Tavro syntax.\n"
    "</task>\n"
    "\n"
    "<grammar_reference>\n"
    "--- BEGIN TAVRO SYNTAX IMPLEMENTATION ---\n"
)

INPUTS_QUESTION = (
    "\n"
    "--- END TAVRO SYNTAX IMPLEMENTATION ---\n"
    "</grammar_reference>\n"
    "\n"
    "<inputs>\n"
    "<question>\n"
)

QUESTION_MODEL = (
    "\n"
    "</question>\n"
    "\n"
    "<model>\n"
)

FEEDBACK_CLOSE = (
    "\n"
    "</data>\n"
    "</inputs>\n"
    "\n"
    "<output_requirements>\n"
    "- Return ONLY a JSON object with 1 required key and up to 2 optional keys:\n"
    "  \"feedback\" (required), \"revised_model\" (optional), \"revised_data\" (optional).\n"
    "- Each value must be a single JSON string. Escape all double quotes and backslashes;\n"
    "  encode newlines as \\n.\n"
    "- If no changes are needed, omit \"revised_model\" and \"revised_data\".\n"
    "- If changes are needed, return complete model and data strings; do not return diffs.\n"
    "- No trailing commas. No additional keys. No commentary.\n"
    "- Optional: you MAY wrap the JSON in a ```json fenced block; if you do, the fence must contain only "
    "the JSON.\n"
    "</output_requirements>\n"
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
    "</example_output>\n"
)

PROBLEM_OPEN = "<problem_description>\n"

PREV_ERRORS = "\n</data>\n</previous_attempt>\n\n<errors>\n"

# Sum of the fixed pieces of each prompt (no arguments, no few-shot section).
FIXED_LENGTHS = {
    "_build_generation_prompt": 2003,
    "_build_revision_prompt_syntax": 2216,
    "_build_revision_prompt_alignment": 2378,
    "_build_alignment_prompt": 1856,
    "_build_final_assessment_prompt": 1240,
    "_build_feedback_prompt": 2046,
}


def few_shot_block(i, rec):
    return (
        f'<example index="{i}">\n'
        f'<description path="{rec.get("desc_path", "")}">'
        f'\n{rec["description"]}\n</description>\n\n'
        f'<model_file path="{rec.get("model_path", "")}">'
        f'\n{rec["model"]}\n</model_file>\n\n'
        f'<data_file path="{rec.get("data_path", "")}">'
        f'\n{rec["data"]}\n</data_file>\n</example>\n'
    )


def few_shot_section(records):
    if not records:
        return ""
    return FS_OPEN + "".join(few_shot_block(i, r) for i, r in enumerate(records, 1)) + FS_CLOSE
