// tavro.modelwright LLM providers: the one table that the LLMProvider
// enumeration, provider inference, dispatch and model listing read. A new
// provider is one entry here plus its generation call.
#include "tavro/modelwright/llm/llm.hpp"

namespace tavro::modelwright {

const std::array<Provider, 3> kProviders = {{
    {"OPENAI", "openai", {"openai", "oai"}, {}, {}, &openai_generate_text, "list_openai_models"},
    {"GOOGLE",
     "google",
     {"google", "genai", "gemini", "google.generativeai"},
     {"gemini"},
     {},
     &gemini_generate_text,
     "list_gemini_models"},
    {"OLLAMA", "ollama", {"ollama"}, {"llama", "qwen", "mistral"}, {"gpt-oss"}, &ollama_generate, "list_ollama_models"},
}};

const Provider* provider_of(pyb::handle member) {
    pyb::object members = home().attr("LLMProvider");
    for (const Provider& p : kProviders) {
        if (tavro::py::equal(member, members.attr(p.member))) return &p;
    }
    return nullptr;
}

}  // namespace tavro::modelwright
