// The pacer that both polling loops of the channel use: the timer slack of
// the polling thread follows the traffic. Each test polls on a thread of its
// own, since the slack belongs to a thread.

#include "pacing.h"

#include <chrono>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <thread>

namespace {

using std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kDeadline = 10s;

unsigned long currentSlack()
{
    return static_cast<unsigned long>(prctl(PR_GET_TIMERSLACK));
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

}  // namespace
