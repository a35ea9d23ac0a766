#include "record/timeline.h"

#include "common/cli.h"
#include "common/headless.h"
#include "common/process.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <string>

namespace timeline {

uint64_t Timing::outputUs(uint64_t recordedUs) const
{
    return static_cast<uint64_t>(std::llround(static_cast<double>(recordedUs - firstUs) / speed));
}

Timing timingOf(const recording::Recording& show, double speed, uint64_t holdUs)
{
    Timing timing{.speed = speed, .holdUs = holdUs};
    for (const recording::Item& item : show.items)
        if (recording::isRelease(item.code)) {
            if (timing.releases++ == 0)
                timing.firstUs = item.timeUs;
            timing.lastUs = item.timeUs;
        }
    return timing;
}

recording::Recording loadShow(std::string_view base, const char* path, char** argv)
{
    recording::Recording show;
    std::string error;
    if (!recording::load(path, show, error))
        process::fail(error);
    if (std::find(std::begin(cli::kBuiltEdges), std::end(cli::kBuiltEdges), show.edge) == std::end(cli::kBuiltEdges))
        process::fail(std::string(path) + ": recorded on a cube of edge " + std::to_string(show.edge) +
                      ", and this build serves the edges " + cli::builtEdges() + " (add it to CUBE_EDGES)");
    headless::serveEdge(base, show.edge, argv);
    if (timingOf(show, 1.0, 0).releases == 0)
        process::fail(std::string(path) + ": no frame is ever released in it, so there is nothing to show");
    return show;
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
