#include "common/progress.h"

#include <cstdio>
#include <unistd.h>
#include <utility>

namespace ledcube::cli {

namespace {

constexpr auto kRedrawEvery = std::chrono::milliseconds(200);
constexpr long kSecondsPerMinute = 60;
constexpr long kSecondsPerHour = 3600;
constexpr const char* kEraseLine = "\r\033[K";

// 0:07, 12:34 or 1:02:03.
std::string clockTime(double seconds)
{
    const long s = static_cast<long>(seconds + 0.5);
    char text[32];
    if (s >= kSecondsPerHour)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / kSecondsPerHour, s % kSecondsPerHour / kSecondsPerMinute,
                      s % kSecondsPerMinute);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", s / kSecondsPerMinute, s % kSecondsPerMinute);
    return text;
}

}  // namespace

Progress::Progress(std::string tool, std::string unit, std::size_t total)
    : shown_(::isatty(STDERR_FILENO) == 1), tool_(std::move(tool)), unit_(std::move(unit)), total_(total)
{
}

Progress::~Progress()
{
    clear();
}

void Progress::update(std::size_t done)
{
    const Clock::time_point now = Clock::now();
    if (!shown_ || (drawnOnce_ && now - drawn_ < kRedrawEvery && done < total_))
        return;
    drawn_ = now;
    drawnOnce_ = true;
    const double gone = std::chrono::duration<double>(now - start_).count();
    std::string line = tool_ + ": " + std::to_string(done) + " of " + std::to_string(total_) + " " + unit_ + ", " +
                       clockTime(gone) + " gone";
    if (done > 0 && done < total_)
        line += ", about " + clockTime(gone * static_cast<double>(total_ - done) / static_cast<double>(done)) + " left";
    std::fprintf(stderr, "%s%s", kEraseLine, line.c_str());
    std::fflush(stderr);
}

void Progress::clear()
{
    if (!shown_ || !drawnOnce_)
        return;
    std::fputs(kEraseLine, stderr);
    std::fflush(stderr);
    drawnOnce_ = false;
}

}  // namespace ledcube::cli
