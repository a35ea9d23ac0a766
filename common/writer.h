#pragma once

// What the toolkit's own writers of the channel (cubefx and every program on
// lPlayEffects, cubelisten, cubereplay) do around the library, which waits
// for the receiver without end:
// - run outside a run directory, they say where they looked for the channel
//   and how to run them, before the library is started;
// - when a code has waited in the record unanswered for kUnansweredNotice,
//   they say once that nothing serves the channel and how to start a
//   receiver, and say so again when one answers;
// - Ctrl-C, SIGTERM or SIGHUP ends them within about a second whatever the
//   channel does: the tool stops between frames as usual. When the record
//   has gone unanswered for kStopGrace after a stop, the guard answers it
//   as a receiver that shows nothing would, so that a tool blocked in the
//   library goes on to its stop and ends as any program does: the library
//   leaves the record idle and says its closing line.
//
//   writer::Guard guard(name, edge, argc, argv);   // before lBox::getInstance
//   while (!guard.stopRequested()) {
//       writer.show(frame);
//       guard.sleepUntil(next);
//   }

#include "common/signals.h"
#include "lbox/channel.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace ledcube::writer {

using namespace std::chrono_literals;

// Where an animation program finds the channel: one directory up.
inline constexpr const char* kChannelPath = "../shared_buffer.txt";
inline constexpr auto kUnansweredNotice = 2s;
// After a stop, how long the record must have gone unanswered before the
// guard answers it itself.
inline constexpr auto kStopGrace = 250ms;

class Guard {
public:
    using Clock = std::chrono::steady_clock;

    // Starts the stop signals' thread and watches the channel. Fails
    // (process::Failure) saying where it looked and how to run the tool
    // under cubeplay when the channel cannot serve. `argv` is the tool's
    // command line, shown again in that advice. `onStop` is told of a stop
    // signal as it arrives, on the signals' thread.
    Guard(std::string name, int edge, int argc, char** argv, signals::StopOnSignal::Notice onStop = {});
    ~Guard();
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

    bool stopRequested() const { return stop_.requested(); }
    // The signal that asked for the stop, 0 before one did.
    int stopSignal() const { return stop_.signal(); }
    // Until `deadline` or a stop; false on a stop.
    bool sleepUntil(Clock::time_point deadline) const { return stop_.sleepUntil(deadline); }

private:
    void watch();
    // One look at the record; true once the guard is to answer it.
    bool look(Clock::time_point now);
    // Answers every code at a receiver's pace until the guard goes.
    void drain(std::unique_lock<std::mutex>& lock);

    std::string name_;
    std::string channelFile_;    // the channel's full path, for messages
    std::string underCubeplay_;  // the tool's command line under cubeplay
    std::string advice_;         // how to start a receiver
    uint8_t* record_;
    signals::StopOnSignal stop_;
    // The watch thread's own view of the record.
    uint8_t seen_ = channel::kStatusIdle;  // the status byte at the last look
    Clock::time_point answered_;
    Clock::time_point stoppedAt_{};
    bool noticed_ = false;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool closing_ = false;  // under mutex_
    std::thread watcher_;
};

}  // namespace ledcube::writer

namespace writer = ledcube::writer;
