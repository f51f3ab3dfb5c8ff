// Placeholder: this part of tavro.modelwright registers its functions here.
#include "tavro/modelwright/modelwright.hpp"

namespace tavro::modelwright {

void register_openai(Registry&) {}

}  // namespace tavro::modelwright
