#pragma once

// Runs an animation program against the headless receiver `cubetrace` and
// reads back what a viewer would have shown, frame by frame.

#include "testkit/support.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace demotest {

struct Color {
    float r = 0, g = 0, b = 0;
    bool operator==(const Color&) const = default;
};

inline constexpr Color kBlue{0, 0, 1};
inline constexpr Color kPurple{0.7f, 0, 0.5f};
inline constexpr Color kRed{1, 0, 0};
inline constexpr Color kGreen{0, 1, 0};

struct Led {
    int x = 0, y = 0, z = 0;
    Color color;
};

// One frame release as cubetrace reports it; `leds` only with --leds.
struct Frame {
    int release = 0;
    long ms = 0;
    int lit = 0;
    std::string hash;
    std::vector<Led> leds;
};

std::vector<Frame> parseTrace(const std::string& text);
// The frames in cubeplay's output, where the animation's own lines mix in.
std::vector<Frame> framesInPlay(const std::string& out);

// Release number, lit count and hash of each frame, one frame a line: the
// part of a trace that does not depend on timing.
std::string untimed(const std::vector<Frame>& frames);

// A cubetrace serving the channel in `dir`'s root. The constructor returns
// once the receiver has reset the record, so a program started afterwards
// never meets a channel that nobody answers. `env` replaces its environment
// when given.
class Receiver {
public:
    Receiver(testsupport::RunDir& dir, const std::vector<std::string>& options,
             const std::optional<std::vector<std::string>>& env = std::nullopt);
    // Stops the receiver (it flushes on SIGTERM) and parses what it printed.
    std::vector<Frame> stop();
    testsupport::Process& process() { return *process_; }

private:
    std::unique_ptr<testsupport::Process> process_;
};

struct DemoRun {
    testsupport::Exit exit;
    std::string out;
    std::string err;
    std::vector<Frame> frames;
    std::chrono::milliseconds took{};
    std::string receiverErr;
};

// Runs `argv` in the run directory below a receiver started with
// `receiverOptions`, to its end, and collects everything. `env` replaces
// the environment of both when given.
DemoRun runDemo(const std::vector<std::string>& argv, const std::vector<std::string>& receiverOptions,
                const std::optional<std::vector<std::string>>& env = std::nullopt);

// Starts `argv` in `dir`'s run directory below a receiver (with --leds) that
// ends after `count` releases, and returns those frames. The program, which
// then waits on the channel for ever, is killed. `env` replaces its
// environment when given.
std::vector<Frame> firstFrames(testsupport::RunDir& dir, const std::vector<std::string>& argv, int count,
                               const std::optional<std::vector<std::string>>& env = std::nullopt);

// The closing line of the library's pusher thread, all a demo prints.
inline const std::string kClosingLine = "Exiting_ core1Run:0\n";

}  // namespace demotest
