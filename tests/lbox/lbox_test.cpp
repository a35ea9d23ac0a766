// The client library seen from the viewer's side of the channel: each test
// runs the scenario program as a real process below a run directory and
// checks what a recording reader finds in the mapped record.

#include "lbox/channel.h"
#include "testkit/support.h"
#include "tests/lbox/call_mix.h"
#include "tests/lbox/frame_sequence.h"
#include "tests/lbox/recording_reader.h"
#include "viewer/core1Read.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using testsupport::Process;
using testsupport::RunDir;


// Stress sizes shrink under slow builds (sanitizers) through CUBE_TEST_SCALE,
// a percentage.
std::size_t scaled(std::size_t n)
{
    const char* scale = std::getenv("CUBE_TEST_SCALE");
    return scale ? std::max<std::size_t>(1, n * std::strtoul(scale, nullptr, 10) / 100) : n;
}

class LboxTest : public ::testing::Test {
protected:
    std::unique_ptr<Process> start(const std::vector<std::string>& args, Process::Options options = {})
    {
        std::vector<std::string> argv{testsupport::binary("lbox_scenario")};
        argv.insert(argv.end(), args.begin(), args.end());
        options.cwd = dir.runDir();
        return std::make_unique<Process>(argv, options);
    }

    void expectCleanExit(Process& process, std::chrono::milliseconds deadline = 120s)
    {
        const testsupport::Exit exit = process.wait(deadline);
        EXPECT_FALSE(exit.timedOut);
        EXPECT_EQ(exit.code, 0) << process.err();
    }

