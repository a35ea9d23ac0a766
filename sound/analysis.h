#pragma once

// What the effects hear, worked out once per frame from the window of sound
// that ends at the frame's time: the level, the bands, the beats and the
// tempo. One place for every effect, so that all of them agree.

#include "effects/lEffect.h"

#include <cstddef>
#include <memory>
#include <span>

namespace ledcube::sound {

inline constexpr double kLowestHz = 30.0;
inline constexpr double kHighestHz = 16000.0;
inline constexpr double kDefaultGateDb = -60.0;
inline constexpr double kMinGateDb = -120.0;
inline constexpr double kMaxGateDb = 0.0;
inline constexpr double kMaxGainDb = 40.0;
inline constexpr int kMaxBands = 64;

// The edges of band `i` of `bands`: 30 * (16000 / 30)^(i / bands) Hz up to
// that of band i + 1.
double bandLow(int i, int bands);

class Analyser {
public:
    // Sound at `rate` samples a second, heard as `bands` bands; sound below
    // `gateDb` dBFS (a full-scale sine being 0) counts as silence. Plans the
    // FFT here, once: FFTW's planner is not thread-safe, so Analysers take
    // turns at it, and analyse() plans nothing. std::invalid_argument for a
    // rate, bands or gate out of range.
    Analyser(int rate, int bands, double gateDb = kDefaultGateDb);
    ~Analyser();
    Analyser(const Analyser&) = delete;
    Analyser& operator=(const Analyser&) = delete;

    // Samples a window takes: 2048 at 44.1 and 48 kHz, in proportion to the
    // rate otherwise, a power of two.
    std::size_t windowSize() const;

    // The frame whose window is `window` (windowSize() samples, oldest
    // first) at `time` seconds of sound; frames come in order of time.
    const lSound& analyse(std::span<const float> window, double time);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace ledcube::sound

namespace sound = ledcube::sound;
