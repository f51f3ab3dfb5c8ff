// Shared by the LLM access files of tavro.modelwright: progress reporting
// through the module's _notify, and the Gemini generation branch of
// _llm_generate_text (defined in gemini_ollama.cpp, called by dispatch.cpp).
#pragma once

#include "tavro/modelwright/modelwright.hpp"

namespace tavro::modelwright {

// _notify(progress, msg), with _notify looked up at the moment of the call.
inline void report_progress(pyb::handle progress, pyb::handle msg) { home().attr("_notify")(progress, msg); }

// One Gemini request for `input_text`; returns the text, or (text, usage)
// when `capture_usage`. Progress goes through the module's _notify.
pyb::object gemini_generate_text(pyb::handle model_name, pyb::handle input_text, pyb::handle max_tokens,
                                 pyb::handle temperature, pyb::handle progress, pyb::handle capture_usage);

}  // namespace tavro::modelwright
