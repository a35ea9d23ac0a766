// The wiring library on its own, linked without the network or a command
// line: where each pixel of a strip lies in the cube, and its bytes both ways.

#include "wiring/pixels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

constexpr int kEdge = 3;
constexpr std::array<int, strip::kAxes> kXyz{0, 1, 2};

int led(int x, int y, int z)
{
    return (x * kEdge + y) * kEdge + z;
}

TEST(Wiring, AxisOrdersAreReadFastestFirst)
{
    std::array<int, strip::kAxes> axes{};
    ASSERT_TRUE(strip::parseAxisOrder("zyx", axes));
    EXPECT_EQ(axes, (std::array<int, strip::kAxes>{2, 1, 0}));
    EXPECT_FALSE(strip::parseAxisOrder("xxy", axes));
    EXPECT_FALSE(strip::parseAxisOrder("xy", axes));
    EXPECT_FALSE(strip::parseAxisOrder("xyw", axes));
}

TEST(Wiring, XyzRunsAlongXThenYThenZ)
{
    const strip::Wiring wiring = strip::axisWiring(kEdge, kXyz, false);
    ASSERT_EQ(wiring.size(), 27u);
    EXPECT_EQ(wiring[0], led(0, 0, 0));
    EXPECT_EQ(wiring[1], led(1, 0, 0));
    EXPECT_EQ(wiring[3], led(0, 1, 0));
    EXPECT_EQ(wiring[9], led(0, 0, 1));
    EXPECT_EQ(wiring[26], led(2, 2, 2));
}

TEST(Wiring, SerpentineTurnsEveryOtherRowCountedOverTheWholeStrip)
{
    const strip::Wiring wiring = strip::axisWiring(kEdge, kXyz, true);
    EXPECT_EQ(wiring[3], led(2, 1, 0));  // row 1 runs back
    EXPECT_EQ(wiring[6], led(0, 2, 0));  // row 2 runs on
    EXPECT_EQ(wiring[9], led(2, 0, 1));  // row 3, the first of layer 1, runs back
}

TEST(Wiring, AMissingLayoutFileIsNamed)
{
    std::string error;
    EXPECT_TRUE(strip::loadLayout(kEdge, "/nonexistent/cube.layout", error).empty());
    EXPECT_EQ(error, "/nonexistent/cube.layout: cannot be read");
}

TEST(Colour, BytesComeFromTheTableAndGoBackWithinAStep)
{
    std::vector<storeColor> table(27, lFrame::kUnlit);
    table[led(1, 0, 0)] = {1.0f, 0.5f, 0.0f};
    table[led(0, 1, 0)] = {0.2f, 2.0f, -1.0f};
    const strip::Wiring wiring = strip::axisWiring(kEdge, kXyz, false);
    std::vector<uint8_t> rgb(wiring.size() * strip::kBytesPerPixel, 0xee);
    strip::toPixels(table.data(), wiring, {}, rgb.data());
    EXPECT_EQ(std::vector<uint8_t>(rgb.begin(), rgb.begin() + 12),
              (std::vector<uint8_t>{0, 0, 0, 255, 128, 0, 0, 0, 0, 51, 255, 0}));

    lFrame frame(kEdge);
    strip::StripReader(wiring, {}).read(rgb, frame);
    const storeColor back = frame.get(1, 0, 0);
    EXPECT_FLOAT_EQ(back.r, 1.0f);
    EXPECT_FLOAT_EQ(back.g, 128.0f / 255.0f);
    EXPECT_FLOAT_EQ(back.b, 0.0f);
}

TEST(Colour, GammaAndBrightnessShapeTheBytesAndAreUndoneOnTheWayBack)
{
    const strip::ColourCorrection correction{2.0, 0.5};
    std::vector<storeColor> table(27, lFrame::kUnlit);
    table[led(0, 0, 0)] = {1.0f, 0.5f, 0.0f};
    const strip::Wiring wiring = strip::axisWiring(kEdge, kXyz, false);
    std::vector<uint8_t> rgb(wiring.size() * strip::kBytesPerPixel);
    strip::toPixels(table.data(), wiring, correction, rgb.data());
    // round(255 * 0.5 * c^2)
    EXPECT_EQ(std::vector<uint8_t>(rgb.begin(), rgb.begin() + 3), (std::vector<uint8_t>{128, 32, 0}));

    lFrame frame(kEdge);
    strip::StripReader(wiring, correction).read(rgb, frame);
    EXPECT_NEAR(frame.get(0, 0, 0).r, 1.0f, 1e-6);  // (128 / 127.5)^(1/2), at most 1
    EXPECT_NEAR(frame.get(0, 0, 0).g, std::sqrt(32.0 / 127.5), 1e-6);
}

}  // namespace
