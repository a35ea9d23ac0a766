#pragma once

// The test side of the channel: a thread that polls the mapped record like
// the viewer does, paced as the viewer is (fast too under CUBE_CHANNEL=fast),
// answers every code with idle and records what it saw.

#include "tests/lbox/call_mix.h"
#include "lbox/channel.h"
#include "lbox/pacing.h"

#include <array>
#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

class RecordingReader {
public:
    using Record = std::array<uint8_t, channel::kRecordSize>;

    // slowEvery: when not 0, about one answer in slowEvery is held back by up
    // to 200 microseconds, so that the writer meets a busy record often.
    explicit RecordingReader(uint8_t* record, unsigned slowEvery = 0)
        : record_(record), slowEvery_(slowEvery), thread_([this] { run(); })
    {
    }

    ~RecordingReader()
    {
        // Stop serving: the thread finishes and the record stays as it is.
        stop_.store(true, std::memory_order_relaxed);
        hold_.store(false, std::memory_order_relaxed);
        thread_.join();
    }

    // While held, codes are left unanswered in the record (a stalled viewer).
    void hold(bool on) { hold_.store(on, std::memory_order_relaxed); }

    std::vector<Record> codes() const
    {
        std::lock_guard lock(mutex_);
        return codes_;
    }

    std::size_t count() const
    {
        std::lock_guard lock(mutex_);
        return codes_.size();
    }

    bool waitForCount(std::size_t n, std::chrono::milliseconds deadline) const
    {
        const auto end = std::chrono::steady_clock::now() + deadline;
        while (count() < n) {
            if (std::chrono::steady_clock::now() >= end)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    // The codes flattened into the tokens of callmix::expectedEvents; any code
    // the library never sends shows up as "?<code>".
    std::vector<std::string> events() const
    {
        std::vector<std::string> out;
        for (const Record& r : codes()) {
            const uint8_t code = r[0];
            if (code == channel::kStatusClear) {
                out.push_back("C");
            } else if (code == channel::kStatusReleaseKeep || code == channel::kStatusReleaseNoKeep) {
                out.push_back(code == channel::kStatusReleaseKeep ? "R1" : "R0");
            } else if (code > channel::kStatusBatchBase) {
                for (std::size_t k = 0; k < std::size_t{code} - channel::kStatusBatchBase; ++k)
                    out.push_back(callmix::writeEvent(callmix::idOf(channel::unpackEntry(r.data(), k))));
            } else {
                out.push_back(std::string("?").append(std::to_string(code)));
            }
        }
        return out;
    }

private:
    void run()
    {
        std::minstd_rand random(12345);
        pacing::Pacer pacer;
        while (!stop_.load(std::memory_order_relaxed)) {
            const bool answer = channel::loadStatus(record_) != channel::kStatusIdle &&
                                !hold_.load(std::memory_order_relaxed);
            if (answer) {
                Record copy;
                std::copy(record_, record_ + channel::kRecordSize, copy.begin());
                {
                    std::lock_guard lock(mutex_);
                    codes_.push_back(copy);
                }
                if (slowEvery_ != 0 && random() % slowEvery_ == 0)
                    std::this_thread::sleep_for(std::chrono::microseconds(random() % 200));
                channel::storeStatus(record_, channel::kStatusIdle);
            }
            pacer.pause(answer);
        }
    }

    uint8_t* record_;
    unsigned slowEvery_;
    // Test thread writes them, the reader thread polls them; relaxed is enough
    // because they guard no data of their own.
    std::atomic<bool> stop_{false};
    std::atomic<bool> hold_{false};
    mutable std::mutex mutex_;
    std::vector<Record> codes_;
    std::thread thread_;
};
