// Where each LED lands in the pixel buffer, and which bytes its colour
// becomes; mostly on the edge-5 cube, whose frame is one DDP packet.

#include "tests/net/send_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

namespace {

using namespace sendtest;

constexpr int kEdge = 12;
constexpr int kSmallEdge = 5;
constexpr int kSmallLeds = kSmallEdge * kSmallEdge * kSmallEdge;
constexpr int kUsageStatus = 2;
constexpr float kGrey = 0.3f;

struct LitLed {
    uint8_t x, y, z;
    Rgb rgb;
};

// Each coordinate below 5 and every LED apart from the others, so that any
// other order puts at least one elsewhere.
const LitLed kLeds[] = {{1, 0, 0, {1, 2, 3}},    {0, 2, 0, {4, 5, 6}},    {0, 0, 3, {7, 8, 9}},
                        {4, 1, 2, {10, 11, 12}}, {2, 3, 4, {13, 14, 15}}, {3, 4, 1, {16, 17, 18}}};

std::vector<queueEntry> litLeds()
{
    std::vector<queueEntry> entries;
    for (const LitLed& led : kLeds)
        entries.push_back({led.x, led.y, led.z, colorOf(led.rgb)});
    return entries;
}

// First letter fastest; with serpentine, the odd rows counted over the whole
// buffer run backwards.
int wiredPixel(int edge, const std::string& order, bool serpentine, const LitLed& led)
{
    const auto along = [&](char axis) { return axis == 'x' ? led.x : axis == 'y' ? led.y : led.z; };
    const int a = along(order[0]);
    const int row = along(order[1]) + edge * along(order[2]);
    return (serpentine && row % 2 == 1 ? edge - 1 - a : a) + edge * row;
}

// The frame a DDP target gets for `shown`, from the build for `programEdge`.
Pixels sentFrame(int edge, std::vector<std::string> options, const std::vector<queueEntry>& shown, int programEdge = 0)
{
    DdpReceiver ddp(edge);
    options.push_back(ddp.target());
    Cubesend send(options, programEdge ? programEdge : edge);
    EXPECT_EQ(ddp.next(), unlitPixels(edge));
    EXPECT_TRUE(send.show(shown));
    return ddp.nextChange(unlitPixels(edge));
}

// round(255 * B * clamp(c, 0, 1)^G), worked out apart from cubesend.
uint8_t sentByte(double c, double gamma, double brightness)
{
    return static_cast<uint8_t>(std::lround(255 * brightness * std::pow(std::clamp(c, 0.0, 1.0), gamma)));
}

TEST(CubesendMapping, WiringOrderAndSerpentinePlaceEveryLed)
{
    struct Wiring {
        int edge, programEdge;  // --edge passes on to the build for its edge
        std::vector<std::string> options;
        std::string order;
        bool serpentine;
    };
    // Edge 5 is odd, so a row's parity over the whole buffer is not its
    // parity within a plane.
    const Wiring wirings[] = {
        {kSmallEdge, kSmallEdge, {}, "xyz", false},
        {kSmallEdge, kEdge, {"--edge", "5", "--wiring", "zyx"}, "zyx", false},
        {kSmallEdge, kSmallEdge, {"--wiring", "yxz"}, "yxz", false},
        {kSmallEdge, kSmallEdge, {"--serpentine"}, "xyz", true},
        {kSmallEdge, kSmallEdge, {"--wiring", "zyx", "--serpentine"}, "zyx", true},
        {kEdge, kEdge, {"--wiring", "yxz", "--serpentine"}, "yxz", true},
    };
    for (const Wiring& wiring : wirings) {
        SCOPED_TRACE(wiring.order + (wiring.serpentine ? " serpentine, edge " : ", edge ") + std::to_string(wiring.edge));
        Pixels expected = unlitPixels(wiring.edge);
        for (const LitLed& led : kLeds)
            setPixel(expected, wiredPixel(wiring.edge, wiring.order, wiring.serpentine, led), led.rgb);
        EXPECT_EQ(sentFrame(wiring.edge, wiring.options, litLeds(), wiring.programEdge), expected);
    }
}

TEST(CubesendMapping, LayoutFileGivesEachPixelItsLed)
{
    // The xyz order reversed, after a comment and a blank line, in mixed blanks.
    std::vector<std::string> lines = xyzLayout(kSmallEdge);
    std::reverse(lines.begin(), lines.end());
    lines[0] = "4\t4  4";
    lines.insert(lines.begin(), {"# last LED first", ""});
    const testsupport::RunDir files;
    const std::string layout = writeLayout(files.root() + "/reversed.layout", lines);

    Pixels expected = unlitPixels(kSmallEdge);
    for (const LitLed& led : kLeds)
        setPixel(expected, kSmallLeds - 1 - wiredPixel(kSmallEdge, "xyz", false, led), led.rgb);
    EXPECT_EQ(sentFrame(kSmallEdge, {"--layout", layout}, litLeds()), expected);
}

TEST(CubesendMapping, BadLayoutIsRefusedWithItsLineBeforeTheChannelIsTouched)
{
    using Lines = std::vector<std::string>;
    // After a comment on line 1, pixel p is on line p + 2.
    constexpr int kPixel0Line = 2;
    const std::pair<std::function<void(Lines&)>, int> bads[] = {
        {[](Lines& l) { l[10] = "5 0 0"; }, 10 + kPixel0Line},                // outside the cube
        {[](Lines& l) { l[20] = l[3]; }, 20 + kPixel0Line},                   // a repeated LED
        {[](Lines& l) { l[30] = "1 2"; }, 30 + kPixel0Line},                  // not three numbers
        {[](Lines& l) { l.push_back("0 0 0"); }, kSmallLeds + kPixel0Line},   // more lines than LEDs
        {[](Lines& l) { l.pop_back(); }, kSmallLeds - 2 + kPixel0Line},       // one missing: at the last line
    };
    const testsupport::RunDir files;
    const DdpReceiver sink(kSmallEdge);
    for (const auto& [spoil, line] : bads) {
        SCOPED_TRACE(line);
        Lines lines = xyzLayout(kSmallEdge);
        spoil(lines);
        lines.insert(lines.begin(), "# x y z");
        const std::string layout = writeLayout(files.root() + "/bad.layout", lines);
        testsupport::RunDir dir;
        channel::storeStatus(dir.mapRecord(), Cubesend::kStaleStatus);
        testsupport::Process send({testsupport::binary(program(kSmallEdge)), "--layout", layout,
                                   sink.target()},
                                  testsupport::Process::Options::in(dir.root()));
        EXPECT_EQ(send.wait().code, kUsageStatus);
        const std::vector<std::string> err = testsupport::splitLines(send.err());
        ASSERT_EQ(err.size(), 1u) << send.err();
        EXPECT_TRUE(err[0].starts_with(program(kSmallEdge) + ": " + layout + ":" + std::to_string(line) + ": "))
            << err[0];
        EXPECT_EQ(channel::loadStatus(dir.mapRecord()), Cubesend::kStaleStatus);
    }
}

TEST(CubesendColour, GammaAndBrightnessRoundEachComponentNanIsZeroAndTheUnlitGreyIsOff)
{
    constexpr double kGamma = 2.2, kBrightness = 0.5;
    const auto sent = [&](double c) { return sentByte(c, kGamma, kBrightness); };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<queueEntry> shown = {
        {0, 0, 0, {0.5f, 1.5f, -0.5f}},
        {1, 0, 0, {nan, 0.25f, 1.0f}},
        {2, 0, 0, {kGrey, kGrey, kGrey}},
        {3, 0, 0, {kGrey + 0.00009f, kGrey - 0.00009f, kGrey}},  // within the tolerance
        {4, 0, 0, {kGrey, kGrey, 0.6f}},  // the viewer counts it unlit, but it is not its grey
    };
    Pixels expected = unlitPixels(kSmallEdge);
    setPixel(expected, 0, {sent(0.5), sent(1.5), 0});
    setPixel(expected, 1, {0, sent(0.25), sent(1.0)});
    setPixel(expected, 4, {sent(kGrey), sent(kGrey), sent(0.6f)});
    EXPECT_EQ(sentFrame(kSmallEdge, {"--gamma", "2.2", "--brightness", "0.5"}, shown), expected);
}

}  // namespace
