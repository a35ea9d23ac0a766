#include "record/timeline.h"

#include <cmath>

namespace timeline {

uint64_t Timing::outputUs(uint64_t recordedUs) const
{
    return static_cast<uint64_t>(std::llround(static_cast<double>(recordedUs - firstUs) / speed));
}

Timing timingOf(const recording::Recording& show, double speed, uint64_t holdUs)
{
    Timing timing{.speed = speed, .holdUs = holdUs};
    for (const recording::Item& item : show.items)
        if (item.code == channel::kStatusReleaseKeep || item.code == channel::kStatusReleaseNoKeep) {
            if (timing.releases++ == 0)
                timing.firstUs = item.timeUs;
            timing.lastUs = item.timeUs;
        }
    return timing;
}

Player::Player(const recording::Recording& show) : items_(show.items)
{
    resetReceiver();
    frameReleasedHook = [this](const storeColor*) { released_ = true; };
}

Player::~Player()
{
    frameReleasedHook = nullptr;
}

bool Player::next()
{
    while (at_ < items_.size()) {
        const recording::Item& item = items_[at_++];
        for (std::size_t k = 0; k < item.entryCount; ++k)
            channel::packEntry(record_, k, item.entries[k]);
        channel::storeStatus(record_, item.code);
        released_ = false;
        handleRecord(record_);
        if (released_) {
            timeUs_ = item.timeUs;
            return true;
        }
    }
    return false;
}

}  // namespace timeline
