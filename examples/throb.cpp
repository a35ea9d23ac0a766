// Throb: an effect of your own that dances to the sound, played with every
// option of cubefx. Layers light from the floor up as high as the sound is
// loud, and each beat moves them on to the palette's next colour. Without
// a sound (no --audio) the cube stays dark.
//
//   cmake -S examples -B build-example -DCMAKE_PREFIX_PATH=~/.local && cmake --build build-example
//   cubeplay --edge 8 build-example/throb --audio song.flac --palette candy
//
// sound() is what the sound does at the frame being drawn: its level, its
// bands from low to high, whether a beat starts, the tempo and the wave.

#include <lEffect.h>

#include <cmath>

namespace {

class Throb : public lEffect {
public:
    void draw(lFrame& frame, double) override
    {
        const lSound& heard = sound();
        if (heard.beat)
            ++beats_;
        frame.clear();
        const int n = edge();
        const int top = static_cast<int>(std::lround(heard.level * n));
        const storeColor colour = context().palette.at(static_cast<float>(beats_ / colours));
        for (int z = 0; z < top; ++z) {
            const float level = 1.0f - kTopDimmer * static_cast<float>(z) / static_cast<float>(n);
            frame.box(0, 0, z, n - 1, n - 1, z, {colour.r * level, colour.g * level, colour.b * level},
                      lFrame::Box::Edges);
        }
    }

private:
    // Higher layers are dimmer by up to this much, so that the loudest
    // moments stand out.
    static constexpr float kTopDimmer = 0.6f;

    // Settings, given as throb:colours=3 on the command line.
    const double& colours = setting("colours", 6, 1, 100, "beats before the palette comes round");
    double beats_ = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    return lPlayEffects(argc, argv,
                        {{"throb", "layers rise with the sound's level", [] { return std::make_unique<Throb>(); }}});
}
