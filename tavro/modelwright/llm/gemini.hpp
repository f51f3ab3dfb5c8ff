// The Gemini generation branch of _llm_generate_text, shared between
// gemini_ollama.cpp (which owns it) and dispatch.cpp (which calls it).
#pragma once

#include "tavro/modelwright/modelwright.hpp"

namespace tavro::modelwright {

// One Gemini request for `input_text`; returns the text, or (text, usage)
// when `capture_usage`. Progress goes through the module's _notify.
pyb::object gemini_generate_text(pyb::handle model_name, pyb::handle input_text, pyb::handle max_tokens,
                                 pyb::handle temperature, pyb::handle progress, bool capture_usage);

}  // namespace tavro::modelwright
