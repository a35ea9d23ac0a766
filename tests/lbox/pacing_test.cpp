// The pacer that both polling loops of the channel use: the timer slack of
// the polling thread follows the traffic. Each test polls on a thread of its
// own, since the slack belongs to a thread.

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
