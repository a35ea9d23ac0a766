// When frames go out (--max-fps, the resend after a quiet second), and the
// channel passed on whole with --forward.

#include "tests/net/send_support.h"
#include "tests/demos/trace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>

namespace {

using namespace sendtest;
using Clock = std::chrono::steady_clock;

constexpr int kEdge = 5;
constexpr int kReleases = 100;
constexpr int kMaxFps = 2;
// One second, less what a timer may round away.
constexpr auto kResendAfter = 900ms;
constexpr auto kWatchAfterBurst = 2500ms;
constexpr int kMostResendsInWatch = 3;
constexpr auto kDemoDeadline = 2min;  // the demo takes about 20 s
// cubeplay stops cubesend with the demo, so nothing comes after this.
constexpr auto kQuietAfterEnd = 200ms;

std::chrono::milliseconds left(Clock::time_point end)
{
    return std::max(0ms, std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()));
}

TEST(CubesendPacing, MaxFpsSkipsReleasesAndNeverQueuesThem)
{
    DdpReceiver ddp(kEdge);
    Cubesend send({"--max-fps", std::to_string(kMaxFps), ddp.target()}, kEdge);
    Pixels shown = ddp.next();
    const auto start = Clock::now();
    for (int number = 1; number <= kReleases; ++number)
        ASSERT_TRUE(send.show(numberedLeds(static_cast<uint8_t>(number))));
    const double burstSeconds = std::chrono::duration<double>(Clock::now() - start).count();

    // Each frame sent is the one on show at that moment: the numbers rise.
    std::vector<int> numbers;
    while (numbers.empty() || numbers.back() != kReleases) {
        shown = ddp.nextChange(shown);
        ASSERT_EQ(shown, numbered(kEdge, shown[0]));
        ASSERT_TRUE(numbers.empty() || shown[0] > numbers.back()) << int{shown[0]};
        numbers.push_back(shown[0]);
    }
    // At most F a second during the burst and one slot after it.
    EXPECT_LE(static_cast<double>(numbers.size()), burstSeconds * kMaxFps + 2);
    EXPECT_LT(numbers.size(), std::size_t{kReleases});

    // Afterwards only the once-a-second resend of the last frame.
    int resends = 0;
    const auto end = Clock::now() + kWatchAfterBurst;
    while (const std::optional<Pixels> frame = ddp.receive(left(end))) {
        EXPECT_EQ(*frame, shown);
        ++resends;
    }
    EXPECT_LE(resends, kMostResendsInWatch);
}

TEST(CubesendPacing, AQuietSecondResendsTheFrameOnShow)
{
    DdpReceiver ddp(kEdge);
    const auto started = Clock::now();
    Cubesend send({ddp.target()}, kEdge);
    // Before any release: the unlit frame, then the same after a second.
    EXPECT_EQ(ddp.next(), unlitPixels(kEdge));
    EXPECT_EQ(ddp.next(), unlitPixels(kEdge));
    EXPECT_GE(Clock::now() - started, kResendAfter);

    const auto released = Clock::now();
    ASSERT_TRUE(send.show(numberedLeds(1)));
    EXPECT_EQ(ddp.nextChange(unlitPixels(kEdge)), numbered(kEdge, 1));
    EXPECT_EQ(ddp.next(), numbered(kEdge, 1));
    EXPECT_GE(Clock::now() - released, kResendAfter);
}

// cubeplay --send puts cubesend in front of the receiver that shows the cube
// (here cubetrace), passing every code on to it with --forward.
TEST(CubesendForward, CubeplaySendShowsTheDemoAsServedDirectlyAndLightsTheController)
{
    const std::vector<std::string> demo{testsupport::binary("cubefill")};
    // The direct run plays meanwhile: each takes the demo's whole length.
    auto direct = std::async(std::launch::async, [&] { return demotest::runDemo(demo, {"--edge", std::to_string(kEdge)}); });

    DdpReceiver ddp(kEdge);
    testsupport::Process play({testsupport::binary("cubeplay"), "--headless", "--edge", std::to_string(kEdge), "--send",
                               ddp.target(), demo[0]},
                              testsupport::Process::Options::in("."));
    ASSERT_EQ(play.wait(kDemoDeadline).code, 0) << play.err();
    const demotest::DemoRun own = direct.get();
    ASSERT_EQ(own.exit.code, 0) << own.err;
    EXPECT_EQ(demotest::untimed(demotest::framesInPlay(play.out())), demotest::untimed(own.frames));

    // The controller saw the fill lit, and its dark end last.
    Pixels last = ddp.next();
    bool lit = false;
    while (const std::optional<Pixels> frame = ddp.receive(kQuietAfterEnd)) {
        lit = lit || *frame != unlitPixels(kEdge);
        last = *frame;
    }
    EXPECT_TRUE(lit);
    EXPECT_EQ(last, unlitPixels(kEdge));
}

}  // namespace
