// The viewer's windowless arithmetic: the drawing walk for both cube edges,
// the projection width, the frame-rate figure and the camera drag steps.

#include "viewer/viewmath.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <set>
#include <string>

namespace {

using viewmath::Led;
using viewmath::Move;

struct Row {
    int k;
    Move move;
    Led led;
};

template <int N>
void expectRows(const std::vector<Row>& rows)
{
    constexpr auto moves = viewmath::walkMoves<N>();
    constexpr auto leds = viewmath::walkLeds<N>();
    for (const Row& row : rows) {
        SCOPED_TRACE("row " + std::to_string(row.k));
        EXPECT_EQ(moves[row.k], row.move);
        EXPECT_EQ(leds[row.k], row.led);
    }
}

TEST(Walk, TellingRowsOfTheBigCube)
{
    static_assert(viewmath::kWalkSteps<12> == 1727);
    expectRows<12>({{0, {-3, -3, -3}, {0, 0, 0}},
                    {1, {0.5f, 0, 0}, {1, 0, 0}},
                    {12, {-5.5f, 0.5f, 0}, {0, 1, 0}},
                    {144, {-5.5f, -5.5f, 0.5f}, {0, 0, 1}},
                    {941, {0.5f, 0, 0}, {5, 6, 6}},
                    {942, {1.0f, 0, 0}, {7, 6, 6}},
                    {1726, {0.5f, 0, 0}, {11, 11, 11}}});
}

TEST(Walk, TellingRowsOfTheSmallCube)
{
    static_assert(viewmath::kWalkSteps<5> == 124);
    expectRows<5>({{0, {-1, -1, -1}, {0, 0, 0}},
                   {5, {-2, 0.5f, 0}, {0, 1, 0}},
                   {25, {-2, -2, 0.5f}, {0, 0, 1}},
                   {61, {0.5f, 0, 0}, {1, 2, 2}},
                   {62, {1.0f, 0, 0}, {3, 2, 2}},
                   {123, {0.5f, 0, 0}, {4, 4, 4}}});
}

// Summing the moves from the centre LED reaches every other LED once, each
// exactly at its place, and only the five kinds of move occur, as often as
// the cube's rows and layers make them.
template <int N>
void expectWalkCoversCube()
{
    constexpr auto moves = viewmath::walkMoves<N>();
    constexpr auto leds = viewmath::walkLeds<N>();
    constexpr int c = N / 2;
    const float h = 0.5f * c;
    const float back = 0.5f * (N - 1);
    const Move first{-h, -h, -h}, step{0.5f, 0, 0}, skip{1.0f, 0, 0}, row{-back, 0.5f, 0}, layer{-back, -back, 0.5f};
    int firsts = 0, steps = 0, skips = 0, rows = 0, layers = 0;

    Move at{0, 0, 0};
    std::set<Led> seen{{uint8_t(c), uint8_t(c), uint8_t(c)}};
    for (int k = 0; k < viewmath::kWalkSteps<N>; ++k) {
        const Move& m = moves[k];
        firsts += m == first;
        steps += m == step;
        skips += m == skip;
        rows += m == row;
        layers += m == layer;
        for (int axis = 0; axis < 3; ++axis)
            at[axis] += m[axis];
        const Led& led = leds[k];
        EXPECT_EQ(at, (Move{0.5f * (led[0] - c), 0.5f * (led[1] - c), 0.5f * (led[2] - c)})) << "row " << k;
        EXPECT_TRUE(seen.insert(led).second) << "row " << k;
    }
    EXPECT_EQ(seen.size(), std::size_t(N * N * N));
    EXPECT_EQ(firsts, 1);
    EXPECT_EQ(layers, N - 1);
    EXPECT_EQ(rows, N * (N - 1));
    EXPECT_EQ(steps, N * N * (N - 1) - 2);
    EXPECT_EQ(skips, 1);
}

TEST(Walk, ReachesEveryLedOnceAtItsPlace)
{
    expectWalkCoversCube<12>();
    expectWalkCoversCube<5>();
}

TEST(Projection, WidthFollowsTheWindowShape)
{
    EXPECT_FLOAT_EQ(viewmath::frustumHalfWidth(1000, 500), 0.4663f);
    EXPECT_FLOAT_EQ(viewmath::frustumHalfWidth(800, 600), 0.23315f * (800.0f / 600.0f));
}

TEST(Projection, WindowWithoutHeightCountsAsOnePixelHigh)
{
    const float halfWidth = viewmath::frustumHalfWidth(800, 0);
    EXPECT_TRUE(std::isfinite(halfWidth));
    EXPECT_FLOAT_EQ(halfWidth, 800.0f * 0.23315f);
}

std::string rateLine(int64_t frames, int64_t elapsedMs)
{
    const int64_t rate = viewmath::frameRateHundredths(frames, elapsedMs);
    char line[64];
    std::snprintf(line, sizeof line, "%ld.%02ld", long(rate / viewmath::kRateScale), long(rate % viewmath::kRateScale));
    return line;
}

TEST(FrameRate, HundredthsAreTruncatedAndPrintedWithTwoDigits)
{
    EXPECT_EQ(viewmath::frameRateHundredths(250, 8000), 3125);
    EXPECT_EQ(rateLine(250, 8000), "31.25");
    EXPECT_EQ(rateLine(301, 10000), "30.10");
    EXPECT_EQ(rateLine(1, 3000), "0.33");
    EXPECT_EQ(rateLine(201, 10000), "20.10");
    EXPECT_EQ(rateLine(2001, 100000), "20.01");
}

TEST(FrameRate, NoElapsedTimeGivesRateZero)
{
    EXPECT_EQ(viewmath::frameRateHundredths(0, 0), 0);
    EXPECT_EQ(viewmath::frameRateHundredths(3, 0), 0);
    EXPECT_EQ(rateLine(0, 0), "0.00");
}

TEST(CameraDrag, ElevationStopsExactlyAtThePoles)
{
    float phi = 89.0f;
    phi = viewmath::clampedElevation(viewmath::turned(phi, 10));
    EXPECT_EQ(phi, 90.0f);
    phi = viewmath::clampedElevation(viewmath::turned(phi, 10));
    EXPECT_EQ(phi, 90.0f);
    phi = viewmath::clampedElevation(viewmath::turned(phi, -2));
    EXPECT_EQ(phi, 89.0f);
    EXPECT_EQ(viewmath::clampedElevation(viewmath::turned(-89.5f, -4)), -90.0f);
    // Azimuth has no bounds.
    EXPECT_EQ(viewmath::turned(350.0f, 40), 370.0f);
}

TEST(CameraDrag, DistanceStopsAtZero)
{
    float dist = viewmath::movedDistance(0.3f, -5);
    EXPECT_EQ(dist, 0.0f);
    EXPECT_FALSE(std::signbit(dist));
    dist = viewmath::movedDistance(dist, 3);
    EXPECT_EQ(dist, static_cast<float>(0.1 * 3));
    EXPECT_EQ(viewmath::movedDistance(8.0f, -20), 6.0f);
}

// The pan step is 0.01 (dx * right - dy * up), with right and up the
// screen's directions in the scene for the camera's angles.
TEST(CameraDrag, PanFollowsThePointer)
{
    float pan[3] = {0, 0, 0};
    viewmath::panned(pan, 0.0f, 0.0f, 10, 0);
    EXPECT_FLOAT_EQ(pan[0], 0.1f);
    EXPECT_EQ(pan[1], 0.0f);
    EXPECT_EQ(pan[2], 0.0f);

    viewmath::panned(pan, 0.0f, 0.0f, 0, 10);  // pointer down: scene down
    EXPECT_FLOAT_EQ(pan[1], -0.1f);

    float turned[3] = {0, 0, 0};
    viewmath::panned(turned, 90.0f, 0.0f, 10, 0);  // azimuth 90: right is +z
    EXPECT_NEAR(turned[0], 0.0f, 1e-7);
    EXPECT_FLOAT_EQ(turned[2], 0.1f);

    // Looking straight down (elevation 90), up on the screen is -z.
    float down[3] = {0, 0, 0};
    viewmath::panned(down, 0.0f, 90.0f, 0, -10);
    EXPECT_NEAR(down[1], 0.0f, 1e-7);
    EXPECT_FLOAT_EQ(down[2], -0.1f);
}

}  // namespace
