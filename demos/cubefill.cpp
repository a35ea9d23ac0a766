// cubefill [12]: fills the cube layer by layer in twelve green and red sweeps.
// The edge is 12 with the single argument "12", 5 otherwise, and must match the
// viewer's build.

#include "lbox/lBox.h"
#include "demos/patterns.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace {

constexpr const char* kBigArgument = "12";
constexpr uint8_t kBigEdge = 12;
constexpr uint8_t kSmallEdge = 5;

constexpr unsigned long kOpeningBlankMs = 250;
constexpr unsigned long kClosingBlankMs = 100;
constexpr unsigned long kLayerHoldMs = 200;
constexpr unsigned long kLongPauseMs = 750;
constexpr unsigned long kShortPauseMs = 200;

struct Sweep {
    std::optional<unsigned long> pauseBeforeMs;
    storeColor color;
};

constexpr Sweep kSweeps[] = {
    {std::nullopt, kGreen},  {kLongPauseMs, kGreen},  {kLongPauseMs, kRed},   {kShortPauseMs, kGreen},
    {kShortPauseMs, kRed},   {kShortPauseMs, kGreen}, {kShortPauseMs, kRed},  {kShortPauseMs, kGreen},
    {kLongPauseMs, kGreen},  {kLongPauseMs, kGreen},  {kLongPauseMs, kRed},   {kLongPauseMs, kRed},
};

// Lights the cube one layer at a time from the bottom. Each layer is released
// with keep, so it shows on top of the layers before it; the clear after it
// starts the next layer from a blank table.
void layerSweep(lBox* box, storeColor color)
{
    const auto last = [box](uint8_t axis) { return static_cast<uint8_t>(box->getSize(axis) - 1); };
    for (uint8_t z = 0; z < box->getSize(2); ++z) {
        fillBox(box, 0, last(0), 0, last(1), z, z, color);
        box->releaseFrame(true);
        box->msSleep(kLayerHoldMs);
        box->clear();
    }
}

// Blanks the full cube left by a sweep: the table just cleared goes on show,
// then the other one is cleared too, so the next sweep starts from nothing.
void pause(lBox* box, unsigned long ms)
{
    box->releaseFrame(false);
    box->msSleep(ms);
    box->clear();
    box->releaseFrame(false);
}

void drawSmall(lBox* box)
{
    for (const Sweep& sweep : kSweeps) {
        if (sweep.pauseBeforeMs)
            pause(box, *sweep.pauseBeforeMs);
        layerSweep(box, sweep.color);
    }
}

// The same routine under the edge-12 name: every bound comes from getSize.
void drawBigg(lBox* box)
{
    drawSmall(box);
}

}  // namespace

int main(int argc, char* argv[])
{
    const bool big = argc == 2 && std::strcmp(argv[1], kBigArgument) == 0;
    const uint8_t edge = big ? kBigEdge : kSmallEdge;
    lBox* box = lBox::getInstance(edge, edge, edge);

    blankStep(box, kOpeningBlankMs);
    blankStep(box, kOpeningBlankMs);
    if (big)
        drawBigg(box);
    else
        drawSmall(box);
    blankStep(box, kClosingBlankMs);
    blankStep(box, kClosingBlankMs);
    std::exit(0);
}
