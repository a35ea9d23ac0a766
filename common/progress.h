#pragma once

// How far a long job has come, on one line of standard error that is
// rewritten in place:
//
//   cuberender: 42 of 127 frames, 0:12 gone, about 0:24 left
//
// Only when standard error is a terminal: a log or a pipe gets nothing.

#include <chrono>
#include <cstddef>
#include <string>

namespace ledcube::cli {

class Progress {
public:
    Progress(std::string tool, std::string unit, std::size_t total);
    ~Progress();  // takes the line away, so the tool's last word stands alone
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // `done` of the total are done; redrawn a few times a second at most.
    void update(std::size_t done);
    void clear();

private:
    using Clock = std::chrono::steady_clock;

    bool shown_;
    std::string tool_;
    std::string unit_;
    std::size_t total_;
    Clock::time_point start_ = Clock::now();
    Clock::time_point drawn_{};
    bool drawnOnce_ = false;
};

}  // namespace ledcube::cli

namespace cli = ledcube::cli;
