#pragma once

// A private X server (Xvfb) for driving the real viewer: starting it,
// typing and clicking through xdotool, reading the screen back as pixels,
// feeding the viewer frames and counting the frames it draws.

#include "lbox/lBox.h"
#include "testkit/support.h"

#include <chrono>
#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace xsession {

using namespace std::chrono_literals;

struct Rgb {
    uint8_t r = 0;
    uint8_t g = 0;
    uint8_t b = 0;
    bool operator==(const Rgb&) const = default;
};

// A screenshot: rows from the top, columns from the left.
class Image {
public:
    Image() = default;
    Image(int width, int height) : width_(width), height_(height), pixels_(std::size_t(width) * height) {}

    int width() const { return width_; }
    int height() const { return height_; }
    Rgb at(int x, int y) const { return pixels_[std::size_t(y) * width_ + x]; }
    Rgb& at(int x, int y) { return pixels_[std::size_t(y) * width_ + x]; }
    bool operator==(const Image&) const = default;

    // Writes a binary PPM, for looking at a picture after a failure.
    void savePpm(const std::string& path) const;

private:
    int width_ = 0;
    int height_ = 0;
    std::vector<Rgb> pixels_;
};

// Decodes the output of `xwd` for a TrueColor screen.
Image decodeXwd(const std::string& bytes);

// Finds a program on PATH, as a shell would.
std::string findProgram(const std::string& name);

class XServer {
public:
    static constexpr int kScreenWidth = 1024;
    static constexpr int kScreenHeight = 768;

    // Starts Xvfb on a free display number and checks that it answers.
    XServer();
    // Stops the server the way a user would, so that it cleans up its lock.
    ~XServer();
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;

    const std::string& display() const { return display_; }
    pid_t serverPid() const { return server_->pid(); }
    // Whether the server still runs, and what it said, for failure reports.
    std::string state() const;
    // This process's environment with DISPLAY pointing here.
    std::vector<std::string> environment() const;
    testsupport::Process::Options optionsIn(const std::string& dir) const;

    // Runs a client (xdotool, xwd, ...) to its end and returns its standard
    // output; a failing client is reported through the returned status.
    struct Result {
        int code = -1;
        std::string out;
        std::string err;
    };
    Result run(const std::vector<std::string>& argv) const;
    // xdotool with the given arguments; fails the test if it fails.
    std::string xdotool(const std::vector<std::string>& args) const;

    Image screenshot() const;
    // Screenshots until `accept` takes one or the deadline passes; returns
    // the last one taken either way.
    Image waitForPicture(const std::function<bool(const Image&)>& accept,
                         std::chrono::milliseconds deadline = 60s) const;

private:
    std::unique_ptr<testsupport::Process> server_;
    std::string display_;
};

// A viewer window on an X server: started in `dir`, found by its title and
// moved to the top left corner of the screen, with the keyboard on it.
class Viewer {
public:
    static constexpr int kWidth = 800;
    static constexpr int kHeight = 600;

    // `env` entries ("NAME=value") are set in the viewer's environment.
    Viewer(const XServer& x, const std::string& program, const std::string& dir,
           const std::vector<std::string>& env = {});

    testsupport::Process& process() { return *process_; }
    const std::string& window() const { return window_; }
    // Types keys by their X names ("space", "F1", "alt+Return").
    void key(const std::vector<std::string>& keys) const;
    std::string geometry() const;

private:
    const XServer& x_;
    std::unique_ptr<testsupport::Process> process_;
    std::string window_;
};

// The viewer's window at the top left of a screenshot.
Image windowOf(const Image& screen);

// A frame drawn by a viewer that runs with the display probe preloaded.
struct DrawnFrame {
    std::chrono::steady_clock::time_point end;  // when display returned
    std::chrono::microseconds wall{};           // time spent in display
    std::chrono::microseconds cpu{};            // the viewer's CPU time meanwhile, all threads
    long faults = 0;                            // minor page faults meanwhile
};

// The display probe (display_probe.cpp) and the frames that it logs. A
// viewer started with environment() draws as ever and logs every frame.
class FrameLog {
public:
    // After this signal the viewer stops itself (SIGSTOP) once its next
    // frame is on the screen.
    static constexpr int kStopAfterFrameSignal = SIGUSR1;

    // The log is a file in `dir`.
    explicit FrameLog(const std::string& dir);
    std::vector<std::string> environment() const;
    // Every frame drawn so far, oldest first.
    std::vector<DrawnFrame> frames() const;

private:
    std::string path_;
};

// The animation program's side of the channel, written by hand: one code at
// a time, each sent once the viewer has answered the one before.
class Writer {
public:
    explicit Writer(testsupport::RunDir& dir);

    // Waits (with a generous deadline) until the viewer has answered.
    [[nodiscard]] bool idle() const;
    [[nodiscard]] bool send(uint8_t code, const std::vector<queueEntry>& entries = {});
    [[nodiscard]] bool light(uint8_t x, uint8_t y, uint8_t z, storeColor color);
    [[nodiscard]] bool release();

private:
    uint8_t* record_;
};

}  // namespace xsession
