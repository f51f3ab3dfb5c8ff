// Internal interface of tavro.modelwright: the module handle through which
// every documented function calls another, and one registration function per
// source file. Each registers its functions; module.cpp binds them in the
// module's documented order.
#pragma once

#include "tavro/_py/py.hpp"

namespace tavro::modelwright {

namespace pyb = pybind11;
using tavro::py::Registry;

// The loaded module: look names up here at call time, never call the C++
// function behind a documented name directly.
tavro::py::Home& home();

void register_config(Registry&);           // config.cpp: _notify, _infer_provider
void register_grammar(Registry&);          // grammar.cpp: grammar references, file readers
void register_reply_json(Registry&);       // prompts/reply_json.cpp
void register_few_shot(Registry&);         // prompts/few_shot.cpp
void register_prompt_builders(Registry&);  // prompts/builders.cpp
void register_openai(Registry&);           // llm/openai.cpp
void register_gemini_ollama(Registry&);    // llm/gemini_ollama.cpp
void register_dispatch(Registry&);         // llm/dispatch.cpp
void register_listing(Registry&);          // llm/listing.cpp
void register_workflows(Registry&);        // workflows.cpp

// Module constants and enumerations, created by config.cpp before any function.
void bind_constants(pyb::module_& m);

}  // namespace tavro::modelwright
