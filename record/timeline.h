#pragma once

// A recording as a show: played through the viewer's own receiver code, one
// frame release at a time, with the time at which each release shows. From
// the first release on, each release's frame lasts until the next one; the
// last holds for a time of its own; everything runs `speed` times as fast.
// cuberender draws these frames, cubeexport writes them for players.
//
//   const timeline::Timing timing = timeline::timingOf(show, speed, holdUs);
//   timeline::Player player(show);
//   while (player.next())
//       use(player.shown(), timing.outputUs(player.timeUs()));
//   // the last frame ends at timing.endUs()
//
// The receiver's tables are the process's: one Player at a time.
//
// Like the receiver, the tools built on it serve one cube edge each:
//
//   const recording::Recording show = timeline::loadShow("cuberender", path, argv);

#include "record/recording.h"
#include "viewer/core1Read.h"

#include <cstdint>
#include <string_view>
#include <vector>

namespace timeline {

// How long the last frame holds (--hold) unless told, and at most.
inline constexpr unsigned long kDefaultHoldMs = 1000;
inline constexpr unsigned long kMaxHoldMs = 3600 * 1000;

struct Timing {
    uint64_t firstUs = 0;  // of the first release, as recorded
    uint64_t lastUs = 0;
    std::size_t releases = 0;
    double speed = 1.0;
    uint64_t holdUs = 0;

    // When a code recorded at recordedUs shows, counted from the first release.
    uint64_t outputUs(uint64_t recordedUs) const;
    uint64_t endUs() const { return outputUs(lastUs) + holdUs; }
};

Timing timingOf(const recording::Recording& show, double speed, uint64_t holdUs);

// The recording at `path`, for the tool `base`: fails when it cannot be read,
// when this build serves no cube of its edge, or when it releases no frame.
// When another build serves its edge, the process becomes that build
// (headless::serveEdge) with the same arguments.
recording::Recording loadShow(std::string_view base, const char* path, char** argv);

class Player {
public:
    explicit Player(const recording::Recording& show);
    ~Player();
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    // Plays on to the next release: false at the end of the recording.
    bool next();
    // The recorded time of the release, and the frame on show after it.
    uint64_t timeUs() const { return timeUs_; }
    const storeColor* shown() const { return ptCurrColorTable.load(std::memory_order_relaxed); }

private:
    // Set by the frame hook, which handleRecord runs on this same thread.
    bool released_ = false;
    const std::vector<recording::Item>& items_;
    std::size_t at_ = 0;
    uint64_t timeUs_ = 0;
    alignas(8) uint8_t record_[channel::kRecordSize] = {};
};

}  // namespace timeline
