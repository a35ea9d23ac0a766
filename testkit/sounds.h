#pragma once

// Sounds that the tests and benchmarks make for cubefx to hear: tones,
// sweeps, kicks, silence and dither, as 16-bit samples written into a WAV
// file or as the raw bytes that standard input takes (s16le); and a home
// whose ALSA default device hears such bytes from a file.

#include "testkit/support.h"

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

// A private HOME whose .asoundrc makes ALSA's default device its file plugin
// over the null device: capture reads input() as raw s16le, as fast as it is
// asked, and playback writes into nothing, or into output(). ALSA reads the
// configuration once a process, at its first use: a test that opens a
// device in its own process enter()s the home first, and a child takes env().
class AlsaHome {
public:
    struct Device {
        // Given a rate, a plug holds the device to s16le at this rate and
        // channels, as a sound card is; otherwise it takes what is asked.
        int rate = 0;
        int channels = 1;
        bool keepOutput = false;  // what plays lands in output()
    };

    AlsaHome() = default;
    // With `input` in input() and the default device configured.
    explicit AlsaHome(const Sound& input);

    const std::string& root() const { return dir_.root(); }
    std::string path(const std::string& name) const { return root() + "/" + name; }
    std::string input() const { return path("input.raw"); }
    std::string output() const { return path("output.raw"); }

    void writeInput(const Sound& sound) const;
    void writeConfig(const Device& device) const;
    // An .asoundrc of the caller's own.
    void writeAsoundrc(const std::string& text) const;

    // HOME for this process.
    void enter() const;
    // HOME and a PATH, the environment of a child that hears through it.
    std::vector<std::string> env() const;

private:
    RunDir dir_;
};

}  // namespace testsupport
