// cubeplay as a user runs it, without a window: the run directory it lays
// out, the animation played on cubetrace, a quiet recording, the arguments
// passed on, a display that does not open, its exit status, and Ctrl-C.

#include "tests/demos/trace.h"
#include "tests/record/recording_file.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

using namespace std::chrono_literals;
using testsupport::binary;
using testsupport::Process;
namespace fs = std::filesystem;

constexpr int kInterruptedStatus = 128 + SIGINT;
const std::string kColumns = "Columns: release number, ms since start, lit LEDs, frame hash.\n";

TEST(Cubeplay, LaysOutTheRunAndRecordsQuietlyWithOneLineAtTheEnd)
{
    testsupport::RunDir scratch;
    const fs::path run = scratch.root() + "/play";
    // Without "12" the show plays its warm-up alone: two blank frames. The
    // recording's name is the caller's, not the run's.
    Process play({binary("cubeplay"), "--record", "show.rec", "--edge", "5", "--dir", run, "cubeshow"},
                 Process::Options::in(scratch.root()));
    EXPECT_EQ(play.wait().code, 0) << play.err();
    EXPECT_EQ(play.err(), "cubeplay: recorded 2 frames to show.rec\n");
    EXPECT_EQ(play.out(), demotest::kClosingLine) << "the show's own line, and no frame";
    const std::string recording = testsupport::readFile(scratch.root() + "/show.rec");
    EXPECT_EQ(recording.substr(0, 11), std::string("CUBEREC\0\1\0\5", 11)) << "header of version 1, edge 5";

    EXPECT_EQ(fs::file_size(run / "shared_buffer.txt"), 46u);
    for (const char* helper : {"launch", "app5", "app12"})
        EXPECT_EQ(fs::read_symlink(run / "anim" / helper), binary(helper));
}

// Frames released at 10 and 20 ms. cubereplay ends leaving the last release
// in the record, which the tracer still answers before cubeplay stops it.
void recordTwoFrames(const std::string& path, uint8_t edge)
{
    testsupport::RecordingFile(path, edge)
        .add(0, 253, {{1, 2, 3, {1.0f, 0.0f, 0.0f}}})
        .add(10, channel::kStatusReleaseNoKeep)
        .add(20, channel::kStatusReleaseKeep);
}

TEST(Cubeplay, RecordingNamedFromTheCallersDirectoryPlaysOnTheTracer)
{
    testsupport::RunDir scratch;
    recordTwoFrames(scratch.root() + "/show.rec", 5);
    Process play({binary("cubeplay"), "--headless", "--edge", "5", "cubereplay", "show.rec"},
                 Process::Options::in(scratch.root()));
    EXPECT_EQ(play.wait().code, 0) << play.err();
    EXPECT_EQ(play.err(), kColumns);
    const std::vector<demotest::Frame> frames = demotest::framesInPlay(play.out());
    ASSERT_EQ(frames.size(), 2u) << play.out();
    EXPECT_EQ(frames[0].lit, 1);
    EXPECT_EQ(frames[1].lit, 1) << "kept";
}

TEST(Cubeplay, RecordingOfAnotherEdgeIsPlayedWithAWarning)
{
    testsupport::RunDir scratch;
    recordTwoFrames(scratch.root() + "/five.rec", 5);
    Process play({binary("cubeplay"), "--headless", "cubereplay", "five.rec"}, Process::Options::in(scratch.root()));
    EXPECT_EQ(play.wait().code, 0) << play.err();
    EXPECT_EQ(play.err(), kColumns + "cubereplay: warning: " + scratch.root() +
                              "/five.rec was recorded on a cube of edge 5, and the receiver's is 12 (cubeplay --edge 5 "
                              "matches them)\n");
    EXPECT_EQ(demotest::framesInPlay(play.out()).size(), 2u) << play.out();
}

TEST(Cubeplay, OnlyArgumentsWrittenAsPathsToExistingFilesAreMadeAbsolute)
{
    testsupport::RunDir scratch;
    for (const char* name : {"12", "show.rec", "app5"})
        std::ofstream(scratch.root() + "/" + name) << "here";
    fs::create_directory(scratch.root() + "/shows");
    Process play({binary("cubeplay"), "--headless", "/bin/sh", "-c", "printf '%s\\n' \"$@\"", "sh", "12", "show.rec",
                  "app5", "./shows", "missing.rec", "--speed=2"},
                 Process::Options::in(scratch.root()));
    EXPECT_EQ(play.wait().code, 0) << play.err();
    EXPECT_EQ(play.out(), "12\n" + scratch.root() + "/show.rec\napp5\n" + scratch.root() +
                              "/./shows\nmissing.rec\n--speed=2\n");
}

