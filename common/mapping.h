#pragma once

// The options that lay a strip out on the cube and set its colours, as
// cubesend, cubelisten and cubeexport take them: --wiring, --serpentine,
// --layout, --gamma, --brightness and --leds-per-universe. They become the
// wiring and colour correction of wiring/pixels.h.

#include "wiring/pixels.h"

#include <string>

namespace ledcube::cli {
class Parser;
}
namespace cli = ledcube::cli;

namespace strip {

struct Mapping {
    std::string wiringOrder = "xyz";
    bool serpentine = false;
    bool wiringGiven = false;
    std::string layoutPath;  // empty: none
    ColourCorrection colour;
    unsigned ledsPerUniverse = kMaxLedsPerUniverse;

    // --gamma takes a number above 0, up to this.
    static constexpr double kMaxGamma = 10;

    // Takes the parser's current argument when it is one of these options.
    bool take(cli::Parser& args);
    // Once the command line is read: refuses options that do not go together.
    void check(const cli::Parser& args) const;
    // The wiring for a cube of `edge`; a layout file that is wrong fails, as
    // a usage error, with its line.
    Wiring wiring(int edge) const;
    // The options' lines for --help: what gamma and brightness do to the
    // bytes made (cubesend, cubeexport) or how they are undone (cubelisten);
    // files have no universes.
    enum class Use { sending, listening, exporting };
    static std::string help(Use use);
};

}  // namespace strip
