#include "sound/format.h"

#include "sound/sources.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>

namespace ledcube::sound {

namespace {

struct Named {
    const char* name;
    Encoding encoding;
};
constexpr Named kEncodings[] = {{"s16le", Encoding::S16le}, {"s32le", Encoding::S32le}, {"f32le", Encoding::F32le}};

// libsndfile's own scale factors: its integer to float conversion multiplies
// by these, which are powers of two, so the result is the same as a division.
constexpr float kS16Scale = 1.0f / 32768.0f;
constexpr float kS32Scale = 1.0f / 2147483648.0f;

bool parseInt(const std::string& text, int& value)
{
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    return error == std::errc{} && stop == end && !text.empty();
}

// The little-endian bytes at `at` as an unsigned `Word`.
template <typename Word>
Word littleEndian(const unsigned char* at)
{
    Word word = 0;
    for (std::size_t i = 0; i < sizeof(Word); ++i)
        word |= static_cast<Word>(static_cast<Word>(at[i]) << (8 * i));
    return word;
}

}  // namespace

std::string outOfRange(const std::string& what, int low, int high, const std::string& given)
{
    return "the " + what + " must be from " + std::to_string(low) + " to " + std::to_string(high) + ", not '" +
           given + "'";
}

bool parseRawFormat(const std::string& text, RawFormat& format, std::string& error)
{
    const auto first = text.find(':');
    const auto second = first == std::string::npos ? first : text.find(':', first + 1);
    if (second == std::string::npos || text.find(':', second + 1) != std::string::npos) {
        error = "the format must be ENCODING:RATE:CHANNELS, such as s16le:44100:2, not '" + text + "'";
        return false;
    }
    const std::string encoding = text.substr(0, first);
    const std::string rate = text.substr(first + 1, second - first - 1);
    const std::string channels = text.substr(second + 1);
    RawFormat parsed;
    bool known = false;
    for (const Named& named : kEncodings)
        if (encoding == named.name) {
            parsed.encoding = named.encoding;
            known = true;
        }
    if (!known) {
        error = "the encoding must be s16le, s32le or f32le, not '" + encoding + "'";
        return false;
    }
    if (!parseInt(rate, parsed.rate) || parsed.rate < kMinRate || parsed.rate > kMaxRate) {
        error = outOfRange("rate", kMinRate, kMaxRate, rate);
        return false;
    }
    if (!parseInt(channels, parsed.channels) || parsed.channels < 1 || parsed.channels > kMaxChannels) {
        error = outOfRange("channels", 1, kMaxChannels, channels);
        return false;
    }
    format = parsed;
    return true;
}

int bytesPerSample(Encoding encoding)
{
    return encoding == Encoding::S16le ? 2 : 4;
}

void decode(Encoding encoding, std::span<const unsigned char> bytes, std::vector<float>& samples)
{
    const std::size_t size = static_cast<std::size_t>(bytesPerSample(encoding));
    samples.resize(bytes.size() / size);
    const unsigned char* at = bytes.data();
    for (float& sample : samples) {
        switch (encoding) {
        case Encoding::S16le:
            sample = static_cast<float>(static_cast<int16_t>(littleEndian<uint16_t>(at))) * kS16Scale;
            break;
        case Encoding::S32le:
            sample = static_cast<float>(static_cast<int32_t>(littleEndian<uint32_t>(at))) * kS32Scale;
            break;
        case Encoding::F32le:
            sample = heard(std::bit_cast<float>(littleEndian<uint32_t>(at)));
            break;
        }
        at += size;
    }
}

float heard(float sample)
{
    return std::isfinite(sample) ? std::clamp(sample, -1.0f, 1.0f) : 0.0f;
}

// The sum is a double, so that a mono sample passes unchanged and a mean of
// many channels loses nothing before its one rounding to float.
void mixDown(std::span<const float> interleaved, int channels, std::vector<float>& mono)
{
    const std::size_t width = static_cast<std::size_t>(channels);
    for (std::size_t at = 0; at + width <= interleaved.size(); at += width) {
        double sum = 0;
        for (std::size_t c = 0; c < width; ++c)
            sum += interleaved[at + c];
        mono.push_back(static_cast<float>(sum / channels));
    }
}

}  // namespace ledcube::sound
