// cubetrace --record and cubereplay as real processes: recordings made from
// the channel play back into it frame for frame, and bad recordings are
// refused before anything is sent.

#include "lbox/channel.h"
#include "tests/record/recording_file.h"
#include "testkit/support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>

namespace {

using namespace std::chrono_literals;
using testsupport::Process;
using testsupport::RecordingFile;
using testsupport::RunDir;

constexpr uint8_t kBusy = 0;  // a status no side ever stores

// The release lines of a cubetrace output without their times:
// "<number> <lit> <hash>" each.
std::vector<std::string> frames(const std::string& out)
{
    std::vector<std::string> result;
    for (const std::string& line : testsupport::splitLines(out)) {
        std::istringstream in(line);
        std::string number, ms, lit, hash;
        if (line.rfind("  ", 0) != 0 && in >> number >> ms >> lit >> hash)
            result.push_back(number + " " + lit + " " + hash);
    }
    return result;
}

long long lastMs(const std::string& out)
{
    const auto lines = testsupport::splitLines(out);
    return lines.empty() ? -1 : std::stoll(lines.back().substr(lines.back().find(' ') + 1));
}

class ReplayTest : public ::testing::Test {
protected:
    std::unique_ptr<Process> trace(std::vector<std::string> args)
    {
        args.insert(args.begin(), testsupport::binary("cubetrace"));
        auto process = std::make_unique<Process>(args, Process::Options::in(dir.root()));
        // cubetrace marks the record idle once it serves the channel.
        const auto end = std::chrono::steady_clock::now() + 30s;
        while (channel::loadStatus(record) != channel::kStatusIdle && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(2ms);
        return process;
    }

    // With `env`, in that environment alone.
    std::unique_ptr<Process> replay(std::vector<std::string> args,
                                    std::optional<std::vector<std::string>> env = std::nullopt)
    {
        args.insert(args.begin(), testsupport::binary("cubereplay"));
        Process::Options options = Process::Options::in(dir.runDir());
        options.env = std::move(env);
        return std::make_unique<Process>(args, options);
    }

    RunDir dir;
    uint8_t* record = [this] {
        uint8_t* map = dir.mapRecord();
        channel::storeStatus(map, kBusy);
        return map;
    }();
};

TEST_F(ReplayTest, RecordedFramesReplayIdenticallyAtAnySpeed)
{
    const std::string path = dir.root() + "/frames.rec";
    const queueEntry red{1, 2, 3, {1.0f, 0.0f, 0.0f}};
    const queueEntry green{11, 0, 11, {0.0f, 1.0f, 0.0f}};
    const queueEntry blue{0, 11, 0, {0.0f, 0.0f, 1.0f}};
    RecordingFile(path, 12)
        .add(10, channel::kStatusClear)
        .add(20, 255, {red, green, blue})
        .add(30, channel::kStatusReleaseNoKeep)
        .add(40, 253, {{5, 5, 5, {0.5f, 0.5f, 1.0f}}})
        .add(250, channel::kStatusReleaseKeep)
        .add(260, channel::kStatusClear)
        .add(270, channel::kStatusReleaseKeep);

    // Replaying the hand-made file, recording it again, and replaying that
    // must show the same three frames each time.
    const std::string again = dir.root() + "/again.rec";
    auto first = trace({"--count", "3", "--record", again});
    auto player = replay({path});
    ASSERT_EQ(first->wait().code, 0);
    ASSERT_EQ(player->wait().code, 0) << player->err();
    EXPECT_GE(lastMs(first->out()), 270) << "the original timing is kept";
    const auto expected = frames(first->out());
    ASSERT_EQ(expected.size(), 3u);
    EXPECT_EQ(expected[0].substr(0, 4), "1 3 ");
    EXPECT_EQ(expected[1].substr(0, 4), "2 4 ") << "the keep carries the three LEDs over";
    EXPECT_EQ(expected[2].substr(0, 4), "3 4 ") << "cleared, then the four carried over again";

    channel::storeStatus(record, kBusy);
    auto second = trace({"--count", "3"});
    auto fast = replay({"--speed", "10", again});
    ASSERT_EQ(second->wait().code, 0);
    ASSERT_EQ(fast->wait().code, 0) << fast->err();
    EXPECT_EQ(frames(second->out()), expected);
}

TEST_F(ReplayTest, LoopPlaysTheRecordingAgainUntilStopped)
{
    const std::string path = dir.root() + "/loop.rec";
    RecordingFile(path, 12).add(0, 253, {{0, 0, 0, {1.0f, 1.0f, 1.0f}}}).add(1, channel::kStatusReleaseNoKeep);
    auto tracer = trace({"--count", "5"});
    auto player = replay({"--loop", path});
    ASSERT_EQ(tracer->wait().code, 0);
    EXPECT_EQ(frames(tracer->out()).size(), 5u);
    // The fifth release stays unanswered, so the player is waiting: a stop
    // withdraws that code and ends cleanly.
    player->signal(SIGTERM);
    EXPECT_EQ(player->wait(30s).code, 0);
    EXPECT_EQ(channel::loadStatus(record), channel::kStatusIdle);
}

// cubeplay tells the receiver's edge in CUBE_EDGE. Run by hand, with nothing
// to tell it, cubereplay says nothing of the edge.
TEST_F(ReplayTest, RecordingOfAnotherEdgeThanTheReceiversPlaysWithAWarning)
{
    const std::string path = dir.root() + "/five.rec";
    RecordingFile(path, 5).add(0, 253, {{4, 4, 4, {1.0f, 1.0f, 1.0f}}}).add(1, channel::kStatusReleaseNoKeep);
    struct Case {
        std::vector<std::string> env;
        std::string err;
    };
    const Case cases[] = {
        {{"CUBE_EDGE=12"}, "cubereplay: warning: " + path +
                               " was recorded on a cube of edge 5, and the receiver's is 12 (cubeplay --edge 5 "
                               "matches them)\n"},
        {{"CUBE_EDGE=5"}, ""},
        {{}, ""},
        {{"CUBE_EDGE=twelve"}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.env.empty() ? "unset" : c.env[0]);
        channel::storeStatus(record, kBusy);
        auto tracer = trace({"--count", "1"});
        auto player = replay({path}, c.env);
        ASSERT_EQ(tracer->wait().code, 0);
        EXPECT_EQ(player->wait(30s).code, 0);
        EXPECT_EQ(player->err(), c.err);
        ASSERT_EQ(frames(tracer->out()).size(), 1u);
        EXPECT_EQ(frames(tracer->out())[0].substr(0, 4), "1 1 ") << "played all the same";
    }
}

struct BadRecording {
    const char* name;
    std::vector<uint8_t> bytes;
    const char* message;
};

std::vector<uint8_t> header(uint8_t version, uint8_t edge)
{
    return {'C', 'U', 'B', 'E', 'R', 'E', 'C', 0, version, 0, edge, 0};
}

std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(ReplayTest, BadRecordingIsRefusedBeforeAnythingIsSent)
{
    const std::vector<uint8_t> red = {5, 2, 3, 0, 0, 0x80, 0x3F, 0, 0, 0, 0, 0, 0, 0, 0};
    const BadRecording cases[] = {
        {"empty", {}, "not a cube recording (no CUBEREC header)"},
        {"other format", std::vector<uint8_t>{'R', 'I', 'F', 'F', 0, 0, 0, 0, 1, 0, 12, 0},
         "not a cube recording (no CUBEREC header)"},
        {"unknown version", header(2, 12) + std::vector<uint8_t>{0, 252},
         "recording format version 2 is not supported (this is 1)"},
        {"truncated entry", header(1, 12) + std::vector<uint8_t>{5, 253, 1, 2, 3, 0}, "truncated LED entry at byte 12"},
        {"truncated time", header(1, 12) + std::vector<uint8_t>{0x80}, "truncated item at byte 12"},
        {"code never sent", header(1, 12) + std::vector<uint8_t>{0, 252, 7, 7}, "code 7 is never sent by a writer at byte 14"},
        {"outside the cube", header(1, 5) + std::vector<uint8_t>{0, 253} + red + std::vector<uint8_t>{0, 252},
         "LED (5, 2, 3) lies outside the cube of edge 5 at byte 12"},
    };
    for (const BadRecording& bad : cases) {
        SCOPED_TRACE(bad.name);
        const std::string path = dir.root() + "/bad.rec";
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(bad.bytes.data()), static_cast<std::streamsize>(bad.bytes.size()));
        const auto before = dir.recordBytes();

        auto player = replay({path});
        EXPECT_EQ(player->wait(30s).code, 1);
        EXPECT_EQ(player->err(), "cubereplay: " + path + ": " + bad.message + "\n");
        EXPECT_EQ(dir.recordBytes(), before) << "nothing was sent";
    }

    auto missing = replay({dir.root() + "/missing.rec"});
    EXPECT_EQ(missing->wait(30s).code, 1);
    EXPECT_EQ(missing->err(), "cubereplay: cannot read " + dir.root() + "/missing.rec: No such file or directory\n");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"--speed", "0", "x.rec"}, {"--speed", "fast", "x.rec"}, {"a.rec", "b.rec"}}) {
        auto usage = replay(args);
        EXPECT_EQ(usage->wait(30s).code, 2);
        EXPECT_TRUE(usage->err().starts_with("cubereplay: ") &&
                    usage->err().ends_with(" (try 'cubereplay --help')\n"))
            << usage->err();
    }
}

}  // namespace