#ifdef CUBE_TEST_VIEWERS
TEST(Cubeplay, DisplayThatDoesNotOpenIsNamedWithTheWayOut)
{
    Process::Options options = Process::Options::in("/");
    options.env = {"DISPLAY=:987", "PATH=/usr/bin:/bin"};
    Process play({binary("cubeplay"), "--edge", "5", "cubefill"}, options);
    EXPECT_EQ(play.wait().code, 1);
    EXPECT_EQ(play.err(),
              "cubeplay: cannot open the display ':987' that DISPLAY names; use --headless to print each frame "
              "instead\n");
    EXPECT_EQ(play.out(), "");
}
#endif

TEST(Cubeplay, EndsWithTheAnimationsStatus)
{
    Process play({binary("cubeplay"), "--headless", "/bin/sh", "-c", "exit 3"}, Process::Options::in("/"));
    EXPECT_EQ(play.wait().code, 3);
}

std::vector<pid_t> childrenOf(pid_t pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    std::vector<pid_t> children;
    for (pid_t child = 0; file >> child;)
        children.push_back(child);
    return children;
}

// The animation's line for each program that cubeplay has started (the
// tracer, then the animation itself): its CUBE_CHANNEL, or "none".
const std::vector<std::string> kChannelOfEachStarted = {
    "/bin/sh", "-c",
    "for p in $(cat /proc/$PPID/task/$PPID/children); do"
    "  tr '\\0' '\\n' </proc/$p/environ | grep '^CUBE_CHANNEL=' || echo none; done"};

// --fast wins over the mode that cubeplay's environment names.
TEST(Cubeplay, FastReachesTheReceiverAndTheAnimation)
{
    Process::Options options = Process::Options::in("/");
    options.env = {"PATH=/usr/bin:/bin", "CUBE_CHANNEL=default"};
    std::vector<std::string> argv{binary("cubeplay"), "--fast", "--headless"};
    argv.insert(argv.end(), kChannelOfEachStarted.begin(), kChannelOfEachStarted.end());
    Process play(argv, options);
    EXPECT_EQ(play.wait().code, 0) << play.err();
    EXPECT_EQ(play.out(), "CUBE_CHANNEL=fast\nCUBE_CHANNEL=fast\n");
}

TEST(Cubeplay, WithoutFastNoProgramItStartsIsGivenAMode)
{
    Process::Options options = Process::Options::in("/");
    options.env = {"PATH=/usr/bin:/bin"};
    std::vector<std::string> argv{binary("cubeplay"), "--headless"};
    argv.insert(argv.end(), kChannelOfEachStarted.begin(), kChannelOfEachStarted.end());
    Process play(argv, options);
    EXPECT_EQ(play.wait().code, 0) << play.err();
    EXPECT_EQ(play.out(), "none\nnone\n");
}

TEST(Cubeplay, InterruptStopsEverythingItStartedAndRemovesItsRun)
{
    testsupport::RunDir scratch;
    const std::string tmp = scratch.root() + "/tmp";
    fs::create_directory(tmp);
    Process::Options options = Process::Options::in(scratch.root());
    options.env = {"TMPDIR=" + tmp, "PATH=/usr/bin:/bin"};
    Process play({binary("cubeplay"), "--headless", "cubeshow", "12"}, options);
    ASSERT_TRUE(play.waitForOutput([](const std::string& out) { return out.find("\n3 ") != std::string::npos; })) << play.out();

    const std::vector<pid_t> children = childrenOf(play.pid());
    EXPECT_EQ(children.size(), 2u) << "the tracer and the show";
    play.signal(SIGINT);
    const testsupport::Exit exit = play.wait(30s);
    EXPECT_EQ(exit.code, kInterruptedStatus);
    for (const pid_t child : children)
        EXPECT_NE(::kill(child, 0), 0) << "process " << child << " outlived cubeplay";
    EXPECT_TRUE(fs::is_empty(tmp));
}

}  // namespace
