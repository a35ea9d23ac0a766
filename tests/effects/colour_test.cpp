// The colours that cubefx's --colour takes, read by the one function that
// cubefx and cubeweb share: names, #rrggbb and r,g,b, with their values.

#include "effects/options.h"

#include <gtest/gtest.h>

#include <string>

namespace {

void expectColour(const std::string& text, const storeColor& expected)
{
    storeColor colour{-1, -1, -1};
    ASSERT_TRUE(effects::parseColour(text, colour)) << text;
    EXPECT_FLOAT_EQ(colour.r, expected.r) << text;
    EXPECT_FLOAT_EQ(colour.g, expected.g) << text;
    EXPECT_FLOAT_EQ(colour.b, expected.b) << text;
}

TEST(ParseColour, ANameIsItsColour)
{
    expectColour("red", {1, 0, 0});
    expectColour("orange", {1, 0.45f, 0});
    expectColour("pink", {1, 0.3f, 0.6f});
}

TEST(ParseColour, HexIsBytesOutOf255InEitherCase)
{
    expectColour("#ff8000", {1, 128 / 255.0f, 0});
    expectColour("#FF8000", {1, 128 / 255.0f, 0});
    expectColour("#000000", {0, 0, 0});
}

TEST(ParseColour, ThreeNumbersFrom0To1AreTheComponents)
{
    expectColour("1,0.5,0", {1, 0.5f, 0});
    expectColour("0,0,1", {0, 0, 1});
}

TEST(ParseColour, AnythingElseIsRefusedAndLeavesTheColourAlone)
{
    for (const std::string text : {"", "mauve", "Red", "#ff80", "#ff80000", "#gg8000", "ff8000", "1,0.5", "1,0.5,2",
                                   "-0.1,0,0", "1,0,0,", "1,0,0x"}) {
        storeColor colour{0.25f, 0.25f, 0.25f};
        EXPECT_FALSE(effects::parseColour(text, colour)) << text;
        EXPECT_FLOAT_EQ(colour.r, 0.25f) << text;
    }
}

TEST(ParseColour, ItsFormsAreNamedForARefusal)
{
    EXPECT_EQ(effects::colourForms(), "a colour name (red, green, blue, white, yellow, cyan, magenta, orange, purple, "
                                      "pink), #rrggbb or r,g,b from 0 to 1");
}

TEST(CubefxOptions, TheDurationsAndSeedThatCubefxTakes)
{
    EXPECT_EQ(effects::kMinDuration, 0.001);
    EXPECT_EQ(effects::kMaxDuration, 86400.0);
    EXPECT_EQ(effects::kDefaultDuration, 10.0);
    EXPECT_EQ(effects::kDefaultSeed, 1u);
}

}  // namespace
