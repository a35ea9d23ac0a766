#include "common/progress.h"

#include <cerrno>
#include <charconv>
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

Progress::Progress(std::string tool, std::string unit, std::size_t total, int reportFd)
    : shown_(::isatty(STDERR_FILENO) == 1),
      reportFd_(reportFd),
      tool_(std::move(tool)),
      unit_(std::move(unit)),
      total_(total)
{
}

Progress::~Progress()
{
    clear();
}

void Progress::update(std::size_t done)
{
    const Clock::time_point now = Clock::now();
    if ((!shown_ && reportFd_ < 0) || (drawnOnce_ && now - drawn_ < kRedrawEvery && done < total_))
        return;
    drawn_ = now;
    drawnOnce_ = true;
    report(done);
    if (!shown_)
        return;
    const double gone = std::chrono::duration<double>(now - start_).count();
    std::string line = tool_ + ": " + std::to_string(done) + " of " + std::to_string(total_) + " " + unit_ + ", " +
                       clockTime(gone) + " gone";
    if (done > 0 && done < total_)
        line += ", about " + clockTime(gone * static_cast<double>(total_ - done) / static_cast<double>(done)) + " left";
    std::fprintf(stderr, "%s%s", kEraseLine, line.c_str());
    std::fflush(stderr);
}

// The job goes on whether or not anybody reads: a failed write is let be.
void Progress::report(std::size_t done) const
{
    if (reportFd_ < 0)
        return;
    char line[64];
    const int length = std::snprintf(line, sizeof line, "%zu %zu\n", done, total_);
    for (int at = 0; at < length;) {
        const ssize_t written = ::write(reportFd_, line + at, static_cast<std::size_t>(length - at));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        at += static_cast<int>(written);
    }
}

std::optional<double> progressFraction(std::string_view line)
{
    std::size_t done = 0;
    std::size_t total = 0;
    const char* const end = line.data() + line.size();
    const auto first = std::from_chars(line.data(), end, done);
    if (first.ec != std::errc() || first.ptr == end || *first.ptr != ' ')
        return std::nullopt;
    const auto second = std::from_chars(first.ptr + 1, end, total);
    if (second.ec != std::errc() || second.ptr != end || done > total)
        return std::nullopt;
    return total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
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
