// How every tool stops: the stop signals taken by one thread, the flag, the
// waits that end at once, and the name a tool speaks under.

#include "common/cli.h"
#include "common/signals.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Clock = signals::StopOnSignal::Clock;

// Long enough never to pass in a test that works; the waits below end early.
constexpr auto kNever = 60s;

TEST(StopSignals, AreInterruptTerminateAndHangUpOnly)
{
    EXPECT_TRUE(signals::isStopSignal(SIGINT));
    EXPECT_TRUE(signals::isStopSignal(SIGTERM));
    EXPECT_TRUE(signals::isStopSignal(SIGHUP));
    EXPECT_FALSE(signals::isStopSignal(SIGCHLD));
    EXPECT_FALSE(signals::isStopSignal(SIGUSR1));
    EXPECT_FALSE(signals::isStopSignal(0));
}

TEST(StopOnSignal, IsNotRequestedUntilAskedAndSleepsToTheDeadline)
{
    const signals::StopOnSignal stop;
    EXPECT_FALSE(stop.requested());
    EXPECT_EQ(stop.signal(), 0);
    const Clock::time_point deadline = Clock::now() + 20ms;
    EXPECT_TRUE(stop.sleepUntil(deadline));
    EXPECT_GE(Clock::now(), deadline);
}

TEST(StopOnSignal, RequestFromWithinEndsEveryWait)
{
    signals::StopOnSignal stop;
    stop.request();
    stop.request();
    EXPECT_TRUE(stop.requested());
    EXPECT_EQ(stop.signal(), signals::StopOnSignal::kAskedFromWithin);
    EXPECT_FALSE(stop.sleepUntil(Clock::now() + kNever));
    stop.wait();
}

// One signal a test: a signal left pending by one case must not reach the
// next, and ctest runs each case in a process of its own.
class EachStopSignal : public testing::TestWithParam<int> {};

TEST_P(EachStopSignal, SentToTheProcessRaisesTheFlagWithItsNumber)
{
    const int sent = GetParam();
    const signals::StopOnSignal stop;
    ASSERT_EQ(kill(getpid(), sent), 0);
    // A second signal is swallowed, not the end of the test process.
    ASSERT_EQ(kill(getpid(), sent), 0);
    EXPECT_FALSE(stop.sleepUntil(Clock::now() + kNever));
    EXPECT_EQ(stop.signal(), sent);
}

INSTANTIATE_TEST_SUITE_P(StopOnSignal, EachStopSignal, testing::Values(SIGINT, SIGTERM, SIGHUP));

TEST(StopOnSignal, AWaitOnAnotherThreadEndsWhenTheSignalComes)
{
    const signals::StopOnSignal stop;
    std::atomic<bool> woke{false};
    std::thread waiter([&] {
        stop.wait();
        woke = true;
    });
    ASSERT_EQ(kill(getpid(), SIGTERM), 0);
    waiter.join();
    EXPECT_TRUE(woke);
    EXPECT_EQ(stop.signal(), SIGTERM);
}

// A host (the Python module) hears of the signal that stops it, once, and
// not of a stop asked for from within.
TEST(StopOnSignal, TellsItsNoticeOfTheFirstStopSignalOnly)
{
    // Written by the signal thread, read here after the object is gone and
    // its thread joined: the join orders them, relaxed is enough.
    std::atomic<int> heard{0};
    std::atomic<int> notices{0};
    {
        const signals::StopOnSignal stop([&](int signal) {
            heard.store(signal, std::memory_order_relaxed);
            notices.fetch_add(1, std::memory_order_relaxed);
        });
        ASSERT_EQ(kill(getpid(), SIGHUP), 0);
        ASSERT_EQ(kill(getpid(), SIGHUP), 0);
        EXPECT_FALSE(stop.sleepUntil(Clock::now() + kNever));
    }
    EXPECT_EQ(heard.load(std::memory_order_relaxed), SIGHUP);
    EXPECT_EQ(notices.load(std::memory_order_relaxed), 1);

    {
        signals::StopOnSignal stop([&](int) { notices.fetch_add(1, std::memory_order_relaxed); });
        stop.request();
        EXPECT_EQ(stop.signal(), signals::StopOnSignal::kAskedFromWithin);
    }
    EXPECT_EQ(notices.load(std::memory_order_relaxed), 1);
}

TEST(ProgramName, IsTheFileNameStartedAsOrTheFallback)
{
    EXPECT_EQ(cli::programName("/usr/local/bin/cubefx", "x"), "cubefx");
    EXPECT_EQ(cli::programName("./pulse", "cubefx"), "pulse");
    EXPECT_EQ(cli::programName("cubelisten", "x"), "cubelisten");
    EXPECT_EQ(cli::programName("", "cubefx"), "cubefx");
    EXPECT_EQ(cli::programName(nullptr, "cubefx"), "cubefx");
    EXPECT_EQ(cli::programName("/bin/", "cubetrace5"), "cubetrace5");
}

}  // namespace