    bool waitForStatus(uint8_t code, std::chrono::milliseconds deadline = 30s)
    {
        const auto end = std::chrono::steady_clock::now() + deadline;
        while (channel::loadStatus(record) != code) {
            if (std::chrono::steady_clock::now() >= end)
                return false;
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }

    static bool says(const Process& process, const std::string& line)
    {
        return process.waitForOutput([&](const std::string& out) { return out.find(line + "\n") != std::string::npos; });
    }

    RunDir dir;
    uint8_t* record = dir.mapRecord();
};

std::vector<std::string> writes(uint32_t first, uint32_t count)
{
    std::vector<std::string> events;
    for (uint32_t id = first; id < first + count; ++id)
        events.push_back(callmix::writeEvent(id));
    return events;
}

// What the scenario "release-burst <rounds>" sends: each round a release
// (keeping the frame every third round) and then one write, to its end.
std::vector<std::string> releaseBurstEvents(uint32_t rounds)
{
    std::vector<std::string> events;
    for (uint32_t id = 0; id < rounds; ++id) {
        events.push_back(id % 3 == 0 ? "R1" : "R0");
        events.push_back(callmix::writeEvent(id));
    }
    events.insert(events.end(), {"R1", "C"});
    return events;
}

TEST_F(LboxTest, FourPendingWritesGoAsBatchesOfThreeThenOneWithExactBytes)
{
    RecordingReader reader(record);
    reader.hold(true);
    auto process = start({"four-writes"});
    ASSERT_TRUE(says(*process, "queued"));
    ASSERT_TRUE(waitForStatus(channel::kStatusClear)) << "clear is the first code and goes out at once";
    reader.hold(false);
    expectCleanExit(*process);

    const auto codes = reader.codes();
    ASSERT_EQ(codes.size(), 5u);
    EXPECT_EQ(codes[0][0], channel::kStatusClear);
    EXPECT_EQ(codes[3][0], channel::kStatusReleaseNoKeep);
    EXPECT_EQ(codes[4][0], channel::kStatusClear);

    const std::vector<uint8_t> three(codes[1].begin(), codes[1].end());
    const std::vector<uint8_t> expectedThree = {
        255,                                                                      // batch of three
        1,   2,    3,    0x00, 0x00, 0x80, 0x3F, 0, 0, 0, 0,    0,    0,    0,    0,     // (1, 0, 0)
        4,   5,    6,    0,    0,    0,    0,    0, 0, 0x80, 0x3F, 0,    0,    0,    0,     // (0, 1, 0)
        7,   8,    9,    0,    0,    0,    0,    0, 0, 0,    0,    0x00, 0x00, 0x80, 0x3F};  // (0, 0, 1)
    EXPECT_EQ(three, expectedThree);

    const auto& one = codes[2];
    EXPECT_EQ(one[0], 253);
    const std::vector<uint8_t> entryOne(one.begin() + 1, one.begin() + 16);
    const std::vector<uint8_t> expectedOne = {10, 11, 12, 0, 0, 0, 0x3F, 0, 0, 0x80, 0x3E, 0, 0, 0, 0x40};
    EXPECT_EQ(entryOne, expectedOne) << "(0.5, 0.25, 2.0) as little-endian floats";
    EXPECT_TRUE(std::equal(one.begin() + 16, one.end(), codes[1].begin() + 16))
        << "entries 2 and 3 keep the bytes of the previous batch";
}

TEST_F(LboxTest, ClearsInterleavedWithWritesAlternateExactly)
{
    const uint32_t pairs = static_cast<uint32_t>(scaled(15000));
    for (const bool writeFirst : {true, false}) {
        SCOPED_TRACE(writeFirst ? "autowrite; clear" : "clear; autowrite");
        RunDir pairDir;
        RecordingReader reader(pairDir.mapRecord(), writeFirst ? 0 : 64);
        Process process({testsupport::binary("lbox_scenario"), writeFirst ? "write-then-clear" : "clear-then-write",
                         std::to_string(pairs)},
                        Process::Options::in(pairDir.runDir()));
        expectCleanExit(process);

        std::vector<std::string> expected;
        for (uint32_t id = 0; id < pairs; ++id) {
            if (writeFirst)
                expected.push_back(callmix::writeEvent(id));
            expected.push_back("C");
            if (!writeFirst)
                expected.push_back(callmix::writeEvent(id));
        }
        expected.insert(expected.end(), {"R0", "C"});
        EXPECT_EQ(reader.events(), expected);
    }
}

TEST_F(LboxTest, ReleaseCodesKeepCallOrderAndTheirOwnKeepValue)
{
    const uint32_t rounds = static_cast<uint32_t>(scaled(5000));
    RecordingReader reader(record, 16);
    auto process = start({"release-burst", std::to_string(rounds)});
    expectCleanExit(*process);

    EXPECT_EQ(reader.events(), releaseBurstEvents(rounds))
        << "writes queued right after a release belong to the next frame";
}

// A mistyped mode must not stop an animation: the library says so once and
// carries every code at the default pace.
TEST_F(LboxTest, ChannelModeThatNamesNoModeIsSaidOnceAndTheDefaultCarriesEveryCode)
{
    constexpr uint32_t kRounds = 30;
    RecordingReader reader(record);
    Process::Options options;
    options.env = testsupport::environmentWithMode("quick");
    auto process = start({"release-burst", std::to_string(kRounds)}, options);
    expectCleanExit(*process);

    EXPECT_EQ(process->err(),
              "lbox_scenario: CUBE_CHANNEL=quick names no channel mode (fast or default); the default mode is used\n");
    EXPECT_EQ(reader.events(), releaseBurstEvents(kRounds));
}

TEST_F(LboxTest, RandomCallMixArrivesExactlyInCallOrder)
{
    const std::size_t calls = scaled(40000);
    for (const uint32_t seed : {7u, 2024u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        RunDir mixDir;
        RecordingReader reader(mixDir.mapRecord(), 24);
        Process process({testsupport::binary("lbox_scenario"), "calls", std::to_string(seed), std::to_string(calls)},
                        Process::Options::in(mixDir.runDir()));
        expectCleanExit(process);

        auto expected = callmix::expectedEvents(callmix::randomMix(seed, calls));
        expected.insert(expected.end(), {"R0", "C"});
        EXPECT_EQ(reader.events(), expected) << "nothing lost, doubled or reordered";
    }
}

TEST_F(LboxTest, FullQueueMakesAutowriteWaitAndLosesNoWrite)
{
    constexpr uint32_t kExtra = 30000;
    RecordingReader reader(record);
    reader.hold(true);
    auto process = start({"full-queue", std::to_string(kExtra)});
    ASSERT_TRUE(says(*process, "ring full"));
    // With the viewer stalled no slot can free up, so the next write must wait.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(process->out().find("all queued"), std::string::npos) << "a full ring overwrote an unsent write";
    reader.hold(false);
    expectCleanExit(*process);

    std::vector<std::string> expected{"C"};
    const auto all = writes(0, lBox::kQueueSize + kExtra);
    expected.insert(expected.end(), all.begin(), all.end());
    expected.insert(expected.end(), {"R0", "C"});
    EXPECT_EQ(reader.events(), expected) << "the ring wraps past slot 65,535 without loss";
}

// CPU time the process has used so far, user and system.
std::chrono::milliseconds cpuTime(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    // The fields after the command name, which is in parentheses and may hold
    // spaces: state is field 3, utime and stime are fields 14 and 15.
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string skip;
    for (int field = 3; field < 14; ++field)
        fields >> skip;
    long long user = 0;
    long long system = 0;
    fields >> user >> system;
    return std::chrono::milliseconds((user + system) * 1000 / sysconf(_SC_CLK_TCK));
}

TEST_F(LboxTest, CallsWaitingOnAStalledViewerSleepInsteadOfSpinning)
{
    constexpr std::chrono::milliseconds kWatch = 1s;
    // A spinning wait uses all of kWatch; a sleeping one about 1.5% of it,
    // and a quarter under ThreadSanitizer, whose runtime wakes with it.
    constexpr auto kMostCpu = kWatch / 2;
    const std::map<std::string, std::vector<std::string>> expected{
        {"release", {"C", "W0", "R0", "C"}},
        {"clear", {"C", "C", "C"}},
    };
    for (const auto& [call, events] : expected) {
        SCOPED_TRACE(call);
        RunDir blockedDir;
        RecordingReader reader(blockedDir.mapRecord());
        reader.hold(true);
        Process process({testsupport::binary("lbox_scenario"), "blocked", call},
                        Process::Options::in(blockedDir.runDir()));
        ASSERT_TRUE(says(process, "waiting"));
        const auto before = cpuTime(process.pid());
        std::this_thread::sleep_for(kWatch);
        EXPECT_LT(cpuTime(process.pid()) - before, kMostCpu);
        reader.hold(false);
        expectCleanExit(process);
        EXPECT_EQ(reader.events(), events);
    }
}

TEST_F(LboxTest, LaterGetInstanceKeepsSizesAndWriteSendsNothing)
{
    RecordingReader reader(record);
    auto process = start({"sizes"});
    expectCleanExit(*process);
    EXPECT_NE(process->out().find("same=1 sizes=5,5,5,5,5 write=-1\n"), std::string::npos) << process->out();
    EXPECT_EQ(reader.events(), (std::vector<std::string>{"R1", "C"})) << "an empty frame is still released";
}

TEST_F(LboxTest, MsSleepWaitsAtLeastTheTimeGiven)
{
    auto process = start({"sleep", "250"});
    expectCleanExit(*process);
    const std::string out = process->out();
    ASSERT_EQ(out.rfind("slept_us=", 0), 0u) << out;
    EXPECT_GE(std::stoll(out.substr(9)), 250000);
}

TEST_F(LboxTest, StopPrintsClosingLineAndLeavesRecordIdle)
{
    RecordingReader reader(record);
    reader.hold(true);
    auto process = start({"stop-with-queue", "100"});
    ASSERT_TRUE(says(*process, "queued"));
    expectCleanExit(*process);

    EXPECT_EQ(process->out(), "queued\nExiting_ core1Run:0\n");
    EXPECT_EQ(channel::loadStatus(record), channel::kStatusIdle) << "the unhandled batch is dropped";
    reader.hold(false);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(reader.count(), 0u);
}

TEST_F(LboxTest, ReleaseAskedForJustBeforeTheEndStillReachesALateReceiver)
{
    RecordingReader reader(record);
    reader.hold(true);
    auto process = start({"release-at-end", "1"});
    ASSERT_TRUE(says(*process, "released"));
    std::this_thread::sleep_for(100ms);
    reader.hold(false);
    expectCleanExit(*process);

    EXPECT_EQ(process->out(), "released\nExiting_ core1Run:0\n");
    const auto codes = reader.codes();
    ASSERT_EQ(codes.size(), 2u);
    EXPECT_EQ(codes[0][0], channel::kStatusClear);
    EXPECT_EQ(codes[1][0], channel::kStatusReleaseKeep);
}

struct BadChannel {
    const char* name;
    void (*prepare)(const RunDir&);
    const char* message;
    bool obeyFileModes;
};

const BadChannel kBadChannels[] = {
    {"missing", [](const RunDir& d) { std::filesystem::remove(d.recordPath()); },
     "unable to open shared_buffer.txt Exiting: No such file or directory\n", false},
    {"too short", [](const RunDir& d) { d.writeRecordBytes(std::vector<uint8_t>(10, 200)); },
     "../shared_buffer.txt is too short; the frame record needs a file of at least 46 bytes. Exiting\n", false},
    {"empty", [](const RunDir& d) { d.writeRecordBytes({}); },
     "../shared_buffer.txt is too short; the frame record needs a file of at least 46 bytes. Exiting\n", false},
    {"a directory",
     [](const RunDir& d) {
         std::filesystem::remove(d.recordPath());
         std::filesystem::create_directory(d.recordPath());
     },
     "unable to open shared_buffer.txt Exiting: Is a directory\n", false},
    {"not writable", [](const RunDir& d) { ::chmod(d.recordPath().c_str(), 0444); },
     "unable to open shared_buffer.txt Exiting: Permission denied\n", true},
};

// What the codes of a run show, played through the viewer's own receiver:
// each release's frame on show, and the LED writes and clears that went
// into it. A receiver restarted before code `restartAt` starts from unlit
// tables and drops the code that it finds in the record.
struct Shown {
    std::vector<storeColor> table;
    int codes = 0;
};

std::vector<Shown> playThroughReceiver(const std::vector<RecordingReader::Record>& codes,
                                       std::size_t restartAt = SIZE_MAX)
{
    static_assert(kCubeEdge == frames::kEdge);
    std::vector<Shown> shown;
    int sent = 0;
    resetReceiver();
    frameReleasedHook = [&](const storeColor* table) {
        shown.push_back({{table, table + kCubeLeds}, sent});
        sent = 0;
    };
    for (std::size_t i = 0; i < codes.size(); ++i) {
        if (i == restartAt) {
            resetReceiver();
            continue;
        }
        RecordingReader::Record record = codes[i];
        const uint8_t code = record[0];
        const int entries = code > channel::kStatusBatchBase ? code - channel::kStatusBatchBase : 0;
        sent += code == channel::kStatusClear ? 1 : entries;
        for (int k = 0; k < entries; ++k) {
            const queueEntry e = channel::unpackEntry(record.data(), static_cast<std::size_t>(k));
            EXPECT_TRUE(e.x < frames::kEdge && e.y < frames::kEdge && e.z < frames::kEdge) << "code " << i;
        }
        handleRecord(record.data());
    }
    frameReleasedHook = nullptr;
    return shown;
}

// A frame as the receiver holds it: an LED that is off in the unlit grey.
std::vector<storeColor> asReceived(const lFrame& frame)
{
    std::vector<storeColor> table;
    for (const storeColor& c : frame.leds())
        table.push_back(lFrame::isOff(c) ? kUnlit : c);
    return table;
}

int differing(const std::vector<storeColor>& a, const std::vector<storeColor>& b)
{
    int count = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        count += std::memcmp(&a[i], &b[i], sizeof(storeColor)) != 0;
    return count;
}

TEST_F(LboxTest, FrameWriterShowsEachFrameWithTheFewestWrites)
{
    RecordingReader reader(record);
    auto process = start({"frames"});
    expectCleanExit(*process);

    const std::vector<Shown> shown = playThroughReceiver(reader.codes());
    ASSERT_EQ(shown.size(), std::size_t{frames::kSequenceLength});
    const std::vector<storeColor> dark = asReceived(lFrame(frames::kEdge));
    for (int k = 0; k < frames::kSequenceLength; ++k) {
        SCOPED_TRACE("frame " + std::to_string(k));
        const std::vector<storeColor> expected = asReceived(frames::sequenceFrame(k));
        EXPECT_EQ(differing(shown[k].table, expected), 0);
        // The receiver builds on the frame before last, which the writer
        // knows from the third frame on.
        const int lit = differing(expected, dark);
        const int changed = k < 2 ? INT_MAX : differing(expected, asReceived(frames::sequenceFrame(k - 2)));
        EXPECT_EQ(shown[k].codes, std::min(changed, lit + 1));
    }
}

TEST_F(LboxTest, FrameWriterBringsARestartedReceiverRightWithinASecond)
{
    RecordingReader reader(record);
    auto process = start({"numbered-frames"});
    expectCleanExit(*process);

    // Restarted while frame kRestart goes out: its first code is lost.
    constexpr int kRestart = 12;
    const auto codes = reader.codes();
    std::size_t restartAt = 0;
    for (int releases = 0; releases < kRestart; ++restartAt)
        releases += codes.at(restartAt)[0] == channel::kStatusReleaseNoKeep;
    const std::vector<Shown> shown = playThroughReceiver(codes, restartAt);
    ASSERT_EQ(shown.size(), std::size_t{frames::kNumberedLength});

    int firstRight = -1;
    for (int k = 0; k < frames::kNumberedLength; ++k) {
        const bool right = differing(shown[k].table, asReceived(frames::numberedFrame(k))) == 0;
        EXPECT_TRUE(right || (k >= kRestart && firstRight < 0)) << "frame " << k;
        if (k >= kRestart && right && firstRight < 0)
            firstRight = k;
    }
    // The frames are a tenth of a second apart or more, and a whole frame
    // goes out at least once a second.
    EXPECT_GE(firstRight, kRestart);
    EXPECT_LE(firstRight, kRestart + 10);
}

// What the scenario printed for each show: the writes it returned and
// whether the frame went out whole.
struct Report {
    int writes;
    int whole;
    bool operator==(const Report&) const = default;
};

std::vector<Report> reports(const std::string& out)
{
    std::vector<Report> found;
    std::istringstream lines(out);
    std::string line;
    Report report{};
    while (std::getline(lines, line))
        if (std::sscanf(line.c_str(), "writes=%d whole=%d", &report.writes, &report.whole) == 2)
            found.push_back(report);
    return found;
}

// The LED writes of each released frame, in the order sent.
std::vector<std::vector<queueEntry>> writesOfFrames(const std::vector<RecordingReader::Record>& codes)
{
    std::vector<std::vector<queueEntry>> frames(1);
    for (const RecordingReader::Record& record : codes) {
        const uint8_t code = record[0];
        if (code == channel::kStatusReleaseNoKeep || code == channel::kStatusReleaseKeep)
            frames.emplace_back();
        for (int k = 0; code > channel::kStatusBatchBase && k < code - channel::kStatusBatchBase; ++k)
            frames.back().push_back(channel::unpackEntry(record.data(), static_cast<std::size_t>(k)));
    }
    frames.pop_back();
    return frames;
}

// Where frame k's codes begin: just after the k-th release.
std::size_t firstCodeOfFrame(const std::vector<RecordingReader::Record>& codes, int k)
{
    std::size_t at = 0;
    for (int releases = 0; releases < k; ++at)
        releases += codes.at(at)[0] == channel::kStatusReleaseNoKeep;
    return at;
}

TEST_F(LboxTest, FrameWriterReturnsItsWritesAndSaysWhichFramesWentOutWhole)
{
    RecordingReader reader(record);
    auto process = start({"frames"});
    expectCleanExit(*process);

    // Whole while a table is unknown, or when clearing and writing the lit
    // LEDs is fewer than the difference (frames 5, 9 and 10).
    const std::vector<Report> expected{{3, 1},   {4, 1},  {0, 0}, {1, 0}, {125, 0}, {1, 1},
                                       {125, 0}, {63, 0}, {1, 0}, {0, 1}, {0, 1},   {0, 0}};
    EXPECT_EQ(reports(process->out()), expected);
    const std::vector<Shown> shown = playThroughReceiver(reader.codes());
    ASSERT_EQ(shown.size(), expected.size());
    for (std::size_t k = 0; k < expected.size(); ++k)
        EXPECT_EQ(shown[k].codes, expected[k].writes + expected[k].whole) << "frame " << k << ": the clear is not counted";
}

TEST_F(LboxTest, FrameWriterSendsASwitchedOffLedAsTheUnlitGrey)
{
    RecordingReader reader(record);
    auto process = start({"frames"});
    expectCleanExit(*process);

    const auto frames = writesOfFrames(reader.codes());
    ASSERT_EQ(frames.size(), std::size_t{frames::kSequenceLength});
    // Frame 3 only switches (4, 4, 4) off.
    ASSERT_EQ(frames[3].size(), 1u);
    const queueEntry off = frames[3][0];
    EXPECT_EQ(std::vector<int>({off.x, off.y, off.z}), std::vector<int>({4, 4, 4}));
    EXPECT_EQ(std::memcmp(&off.color, &lFrame::kUnlit, sizeof(storeColor)), 0)
        << off.color.r << ", " << off.color.g << ", " << off.color.b;
    for (std::size_t k = 0; k < frames.size(); ++k)
        for (const queueEntry& e : frames[k])
            EXPECT_FALSE(lFrame::isOff(e.color)) << "frame " << k << " sent black, which the viewer draws black";
}

TEST_F(LboxTest, FrameWriterCutsALargerFrameAndLightsOnlyTheCornerOfASmallerOne)
{
    RecordingReader reader(record);
    auto process = start({"other-edges"});
    expectCleanExit(*process);

    const std::vector<Shown> shown = playThroughReceiver(reader.codes());
    ASSERT_EQ(shown.size(), std::size(frames::kOtherEdges));
    for (std::size_t k = 0; k < shown.size(); ++k) {
        lFrame expected(frames::kEdge);
        frames::drawOtherEdge(static_cast<int>(k), expected);
        EXPECT_EQ(differing(shown[k].table, asReceived(expected)), 0) << "frame " << k;
    }
    // Edge 7 filled writes the 125 LEDs of the cube and no more; edge 0 is
    // dark, a clear alone.
    EXPECT_EQ(reports(process->out()), (std::vector<Report>{{3, 1}, {125, 1}, {0, 0}, {0, 1}, {8, 1}}));
}

TEST_F(LboxTest, FrameWriterWithWholeEveryZeroSendsDifferencesAfterASecond)
{
    RecordingReader reader(record);
    auto process = start({"never-forget"});
    expectCleanExit(*process);

    // The bottom layer and one top LED are lit (26); frame 2 changes three
    // LEDs from frame 0, more than kWholeEvery later; refresh() adds nothing.
    EXPECT_EQ(reports(process->out()), (std::vector<Report>{{26, 1}, {26, 1}, {3, 0}}));
    const std::vector<Shown> shown = playThroughReceiver(reader.codes());
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[2].codes, 3);
    EXPECT_EQ(differing(shown[2].table, asReceived(frames::numberedFrame(2))), 0);
}

TEST_F(LboxTest, FrameWriterAfterForgettingSendsTwoWholeFramesThatRightARestartedReceiver)
{
    RecordingReader reader(record);
    auto process = start({"forget-tables"});
    expectCleanExit(*process);

    std::vector<Report> expected;
    for (int k = 0; k < frames::kForgetLength; ++k) {
        const bool whole = k < 2 || k == frames::kForgetAt || k == frames::kForgetAt + 1;
        expected.push_back(whole ? Report{26, 1} : Report{3, 0});
    }
    EXPECT_EQ(reports(process->out()), expected);

    // Restarted as frame 3 goes out: wrong until the first whole frame.
    constexpr int kRestart = 3;
    const auto codes = reader.codes();
    const std::vector<Shown> shown = playThroughReceiver(codes, firstCodeOfFrame(codes, kRestart));
    ASSERT_EQ(shown.size(), std::size_t{frames::kForgetLength + 2});
    for (int k = 0; k < frames::kForgetLength; ++k) {
        const bool right = differing(shown[k].table, asReceived(frames::numberedFrame(k))) == 0;
        EXPECT_EQ(right, k < kRestart || k >= frames::kForgetAt) << "frame " << k;
    }
}

TEST_F(LboxTest, FrameWriterRefreshSendsTheLastFrameWholeIntoBothTables)
{
    RecordingReader reader(record);
    auto process = start({"forget-tables"});
    expectCleanExit(*process);

    // Restarted during frame 9, the receiver is right again only through
    // the two frames of refresh(), each a clear and the 26 lit LEDs.
    const auto codes = reader.codes();
    const std::vector<Shown> shown = playThroughReceiver(codes, firstCodeOfFrame(codes, 9));
    ASSERT_EQ(shown.size(), std::size_t{frames::kForgetLength + 2});
    const std::vector<storeColor> last = asReceived(frames::numberedFrame(frames::kForgetLength - 1));
    EXPECT_NE(differing(shown[frames::kForgetLength - 1].table, last), 0);
    for (const int k : {frames::kForgetLength, frames::kForgetLength + 1}) {
        EXPECT_EQ(differing(shown[k].table, last), 0) << "frame " << k;
        EXPECT_EQ(shown[k].codes, 27) << "frame " << k;
    }
}

TEST(LboxChannelFile, UnusableFileIsReportedAndLeftAlone)
{
    for (const BadChannel& bad : kBadChannels) {
        SCOPED_TRACE(bad.name);
        RunDir dir;
        bad.prepare(dir);
        const std::string before = testsupport::readFile(dir.recordPath());
        Process::Options options = Process::Options::in(dir.runDir());
        // root may write any file, so the permission case runs without that power.
        options.obeyFileModes = bad.obeyFileModes;
        Process process({testsupport::binary("lbox_scenario"), "idle"}, options);
        const testsupport::Exit exit = process.wait(20s);
        EXPECT_EQ(exit.code, 1);
        EXPECT_EQ(process.err(), bad.message);
        EXPECT_EQ(process.out(), "");
        EXPECT_EQ(testsupport::readFile(dir.recordPath()), before);
        EXPECT_EQ(std::filesystem::exists(dir.recordPath()), std::string(bad.name) != "missing");
    }
}

}  // namespace
