#include "common/signals.h"

#include <pthread.h>

namespace ledcube::signals {

sigset_t stopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&set, signal);
    return set;
}

bool isStopSignal(int signal)
{
    const sigset_t set = stopSignals();
    return sigismember(&set, signal) == 1;
}

StopOnSignal::StopOnSignal(Notice onStop) : onStop_(std::move(onStop))
{
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    taker_ = std::thread([this] { take(); });
}

StopOnSignal::~StopOnSignal()
{
    closing_.store(true, std::memory_order_relaxed);
    pthread_kill(taker_.native_handle(), SIGTERM);
    taker_.join();
}

void StopOnSignal::request()
{
    raise(kAskedFromWithin);
}

void StopOnSignal::wait() const
{
    std::unique_lock lock(mutex_);
    raised_.wait(lock, [this] { return requested(); });
}

bool StopOnSignal::sleepUntil(Clock::time_point deadline) const
{
    std::unique_lock lock(mutex_);
    return !raised_.wait_until(lock, deadline, [this] { return requested(); });
}

// The signal thread: every stop signal sent to the process ends up here, the
// first one raises the flag, and the rest are swallowed until the object goes.
void StopOnSignal::take()
{
    const sigset_t set = stopSignals();
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0)
            continue;
        if (closing_.load(std::memory_order_relaxed))
            return;
        if (onStop_ && !requested())
            onStop_(signal);
        raise(signal);
    }
}

void StopOnSignal::raise(int signal)
{
    // Notified under the lock: a waiter that wakes may destroy the object
    // at once, so nothing of it may be touched once the lock is let go.
    std::lock_guard lock(mutex_);
    int none = 0;
    if (signal_.compare_exchange_strong(none, signal, std::memory_order_acq_rel))
        raised_.notify_all();
}

}  // namespace ledcube::signals
