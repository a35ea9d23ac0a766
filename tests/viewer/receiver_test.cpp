// The receiver driven one record at a time, as the receiver thread would,
// on a record mapped from a real channel file. Built once per cube edge.

#include "lbox/channel.h"
#include "viewer/core1Read.h"
#include "testkit/support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr storeColor kRed{1.0f, 0.0f, 0.0f};
constexpr storeColor kGreen{0.0f, 1.0f, 0.0f};
constexpr storeColor kBlue{0.0f, 0.0f, 1.0f};
constexpr uint8_t kLast = kCubeEdge - 1;

using Table = std::vector<storeColor>;

Table snapshot(const storeColor* table)
{
    return Table(table, table + kCubeLeds);
}

Table unlitTable()
{
    return Table(kCubeLeds, kUnlit);
}

// Bitwise, so that NaN colours compare as stored.
bool sameBytes(const Table& a, const Table& b)
{
    return std::memcmp(a.data(), b.data(), a.size() * sizeof(storeColor)) == 0;
}

bool sameColor(const storeColor& a, const storeColor& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

class Receiver : public ::testing::Test {
protected:
    void SetUp() override
    {
        record = dir.mapRecord();
        resetReceiver();
        frameReleasedHook = nullptr;
    }
    void TearDown() override { frameReleasedHook = nullptr; }

    // Fills the entries as the writer does, stores the code and runs one pass
    // of the receiver, which must answer with idle.
    void send(uint8_t code, const std::vector<queueEntry>& entries = {})
    {
        for (std::size_t slot = 0; slot < entries.size(); ++slot)
            channel::packEntry(record, slot, entries[slot]);
        channel::storeStatus(record, code);
        handleRecord(record);
        ASSERT_EQ(channel::loadStatus(record), channel::kStatusIdle) << "code " << int(code);
    }

    // Writes the LEDs one batch of one at a time and releases the frame.
    void showFrame(const std::vector<queueEntry>& leds, uint8_t release = channel::kStatusReleaseNoKeep)
    {
        for (const queueEntry& led : leds)
            send(channel::kStatusBatchBase + 1, {led});
        send(release);
    }

    const storeColor* shown() const { return ptCurrColorTable.load(); }
    storeColor& future(int x, int y, int z) { return ptFutureColorTable[ledIndex(x, y, z)]; }

    testsupport::RunDir dir;
    uint8_t* record = nullptr;
};

TEST_F(Receiver, IdleRecordChangesNothing)
{
    send(channel::kStatusIdle, {{1, 2, 3, kRed}});
    EXPECT_TRUE(sameBytes(snapshot(cube_color_back), unlitTable()));
    EXPECT_TRUE(sameBytes(snapshot(cube_color_front), unlitTable()));
    EXPECT_EQ(shown(), cube_color_back);
    EXPECT_EQ(loadNextFrame.load(), 0);
}

TEST_F(Receiver, BatchAppliesOnlyTheAnnouncedEntriesToTheFutureTable)
{
    // Three distinct LEDs in the record; each batch code then re-announces a
    // prefix of them, the rest being stale bytes.
    const std::vector<queueEntry> stale{{1, 2, 3, kRed}, {0, 0, 1, kGreen}, {kLast, kLast, kLast, kBlue}};
    for (uint8_t count = 1; count <= channel::kMaxEntries; ++count) {
        SCOPED_TRACE(count);
        resetReceiver();
        for (std::size_t slot = 0; slot < stale.size(); ++slot)
            channel::packEntry(record, slot, stale[slot]);
        send(channel::kStatusBatchBase + count);

        Table expected = unlitTable();
        for (uint8_t i = 0; i < count; ++i)
            expected[ledIndex(stale[i].x, stale[i].y, stale[i].z)] = stale[i].color;
        EXPECT_TRUE(sameBytes(snapshot(ptFutureColorTable), expected));
        EXPECT_TRUE(sameBytes(snapshot(shown()), unlitTable()));
    }
}

TEST_F(Receiver, LaterEntryForTheSameLedWins)
{
    send(channel::kStatusBatchBase + 3, {{1, 2, 3, kRed}, {0, 0, 0, kGreen}, {1, 2, 3, kBlue}});
    EXPECT_TRUE(sameColor(future(1, 2, 3), kBlue));
    EXPECT_TRUE(sameColor(future(0, 0, 0), kGreen));
}

TEST_F(Receiver, UnnamedCodesCountEntriesByTheirLowBits)
{
    const std::vector<queueEntry> entries{{1, 1, 1, kRed}, {2, 2, 2, kGreen}, {3, 3, 3, kBlue}};
    for (uint8_t code : {0, 4, 8}) {
        send(code, entries);
        EXPECT_TRUE(sameBytes(snapshot(ptFutureColorTable), unlitTable())) << int(code);
    }
    for (uint8_t code : {1, 5, 9}) {
        resetReceiver();
        send(code, entries);
        Table expected = unlitTable();
        expected[ledIndex(1, 1, 1)] = kRed;
        EXPECT_TRUE(sameBytes(snapshot(ptFutureColorTable), expected)) << int(code);
    }
    EXPECT_EQ(shown(), cube_color_back);
    EXPECT_EQ(loadNextFrame.load(), 0);
}

TEST_F(Receiver, ClearResetsOnlyTheFutureTable)
{
    showFrame({{1, 2, 3, kRed}});
    const Table onShow = snapshot(shown());
    send(channel::kStatusBatchBase + 2, {{0, 0, 0, kGreen}, {kLast, 0, kLast, kBlue}});
    const storeColor* before = shown();

    send(channel::kStatusClear);

    EXPECT_TRUE(sameBytes(snapshot(ptFutureColorTable), unlitTable()));
    EXPECT_EQ(shown(), before);
    EXPECT_TRUE(sameBytes(snapshot(shown()), onShow));
}

TEST_F(Receiver, ReleaseWithKeepCarriesOnlyLedsLitInAllThreeComponents)
{
    const storeColor carried{1.0f, 0.0f, 0.5f};
    const storeColor greenAtGrey{1.0f, 0.3f, 0.0f};
    const storeColor redNearGrey{0.30005f, 1.0f, 1.0f};
    const storeColor withNaN{1.0f, std::nanf(""), 1.0f};
    showFrame({{0, 0, 1, carried}, {0, 0, 2, greenAtGrey}, {0, 0, 3, redNearGrey}, {0, 0, 4, withNaN},
               {1, 1, 1, kRed}});
    // The new frame writes to an LED that is lit on show: the carry-over wins.
    send(channel::kStatusBatchBase + 1, {{1, 1, 1, kGreen}});
    // 251's low bits are 3: stale entries in the record must not be applied.
    for (std::size_t slot = 0; slot < channel::kMaxEntries; ++slot)
        channel::packEntry(record, slot, {kLast, kLast, static_cast<uint8_t>(slot), kBlue});

    send(channel::kStatusReleaseKeep);

    Table expected = unlitTable();
    expected[ledIndex(0, 0, 1)] = carried;
    expected[ledIndex(1, 1, 1)] = kRed;
    EXPECT_TRUE(sameBytes(snapshot(shown()), expected));
}

TEST_F(Receiver, ClearThenKeepReleaseShowsOnlyTheCarriedLeds)
{
    showFrame({{1, 2, 3, kRed}, {3, 2, 1, {0.3f, 0.3f, 1.0f}}});
    const storeColor* previous = shown();
    send(channel::kStatusBatchBase + 1, {{0, 0, 0, kGreen}});
    send(channel::kStatusClear);
    send(channel::kStatusReleaseKeep);

    Table expected = unlitTable();
    expected[ledIndex(1, 2, 3)] = kRed;
    EXPECT_NE(shown(), previous);
    EXPECT_TRUE(sameBytes(snapshot(shown()), expected));
}

TEST_F(Receiver, ExchangeCopiesNoColour)
{
    showFrame({{1, 0, 0, kRed}});     // frame 1, in cube_color_front
    showFrame({{0, 1, 0, kGreen}});   // frame 2, built on the start table
    EXPECT_EQ(shown(), cube_color_back);
    // The next frame starts from frame 1, not from the frame on show.
    Table frame1 = unlitTable();
    frame1[ledIndex(1, 0, 0)] = kRed;
    EXPECT_TRUE(sameBytes(snapshot(ptFutureColorTable), frame1));

    // A release with nothing written shows that frame before last again.
    send(channel::kStatusReleaseNoKeep);
    EXPECT_EQ(shown(), cube_color_front);
    EXPECT_TRUE(sameBytes(snapshot(shown()), frame1));
    EXPECT_EQ(loadNextFrame.load(), 1);
    EXPECT_EQ(semaphoreIsCritical.load(), 0);
}

TEST_F(Receiver, OutOfRangeCoordinateIsIgnoredAndAnswered)
{
    showFrame({{1, 2, 3, kRed}});
    send(channel::kStatusBatchBase + 1, {{2, 2, 2, kGreen}});
    const Table back = snapshot(cube_color_back);
    const Table front = snapshot(cube_color_front);
    // Each coordinate out of range on its own; with y or z too large a flat
    // index would still fall inside the table, on another LED.
    const std::vector<queueEntry> outside{{kCubeEdge, 0, 0, kBlue}, {0, kCubeEdge, 0, kBlue}, {0, 0, 255, kBlue}};
    for (const queueEntry& entry : outside) {
        SCOPED_TRACE(testing::Message() << int(entry.x) << ' ' << int(entry.y) << ' ' << int(entry.z));
        send(channel::kStatusBatchBase + 1, {entry});
        EXPECT_TRUE(sameBytes(snapshot(cube_color_back), back));
        EXPECT_TRUE(sameBytes(snapshot(cube_color_front), front));
    }
    // In-range entries of the same batch are still applied.
    send(channel::kStatusBatchBase + 3, {outside[1], {0, 0, 0, kBlue}, outside[2]});
    EXPECT_TRUE(sameColor(future(0, 0, 0), kBlue));
}

struct HookCall {
    const storeColor* shown;
    uint8_t status;
    uint8_t loadNextFrame;
    Table colours;
};
std::vector<HookCall> hookCalls;
uint8_t* hookRecord = nullptr;

void recordHookCall(const storeColor* shown)
{
    hookCalls.push_back({shown, channel::loadStatus(hookRecord), loadNextFrame.load(), snapshot(shown)});
}

TEST_F(Receiver, HookSeesEveryReleaseOnceBeforeItIsAnswered)
{
    hookCalls.clear();
    hookRecord = record;
    frameReleasedHook = recordHookCall;

    send(channel::kStatusBatchBase + 1, {{1, 2, 3, kRed}});
    send(channel::kStatusClear);
    send(channel::kStatusBatchBase + 1, {{1, 2, 3, kRed}});
    send(channel::kStatusReleaseNoKeep);
    ASSERT_EQ(hookCalls.size(), 1u);
    const Table frame1 = snapshot(shown());
    send(channel::kStatusReleaseKeep);
    send(channel::kStatusIdle);

    ASSERT_EQ(hookCalls.size(), 2u);
    EXPECT_EQ(hookCalls[0].shown, cube_color_front);
    EXPECT_EQ(hookCalls[0].status, channel::kStatusReleaseNoKeep);
    EXPECT_TRUE(sameBytes(hookCalls[0].colours, frame1));
    EXPECT_EQ(hookCalls[1].shown, cube_color_back);
    EXPECT_EQ(hookCalls[1].status, channel::kStatusReleaseKeep);
    EXPECT_TRUE(sameBytes(hookCalls[1].colours, frame1));
    for (const HookCall& call : hookCalls)
        EXPECT_EQ(call.loadNextFrame, 1);
}

// pthread_create cannot get a stack once the address space is capped just
// above what the process already uses.
void capAddressSpace()
{
    constexpr rlim_t kHeadroom = 1 << 20;
    long pages = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (!statm || std::fscanf(statm, "%ld", &pages) != 1)
        std::abort();
    std::fclose(statm);
    const rlim_t used = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
    const rlimit cap{used + kHeadroom, used + kHeadroom};
    if (setrlimit(RLIMIT_AS, &cap) != 0)
        std::abort();
}

TEST(ReceiverStart, FailedThreadStartEndsTheProcess)
{
    testsupport::RunDir dir;
    EXPECT_EXIT(
        {
            if (chdir(dir.root().c_str()) != 0)
                std::abort();
            capAddressSpace();
            setupSharedMem();
        },
        testing::ExitedWithCode(EXIT_FAILURE), "unable to start the receiver thread Exiting: .*[Rr]esource");
}

}  // namespace
