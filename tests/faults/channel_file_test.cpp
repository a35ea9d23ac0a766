// Every program that opens the channel, started on a channel file that
// cannot serve: each says what is wrong and ends with status 1, without a
// crash and without creating or changing anything. (The viewer's window
// builds are in viewer_faults_test.cpp, the library's own scenario program in
// the library tests.)

#include "tests/faults/faults.h"
#include "record/recording.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <utility>
#include <unistd.h>

namespace {

using testsupport::binary;
using testsupport::Process;

constexpr uint8_t kRecordingEdge = 12;

struct Program {
    std::vector<std::string> argv;
    faults::Side side;
};

// A recording that would play one frame release, so that cubereplay gets as
// far as the channel.
std::string writeRecording(const testsupport::RunDir& dir)
{
    const std::string path = dir.root() + "/one-release.rec";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    recording::Writer writer;
    uint8_t record[channel::kRecordSize] = {};
    EXPECT_TRUE(writer.start(file, kRecordingEdge) && writer.add(0, channel::kStatusReleaseNoKeep, record));
    std::fclose(file);
    return path;
}

TEST(ChannelFile, EveryProgramRefusesAnUnusableFileAndLeavesItAlone)
{
    for (const faults::BadChannel& bad : faults::badChannels()) {
        testsupport::RunDir dir;
        const std::string recording = writeRecording(dir);
        const std::vector<Program> programs = {
            {{binary("cubetrace")}, faults::receiverTool("cubetrace")},
            {{binary("cubetrace5")}, faults::receiverTool("cubetrace5")},
            {{binary("cubetrace"), "--edge", "5", "--leds"}, faults::receiverTool("cubetrace")},
            {{binary("cubesend5"), "ddp://127.0.0.1"}, faults::receiverTool("cubesend5")},
            {{binary("cubereplay"), recording}, faults::writerTool("cubereplay")},
            {{binary("cubefx"), "rain"}, faults::writerTool("cubefx")},
            {{binary("cubelisten"), "ddp://127.0.0.1:0"}, faults::writerTool("cubelisten")},
            {{binary("cubeshow"), "12"}, faults::kWriter},
            {{binary("cubefill")}, faults::kWriter},
            {{binary("cubefill"), "12"}, faults::kWriter},
        };
        bad.spoil(dir);
        for (const Program& program : programs) {
            SCOPED_TRACE(std::string(bad.name) + ": " + testing::PrintToString(program.argv));
            const Process::Options options = Process::Options::in(program.side.startDir(dir));
            faults::expectRefusal(bad, program.side, program.argv, options, dir);
        }
    }
}

std::string truncatedMessage(const faults::Side& side)
{
    return std::string(side.path) + " was truncated while in use; the frame record is gone. Exiting\n";
}

// Serves the channel of `dir`: the tracer's reset of a stale code shows it.
std::unique_ptr<Process> startTracer(testsupport::RunDir& dir)
{
    uint8_t* record = dir.mapRecord();
    channel::storeStatus(record, 0);
    auto tracer = std::make_unique<Process>(std::vector<std::string>{binary("cubetrace5")},
                                            Process::Options::in(dir.root()));
    EXPECT_TRUE(faults::waitForStatus(record, [](uint8_t s) { return s == channel::kStatusIdle; }, tracer.get()));
    return tracer;
}

// Another process cuts the file short while a fill plays: both ends stop
// with a message. A bus error from anywhere else stays a bus error.
TEST(ChannelFile, TruncatedWhileInUseEndsBothEndsWithAMessage)
{
    testsupport::RunDir dir;
    auto tracer = startTracer(dir);
    Process fill({binary("cubefill")}, Process::Options::in(dir.runDir()));
    ASSERT_TRUE(tracer->waitForOutput([](const std::string& out) { return out.find("\n3 ") != std::string::npos; }));
    ASSERT_EQ(::truncate(dir.recordPath().c_str(), 0), 0);

    for (auto [process, side] : {std::pair{tracer.get(), faults::receiverTool("cubetrace5")}, std::pair{&fill, faults::kWriter}}) {
        const testsupport::Exit exit = process->wait();
        EXPECT_EQ(exit.signal, 0);
        EXPECT_EQ(exit.code, 1);
        EXPECT_EQ(process->err(), truncatedMessage(side));
    }

    testsupport::RunDir other;
    auto bystander = startTracer(other);
    bystander->signal(SIGBUS);
    // Handed on: it kills the tracer, or a sanitizer's own handler reports it.
    const testsupport::Exit exit = bystander->wait();
    EXPECT_TRUE(exit.signal == SIGBUS || bystander->err().find("Sanitizer") != std::string::npos)
        << exit.code << ": " << bystander->err();
    EXPECT_EQ(bystander->err().find("truncated"), std::string::npos);
}

}  // namespace
