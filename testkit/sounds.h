#pragma once

// Sounds that the tests and benchmarks make for cubefx to hear: tones,
// sweeps, kicks, silence and dither, as 16-bit samples written into a WAV
// file or as the raw bytes that standard input takes (s16le).

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

struct Sound {
    int rate = 44100;
    int channels = 1;
    std::vector<int16_t> samples;  // interleaved, channels to a frame
};

inline constexpr double kHalfScale = 0.5;  // of full scale: -6 dBFS

// A sine of `hz` on every channel, at `amplitude` of full scale.
Sound tone(double hz, double seconds, int rate, int channels = 1, double amplitude = kHalfScale);
// A sine whose pitch rises from `fromHz` to `toHz` evenly in octaves.
Sound sweep(double fromHz, double toHz, double seconds, int rate);
// A kick drum `bpm` times a minute, the first at 0: a 60 Hz thump that
// falls silent within 0.15 s.
Sound kicks(double bpm, double seconds, int rate);
Sound silence(double seconds, int rate);
// Nothing but dither: each sample -1, 0 or +1 (of 32,768), at random.
Sound dither(double seconds, int rate);

// A canonical 16-bit PCM WAV file.
void writeWav(const std::string& path, const Sound& sound);
// The samples as s16le bytes, as `cubefx --audio -` reads them.
std::string rawBytes(const Sound& sound);

}  // namespace testsupport
