// Shared by the LLM access files of tavro.modelwright: progress reporting
// through the module's _notify, one request as the dispatcher received it,
// and the table of providers that configuration, dispatch and listing read.
#pragma once

#include <array>
#include <initializer_list>

#include "tavro/modelwright/modelwright.hpp"

namespace tavro::modelwright {

// The separator of provider and model in progress messages (format strings
// are ASCII, so it goes in through %s).
inline constexpr const char* kBullet = "\u2022";

// The guard message of the optional ollama package (generation and listing).
inline constexpr const char* kOllamaMissing = "ollama package is not installed. pip install ollama";

// _notify(progress, msg), with _notify looked up at the moment of the call.
inline void report_progress(pyb::handle progress, pyb::handle msg) { home().attr("_notify")(progress, msg); }

// The arguments of one _llm_generate_text call, checked.
struct Request {
    pyb::handle model_name, input_text, max_tokens, temperature, stop, progress, capture_usage;
};

// One provider: its LLMProvider member and value, the llm_provider names that
// choose it, what in a model name implies it, its generation call (the text,
// or (text, usage) when capture_usage) and its listing function.
struct Provider {
    const char* member;
    const char* value;
    std::initializer_list<const char*> names;
    std::initializer_list<const char*> model_prefixes;
    std::initializer_list<const char*> model_parts;  // contained anywhere in the name
    pyb::object (*generate)(const Request&);
    const char* list_function;
};

// In LLMProvider order; a model name that implies no provider goes to the first.
extern const std::array<Provider, 3> kProviders;

pyb::object openai_generate_text(const Request&);  // dispatch.cpp
pyb::object gemini_generate_text(const Request&);  // gemini_ollama.cpp
pyb::object ollama_generate(const Request&);       // dispatch.cpp

// The table entry of an LLMProvider member (compared with ==, in table
// order), or nullptr.
const Provider* provider_of(pyb::handle member);

}  // namespace tavro::modelwright
