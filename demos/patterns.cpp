#include "demos/patterns.h"

namespace {

constexpr unsigned long kControlHoldMs = 500;
constexpr unsigned long kOneHoldMs = 600;
constexpr unsigned long kPalletHoldMs = 15;

// The columns of `one` are 5 by 5 and stand side by side along x: the blue
// one at x 1-5 (always ten layers), the purple one at x 6-10; both at y 0-4.
constexpr uint8_t kColumnWidth = 5;
constexpr uint8_t kBlueColumnX0 = 1;
constexpr uint8_t kBlueColumnHeight = 10;
constexpr uint8_t kPurpleColumnX0 = kBlueColumnX0 + kColumnWidth;

}  // namespace

void fillBox(lBox* box, uint8_t x0, uint8_t x1, uint8_t y0, uint8_t y1, uint8_t z0, uint8_t z1,
             storeColor color)
{
    // int counters, so that a bound of 255 ends the loop instead of wrapping.
    for (int z = z0; z <= z1; ++z)
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x)
                box->autowrite(static_cast<uint8_t>(x), static_cast<uint8_t>(y), static_cast<uint8_t>(z),
                               color);
}

void drawZigzag(lBox* box, uint8_t startLevel)
{
    uint8_t level = startLevel;
    for (uint8_t x = 0; x <= kShowTop; ++x) {
        for (uint8_t y = 0; y <= kShowTop; ++y)
            box->autowrite(x, y, level, kRed);
        level = level == 0 ? 1 : 0;
    }
}

void drawControl(lBox* box)
{
    // One run of twelve writes per edge of the cube; kAlong marks the axis
    // that the run steps along, from 0 to kShowTop.
    struct Edge {
        int x, y, z;
    };
    constexpr int kAlong = -1;
    constexpr int t = kShowTop;
    constexpr Edge kEdges[] = {
        {kAlong, 0, 0}, {kAlong, t, 0}, {0, kAlong, 0}, {t, kAlong, 0},
        {kAlong, 0, t}, {kAlong, t, t}, {0, kAlong, t}, {t, kAlong, t},
        {0, 0, kAlong}, {0, t, kAlong}, {t, t, kAlong}, {t, 0, kAlong},
    };
    for (const Edge& edge : kEdges) {
        for (int i = 0; i <= t; ++i) {
            const auto at = [i](int fixed) { return static_cast<uint8_t>(fixed == kAlong ? i : fixed); };
            box->autowrite(at(edge.x), at(edge.y), at(edge.z), kBlue);
        }
    }
    box->releaseFrame(false);
    box->msSleep(kControlHoldMs);
}

void one(lBox* box, uint8_t height)
{
    fillBox(box, kBlueColumnX0, kBlueColumnX0 + kColumnWidth - 1, 0, kColumnWidth - 1, 0,
            kBlueColumnHeight - 1, kBlue);
    // Unlike fillBox, this column runs y innermost and x in the middle.
    for (uint8_t z = 0; z < height; ++z)
        for (uint8_t x = kPurpleColumnX0; x < kPurpleColumnX0 + kColumnWidth; ++x)
            for (uint8_t y = 0; y < kColumnWidth; ++y)
                box->autowrite(x, y, z, kPurple);
    box->releaseFrame(false);
    box->msSleep(kOneHoldMs);
    clearPallets(box);
}

void blankStep(lBox* box, unsigned long ms)
{
    box->clear();
    box->releaseFrame(false);
    box->msSleep(ms);
}

void clearPallets(lBox* box)
{
    blankStep(box, kPalletHoldMs);
    blankStep(box, kPalletHoldMs);
}
