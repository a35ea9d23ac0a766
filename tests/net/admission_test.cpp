// What cubelisten grants the senders it hears, with the time given: answers
// to a poller, and the places of OPC clients.

#include "net/admission.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace std::chrono_literals;
using input::Clock;
using input::RateLimit;

const Clock::time_point kStart = Clock::time_point{} + 1h;

TEST(RateLimit, AKeyGoesOnceAnIntervalAndOthersGoTheirOwnWay)
{
    RateLimit limit(1s, 8);
    EXPECT_TRUE(limit.allow("a", kStart));
    EXPECT_FALSE(limit.allow("a", kStart));
    EXPECT_FALSE(limit.allow("a", kStart + 999ms));
    EXPECT_TRUE(limit.allow("b", kStart + 999ms));
    EXPECT_TRUE(limit.allow("a", kStart + 1s));
    EXPECT_FALSE(limit.allow("a", kStart + 1999ms));
    EXPECT_FALSE(limit.allow("b", kStart + 1998ms));
    EXPECT_TRUE(limit.allow("b", kStart + 1999ms));
}

TEST(RateLimit, RefusedEventsDoNotPutTheNextOneOff)
{
    RateLimit limit(1s, 8);
    EXPECT_TRUE(limit.allow("poller", kStart));
    for (auto at = 25ms; at < 1s; at += 25ms)
        EXPECT_FALSE(limit.allow("poller", kStart + at));
    EXPECT_TRUE(limit.allow("poller", kStart + 1s));
}

TEST(RateLimit, AFullTableTakesANewKeyOnlyOnceAnOldOneIsAnIntervalOld)
{
    RateLimit limit(1s, 2);
    EXPECT_TRUE(limit.allow("a", kStart));
    EXPECT_TRUE(limit.allow("b", kStart + 500ms));
    EXPECT_FALSE(limit.allow("c", kStart + 999ms));
    EXPECT_EQ(limit.remembered(), 2u);
    // "a" is an interval old: it is forgotten, and "c" takes its place.
    EXPECT_TRUE(limit.allow("c", kStart + 1s));
    EXPECT_EQ(limit.remembered(), 2u);
    EXPECT_FALSE(limit.allow("b", kStart + 1200ms));
    EXPECT_TRUE(limit.allow("a", kStart + 1500ms));  // "b" went
}

TEST(IdlePlace, TheClientSilentLongestGivesWayOnceIdleLongEnough)
{
    const std::vector<Clock::time_point> lastHeard = {kStart + 3s, kStart + 1s, kStart + 2s};
    EXPECT_EQ(input::idlePlace(lastHeard, kStart + 60s, 60s), std::nullopt);
    EXPECT_EQ(input::idlePlace(lastHeard, kStart + 61s, 60s), 1u);
    EXPECT_EQ(input::idlePlace(lastHeard, kStart + 100s, 60s), 1u);
}

TEST(IdlePlace, NoClientsNoPlace)
{
    EXPECT_EQ(input::idlePlace({}, kStart, 0s), std::nullopt);
}

}  // namespace
