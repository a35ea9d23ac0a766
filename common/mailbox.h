#pragma once

// A mailbox that holds one value: the newest. One thread puts values in as
// they come, another takes the newest when it is ready for one; a value
// that nobody took before the next came is dropped, never queued, so a slow
// taker never falls behind.
//
//   Mailbox<Frame> newest;
//   newest.put([&](Frame& frame) { frame = made; });      // the maker
//   Frame shown;
//   if (newest.take(shown, deadline)) show(shown);       // the taker

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <utility>

template <typename T>
class Mailbox {
public:
    using Clock = std::chrono::steady_clock;

    explicit Mailbox(T initial = T{}) : value_(std::move(initial)) {}

    // Lets `write` fill the value in place, under the lock, and wakes the
    // taker. A value that was still waiting is dropped.
    template <typename Write>
    void put(Write&& write)
    {
        {
            std::lock_guard hold(lock_);
            if (waiting_)
                dropped_.fetch_add(1, std::memory_order_relaxed);
            write(value_);
            waiting_ = true;
        }
        arrived_.notify_one();
    }

    // Waits until a value that has not been taken waits, or `until` passes
    // (a time already past only looks); copies it to `out` and returns true,
    // or returns false and leaves `out` as it was.
    bool take(T& out, Clock::time_point until)
    {
        std::unique_lock hold(lock_);
        if (!arrived_.wait_until(hold, until, [&] { return waiting_; }))
            return false;
        out = value_;
        waiting_ = false;
        return true;
    }

    // How many values were dropped unseen.
    uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

private:
    std::mutex lock_;
    std::condition_variable arrived_;
    T value_;
    bool waiting_ = false;
    // Written under the lock by put, read by anyone for a count: relaxed, a
    // tally that orders nothing.
    std::atomic<uint64_t> dropped_{0};
};
