#pragma once

// What cubefx's command line takes, for cubefx and for whoever checks a
// request before starting it (cubeweb): the limits and defaults of
// --duration and --seed, and the colours of --colour. Built into the
// effects' library but not installed with it.

#include "lbox/lBox.h"

#include <cstdint>
#include <string>

namespace ledcube::effects {

inline constexpr double kMinDuration = 0.001;
inline constexpr double kMaxDuration = 24 * 3600.0;  // a day
inline constexpr double kDefaultDuration = 10.0;
inline constexpr uint32_t kDefaultSeed = 1;

// The colour that `text` names, as --colour takes it: a name (red,
// orange...), #rrggbb, or r,g,b from 0 to 1. False when it names none.
bool parseColour(const std::string& text, storeColor& out);

// What parseColour takes, for a message that refuses a colour: "a colour
// name (red, green, ...), #rrggbb or r,g,b from 0 to 1".
std::string colourForms();

}  // namespace ledcube::effects

namespace effects = ledcube::effects;
