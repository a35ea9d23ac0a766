#include "testkit/sounds.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>

namespace testsupport {

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kFullScale = 32767.0;
constexpr double kKickHz = 60.0;
constexpr double kKickFall = 0.03;  // seconds for the thump to fall by e
constexpr double kKickLength = 0.15;
constexpr unsigned kDitherSeed = 7;
constexpr const char* kNowhere = "/dev/null";  // where the file plugin writes what is not kept

std::size_t frameCount(double seconds, int rate)
{
    return static_cast<std::size_t>(std::lround(seconds * rate));
}

// `value(t)` from -1 to 1 at every frame, the same on every channel.
template <typename Value>
Sound make(double seconds, int rate, int channels, Value value)
{
    Sound sound{rate, channels, {}};
    const std::size_t frames = frameCount(seconds, rate);
    sound.samples.reserve(frames * static_cast<std::size_t>(channels));
    for (std::size_t i = 0; i < frames; ++i) {
        const auto sample = static_cast<int16_t>(std::lround(value(static_cast<double>(i) / rate) * kFullScale));
        for (int c = 0; c < channels; ++c)
            sound.samples.push_back(sample);
    }
    return sound;
}

void put(std::string& out, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out += static_cast<char>((value >> (8 * i)) & 0xff);
}

void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

}  // namespace

Sound tone(double hz, double seconds, int rate, int channels, double amplitude)
{
    return make(seconds, rate, channels, [&](double t) { return amplitude * std::sin(kTwoPi * hz * t); });
}

Sound sweep(double fromHz, double toHz, double seconds, int rate)
{
    // The phase is the integral of an exponentially rising frequency.
    const double k = std::log(toHz / fromHz) / seconds;
    return make(seconds, rate, 1, [&](double t) {
        return kHalfScale * std::sin(kTwoPi * fromHz * (std::exp(k * t) - 1) / k);
    });
}

Sound kicks(double bpm, double seconds, int rate)
{
    const double period = 60.0 / bpm;
    return make(seconds, rate, 1, [&](double t) {
        const double since = std::fmod(t, period);
        if (since > kKickLength)
            return 0.0;
        return 0.9 * std::exp(-since / kKickFall) * std::sin(kTwoPi * kKickHz * since);
    });
}

Sound silence(double seconds, int rate)
{
    return make(seconds, rate, 1, [](double) { return 0.0; });
}

Sound dither(double seconds, int rate)
{
    Sound sound{rate, 1, std::vector<int16_t>(frameCount(seconds, rate))};
    std::mt19937 random(kDitherSeed);
    std::uniform_int_distribution<int> step(-1, 1);
    for (int16_t& sample : sound.samples)
        sample = static_cast<int16_t>(step(random));
    return sound;
}

std::string rawBytes(const Sound& sound)
{
    std::string bytes;
    bytes.reserve(sound.samples.size() * 2);
    for (const int16_t sample : sound.samples)
        put(bytes, static_cast<uint16_t>(sample), 2);
    return bytes;
}

// RIFF "WAVE": a "fmt " chunk of 16 bytes (PCM = 1, channels, rate, bytes a
// second, bytes a frame, 16 bits), then the "data" chunk.
void writeWav(const std::string& path, const Sound& sound)
{
    const std::string data = rawBytes(sound);
    const auto frameBytes = static_cast<uint32_t>(2 * sound.channels);
    std::string wav = "RIFF";
    put(wav, static_cast<uint32_t>(36 + data.size()), 4);
    wav += "WAVEfmt ";
    put(wav, 16, 4);
    put(wav, 1, 2);
    put(wav, static_cast<uint32_t>(sound.channels), 2);
    put(wav, static_cast<uint32_t>(sound.rate), 4);
    put(wav, static_cast<uint32_t>(sound.rate) * frameBytes, 4);
    put(wav, frameBytes, 2);
    put(wav, 16, 2);
    wav += "data";
    put(wav, static_cast<uint32_t>(data.size()), 4);
    wav += data;
    writeFile(path, wav);
}

AlsaHome::AlsaHome(const Sound& input)
{
    writeInput(input);
    writeConfig(Device{});
}

void AlsaHome::writeInput(const Sound& sound) const
{
    writeFile(input(), rawBytes(sound));
}

void AlsaHome::writeConfig(const Device& device) const
{
    const std::string file = "{\n  type file\n  slave.pcm \"null\"\n  file \"" +
                             (device.keepOutput ? output() : std::string(kNowhere)) + "\"\n  infile \"" + input() +
                             "\"\n  format \"raw\"\n}\n";
    if (device.rate == 0) {
        writeAsoundrc("pcm.!default " + file);
        return;
    }
    writeAsoundrc("pcm.!default {\n  type plug\n  slave { pcm \"input\"; format S16_LE; rate " +
                  std::to_string(device.rate) + "; channels " + std::to_string(device.channels) + " }\n}\n" +
                  "pcm.input " + file);
}

void AlsaHome::writeAsoundrc(const std::string& text) const
{
    writeFile(path(".asoundrc"), text);
}

void AlsaHome::enter() const
{
    if (::setenv("HOME", root().c_str(), 1) != 0)
        throw std::runtime_error("cannot set HOME to " + root());
}

std::vector<std::string> AlsaHome::env() const
{
    return {"HOME=" + root(), "PATH=/usr/bin:/bin"};
}

}  // namespace testsupport
