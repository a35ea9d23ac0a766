// The pacer that both polling loops of the channel use: the timer slack of
// the polling thread follows the traffic, and in fast mode a loop that has
// just moved looks again without sleeping. Each test polls on a thread of
// its own, since the slack belongs to a thread.

#include "lbox/pacing.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <thread>
#include <vector>

namespace {

using std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kDeadline = 10s;

unsigned long currentSlack()
{
    // Not prctl(), whose int result cuts off slacks above about 2 s.
    return static_cast<unsigned long>(syscall(SYS_prctl, PR_GET_TIMERSLACK, 0, 0, 0, 0));
}

void onOwnThread(auto&& body)
{
    std::thread(body).join();
}

TEST(LboxPacing, NewThreadPollsWideUntilTheChannelMoves)
{
    onOwnThread([] {
        pacing::Pacer pacer;
        EXPECT_EQ(currentSlack(), pacing::kQuietSlackNs);
        pacer.pause(false);
        EXPECT_EQ(currentSlack(), pacing::kQuietSlackNs);
        pacer.pause(true);
        EXPECT_EQ(currentSlack(), pacing::kFlowingSlackNs);
    });
}

TEST(LboxPacing, SlackWidensOnlyAfterQuietSinceTheLastMoveAndTightensAgain)
{
    onOwnThread([] {
        pacing::Pacer pacer;
        pacer.pause(true);
        // A move halfway through a quiet spell starts the count over.
        const auto quietStart = steady_clock::now();
        while (steady_clock::now() - quietStart < pacing::kQuietAfter / 2)
            pacer.pause(false);
        const auto lastMove = steady_clock::now();
        pacer.pause(true);

        while (currentSlack() == pacing::kFlowingSlackNs && steady_clock::now() - lastMove < kDeadline)
            pacer.pause(false);
        EXPECT_GE(steady_clock::now() - lastMove, pacing::kQuietAfter);
        EXPECT_EQ(currentSlack(), pacing::kQuietSlackNs);

        pacer.pause(true);
        EXPECT_EQ(currentSlack(), pacing::kFlowingSlackNs);
    });
}

TEST(LboxChannelMode, IsFastOnlyForFastAndDefaultForUnsetEmptyOrDefault)
{
    pacing::Mode mode = pacing::Mode::kFast;
    for (const char* value : {static_cast<const char*>(nullptr), "", "default"}) {
        EXPECT_TRUE(pacing::parseMode(value, mode)) << (value ? value : "unset");
        EXPECT_EQ(mode, pacing::Mode::kDefault);
        mode = pacing::Mode::kFast;
    }
    EXPECT_TRUE(pacing::parseMode("fast", mode));
    EXPECT_EQ(mode, pacing::Mode::kFast);
    for (const char* value : {"Fast", "fast ", "1", "slow"})
        EXPECT_FALSE(pacing::parseMode(value, mode)) << value;
}

TEST(LboxPacing, FastLoopLooksAgainWithoutSleepingInsideItsWindowOnly)
{
    onOwnThread([] {
        pacing::Pacer pacer(pacing::Pacer::Start::kQuiet, pacing::Mode::kFast);
        // Passes right after a move never sleep; a round that a busy machine
        // stretches past the window may, so such a round is tried again.
        bool roundInsideWindow = false;
        for (int round = 0; round < 100 && !roundInsideWindow; ++round) {
            const auto moved = steady_clock::now();
            int slept = pacer.pause(true);
            for (int pass = 0; pass < 3; ++pass)
                slept += pacer.pause(false);
            if (steady_clock::now() - moved < pacing::kSpinWindow) {
                roundInsideWindow = true;
                EXPECT_EQ(slept, 0);
            }
        }
        ASSERT_TRUE(roundInsideWindow);
        EXPECT_EQ(currentSlack(), pacing::kFlowingSlackNs) << "the slack follows the traffic as in the default mode";

        // Once the window has passed without a move, every pass sleeps again.
        pacer.pause(true);
        EXPECT_FALSE(pacer.pause(false));
        std::this_thread::sleep_for(pacing::kSpinWindow);
        EXPECT_TRUE(pacer.pause(false));
        EXPECT_TRUE(pacer.pause(false));
        EXPECT_FALSE(pacer.pause(true));
    });
}

TEST(LboxPacing, DefaultLoopSleepsAfterEveryPass)
{
    onOwnThread([] {
        pacing::Pacer pacer(pacing::Pacer::Start::kQuiet, pacing::Mode::kDefault);
        EXPECT_TRUE(pacer.pause(true));
        EXPECT_TRUE(pacer.pause(false));
        EXPECT_TRUE(pacer.pause(true));
    });
}

// Above what prctl's int result can hold.
constexpr unsigned long kOwnSlackNs = 3'000'000'000;
// A sleep that nobody cuts short outlasts kDeadline by far.
constexpr timespec kMinute{60, 0};

TEST(LboxPacing, RingEndsASleepLongBeforeItsSlackRunsOut)
{
    pacing::Doorbell bell;
    std::atomic<bool> awake{false};
    std::thread sleeper([&] {
        bell.sleepUnless([] { return false; }, kMinute);
        awake.store(true);
    });
    // A ring before the sleeper lies down does nothing, so ring until it wakes.
    const auto start = steady_clock::now();
    while (!awake.load() && steady_clock::now() - start < kDeadline) {
        bell.ring();
        std::this_thread::sleep_for(1ms);
    }
    sleeper.join();
    EXPECT_LT(steady_clock::now() - start, kDeadline);
}

TEST(LboxPacing, RingBetweenTheLastLookAndTheSleepIsNotLost)
{
    pacing::Doorbell bell;
    const auto start = steady_clock::now();
    // The ringer's work lands just after the sleeper's last look at it.
    bell.sleepUnless(
        [&] {
            bell.ring();
            return false;
        },
        kMinute);
    EXPECT_LT(steady_clock::now() - start, kDeadline);
}

TEST(LboxPacing, ProgramWaitsPutTheThreadsOwnSlackBack)
{
    onOwnThread([] {
        pacing::setSlack(kOwnSlackNs);
        pacing::Doorbell bell;
        int looks = 0;
        pacing::waitUntil([&] { return ++looks > 3; }, bell);
        EXPECT_EQ(currentSlack(), kOwnSlackNs);

        // A wait on another process polls tight at first and wide once it
        // has lasted kQuietAfter.
        std::vector<unsigned long> slacks;
        const auto start = steady_clock::now();
        pacing::waitUntil([&] {
            slacks.push_back(currentSlack());
            return slacks.back() == pacing::kQuietSlackNs || steady_clock::now() - start >= kDeadline;
        });
        EXPECT_GE(steady_clock::now() - start, pacing::kQuietAfter);
        EXPECT_EQ(slacks[1], pacing::kFlowingSlackNs);
        EXPECT_EQ(slacks.back(), pacing::kQuietSlackNs);
        EXPECT_EQ(currentSlack(), kOwnSlackNs);
    });
}

}  // namespace
