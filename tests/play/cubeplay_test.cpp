// cubeplay as a user runs it, without a window: the run directory it lays
// out, the animation played on cubetrace, its exit status, and Ctrl-C.

#include "tests/demos/trace.h"

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

TEST(Cubeplay, LaysOutTheRunAndPlaysTheProgramOnTheTracer)
{
    testsupport::RunDir scratch;
    const fs::path run = scratch.root() + "/play";
    // Without "12" the show plays its warm-up alone: two blank frames. The
    // recording's name is the caller's, not the run's.
    Process play({binary("cubeplay"), "--record", "show.rec", "--edge", "5", "--dir", run, "cubeshow"},
                 Process::Options::in(scratch.root()));
    EXPECT_EQ(play.wait().code, 0) << play.err();
    EXPECT_EQ(play.err(), kColumns);
    const std::vector<demotest::Frame> frames = demotest::framesInPlay(play.out());
    ASSERT_EQ(frames.size(), 2u) << play.out();
    EXPECT_EQ(frames[1].release, 2);
    EXPECT_EQ(frames[1].lit, 0);
    EXPECT_NE(play.out().find(demotest::kClosingLine), std::string::npos);
    const std::string recording = testsupport::readFile(scratch.root() + "/show.rec");
    EXPECT_EQ(recording.substr(0, 11), std::string("CUBEREC\0\1\0\5", 11)) << "header of version 1, edge 5";

    EXPECT_EQ(fs::file_size(run / "shared_buffer.txt"), 46u);
    for (const char* helper : {"launch", "app5", "app12"})
        EXPECT_EQ(fs::read_symlink(run / "anim" / helper), binary(helper));
}

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
