#pragma once

// Raw samples as --audio-format describes them, ENC:RATE:CHANNELS: frames of
// interleaved little-endian samples, such as ffmpeg, arecord and parec pipe
// out. Every source ends as mono floats from -1 to 1, mixed down the same
// way, so that a file and the same samples on standard input give the same
// floats to the last bit.

#include <span>
#include <string>
#include <vector>

namespace ledcube::sound {

enum class Encoding { S16le, S32le, F32le };

inline constexpr int kMinRate = 8000;
inline constexpr int kMaxRate = 192000;
inline constexpr int kMaxChannels = 64;

struct RawFormat {
    Encoding encoding = Encoding::S16le;
    int rate = 44100;
    int channels = 2;
};

// "s16le:44100:2" into `format`; false, with `error` saying what is wrong
// ("the rate must be from 8000 to 192000, not '7000'"), otherwise.
bool parseRawFormat(const std::string& text, RawFormat& format, std::string& error);

int bytesPerSample(Encoding encoding);

// Samples of `encoding` to floats from -1 to 1: integers are divided by
// 2^15 or 2^31, as the file reader does; floats pass through heard().
void decode(Encoding encoding, std::span<const unsigned char> bytes, std::vector<float>& samples);

// A float sample as cubefx hears it: NaN and the infinities are silence,
// since one reaching the analysis would stay in its gain for good, and the
// rest is clipped to -1..1, the range of the integer encodings.
float heard(float sample);

// Interleaved frames of `channels` samples to one channel, their mean;
// appended to `mono`.
void mixDown(std::span<const float> interleaved, int channels, std::vector<float>& mono);

}  // namespace ledcube::sound

namespace sound = ledcube::sound;
