#pragma once

// How far a long job has come, on one line of standard error that is
// rewritten in place:
//
//   cuberender: 42 of 127 frames, 0:12 gone, about 0:24 left
//
// Only when standard error is a terminal: a log or a pipe gets nothing.
//
// A program that runs the tool learns how far it has come from a descriptor
// it hands the tool (--progress-fd), which gets one line at each redraw and
// one at the end, whatever standard error is:
//
//   <done> <total>\n      two decimal counts, one space between

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace ledcube::cli {

class Progress {
public:
    // `reportFd`, when not -1, gets the progress lines drawn above.
    Progress(std::string tool, std::string unit, std::size_t total, int reportFd = -1);
    ~Progress();  // takes the line away, so the tool's last word stands alone
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // `done` of the total are done; redrawn a few times a second at most.
    void update(std::size_t done);
    void clear();

private:
    using Clock = std::chrono::steady_clock;

    void report(std::size_t done) const;

    bool shown_;
    int reportFd_;
    std::string tool_;
    std::string unit_;
    std::size_t total_;
    Clock::time_point start_ = Clock::now();
    Clock::time_point drawn_{};
    bool drawnOnce_ = false;
};

// The fraction done, 0 to 1, that a progress line tells; none for a line of
// another form.
std::optional<double> progressFraction(std::string_view line);

}  // namespace ledcube::cli

namespace cli = ledcube::cli;
