#pragma once

// Pacing of the two polling loops of the frame channel: the library's pusher
// and the viewer's receiver both sleep kPollIntervalUs between passes.
//
// How long such a sleep really lasts is up to the kernel's timer slack for
// the thread: at the default 50 us a 10 us sleep takes about 80 us, which
// makes every handshake slow; at 1 ns it takes about 30 us, but a thread that
// polls that often burns a good part of a core even when nothing is sent. So
// the slack follows the traffic: tight while codes flow, wide once the channel
// has been quiet for kQuietAfter. A wide slack only delays the first code
// after a silence, by at most about kQuietSlackNs on each side.

#include <chrono>
#include <sys/prctl.h>
#include <unistd.h>

namespace pacing {

inline constexpr useconds_t kPollIntervalUs = 10;
inline constexpr unsigned long kFlowingSlackNs = 1;
inline constexpr unsigned long kQuietSlackNs = 1'000'000;
// Well above kQuietSlackNs, so that a partner still waking from a wide sleep
// does not count as a silence.
inline constexpr std::chrono::nanoseconds kQuietAfter = std::chrono::milliseconds(5);

// One per polling thread, created and used on that thread only: the timer
// slack belongs to the calling thread.
class Pacer {
public:
    // A new thread has seen no traffic yet.
    Pacer() { setSlack(kQuietSlackNs); }

    // Ends a pass of the loop: sleeps the poll interval, with the slack set by
    // whether this pass moved the channel (stored or handled a code). Costs a
    // system call only when the traffic starts or stops, and a clock read at
    // most while it flows.
    void pause(bool moved)
    {
        if (moved) {
            countingQuiet = false;
            if (!flowing) {
                flowing = true;
                setSlack(kFlowingSlackNs);
            }
        } else if (flowing) {
            const auto now = std::chrono::steady_clock::now();
            if (!countingQuiet) {
                countingQuiet = true;
                quietSince = now;
            } else if (now - quietSince >= kQuietAfter) {
                flowing = false;
                setSlack(kQuietSlackNs);
            }
        }
        usleep(kPollIntervalUs);
    }

    Pacer(const Pacer&) = delete;
    Pacer& operator=(const Pacer&) = delete;

private:
    // A refused change leaves the slack as it was, which costs only speed or
    // idle CPU, never a code: so the result is not checked.
    static void setSlack(unsigned long ns) { prctl(PR_SET_TIMERSLACK, ns); }

    bool flowing = false;
    // While flowing: whether the last pass moved nothing, and if so when the
    // current run of such passes began.
    bool countingQuiet = false;
    std::chrono::steady_clock::time_point quietSince;
};

}  // namespace pacing
