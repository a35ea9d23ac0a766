#pragma once

// How every tool of the toolkit stops: Ctrl-C (SIGINT), SIGTERM, or the
// terminal going away (SIGHUP) asks it to end cleanly. The signals are
// blocked in every thread and taken by one thread of a StopOnSignal's own,
// so no handler runs in the middle of the tool's work and every wait of the
// tool can end at once.
//
//   int main()
//   {
//       signals::StopOnSignal stop;   // before any other thread starts
//       while (!stop.requested()) {
//           work();
//           stop.sleepUntil(next);    // false once a stop is asked for
//       }
//   }

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <functional>
#include <mutex>
#include <thread>

namespace ledcube::signals {

// SIGINT, SIGTERM and SIGHUP.
sigset_t stopSignals();
bool isStopSignal(int signal);

class StopOnSignal {
public:
    using Clock = std::chrono::steady_clock;

    // Told of the signal that asks for the stop, on the signal thread, as it
    // arrives: for a host whose own code must hear of it at once.
    using Notice = std::function<void(int signal)>;

    // Blocks the stop signals in the calling thread, and so in every thread
    // it starts later: make it on the main thread before any other starts.
    explicit StopOnSignal(Notice onStop = {});
    ~StopOnSignal();
    StopOnSignal(const StopOnSignal&) = delete;
    StopOnSignal& operator=(const StopOnSignal&) = delete;

    bool requested() const { return signal_.load(std::memory_order_acquire) != 0; }
    // The signal that asked for the stop; kAskedFromWithin after request().
    int signal() const { return signal_.load(std::memory_order_acquire); }
    static constexpr int kAskedFromWithin = -1;

    // Asks for the stop from inside the tool, from any thread.
    void request();
    // Until a stop is asked for.
    void wait() const;
    // Until `deadline` or a stop, whichever comes first; false on a stop.
    bool sleepUntil(Clock::time_point deadline) const;

private:
    void take();
    void raise(int signal);

    // Written once by whoever asks first (the signal thread or request()),
    // read by every thread; release/acquire so that what the asker did before
    // is seen by those who find the flag raised.
    std::atomic<int> signal_{0};
    mutable std::mutex mutex_;
    mutable std::condition_variable raised_;
    Notice onStop_;
    // Set by the destructor, read by the signal thread when it wakes; the
    // pthread_kill that wakes it orders the two.
    std::atomic<bool> closing_{false};
    std::thread taker_;
};

}  // namespace ledcube::signals

namespace signals = ledcube::signals;
