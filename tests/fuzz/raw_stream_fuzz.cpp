// Arbitrary bytes as raw samples on standard input, and as --audio-format's
// text. The first bytes choose a format, a window and the windows' end
// times; the rest flow through a pipe into openStream, which is read forward
// in time until it has ended. Every sample is finite and from -1 to 1, a
// window holds the mean of each whole frame's channels at its place and
// zeros elsewhere (a part frame at the end is never heard), and the sound
// ends after its last whole frame. A format that parses is in range, and
// one that does not says why and leaves the format alone.
//
// The header, in input bytes:
//   0      encoding: s16le, s32le, f32le (the byte mod 3)
//   1..3   rate: 8000 plus the little-endian number mod the rates' span
//   4      channels: 1 plus the byte mod 8
//   5..6   window: 1 plus the little-endian number mod 1024
//   7      count of time steps: the byte mod 16
//   8      the first window's end, in samples: a signed byte
//   9...   the steps, one byte each: the samples each next end moves on
//          (the byte / 2), plus half a sample when the byte is odd
// and then the samples.

#include "sound/sources.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <span>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using sound::Encoding;

constexpr std::size_t kHeader = 9;
constexpr int kEncodings = 3;
constexpr int kChannelChoices = 8;
constexpr unsigned kMaxWindow = 1024;
constexpr unsigned kMaxSteps = 16;
constexpr double kHalfSample = 0.5;
constexpr float kS16Scale = 32768.0f;
constexpr float kS32Scale = 2147483648.0f;
constexpr int kUnparsedRate = -1;  // no real rate: a refusal must leave it

struct Plan {
    sound::RawFormat format;
    std::size_t window = 1;
    std::vector<double> ends;  // in samples: the first, then one a step on
    std::span<const uint8_t> samples;
};

unsigned littleEndian(std::span<const uint8_t> bytes)
{
    unsigned value = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        value |= static_cast<unsigned>(bytes[i]) << (8 * i);
    return value;
}

// The header read from `input`; false when the input is shorter than it.
bool readPlan(std::span<const uint8_t> input, Plan& plan)
{
    if (input.size() < kHeader)
        return false;
    constexpr Encoding kEncodingOf[kEncodings] = {Encoding::S16le, Encoding::S32le, Encoding::F32le};
    plan.format.encoding = kEncodingOf[input[0] % kEncodings];
    const unsigned rates = sound::kMaxRate - sound::kMinRate + 1;
    plan.format.rate = sound::kMinRate + static_cast<int>(littleEndian(input.subspan(1, 3)) % rates);
    plan.format.channels = 1 + input[4] % kChannelChoices;
    plan.window = 1 + littleEndian(input.subspan(5, 2)) % kMaxWindow;
    const std::size_t steps = std::min<std::size_t>(input[7] % kMaxSteps, input.size() - kHeader);
    double end = static_cast<int8_t>(input[8]);
    plan.ends.push_back(end);
    for (const uint8_t step : input.subspan(kHeader, steps)) {
        end += (step >> 1) + (step & 1) * kHalfSample;
        plan.ends.push_back(end);
    }
    plan.samples = input.subspan(kHeader + steps);
    return true;
}

// One sample as the reader must hear it, worked out apart from its decoder.
float expectedSample(Encoding encoding, const uint8_t* at)
{
    switch (encoding) {
    case Encoding::S16le:
        return static_cast<float>(static_cast<int16_t>(littleEndian({at, 2}))) / kS16Scale;
    case Encoding::S32le:
        return static_cast<float>(static_cast<int32_t>(littleEndian({at, 4}))) / kS32Scale;
    case Encoding::F32le: {
        float value;
        const uint32_t bits = littleEndian({at, 4});
        std::memcpy(&value, &bits, sizeof value);
        return std::isfinite(value) ? std::clamp(value, -1.0f, 1.0f) : 0.0f;
    }
    }
    std::abort();
}

// Each whole frame's mean; the bytes of a part frame at the end are left.
std::vector<float> expectedMono(const Plan& plan)
{
    const auto sampleBytes = static_cast<std::size_t>(sound::bytesPerSample(plan.format.encoding));
    const auto channels = static_cast<std::size_t>(plan.format.channels);
    std::vector<float> mono;
    for (std::size_t at = 0; at + sampleBytes * channels <= plan.samples.size(); at += sampleBytes * channels) {
        double sum = 0;
        for (std::size_t c = 0; c < channels; ++c)
            sum += expectedSample(plan.format.encoding, plan.samples.data() + at + c * sampleBytes);
        mono.push_back(static_cast<float>(sum / plan.format.channels));
    }
    return mono;
}

// `bytes` into the pipe's write end, which is then closed: at once when the
// pipe holds them all, otherwise from a thread while the stream reads.
std::thread feed(int fd, std::span<const uint8_t> bytes)
{
    const auto write = [fd, bytes] {
        for (std::size_t at = 0; at < bytes.size();) {
            const ssize_t put = ::write(fd, bytes.data() + at, bytes.size() - at);
            if (put <= 0)
                std::abort();
            at += static_cast<std::size_t>(put);
        }
        ::close(fd);
    };
    if (bytes.size() <= static_cast<std::size_t>(std::max(::fcntl(fd, F_GETPIPE_SZ), 0))) {
        write();
        return {};
    }
    return std::thread(write);
}

void checkWindow(sound::Source& source, double endSample, const Plan& plan, const std::vector<float>& mono)
{
    const double end = endSample / plan.format.rate;
    std::vector<float> window(plan.window);
    source.window(end, window);
    const int64_t last = sound::sampleAt(end, plan.format.rate);
    const int64_t first = last - static_cast<int64_t>(window.size()) + 1;
    for (std::size_t i = 0; i < window.size(); ++i) {
        const int64_t at = first + static_cast<int64_t>(i);
        const bool heard = at >= 0 && at < static_cast<int64_t>(mono.size());
        if (!std::isfinite(window[i]) || std::abs(window[i]) > 1.0f)
            std::abort();
        if (window[i] != (heard ? mono[static_cast<std::size_t>(at)] : 0.0f))
            std::abort();
    }
    if (source.endedBefore(end) != (last >= static_cast<int64_t>(mono.size())))
        std::abort();
}

void readStream(const Plan& plan)
{
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0)
        std::abort();
    std::thread writer = feed(pipeEnds[1], plan.samples);
    const std::vector<float> mono = expectedMono(plan);
    {
        const auto source = sound::openStream(pipeEnds[0], plan.format, "standard input");
        for (const double end : plan.ends)
            checkWindow(*source, end, plan, mono);
        // Then a window at a time to the end and one past it.
        double end = plan.ends.back();
        while (!source->endedBefore(end / plan.format.rate)) {
            end += static_cast<double>(plan.window);
            checkWindow(*source, end, plan, mono);
        }
    }
    if (writer.joinable())
        writer.join();
    ::close(pipeEnds[0]);
}

void parseFormat(std::span<const uint8_t> input)
{
    const std::string text(input.begin(), input.end());
    sound::RawFormat format;
    format.rate = kUnparsedRate;
    std::string error;
    if (!sound::parseRawFormat(text, format, error)) {
        if (error.empty() || format.rate != kUnparsedRate)
            std::abort();
        return;
    }
    if (format.rate < sound::kMinRate || format.rate > sound::kMaxRate || format.channels < 1 ||
        format.channels > sound::kMaxChannels || std::count(text.begin(), text.end(), ':') != 2)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::span<const uint8_t> input(data, size);
    parseFormat(input);
    Plan plan;
    if (readPlan(input, plan))
        readStream(plan);
    return 0;
}
