// Fixed pieces of the prompt templates (templates.cpp); the builders in
// builders.cpp join them with the inserted arguments.
#pragma once

#include <string_view>

namespace tavro::modelwright::templates {

extern const std::string_view FS_OPEN;
extern const std::string_view FS_CLOSE;
extern const std::string_view GEN_OPEN;
extern const std::string_view GRAMMAR_END;
extern const std::string_view GEN_CLOSE;
extern const std::string_view SYN_OPEN;
extern const std::string_view SYN_CLOSE;
extern const std::string_view ALN_OPEN;
extern const std::string_view ALN_TASK;
extern const std::string_view ALN_CLOSE;
extern const std::string_view PREV_MODEL;
extern const std::string_view PREV_DATA;
extern const std::string_view ALIGN_OPEN;
extern const std::string_view ALIGN_CLOSE;
extern const std::string_view FINAL_OPEN;
extern const std::string_view FINAL_CLOSE;
extern const std::string_view INPUTS_DESCRIPTION;
extern const std::string_view DESCRIPTION_MODEL;
extern const std::string_view MODEL_DATA;
extern const std::string_view DATA_END;
extern const std::string_view FEEDBACK_OPEN;
extern const std::string_view INPUTS_QUESTION;
extern const std::string_view QUESTION_MODEL;
extern const std::string_view FEEDBACK_CLOSE;
extern const std::string_view PROBLEM_OPEN;
extern const std::string_view PREV_ERRORS;
extern const std::string_view SYNTAX_ERRORS;
extern const std::string_view BLANK_LINE;
extern const std::string_view EXAMPLE_OPEN;
extern const std::string_view EXAMPLE_INDEX_END;
extern const std::string_view DESCRIPTION_HEAD;
extern const std::string_view MODEL_HEAD;
extern const std::string_view DATA_HEAD;
extern const std::string_view HEAD_END;
extern const std::string_view LINE_BREAK;
extern const std::string_view DESCRIPTION_END;
extern const std::string_view MODEL_END;
extern const std::string_view EXAMPLE_END;

}  // namespace tavro::modelwright::templates
