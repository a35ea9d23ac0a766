// cubeshow [12]: plays a fixed show of numbered scenes on a cube of edge 12,
// paced by sleeps. Without the single argument "12" it plays only the warm-up.

#include "lbox/lBox.h"
#include "demos/patterns.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kShowArgument = "12";
constexpr uint8_t kWarmUpEdge = 5;

constexpr unsigned long kWarmUpHoldMs = 250;
constexpr unsigned long kFaceHoldMs = 220;
constexpr unsigned long kStepHoldMs = 300;
constexpr unsigned long kLastFlashHoldMs = 7000;
constexpr unsigned long kGreenHoldMs = 250;
constexpr int kFlashes = 4;

// Scene 32 draws nothing: it sends the loop back to scene 10 twice, then on to
// scene 33, so scenes 10 to 31 play three times in all.
constexpr uint8_t kRepeatScene = 32;
constexpr uint8_t kRepeatFrom = 10;
constexpr uint8_t kAfterRepeats = 33;
constexpr int kRepeatsBack = 2;
constexpr uint8_t kLastScene = 52;

void showFor(lBox* box, bool keep, unsigned long ms)
{
    box->releaseFrame(keep);
    box->msSleep(ms);
}

// Shows the frame built so far for `ms`, then a blank one for `blankMs`.
void showThenBlank(lBox* box, unsigned long ms, unsigned long blankMs)
{
    showFor(box, false, ms);
    clearPallets(box);
    showFor(box, false, blankMs);
}

// The blue 10 by 10 slab at one x of scenes 5 to 9.
void slab(lBox* box, uint8_t x)
{
    fillBox(box, x, x, 0, 9, 0, 9, kBlue);
}

// The purple 5 by 5 column at x 7-11, y 0-4 of scenes 10 to 31 and 38 to 49.
void purpleColumn(lBox* box, uint8_t z0, uint8_t z1)
{
    fillBox(box, 7, kShowTop, 0, 4, z0, z1, kPurple);
}

void playScene(lBox* box, uint8_t scene)
{
    constexpr uint8_t t = kShowTop;
    switch (scene) {
    case 0:
    case 2:
        fillBox(box, 0, t, 0, t, t, t, kBlue);
        showFor(box, false, kFaceHoldMs);
        clearPallets(box);
        break;
    case 1:  // nothing
        break;
    case 3:
    case 4:
        drawControl(box);
        showFor(box, false, kFaceHoldMs);
        clearPallets(box);
        break;
    case 5:
        slab(box, 0);
        showFor(box, false, kStepHoldMs);
        break;
    case 6:
    case 7:
    case 8:
        slab(box, scene - 5);
        showFor(box, true, kStepHoldMs);
        break;
    case 9:
        slab(box, 4);
        showFor(box, true, kStepHoldMs);
        clearPallets(box);
        break;
    case 10:
    case 11:
    case 12:
    case 13:
    case 14:
    case 15:
    case 16:
    case 17:
    case 18:
        purpleColumn(box, 21 - scene, 21 - scene);  // z 11 down to 3
        showFor(box, true, kStepHoldMs);
        break;
    case 19:
        purpleColumn(box, 2, 2);
        showFor(box, true, kStepHoldMs);
        clearPallets(box);
        break;
    case 20:
        purpleColumn(box, 1, 10);
        showFor(box, true, kStepHoldMs);
        clearPallets(box);
        break;
    case 21:
        purpleColumn(box, 0, 9);
        showFor(box, true, kStepHoldMs);
        clearPallets(box);
        break;
    case 22:
    case 23:
    case 24:
    case 25:
    case 26:
    case 27:
    case 29:
    case 30:
        purpleColumn(box, 0, scene - 22);
        showFor(box, true, kStepHoldMs);
        break;
    case 28:
        for (int pass = 0; pass < 5; ++pass)
            purpleColumn(box, 0, 6);
        showFor(box, true, kStepHoldMs);
        break;
    case 31:
        purpleColumn(box, 0, 9);
        showFor(box, true, kStepHoldMs);
        clearPallets(box);
        break;
    case 33:
        one(box, 10);
        break;
    case 34:
    case 35:
        fillBox(box, 1, 10, 0, 4, 0, 9, kRed);
        showThenBlank(box, kStepHoldMs, kStepHoldMs);
        break;
    case 36:
        for (int flash = 0; flash < kFlashes; ++flash) {
            drawZigzag(box, flash % 2);
            showThenBlank(box, flash == kFlashes - 1 ? kLastFlashHoldMs : kStepHoldMs, kStepHoldMs);
        }
        break;
    case 37:
        fillBox(box, 0, 4, 0, 4, 0, 9, kBlue);
        showFor(box, false, kStepHoldMs);
        break;
    case 38:
    case 39:
    case 40:
    case 41:
    case 42:
    case 43:
    case 44:
    case 45:
    case 46:
    case 47:
    case 48:
        purpleColumn(box, 49 - scene, 49 - scene);  // z 11 down to 1
        showFor(box, true, kStepHoldMs);
        break;
    case 49:
        purpleColumn(box, 0, 0);
        showFor(box, true, kStepHoldMs);
        clearPallets(box);
        break;
    case 50:
        one(box, t + 1);
        break;
    case 51:
    case 52:
        fillBox(box, 0, t, 0, t, 0, t, kGreen);
        showThenBlank(box, kGreenHoldMs, kGreenHoldMs);
        break;
    }
}

}  // namespace

int main(int argc, char* argv[])
{
    // The handle is made here for edge 5 and asked for again with 12 below. It
    // is a singleton and keeps its first sizes, which the show never reads;
    // autowrite passes every coordinate on unchecked, so the show's writes up
    // to 11 still reach an edge-12 viewer.
    lBox* box = lBox::getInstance(kWarmUpEdge, kWarmUpEdge, kWarmUpEdge);
    blankStep(box, kWarmUpHoldMs);
    blankStep(box, kWarmUpHoldMs);

    int repeats = 0;
    if (argc != 2 || std::strcmp(argv[1], kShowArgument) != 0)
        return 0;
    box = lBox::getInstance(kShowEdge, kShowEdge, kShowEdge);

    uint8_t scene = 0;
    for (;;) {
        if (scene == kRepeatScene) {
            scene = repeats++ < kRepeatsBack ? kRepeatFrom : kAfterRepeats;
            continue;
        }
        playScene(box, scene);
        box->clearSystem();
        if (++scene > kLastScene)
            std::exit(0);
    }
}
