// cubeshow against the headless receiver: one full run of the show, checked
// against its recorded trace and frame by frame where the scenes are easy to
// recognise, and the runs that play only the warm-up.

#include "lbox/channel.h"
#include "tests/demos/trace.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace demotest;
using testsupport::binary;
using testsupport::Process;

// Every hold of the show, the warm-up's included, and the library's second
// of shutdown after it.
constexpr long kShowHoldsMs = 40920;
constexpr long kShutdownMs = 1000;
constexpr long kWarmUpHoldsMs = 2 * 250;
constexpr int kTop = 11;
constexpr std::chrono::seconds kReplayDeadline{120};

// Recorded from a reviewed run of `cubeshow 12`, with the times dropped:
//   cubetrace | cut -d' ' -f1,3,4
const std::string kGoldenPath = std::string(CUBE_GOLDEN_DIR) + "/cubeshow12.trace";

bool allOf(const Frame& frame, const Color& color)
{
    return std::all_of(frame.leds.begin(), frame.leds.end(), [&](const Led& led) { return led.color == color; });
}

class ShowRun : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        recording = new testsupport::RunDir;
        run = new DemoRun(runDemo({binary("cubeshow"), "12"}, {"--leds", "--record", recordingPath()}));
    }
    static void TearDownTestSuite()
    {
        delete run;
        run = nullptr;
        delete recording;
        recording = nullptr;
    }
    static std::string recordingPath() { return recording->root() + "/cubeshow12.rec"; }

    static inline DemoRun* run = nullptr;
    // Holds the channel recording that the receiver made of the run.
    static inline testsupport::RunDir* recording = nullptr;
};

TEST_F(ShowRun, MatchesTheRecordedTrace)
{
    const std::string golden = testsupport::readFile(kGoldenPath);
    ASSERT_FALSE(golden.empty()) << kGoldenPath;
    EXPECT_EQ(untimed(run->frames), golden);
}

TEST_F(ShowRun, ReplayedRecordingShowsTheSameFrames)
{
    testsupport::RunDir dir;
    std::vector<Frame> replayed;
    {
        Receiver receiver(dir, {});
        Process replay({binary("cubereplay"), "--speed", "20", recordingPath()}, Process::Options::in(dir.runDir()));
        ASSERT_EQ(replay.wait(kReplayDeadline).code, 0) << replay.err();
        // The player leaves its last code for the receiver; wait until handled.
        uint8_t* record = dir.mapRecord();
        const auto end = std::chrono::steady_clock::now() + kReplayDeadline;
        while (channel::loadStatus(record) != channel::kStatusIdle && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        replayed = receiver.stop();
    }
    EXPECT_EQ(untimed(replayed), untimed(run->frames));
    EXPECT_EQ(untimed(replayed), testsupport::readFile(kGoldenPath));
}

TEST_F(ShowRun, ControlFramesLightExactlyTheTwelveEdges)
{
    std::vector<int> releases;
    for (const Frame& frame : run->frames) {
        if (frame.lit != 128 || !allOf(frame, kBlue))
            continue;
        releases.push_back(frame.release);
        for (const Led& led : frame.leds) {
            const int onFaces = (led.x == 0 || led.x == kTop) + (led.y == 0 || led.y == kTop) +
                                (led.z == 0 || led.z == kTop);
            EXPECT_GE(onFaces, 2) << led.x << " " << led.y << " " << led.z;
        }
    }
    // Scenes 3 and 4, after the warm-up and scenes 0 and 2 (three releases each).
    EXPECT_EQ(releases, (std::vector<int>{9, 13}));
}

TEST_F(ShowRun, ZigzagFlashesAlternateLayersRowByRowAndFlashByFlash)
{
    std::vector<const Frame*> flashes;
    for (const Frame& frame : run->frames)
        if (frame.lit == 144 && allOf(frame, kRed))
            flashes.push_back(&frame);
    ASSERT_EQ(flashes.size(), 4u);
    for (std::size_t n = 0; n < flashes.size(); ++n) {
        const int startLevel = static_cast<int>(n % 2);
        for (const Led& led : flashes[n]->leds)
            ASSERT_EQ(led.z, startLevel ^ (led.x % 2)) << "flash " << n << " row " << led.x;
    }
}

TEST_F(ShowRun, ScenesTenToThirtyOnePlayThreeTimes)
{
    // Scene 10 shows the column's top layer alone: 25 purple LEDs at z = 11.
    std::vector<std::size_t> starts;
    const std::vector<Frame>& frames = run->frames;
    for (std::size_t i = 0; i < frames.size(); ++i)
        if (frames[i].lit == 25 && allOf(frames[i], kPurple) && frames[i].leds.front().z == kTop)
            starts.push_back(i);
    ASSERT_EQ(starts.size(), 3u);
    const std::size_t length = starts[1] - starts[0];
    ASSERT_EQ(starts[2] - starts[1], length);
    for (std::size_t k = 0; k < length; ++k) {
        EXPECT_EQ(frames[starts[0] + k].hash, frames[starts[1] + k].hash) << k;
        EXPECT_EQ(frames[starts[1] + k].hash, frames[starts[2] + k].hash) << k;
    }
}

TEST_F(ShowRun, EndsBlankAfterTheGreenScenesWithStatusZero)
{
    const std::vector<Frame>& frames = run->frames;
    ASSERT_GE(frames.size(), 4u);
    // Scene 52: the whole cube green, then its blanks.
    const auto green = std::find_if(frames.rbegin(), frames.rend(), [](const Frame& f) { return f.lit != 0; });
    ASSERT_NE(green, frames.rend());
    EXPECT_EQ(green->lit, 12 * 12 * 12);
    EXPECT_TRUE(allOf(*green, kGreen));
    EXPECT_EQ(green - frames.rbegin(), 3) << "clearPallets and the blank release follow";

    EXPECT_EQ(run->exit.code, 0);
    EXPECT_EQ(run->out, kClosingLine);
    EXPECT_EQ(run->err, "");
}

// Release times in the trace carry the receiver's latency, so only the run as
// a whole gives a sure lower bound on the holds.
TEST_F(ShowRun, RunLastsAtLeastItsHolds)
{
    EXPECT_GE(run->took.count(), kShowHoldsMs + kShutdownMs);
}

TEST(ShowWarmUp, WithoutTheSingleArgumentTwelveOnlyTwoBlankFrames)
{
    const std::vector<std::vector<std::string>> cases = {{}, {"012"}, {"12 "}, {"12", "12"}};
    for (const std::vector<std::string>& arguments : cases) {
        SCOPED_TRACE("arguments: " + testing::PrintToString(arguments));
        std::vector<std::string> argv{binary("cubeshow")};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        const DemoRun run = runDemo(argv, {});
        ASSERT_EQ(run.frames.size(), 2u);
        EXPECT_EQ(run.frames[0].lit, 0);
        EXPECT_EQ(run.frames[1].lit, 0);
        EXPECT_EQ(run.exit.code, 0);
        EXPECT_GE(run.took.count(), kWarmUpHoldsMs + kShutdownMs);
        EXPECT_EQ(run.out, kClosingLine);
    }
}

}  // namespace
