// launch and bytemax run as real processes, with exact bytes and statuses.

#include "testkit/support.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using testsupport::binary;
using testsupport::Process;
namespace fs = std::filesystem;

constexpr int kProbeStatus = 3;

struct Result {
    testsupport::Exit exit;
    std::string out;
    std::string err;
};

Result run(const std::vector<std::string>& argv, const std::string& cwd,
           const std::optional<std::vector<std::string>>& env = std::nullopt)
{
    Process::Options options;
    options.cwd = cwd;
    options.env = env;
    Process process(argv, options);
    Result result;
    result.exit = process.wait();
    result.out = process.out();
    result.err = process.err();
    return result;
}

// A run directory holding the probe as "app5".
class LaunchDir : public testing::Test {
protected:
    void SetUp() override { fs::copy_file(binary("env_probe"), dir.runDir() + "/app5"); }

    testsupport::RunDir dir;
};

TEST_F(LaunchDir, WrongArgumentCountPrintsUsageAndFails)
{
    const std::string launch = binary("launch");
    for (const std::vector<std::string>& argv :
         {std::vector<std::string>{launch}, std::vector<std::string>{launch, "app5", "app12"}}) {
        const Result result = run(argv, dir.runDir());
        EXPECT_EQ(result.exit.code, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "Usage: " + launch + " <file-to-exec>\n");
    }
}

TEST_F(LaunchDir, OnlyTheExactNamesStartAProgram)
{
    for (const char* argument : {"App5", "app5 ", "./app5", "app"}) {
        SCOPED_TRACE(argument);
        const Result result = run({binary("launch"), argument}, dir.runDir());
        EXPECT_EQ(result.exit.code, 0);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "");
    }
}

TEST_F(LaunchDir, StartedProgramGetsNoArgumentsNoEnvironmentAndKeepsItsStatus)
{
    const Result result = run({binary("launch"), "app5"}, dir.runDir(), std::vector<std::string>{"PATH=/bin", "DISPLAY=:0"});
    EXPECT_EQ(result.exit.code, kProbeStatus);
    // Newer kernels give a program started with an empty argument vector one
    // empty argument; either way it gets no argument text and no variable.
    EXPECT_TRUE(result.out == "argc 0\n" || result.out == "argc 1\narg []\n") << result.out;
    EXPECT_EQ(result.err, "");
}

TEST_F(LaunchDir, App12RunsTheFileOfThatName)
{
    // Without the file, execve fails and launch still ends with status 0.
    Result result = run({binary("launch"), "app12"}, dir.runDir());
    EXPECT_EQ(result.exit.code, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "execve: No such file or directory\n");

    fs::copy_file(binary("bytemax"), dir.runDir() + "/app12");
    result = run({binary("launch"), "app12"}, dir.runDir());
    EXPECT_EQ(result.exit.code, 0);
    EXPECT_EQ(result.out, "En byte kan lagra max 255");
}

TEST(Bytemax, PrintsTwentyFiveBytesWithoutLineEnd)
{
    const Result result = run({binary("bytemax")}, ".");
    EXPECT_EQ(result.exit.code, 0);
    EXPECT_EQ(result.out, "En byte kan lagra max 255");
    EXPECT_EQ(result.out.size(), 25u);
    EXPECT_EQ(result.err, "");
}

}  // namespace
