// Pulse: an effect of your own, played with every option of cubefx. The
// whole cube breathes, each breath in the next colour of the palette, round
// a heart that stays lit.
//
//   cmake -S examples -B build-example -DCMAKE_PREFIX_PATH=~/.local && cmake --build build-example
//   cubeplay --edge 8 build-example/pulse --palette ocean pulse:rate=0.5
//
// To play it among the built-in effects, pass lBuiltInEffects() with it.

#include <lEffect.h>

#include <cmath>

namespace {

constexpr double kTwoPi = 6.283185307179586;

class Pulse : public lEffect {
public:
    void draw(lFrame& frame, double time) override
    {
        const double breaths = time * rate;
        const float level = static_cast<float>(0.5 - 0.5 * std::cos(kTwoPi * breaths));
        const storeColor colour = context().palette.at(static_cast<float>(std::floor(breaths) / colours));
        frame.fill({colour.r * level, colour.g * level, colour.b * level});
        const float middle = static_cast<float>(edge() - 1) / 2;
        frame.sphere(middle, middle, middle, static_cast<float>(edge()) / 6, colour, true);
    }

private:
    // Settings, given as pulse:rate=0.5,colours=3 on the command line.
    const double& rate = setting("rate", 1, 0.1, 10, "breaths a second");
    const double& colours = setting("colours", 6, 1, 100, "breaths before the palette comes round");
};

}  // namespace

int main(int argc, char** argv)
{
    return lPlayEffects(argc, argv, {{"pulse", "the cube breathes round a heart", [] { return std::make_unique<Pulse>(); }}});
}
