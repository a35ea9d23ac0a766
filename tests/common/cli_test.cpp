// The command line's --fast, shared by every tool that takes it: its help
// lines at the columns of the tools' helps, and the mode it puts in the
// environment, as the library reads it.

#include "common/cli.h"
#include "lbox/pacing.h"

#include <gtest/gtest.h>

#include <cstdlib>

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

}  // namespace
