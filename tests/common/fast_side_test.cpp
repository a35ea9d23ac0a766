// The test kit's one-sided fast runs: each program a test starts gets the
// fast channel by the side it plays, whatever the test's own environment.

#include "testkit/support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

using testsupport::Process;

// What env_probe, started under the name `name`, finds in CUBE_CHANNEL: the
// variable's line, or "" without one.
std::string channelSeenAs(const std::string& name)
{
    const testsupport::RunDir dir;
    const std::string program = dir.root() + "/" + name;
    std::filesystem::create_symlink(testsupport::binary("env_probe"), program);
    Process probe({program}, Process::Options::in(dir.root()));
    probe.wait();
    const std::string out = probe.out();
    const std::size_t at = out.find("env [CUBE_CHANNEL=");
    return at == std::string::npos ? "" : out.substr(at, out.find('\n', at) - at);
}

class FastSide : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::setenv("CUBE_CHANNEL", "default", 1);
    }
    void TearDown() override
    {
        ::unsetenv(testsupport::kFastSideVariable);
        ::unsetenv("CUBE_CHANNEL");
    }
};

TEST_F(FastSide, EnvironmentWithModeReplacesTheVariableOrLeavesItOut)
{
    const std::vector<std::string> fast = testsupport::environmentWithMode("fast");
    EXPECT_EQ(std::count(fast.begin(), fast.end(), "CUBE_CHANNEL=fast"), 1);
    EXPECT_EQ(std::count(fast.begin(), fast.end(), "CUBE_CHANNEL=default"), 0);
    const std::vector<std::string> none = testsupport::environmentWithMode(nullptr);
    EXPECT_TRUE(std::none_of(none.begin(), none.end(),
                             [](const std::string& entry) { return entry.starts_with("CUBE_CHANNEL="); }));
    EXPECT_EQ(none.size() + 1, fast.size()) << "every other variable is kept";
}

TEST_F(FastSide, WriterSideMakesEveryProgramButTheReceiversFast)
{
    ::setenv(testsupport::kFastSideVariable, testsupport::kFastWriter, 1);
    EXPECT_EQ(channelSeenAs("cubefx"), "env [CUBE_CHANNEL=fast]");
    EXPECT_EQ(channelSeenAs("lbox_scenario"), "env [CUBE_CHANNEL=fast]");
    for (const char* receiver : {"cubetrace", "cubetrace5", "cubeview12", "cubesend", "cubeweb"})
        EXPECT_EQ(channelSeenAs(receiver), "") << receiver;
}

TEST_F(FastSide, ReceiverSideMakesOnlyTheReceiversFast)
{
    ::setenv(testsupport::kFastSideVariable, testsupport::kFastReceiver, 1);
    EXPECT_EQ(channelSeenAs("cubetrace8"), "env [CUBE_CHANNEL=fast]");
    EXPECT_EQ(channelSeenAs("cubefx"), "");
}

TEST_F(FastSide, WithoutASideEveryProgramKeepsTheTestsOwnEnvironment)
{
    EXPECT_EQ(channelSeenAs("cubetrace"), "env [CUBE_CHANNEL=default]");
    EXPECT_EQ(channelSeenAs("cubefx"), "env [CUBE_CHANNEL=default]");
}

}  // namespace
