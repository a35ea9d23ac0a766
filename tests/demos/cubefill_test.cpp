// cubefill against the headless receiver: one full run per edge, checked frame
// by frame, and short runs for the arguments that choose the edge.

#include "tests/demos/trace.h"

#include <gtest/gtest.h>

#include <type_traits>

namespace {

using namespace demotest;
using testsupport::binary;

constexpr long kLayerHoldMs = 200;
constexpr long kOpeningBlankMs = 250;
constexpr long kClosingBlankMs = 100;
constexpr long kShutdownMs = 1000;
constexpr int kBlankSteps = 2;

struct Sweep {
    long pauseBeforeMs;  // 0: the first sweep follows the opening blanks directly
    Color color;
};

const Sweep kSweeps[] = {
    {0, kGreen},     {750, kGreen}, {750, kRed},   {200, kGreen}, {200, kRed},  {200, kGreen},
    {200, kRed},     {200, kGreen}, {750, kGreen}, {750, kGreen}, {750, kRed},  {750, kRed},
};

// What one release should show: nothing, or the layers z < `layers` in `color`.
struct Shown {
    int layers = 0;
    Color color;
    long holdMs = 0;  // the caller's sleep after the release
};

std::vector<Shown> expectedFrames(int edge)
{
    std::vector<Shown> frames(kBlankSteps, Shown{0, {}, kOpeningBlankMs});
    for (const Sweep& sweep : kSweeps) {
        if (sweep.pauseBeforeMs != 0) {
            frames.push_back({0, {}, sweep.pauseBeforeMs});
            frames.push_back({0, {}, 0});
        }
        for (int layers = 1; layers <= edge; ++layers)
            frames.push_back({layers, sweep.color, kLayerHoldMs});
    }
    frames.insert(frames.end(), kBlankSteps, Shown{0, {}, kClosingBlankMs});
    return frames;
}

long totalHoldsMs(int edge)
{
    long total = 0;
    for (const Shown& shown : expectedFrames(edge))
        total += shown.holdMs;
    return total;
}

template <int Edge>
struct EdgeParam : std::integral_constant<int, Edge> {};

// One full run per edge, shared by the tests of that edge.
template <typename EdgeT>
class FillRun : public testing::Test {
protected:
    static constexpr int kEdge = EdgeT::value;

    static void SetUpTestSuite()
    {
        std::vector<std::string> argv{binary("cubefill")};
        if (kEdge == 12)
            argv.push_back("12");
        run = new DemoRun(runDemo(argv, {"--leds"}));
    }
    static void TearDownTestSuite()
    {
        delete run;
        run = nullptr;
    }

    static inline DemoRun* run = nullptr;
};

struct EdgeName {
    template <typename T>
    static std::string GetName(int)
    {
        return "Edge" + std::to_string(T::value);
    }
};

using Edges = testing::Types<EdgeParam<5>, EdgeParam<12>>;
TYPED_TEST_SUITE(FillRun, Edges, EdgeName);

TYPED_TEST(FillRun, SweepsAddOneLayerAFrameInTheirColoursWithDarkFramesBetween)
{
    const std::vector<Frame>& frames = this->run->frames;
    const int edge = this->kEdge;
    // Opening and closing blanks, twelve sweeps of N layers, eleven pauses.
    const std::vector<Shown> expected = expectedFrames(edge);
    ASSERT_EQ(frames.size(), static_cast<std::size_t>(2 * kBlankSteps + 12 * edge + 11 * 2));
    ASSERT_EQ(frames.size(), expected.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i + 1));
        ASSERT_EQ(frames[i].release, static_cast<int>(i + 1));
        const int lit = expected[i].layers * edge * edge;
        ASSERT_EQ(frames[i].lit, lit);
        ASSERT_EQ(frames[i].leds.size(), static_cast<std::size_t>(lit));
        // As many LEDs as the layers hold, all below the top layer shown: exactly those layers.
        for (const Led& led : frames[i].leds) {
            ASSERT_LT(led.z, expected[i].layers);
            ASSERT_EQ(led.color, expected[i].color);
        }
    }
}

TYPED_TEST(FillRun, ExitsZeroPrintingOnlyTheClosingLine)
{
    const DemoRun& run = *this->run;
    EXPECT_EQ(run.exit.code, 0);
    EXPECT_EQ(run.out, kClosingLine);
    EXPECT_EQ(run.err, "");
    // Release times in the trace carry the receiver's latency, so only the
    // run as a whole gives a sure lower bound on the holds.
    EXPECT_GE(run.took.count(), totalHoldsMs(this->kEdge) + kShutdownMs);
}

// Only the single argument "12" chooses edge 12: the first sweep's first
// layer (the third release) shows 144 LEDs for it and 25 for edge 5.
TEST(FillArguments, OnlyExactlyTwelveChoosesEdgeTwelve)
{
    constexpr int kFirstLayerRelease = 3;
    const std::vector<std::pair<std::vector<std::string>, int>> cases = {
        {{"12"}, 144}, {{"5"}, 25}, {{"012"}, 25}, {{"12 "}, 25}, {{"12", "12"}, 25},
    };
    for (const auto& [arguments, lit] : cases) {
        SCOPED_TRACE("arguments: " + testing::PrintToString(arguments));
        std::vector<std::string> argv{binary("cubefill")};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        testsupport::RunDir dir;
        const std::vector<Frame> frames = firstFrames(dir, argv, kFirstLayerRelease);
        ASSERT_EQ(frames.size(), static_cast<std::size_t>(kFirstLayerRelease));
        EXPECT_EQ(frames[0].lit, 0);
        EXPECT_EQ(frames[1].lit, 0);
        EXPECT_EQ(frames[2].lit, lit);
        for (const Led& led : frames[2].leds) {
            EXPECT_EQ(led.z, 0);
            EXPECT_EQ(led.color, kGreen);
        }
    }
}

}  // namespace
