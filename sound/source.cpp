#include "sound/source.h"

#include "sound/sources.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace ledcube::sound {

namespace {

// Of a sample: far above a double's error in seconds * rate for hours of
// sound, far below a sample.
constexpr double kTimeTolerance = 1e-6;

}  // namespace

std::unique_ptr<Source> open(const std::string& source, const RawFormat& format, const std::string& program)
{
    if (isCapture(source))
        return openCapture(captureDevice(source), program,
                           [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
    if (source == "-")
        return openStream(STDIN_FILENO, format, "standard input");
    return openFile(source);
}

bool isCapture(const std::string& source)
{
    return source == "capture" || source.starts_with("capture:");
}

std::string captureDevice(const std::string& source)
{
    return source == "capture" ? "default" : source.substr(source.find(':') + 1);
}

SoundError unreadable(const std::string& path, const std::string& reason)
{
    return SoundError("cannot read sound from '" + path + "': " + reason);
}

void checkFormat(const std::string& path, int rate, int channels)
{
    if (rate < kMinRate || rate > kMaxRate)
        throw unreadable(path, outOfRange("rate", kMinRate, kMaxRate, std::to_string(rate)));
    if (channels < 1 || channels > kMaxChannels)
        throw unreadable(path, outOfRange("channels", 1, kMaxChannels, std::to_string(channels)));
}

int64_t sampleAt(double seconds, int rate)
{
    return static_cast<int64_t>(std::floor(seconds * rate + kTimeTolerance));
}

void Stream::window(double end, std::span<float> window)
{
    const int64_t last = sampleAt(end, rate_);
    const int64_t first = last - static_cast<int64_t>(window.size()) + 1;
    keepFrom_ = std::max(keepFrom_, first);
    readThrough(last);
    for (std::size_t i = 0; i < window.size(); ++i) {
        const int64_t at = first + static_cast<int64_t>(i);
        window[i] = at >= first_ && at < next() ? held_[static_cast<std::size_t>(at - first_)] : 0.0f;
    }
}

bool Stream::endedBefore(double end)
{
    const int64_t last = sampleAt(end, rate_);
    readThrough(last);
    return ended_ && last >= next();
}

void Stream::readThrough(int64_t last)
{
    while (!ended_ && next() <= last) {
        ended_ = !readMore(held_);
        forgetBefore(keepFrom_);
    }
    forgetBefore(keepFrom_);
}

void Stream::forgetBefore(int64_t index)
{
    const auto held = static_cast<int64_t>(held_.size());
    const auto gone = static_cast<std::size_t>(std::clamp<int64_t>(index - first_, 0, held));
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(gone));
    first_ += static_cast<int64_t>(gone);
}

}  // namespace ledcube::sound
