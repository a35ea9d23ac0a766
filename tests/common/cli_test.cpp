// The command line's --fast, shared by every tool that takes it: its help
// lines at the columns of the tools' helps, and the mode it puts in the
// environment, as the library reads it. And the argv that a parser or exec
// takes.

#include "common/cli.h"
#include "common/process.h"
#include "lbox/pacing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

TEST(FastOption, HelpWrapsItsWordsBelowTheDescriptionsColumn)
{
    EXPECT_EQ(cli::fastHelp(14),
              "  --fast      the fast channel (CUBE_CHANNEL=fast): whole frames many times\n"
              "              sooner, for a little CPU while they flow (docs/fast.md)\n");
    EXPECT_EQ(cli::fastHelp(26),
              "  --fast                  the fast channel (CUBE_CHANNEL=fast): whole frames\n"
              "                          many times sooner, for a little CPU while they flow\n"
              "                          (docs/fast.md)\n");
}

TEST(FastOption, HelpKeepsASpaceAfterTheOptionAtANarrowColumn)
{
    EXPECT_TRUE(cli::fastHelp(4).starts_with("  --fast the fast channel")) << cli::fastHelp(4);
}

TEST(FastOption, PutsTheFastModeInTheEnvironmentOverAnyOther)
{
    ASSERT_EQ(::setenv(pacing::kModeVariable, "default", 1), 0);
    cli::useFastChannel();
    pacing::Mode mode = pacing::Mode::kDefault;
    ASSERT_TRUE(pacing::parseMode(std::getenv(pacing::kModeVariable), mode));
    EXPECT_EQ(mode, pacing::Mode::kFast);
    ASSERT_EQ(::unsetenv(pacing::kModeVariable), 0);
}

// What a parser and exec take: each word where it lies, then the end mark.
TEST(ArgumentVector, PointsAtEachWordInTurnThenAtNothing)
{
    const std::vector<std::string> words{"cubefx", "--edge=8", ""};
    const std::vector<char*> argv = process::argumentVector(words);
    ASSERT_EQ(argv.size(), 4u);
    for (std::size_t k = 0; k < words.size(); ++k)
        EXPECT_EQ(argv[k], words[k].c_str());
    EXPECT_EQ(argv[3], nullptr);
    EXPECT_EQ(process::argumentVector({}), std::vector<char*>{nullptr});
}

}  // namespace
