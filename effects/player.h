#pragma once

// The play of lPlayEffects for a host that is itself a program, such as the
// Python module: its failures go to the caller instead of ending a process.

#include "effects/lEffect.h"

#include <string>
#include <vector>

namespace ledcube::effects {

// Plays as lPlayEffects does, with cubefx's options in `args` (the options
// and effects alone, without a program name), and returns the stop signal
// that ended the play early, 0 when none did. `name` names the player in
// what it says. `commandLine` is the host's own, shown again in the advice
// when no receiver serves the channel. A usage error throws process::Failure
// with status 2, any other failure with status 1. An exception from an
// effect ends the play with the cube dark and goes on to the caller. --list
// is not taken here.
int playEffects(const std::string& name, const std::vector<std::string>& args,
                const std::vector<lEffectInfo>& effects, const std::vector<std::string>& commandLine);

}  // namespace ledcube::effects

namespace effects = ledcube::effects;
