// The effects' palettes and random numbers as an effect calls them. The
// random sequences are pinned: a change to them changes every show that a
// seed once drew, so it must be seen here first.

#include "effects/lEffect.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

void expectColour(const storeColor& actual, const storeColor& expected)
{
    EXPECT_FLOAT_EQ(actual.r, expected.r);
    EXPECT_FLOAT_EQ(actual.g, expected.g);
    EXPECT_FLOAT_EQ(actual.b, expected.b);
}

TEST(LPalette, NamesListRainbowFirstThenTheRestAlphabetically)
{
    EXPECT_EQ(lPalette::names(), (std::vector<std::string>{"rainbow", "candy", "fire", "forest", "ice", "ocean"}));
}

TEST(LPalette, EveryNameIsFoundWithItsOwnColours)
{
    // Each palette's first stop and the colour halfway along it.
    const struct {
        const char* name;
        storeColor first, middle;
    } kPalettes[] = {
        {"rainbow", {1, 0, 0}, {0, 1, 1}},
        {"fire", {0.1f, 0, 0}, {1, 0.4f, 0}},
        {"ice", {1, 1, 1}, {0.1f, 0.3f, 0.9f}},
        {"ocean", {0, 0.05f, 0.4f}, {0, 0.8f, 0.8f}},
        {"forest", {0, 0.25f, 0}, {0.6f, 0.8f, 0.1f}},
        {"candy", {1, 0.3f, 0.6f}, {0.2f, 0.9f, 1}},
    };
    ASSERT_EQ(std::size(kPalettes), lPalette::names().size());
    for (const auto& palette : kPalettes) {
        SCOPED_TRACE(palette.name);
        lPalette found;
        ASSERT_TRUE(lPalette::find(palette.name, found));
        expectColour(found.at(0), palette.first);
        expectColour(found.at(0.5f), palette.middle);
    }
}

TEST(LPalette, UnknownNameIsRefusedAndLeavesThePaletteAlone)
{
    lPalette palette;
    ASSERT_TRUE(lPalette::find("fire", palette));
    for (const char* unknown : {"sunset", "", "rainbow "}) {
        EXPECT_FALSE(lPalette::find(unknown, palette)) << unknown;
        expectColour(palette.at(0), {0.1f, 0, 0});
    }
}

TEST(LPalette, DefaultIsRainbowWithItsStopsEverySixth)
{
    const lPalette rainbow;
    expectColour(rainbow.at(0), {1, 0, 0});
    expectColour(rainbow.at(1.0f / 6), {1, 1, 0});
    expectColour(rainbow.at(2.0f / 6), {0, 1, 0});
    expectColour(rainbow.at(4.0f / 6), {0, 0, 1});
    expectColour(rainbow.at(5.0f / 6), {1, 0, 1});
    // Halfway between stops, each component halfway.
    expectColour(rainbow.at(0.25f), {0.5f, 1, 0});
    expectColour(rainbow.at(0.75f), {0.5f, 0, 1});
}

TEST(LPalette, PositionsBeyondZeroToOneWrapRound)
{
    for (const char* name : {"rainbow", "fire", "candy"}) {
        SCOPED_TRACE(name);
        lPalette palette;
        ASSERT_TRUE(lPalette::find(name, palette));
        for (const float position : {0.0f, 0.25f, 0.625f}) {
            expectColour(palette.at(position + 1), palette.at(position));
            expectColour(palette.at(position + 3), palette.at(position));
            expectColour(palette.at(position - 1), palette.at(position));
        }
    }
    // Just below 0 wraps to the very end of the gradient, its last stop,
    // and reads no further: rainbow's stops fill their vector exactly.
    expectColour(lPalette().at(-1e-9f), {1, 0, 0});
    lPalette fire;
    ASSERT_TRUE(lPalette::find("fire", fire));
    expectColour(fire.at(-1e-9f), {1, 1, 1});
    expectColour(fire.at(1.0f), {0.1f, 0, 0});
}

