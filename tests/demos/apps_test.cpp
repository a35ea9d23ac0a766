// app5 and app12 as launch starts them from a run directory: with no
// arguments and no environment, from links or from copies of the programs.

#include "tests/demos/trace.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using namespace demotest;
using testsupport::binary;
namespace fs = std::filesystem;

const std::vector<std::string> kNoEnvironment{};

TEST(Apps, App12PlaysTheShowThroughLinks)
{
    testsupport::RunDir dir;
    for (const char* name : {"launch", "app12"})
        fs::create_symlink(binary(name), dir.runDir() + "/" + name);

    // The show's third release is scene 0's top face; its ninth the cube's edges.
    const std::vector<Frame> frames = firstFrames(dir, {dir.runDir() + "/launch", "app12"}, 9, kNoEnvironment);
    ASSERT_EQ(frames.size(), 9u);
    EXPECT_EQ(frames[2].lit, 144);
    for (const Led& led : frames[2].leds) {
        EXPECT_EQ(led.z, 11);
        EXPECT_EQ(led.color, kBlue);
    }
    EXPECT_EQ(frames[8].lit, 128);
}

TEST(Apps, App5PlaysTheEdgeFiveFillFromCopies)
{
    testsupport::RunDir dir;
    // A copied app finds its demo beside itself.
    for (const char* name : {"launch", "app5", "cubefill"})
        fs::copy_file(binary(name), dir.runDir() + "/" + name);

    const std::vector<Frame> frames = firstFrames(dir, {dir.runDir() + "/launch", "app5"}, 3, kNoEnvironment);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[2].lit, 25);
    for (const Led& led : frames[2].leds) {
        EXPECT_EQ(led.z, 0);
        EXPECT_EQ(led.color, kGreen);
    }
}

}  // namespace
