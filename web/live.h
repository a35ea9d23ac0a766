#pragma once

// What the page sees live: each frame on show, packed as the WebSocket sends
// it, how many come a second, and the facts of this run that the state
// tells (the edge, the brightness, the outputs, the clients).
//
// The frame message, one binary WebSocket message per frame on show:
//
//   0   1        version, kFrameVersion
//   1   1        N, the cube's edge
//   2   4        the frame number, big-endian: 0 for the unlit cube the
//                receiver starts from, then 1 for the first release, and up
//   6   N³ × 3   R, G, B; LED (x, y, z) at 6 + 3·(x + N·(y + N·z))
//
// The LEDs go in the strip's default order, so a frame and a DDP or E1.31
// payload of the same picture are the same bytes; a component v goes as
// round(255·clamp(v, 0, 1)), and the viewer's unlit grey as 0, 0, 0.

#include "lbox/lBox.h"
#include "wiring/pixels.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace ledcube::web {

inline constexpr uint8_t kFrameVersion = 1;
inline constexpr std::size_t kFrameHeaderSize = 6;
// The frame number of a client that has had none yet.
inline constexpr uint32_t kNoFrame = UINT32_MAX;

// The frame message for `table` (edge³ entries, x slowest) into `out`, after
// `headroom` bytes that the caller keeps for its own use.
void packFrame(const storeColor* table, const strip::Wiring& order, uint32_t number, std::size_t headroom,
               std::vector<uint8_t>& out);

class Live {
public:
    using Clock = std::chrono::steady_clock;

    explicit Live(int edge);

    int edge() const { return edge_; }

    // On the receiver thread, at each release: packs the frame and runs
    // onFrame, which wakes the loop.
    void shown(const storeColor* table);
    std::function<void()> onFrame;

    // On the loop thread: copies the newest frame message into `out` (after
    // `headroom` bytes) when it is newer than frame `have`, and returns its
    // number; else returns `have`.
    uint32_t newest(uint32_t have, std::size_t headroom, std::vector<uint8_t>& out) const;

    // Frames a second, over the last whole second; on the loop thread. True
    // when the figure changed.
    bool measure(Clock::time_point now);
    double fps() const { return fps_; }

    // Brightness for every output and for the page, from 0 to 1; the loop
    // thread sets it, and onBrightness passes it to the outputs.
    double brightness() const { return brightness_; }
    void setBrightness(double brightness);
    std::function<void(double)> onBrightness;

    // The facts the state tells; set before the server starts, but for the
    // clients, which the server counts.
    std::vector<std::string> outputs;
    bool program = false;  // a PROGRAM was given, so {"program": true} plays
    int clients = 0;

private:
    const int edge_;
    const strip::Wiring order_;
    mutable std::mutex lock_;
    std::vector<uint8_t> message_;  // under lock_
    uint32_t number_ = 0;           // under lock_
    // The receiver thread counts the frames; the loop thread reads the count
    // once a second. Relaxed: a count a frame behind changes nothing.
    std::atomic<uint64_t> frames_{0};
    uint64_t framesAtMark_ = 0;
    Clock::time_point mark_ = Clock::now();
    double fps_ = 0;
    double brightness_ = 1;
};

}  // namespace ledcube::web

namespace web = ledcube::web;
