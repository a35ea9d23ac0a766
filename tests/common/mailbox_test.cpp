// The newest-value mailbox on its own: what a taker gets, what is dropped,
// and a taker that waits for a putter on another thread.

#include "common/mailbox.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A deadline already past: take only looks.
constexpr Clock::time_point kNow{};

void put(Mailbox<std::string>& box, const std::string& value)
{
    box.put([&](std::string& held) { held = value; });
}

TEST(Mailbox, NothingIsTakenBeforeAPut)
{
    Mailbox<std::string> box("initial");
    std::string out = "untouched";
    EXPECT_FALSE(box.take(out, kNow));
    EXPECT_EQ(out, "untouched");
}

TEST(Mailbox, AValueIsTakenOnce)
{
    Mailbox<std::string> box;
    put(box, "first");
    std::string out;
    ASSERT_TRUE(box.take(out, kNow));
    EXPECT_EQ(out, "first");
    out = "kept";
    EXPECT_FALSE(box.take(out, kNow));
    EXPECT_EQ(out, "kept");
    EXPECT_EQ(box.dropped(), 0u);
}

TEST(Mailbox, OnlyTheNewestIsTakenAndTheOthersCountAsDropped)
{
    Mailbox<std::string> box;
    put(box, "one");
    put(box, "two");
    put(box, "three");
    std::string out;
    ASSERT_TRUE(box.take(out, kNow));
    EXPECT_EQ(out, "three");
    EXPECT_EQ(box.dropped(), 2u);
    put(box, "four");
    ASSERT_TRUE(box.take(out, kNow));
    EXPECT_EQ(out, "four");
    EXPECT_EQ(box.dropped(), 2u);
}

TEST(Mailbox, APutWritesInPlaceOverTheHeldValue)
{
    Mailbox<std::vector<int>> box(std::vector<int>{1, 2, 3});
    box.put([](std::vector<int>& held) { held[1] = 20; });
    std::vector<int> out;
    ASSERT_TRUE(box.take(out, kNow));
    EXPECT_EQ(out, (std::vector<int>{1, 20, 3}));
}

TEST(Mailbox, ATakerWaitingOnAnotherThreadGetsThePut)
{
    Mailbox<std::string> box;
    std::string out;
    bool taken = false;
    // The deadline is far off: the taker returns with the put, however
    // slowly the putter runs.
    std::thread taker([&] { taken = box.take(out, Clock::now() + std::chrono::hours(1)); });
    put(box, "across");
    taker.join();
    EXPECT_TRUE(taken);
    EXPECT_EQ(out, "across");
}

}  // namespace