std::vector<uint32_t> firstDraws(uint64_t seed, std::size_t count)
{
    lRandom random(seed);
    std::vector<uint32_t> drawn;
    for (std::size_t i = 0; i < count; ++i)
        drawn.push_back(random.next());
    return drawn;
}

TEST(LRandom, SeedOneDrawsItsPinnedSequence)
{
    EXPECT_EQ(firstDraws(1, 6),
              (std::vector<uint32_t>{0x910a2dec, 0xbeeb8da1, 0xf893a2ee, 0x71c18690, 0x71bb54d8, 0xc34d0bff}));
}

TEST(LRandom, AnotherSeedDrawsAnotherPinnedSequence)
{
    EXPECT_EQ(firstDraws(2026, 6),
              (std::vector<uint32_t>{0xdb9c5598, 0x78bc927d, 0xaad71e75, 0x6280938a, 0xcaa69c1e, 0xb9f5a071}));
}

TEST(LRandom, DefaultSeedIsOneAndUniformTakesTheTop24Bits)
{
    lRandom byDefault;
    EXPECT_EQ(byDefault.next(), 0x910a2decu);
    // 0x910a2d / 2^24 and 0xbeeb8d / 2^24, exactly.
    lRandom random(1);
    EXPECT_EQ(random.uniform(), 9505325.0f / 16777216.0f);
    EXPECT_EQ(random.uniform(), 12512141.0f / 16777216.0f);
}

TEST(LRandom, UniformStaysInItsRange)
{
    constexpr int kDraws = 20000;
    lRandom random(7);
    float lowest = 1, highest = 0;
    for (int i = 0; i < kDraws; ++i) {
        const float u = random.uniform();
        ASSERT_GE(u, 0.0f);
        ASSERT_LT(u, 1.0f);
        lowest = std::min(lowest, u);
        highest = std::max(highest, u);
        const float v = random.uniform(-2.0f, 3.0f);
        ASSERT_GE(v, -2.0f);
        ASSERT_LT(v, 3.0f);
    }
    // Spread over the whole range, not a corner of it.
    EXPECT_LT(lowest, 0.01f);
    EXPECT_GT(highest, 0.99f);
}

TEST(LRandom, BelowGivesEveryValueFromZeroToNLessOne)
{
    lRandom random(3);
    std::set<int> seen;
    for (int i = 0; i < 2000; ++i) {
        const int value = random.below(7);
        ASSERT_GE(value, 0);
        ASSERT_LT(value, 7);
        seen.insert(value);
        ASSERT_EQ(random.below(1), 0);
    }
    EXPECT_EQ(seen.size(), 7u);
    EXPECT_EQ(random.below(0), 0);
    EXPECT_EQ(random.below(-5), 0);
}

TEST(LRandom, ChanceZeroNeverAndChanceOneAlways)
{
    lRandom random(11);
    int heads = 0;
    for (int i = 0; i < 20000; ++i) {
        ASSERT_FALSE(random.chance(0.0f));
        ASSERT_TRUE(random.chance(1.0f));
        heads += random.chance(0.5f);
    }
    EXPECT_GT(heads, 9000);
    EXPECT_LT(heads, 11000);
}

TEST(LRandom, TheLowestAndHighestDrawsKeepChanceZeroAndOneExact)
{
    // Seeds whose first draw has its top 24 bits all 0 and all 1.
    constexpr uint64_t kDrawsZero = 5618432;
    constexpr uint64_t kDrawsHighest = 3747935;
    EXPECT_EQ(lRandom(kDrawsZero).uniform(), 0.0f);
    EXPECT_EQ(lRandom(kDrawsZero).uniform(-2.0f, 3.0f), -2.0f);
    EXPECT_FALSE(lRandom(kDrawsZero).chance(0.0f));
    EXPECT_EQ(lRandom(kDrawsHighest).uniform(), 16777215.0f / 16777216.0f);
    EXPECT_TRUE(lRandom(kDrawsHighest).chance(1.0f));
}

}  // namespace
