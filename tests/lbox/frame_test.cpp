// lFrame's drawing as a program calls it: which LEDs each call lights, and
// in which colour, on small cubes where every LED can be named.

#include "lbox/lFrame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

namespace {

using Led = std::array<int, 3>;

constexpr storeColor kRed{1, 0, 0};
constexpr storeColor kGreen{0, 1, 0};
constexpr storeColor kBlue{0, 0, 1};
constexpr storeColor kWhite{1, 1, 1};

// The lit LEDs in index order, that is x, then y, then z ascending.
std::vector<Led> litLeds(const lFrame& frame)
{
    std::vector<Led> lit;
    for (int x = 0; x < frame.edge(); ++x)
        for (int y = 0; y < frame.edge(); ++y)
            for (int z = 0; z < frame.edge(); ++z)
                if (!lFrame::isOff(frame.get(x, y, z)))
                    lit.push_back({x, y, z});
    return lit;
}

// The LEDs of the cube whose offset from `centre` passes `keep`.
template <typename Keep>
std::vector<Led> ledsWhere(int edge, Led centre, Keep keep)
{
    std::vector<Led> leds;
    for (int x = 0; x < edge; ++x)
        for (int y = 0; y < edge; ++y)
            for (int z = 0; z < edge; ++z)
                if (keep(x - centre[0], y - centre[1], z - centre[2]))
                    leds.push_back({x, y, z});
    return leds;
}

void expectColour(const storeColor& actual, const storeColor& expected)
{
    EXPECT_EQ(actual.r, expected.r);
    EXPECT_EQ(actual.g, expected.g);
    EXPECT_EQ(actual.b, expected.b);
}

TEST(LFrameLeds, ANewFrameHoldsEdgeCubedLedsAllOff)
{
    const lFrame frame(4);
    EXPECT_EQ(frame.edge(), 4);
    ASSERT_EQ(frame.leds().size(), 64u);
    EXPECT_TRUE(litLeds(frame).empty());
    for (const storeColor& led : frame.leds())
        expectColour(led, lFrame::kOff);
    const lFrame negative(-3);
    EXPECT_EQ(negative.edge(), 0);
    EXPECT_TRUE(negative.leds().empty());
}

TEST(LFrameLeds, ContainsIsTrueFromZeroToEdgeLessOneOnEachAxis)
{
    const lFrame frame(4);
    EXPECT_TRUE(frame.contains(0, 0, 0));
    EXPECT_TRUE(frame.contains(3, 3, 3));
    for (const Led& outside : {Led{4, 0, 0}, Led{0, 4, 0}, Led{0, 0, 4}, Led{-1, 0, 0}, Led{0, -1, 0}, Led{0, 0, -1}})
        EXPECT_FALSE(frame.contains(outside[0], outside[1], outside[2])) << outside[0] << outside[1] << outside[2];
}

TEST(LFrameLeds, IndexRunsZFastestThenYThenXAsTheViewersTables)
{
    lFrame frame(4);
    EXPECT_EQ(frame.index(0, 0, 1), 1);
    EXPECT_EQ(frame.index(0, 1, 0), 4);
    EXPECT_EQ(frame.index(1, 0, 0), 16);
    EXPECT_EQ(frame.index(1, 2, 3), 27);
    EXPECT_EQ(frame.index(3, 3, 3), 63);
    frame.set(1, 2, 3, kBlue);
    expectColour(frame.leds()[27], kBlue);
    EXPECT_EQ(litLeds(frame), (std::vector<Led>{{1, 2, 3}}));
}

TEST(LFrameLeds, SetAndGetOutsideTheCubeTouchNothing)
{
    lFrame frame(3);
    frame.set(1, 0, 2, {0.25f, 0.5f, 0.75f});
    expectColour(frame.get(1, 0, 2), {0.25f, 0.5f, 0.75f});
    for (const Led& outside : {Led{3, 0, 0}, Led{0, 3, 0}, Led{0, 0, 3}, Led{-1, 1, 1}, Led{1, 1, -1}}) {
        frame.set(outside[0], outside[1], outside[2], kWhite);
        frame.add(outside[0], outside[1], outside[2], kWhite);
        expectColour(frame.get(outside[0], outside[1], outside[2]), lFrame::kOff);
    }
    EXPECT_EQ(litLeds(frame), (std::vector<Led>{{1, 0, 2}})) << "a write outside wrapped onto another LED";
}

TEST(LFrameLeds, AddMixesLightAndStopsEachComponentAtOne)
{
    lFrame frame(2);
    frame.add(0, 0, 0, {0.5f, 0.25f, 0.0f});
    expectColour(frame.get(0, 0, 0), {0.5f, 0.25f, 0.0f});
    frame.add(0, 0, 0, {0.75f, 0.25f, 0.125f});
    expectColour(frame.get(0, 0, 0), {1.0f, 0.5f, 0.125f});
    frame.add(0, 0, 0, {4.0f, 4.0f, 0.0f});
    expectColour(frame.get(0, 0, 0), {1.0f, 1.0f, 0.125f});
    EXPECT_EQ(litLeds(frame).size(), 1u);
}

TEST(LFrameLeds, FillDimAndClearActOnEveryLed)
{
    lFrame frame(3);
    frame.fill({0.5f, 1.0f, 0.25f});
    frame.dim(0.5f);
    for (const storeColor& led : frame.leds())
        expectColour(led, {0.25f, 0.5f, 0.125f});
    frame.clear();
    EXPECT_TRUE(litLeds(frame).empty());
    frame.fill(kWhite);
    frame.dim(0.0f);
    EXPECT_TRUE(litLeds(frame).empty()) << "dimmed to nothing is off";
}

TEST(LFrameLeds, IsOffOnlyWithNoComponentAboveZero)
{
    EXPECT_TRUE(lFrame::isOff({0, 0, 0}));
    EXPECT_TRUE(lFrame::isOff({-1, -0.5f, 0}));
    EXPECT_TRUE(lFrame::isOff({std::numeric_limits<float>::quiet_NaN(), 0, 0}));
    EXPECT_FALSE(lFrame::isOff({0, 0, 1e-6f}));
    EXPECT_FALSE(lFrame::isOff({-1, 0.5f, 0}));
    EXPECT_FALSE(lFrame::isOff(lFrame::kUnlit)) << "the unlit grey is a colour the writer sends";
}

TEST(LFrameLine, IncludesBothEndsInEitherDirection)
{
    const std::vector<Led> expected{{0, 1, 2}, {1, 1, 2}, {2, 1, 2}, {3, 1, 2}};
    lFrame forward(4);
    forward.line(0, 1, 2, 3, 1, 2, kRed);
    EXPECT_EQ(litLeds(forward), expected);
    lFrame backward(4);
    backward.line(3, 1, 2, 0, 1, 2, kRed);
    EXPECT_EQ(litLeds(backward), expected);
    expectColour(forward.get(3, 1, 2), kRed);
}

TEST(LFrameLine, DiagonalsLightOneLedPerStepOfTheLongestAxis)
{
    lFrame cubeDiagonal(5);
    cubeDiagonal.line(0, 0, 0, 4, 4, 4, kGreen);
    EXPECT_EQ(litLeds(cubeDiagonal), (std::vector<Led>{{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {3, 3, 3}, {4, 4, 4}}));

    // y climbs half an LED a step: halves round away from zero.
    lFrame shallow(5);
    shallow.line(0, 0, 3, 4, 2, 3, kGreen);
    EXPECT_EQ(litLeds(shallow), (std::vector<Led>{{0, 0, 3}, {1, 1, 3}, {2, 1, 3}, {3, 2, 3}, {4, 2, 3}}));
}

TEST(LFrameLine, ALineOfNoLengthLightsItsOnePoint)
{
    lFrame frame(4);
    frame.line(2, 1, 3, 2, 1, 3, kBlue);
    EXPECT_EQ(litLeds(frame), (std::vector<Led>{{2, 1, 3}}));
}

TEST(LFrameLine, ALineLeavingTheCubeLightsOnlyItsPartInside)
{
    lFrame frame(4);
    frame.line(-2, 1, 1, 5, 1, 1, kRed);
    EXPECT_EQ(litLeds(frame), (std::vector<Led>{{0, 1, 1}, {1, 1, 1}, {2, 1, 1}, {3, 1, 1}}));
    lFrame outside(4);
    outside.line(-5, -5, 0, -1, -1, 0, kRed);
    EXPECT_TRUE(litLeds(outside).empty());
}

TEST(LFrameSphere, ShellOfRadiusOneIsTheNeighboursWithinTwoSteps)
{
    lFrame frame(5);
    frame.sphere(2, 2, 2, 1, kRed);
    // At distance 1 (6 LEDs) and √2 (12); not the centre, nor the corners at √3.
    const auto shell = [](int dx, int dy, int dz) {
        const int steps = std::abs(dx) + std::abs(dy) + std::abs(dz);
        return std::abs(dx) <= 1 && std::abs(dy) <= 1 && std::abs(dz) <= 1 && steps >= 1 && steps <= 2;
    };
    EXPECT_EQ(litLeds(frame), ledsWhere(5, {2, 2, 2}, shell));
    EXPECT_EQ(litLeds(frame).size(), 18u);
}

TEST(LFrameSphere, BallOfRadiusOneAddsTheCentre)
{
    lFrame frame(5);
    frame.sphere(2, 2, 2, 1, kRed, true);
    const auto ball = [](int dx, int dy, int dz) {
        return std::abs(dx) <= 1 && std::abs(dy) <= 1 && std::abs(dz) <= 1 &&
               std::abs(dx) + std::abs(dy) + std::abs(dz) <= 2;
    };
    EXPECT_EQ(litLeds(frame), ledsWhere(5, {2, 2, 2}, ball));
    EXPECT_EQ(litLeds(frame).size(), 19u);
}

TEST(LFrameSphere, RadiusZeroLightsTheCentreAlone)
{
    lFrame frame(5);
    frame.sphere(1, 3, 2, 0, kBlue);
    EXPECT_EQ(litLeds(frame), (std::vector<Led>{{1, 3, 2}}));
}

TEST(LFrameSphere, ShellIncludesLedsExactlyHalfAnLedFromTheSurface)
{
    // Radius 1.5: distances 1 and 2 are on the shell's two bounds.
    lFrame frame(5);
    frame.sphere(2, 2, 2, 1.5f, kWhite);
    EXPECT_EQ(litLeds(frame).size(), 6u + 12u + 8u + 6u);
    EXPECT_TRUE(lFrame::isOff(frame.get(2, 2, 2)));
    EXPECT_FALSE(lFrame::isOff(frame.get(3, 2, 2))) << "distance 1, the inner bound";
    EXPECT_FALSE(lFrame::isOff(frame.get(2, 0, 2))) << "distance 2, the outer bound";
    EXPECT_TRUE(lFrame::isOff(frame.get(4, 3, 2))) << "distance √5";
}

TEST(LFrameSphere, CentreOutsideTheCubeDrawsTheCapInside)
{
    // Centre (-1, 2, 2), radius 2: from x = 0 (one away) the LEDs with
    // 1.25 ≤ dy² + dz² ≤ 5.25 (16), from x = 1 those with dy² + dz² ≤ 2.25 (9).
    lFrame frame(5);
    frame.sphere(-1, 2, 2, 2, kGreen);
    const auto cap = [](int dx, int dy, int dz) {
        const int across = dy * dy + dz * dz;
        return (dx == 1 && across >= 2 && across <= 5) || (dx == 2 && across <= 2);
    };
    EXPECT_EQ(litLeds(frame), ledsWhere(5, {-1, 2, 2}, cap));
    EXPECT_EQ(litLeds(frame).size(), 25u);
    lFrame farAway(5);
    farAway.sphere(-10, 2, 2, 2, kGreen, true);
    EXPECT_TRUE(litLeds(farAway).empty());
}

TEST(LFrameBox, EdgesFacesAndSolidOfAFourCube)
{
    const auto onFaces = [](int x, int y, int z) { return (x % 3 == 0) + (y % 3 == 0) + (z % 3 == 0); };
    const struct {
        lFrame::Box style;
        int leastOnFaces;
        std::size_t count;
    } kStyles[] = {{lFrame::Box::Edges, 2, 8 + 12 * 2}, {lFrame::Box::Faces, 1, 64 - 8}, {lFrame::Box::Solid, 0, 64}};
    for (const auto& style : kStyles) {
        SCOPED_TRACE(style.leastOnFaces);
        lFrame frame(4);
        frame.box(0, 0, 0, 3, 3, 3, kRed, style.style);
        EXPECT_EQ(litLeds(frame).size(), style.count);
        EXPECT_EQ(litLeds(frame), ledsWhere(4, {0, 0, 0}, [&](int x, int y, int z) {
                      return onFaces(x, y, z) >= style.leastOnFaces;
                  }));
    }
}

TEST(LFrameBox, SwappedCornersDrawTheSameBox)
{
    for (const lFrame::Box style : {lFrame::Box::Edges, lFrame::Box::Faces, lFrame::Box::Solid}) {
        lFrame ordered(5);
        ordered.box(1, 0, 2, 3, 4, 4, kBlue, style);
        lFrame swapped(5);
        swapped.box(3, 4, 4, 1, 0, 2, kBlue, style);
        lFrame mixed(5);
        mixed.box(3, 0, 4, 1, 4, 2, kBlue, style);
        EXPECT_EQ(litLeds(swapped), litLeds(ordered));
        EXPECT_EQ(litLeds(mixed), litLeds(ordered));
        EXPECT_FALSE(litLeds(ordered).empty());
    }
}

TEST(LFrameBox, AFlatBoxsEdgesAreItsOutline)
{
    lFrame frame(4);
    frame.box(0, 0, 1, 3, 3, 1, kGreen);
    EXPECT_EQ(litLeds(frame), ledsWhere(4, {0, 0, 1}, [](int x, int y, int z) {
                  return z == 0 && (x % 3 == 0 || y % 3 == 0);
              }));
    EXPECT_EQ(litLeds(frame).size(), 12u);
    lFrame faces(4);
    faces.box(0, 0, 1, 3, 3, 1, kGreen, lFrame::Box::Faces);
    EXPECT_EQ(litLeds(faces).size(), 16u);
}

TEST(LFrameBox, ABoxPartlyOutsideKeepsItsOwnFaces)
{
    // From -1 to 1: inside the cube only the LEDs with two coordinates at 1
    // lie on its edges; the cube's border is not the box's.
    lFrame frame(4);
    frame.box(-1, -1, -1, 1, 1, 1, kWhite);
    EXPECT_EQ(litLeds(frame), (std::vector<Led>{{0, 1, 1}, {1, 0, 1}, {1, 1, 0}, {1, 1, 1}}));
}

TEST(LFrameText, GlyphRowsOfAKnownCharacter)
{
    const uint8_t* a = lFrame::glyph('A');
    ASSERT_NE(a, nullptr);
    // .###.  #...#  #...#  #####  #...#  #...#  #...#
    EXPECT_EQ(std::vector<uint8_t>(a, a + lFrame::kGlyphHeight),
              (std::vector<uint8_t>{0b01110, 0b10001, 0b10001, 0b11111, 0b10001, 0b10001, 0b10001}));
    const uint8_t* underscore = lFrame::glyph('_');
    ASSERT_NE(underscore, nullptr);
    EXPECT_EQ(underscore[0], 0);
    EXPECT_EQ(underscore[6], 0b11111);
    const uint8_t* space = lFrame::glyph(' ');
    ASSERT_NE(space, nullptr);
    for (int row = 0; row < lFrame::kGlyphHeight; ++row)
        EXPECT_EQ(space[row], 0);
}

TEST(LFrameText, LowerCaseIsUpperCaseAndMissingCharactersHaveNoGlyph)
{
    for (char lower = 'a'; lower <= 'z'; ++lower)
        EXPECT_EQ(lFrame::glyph(lower), lFrame::glyph(static_cast<char>(lower - 'a' + 'A'))) << lower;
    for (const char missing : {'`', '{', '~', '\n', '\x1f', '\x7f', static_cast<char>(0xE9)})
        EXPECT_EQ(lFrame::glyph(missing), nullptr) << static_cast<int>(missing);
}

TEST(LFrameText, CharacterStandsUprightAtItsTopLeft)
{
    // 'L': the left column down six rows, then the bottom row of five.
    std::vector<Led> expected;
    for (int z = 6; z >= 1; --z)
        expected.push_back({0, 2, z});
    for (int x = 0; x < lFrame::kGlyphWidth; ++x)
        expected.push_back({x, 2, 0});
    std::sort(expected.begin(), expected.end());
    for (const char ch : {'L', 'l'}) {
        lFrame frame(7);
        frame.character(ch, 0, 6, 2, kRed);
        EXPECT_EQ(litLeds(frame), expected) << ch;
        expectColour(frame.get(4, 2, 0), kRed);
    }
}

TEST(LFrameText, MissingCharacterDrawsNothing)
{
    lFrame frame(7);
    frame.character('~', 0, 6, 0, kRed);
    frame.character('\t', 1, 6, 1, kRed);
    EXPECT_TRUE(litLeds(frame).empty());
}

TEST(LFrameText, CharacterIsClippedAtTheCubesBorder)
{
    // 'T' two columns left of the cube and its top row above it: only the
    // stem's rows 1 to 5 remain, at x = 0.
    lFrame frame(5);
    frame.character('T', -2, 5, 3, kGreen);
    EXPECT_EQ(litLeds(frame), (std::vector<Led>{{0, 3, 0}, {0, 3, 1}, {0, 3, 2}, {0, 3, 3}, {0, 3, 4}}));
    lFrame behind(5);
    behind.character('T', 0, 4, 5, kGreen);
    EXPECT_TRUE(litLeds(behind).empty());
}

TEST(LFrameHsv, PrimaryAndSecondaryHuesAreExact)
{
    const struct {
        float hue;
        storeColor colour;
    } kHues[] = {
        {0.0f, {1, 0, 0}},      {1.0f / 6, {1, 1, 0}}, {1.0f / 3, {0, 1, 0}}, {0.5f, {0, 1, 1}},
        {2.0f / 3, {0, 0, 1}},  {5.0f / 6, {1, 0, 1}}, {1.0f, {1, 0, 0}},     {0.25f, {0.5f, 1, 0}},
        {-0.25f, {0.5f, 0, 1}}, {1.25f, {0.5f, 1, 0}}, {3.0f, {1, 0, 0}},
    };
    for (const auto& [hue, colour] : kHues) {
        SCOPED_TRACE(hue);
        expectColour(lFrame::hsv(hue, 1, 1), colour);
    }
}

TEST(LFrameHsv, SaturationZeroIsGreyAndValueZeroIsOff)
{
    for (const float hue : {0.0f, 0.4f, 0.9f}) {
        expectColour(lFrame::hsv(hue, 0, 0.6f), {0.6f, 0.6f, 0.6f});
        expectColour(lFrame::hsv(hue, 1, 0), lFrame::kOff);
        EXPECT_TRUE(lFrame::isOff(lFrame::hsv(hue, 0.5f, 0)));
    }
    expectColour(lFrame::hsv(0, 0.5f, 1), {1, 0.5f, 0.5f});
    expectColour(lFrame::hsv(2.0f / 3, 1, 0.5f), {0, 0, 0.5f});
}

TEST(LFrameHsv, AHueThatIsNoNumberIsRed)
{
    for (const float hue : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity()})
        expectColour(lFrame::hsv(hue, 1, 1), {1, 0, 0});
}

}  // namespace
