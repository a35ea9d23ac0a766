#include "wiring/pixels.h"

#include "viewer/unlit.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <utility>

namespace strip {

namespace {

constexpr char kAxisNames[kAxes + 1] = "xyz";
constexpr double kFullLevel = 255.0;

std::string ledName(const std::array<int, kAxes>& led)
{
    return std::to_string(led[0]) + " " + std::to_string(led[1]) + " " + std::to_string(led[2]);
}

uint8_t level(float c, const ColourCorrection& correction)
{
    if (!(c > 0.0f))  // NaN too
        return 0;
    const double clamped = c < 1.0f ? c : 1.0;
    const double shaped = correction.gamma == 1.0 ? clamped : std::pow(clamped, correction.gamma);
    return static_cast<uint8_t>(std::lround(kFullLevel * correction.brightness * shaped));
}

}  // namespace

bool parseAxisOrder(const std::string& text, std::array<int, kAxes>& fastestFirst)
{
    if (text.size() != kAxes)
        return false;
    bool seen[kAxes] = {};
    for (int i = 0; i < kAxes; ++i) {
        const auto* name = std::char_traits<char>::find(kAxisNames, kAxes, text[i]);
        if (!name || seen[name - kAxisNames])
            return false;
        seen[name - kAxisNames] = true;
        fastestFirst[i] = static_cast<int>(name - kAxisNames);
    }
    return true;
}

Wiring axisWiring(int edge, const std::array<int, kAxes>& fastestFirst, bool serpentine)
{
    Wiring wiring(static_cast<std::size_t>(edge * edge * edge));
    for (std::size_t pixel = 0; pixel < wiring.size(); ++pixel) {
        const int along = static_cast<int>(pixel) % edge;
        const int row = static_cast<int>(pixel) / edge;
        std::array<int, kAxes> led{};
        led[fastestFirst[0]] = serpentine && row % 2 == 1 ? edge - 1 - along : along;
        led[fastestFirst[1]] = row % edge;
        led[fastestFirst[2]] = row / edge;
        wiring[pixel] = (led[0] * edge + led[1]) * edge + led[2];
    }
    return wiring;
}

Wiring loadLayout(int edge, const std::string& path, std::string& error)
{
    std::ifstream in(path);
    if (!in) {
        error = path + ": cannot be read";
        return {};
    }
    const std::size_t leds = static_cast<std::size_t>(edge * edge * edge);
    std::vector<int> pixelOfLed(leds, -1);
    Wiring wiring;
    std::string line;
    int lineNumber = 0;
    auto fail = [&](const std::string& what) {
        error = path + ":" + std::to_string(lineNumber) + ": " + what;
        return Wiring{};
    };
    while (std::getline(in, line)) {
        ++lineNumber;
        const std::size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#')
            continue;
        std::istringstream fields(line);
        std::array<long, kAxes> at{};
        std::string more;
        if (!(fields >> at[0] >> at[1] >> at[2]) || fields >> more)
            return fail("expected three whole numbers 'x y z', not '" + line.substr(0, 60) + "'");
        std::array<int, kAxes> led{};
        for (int axis = 0; axis < kAxes; ++axis) {
            if (at[axis] < 0 || at[axis] >= edge)
                return fail("LED " + std::to_string(at[0]) + " " + std::to_string(at[1]) + " " +
                            std::to_string(at[2]) + " is outside the cube of edge " + std::to_string(edge));
            led[axis] = static_cast<int>(at[axis]);
        }
        if (wiring.size() == leds)
            return fail("more pixels than the " + std::to_string(leds) + " LEDs of the cube");
        const int index = (led[0] * edge + led[1]) * edge + led[2];
        if (pixelOfLed[index] >= 0)
            return fail("LED " + ledName(led) + " is already pixel " + std::to_string(pixelOfLed[index]));
        pixelOfLed[index] = static_cast<int>(wiring.size());
        wiring.push_back(index);
    }
    if (in.bad()) {
        error = path + ": cannot be read";
        return {};
    }
    if (wiring.size() < leds) {
        const auto missing = static_cast<int>(std::find(pixelOfLed.begin(), pixelOfLed.end(), -1) - pixelOfLed.begin());
        const std::array<int, kAxes> led{missing / (edge * edge), missing / edge % edge, missing % edge};
        return fail("the layout ends after " + std::to_string(wiring.size()) + " of the " + std::to_string(leds) +
                    " LEDs; LED " + ledName(led) + " is missing");
    }
    return wiring;
}

void toPixels(const storeColor* table, const Wiring& wiring, const ColourCorrection& correction, uint8_t* rgb)
{
    for (const int led : wiring) {
        const storeColor& c = table[led];
        if (isUnlitGrey(c)) {
            rgb[0] = rgb[1] = rgb[2] = 0;
        } else {
            rgb[0] = level(c.r, correction);
            rgb[1] = level(c.g, correction);
            rgb[2] = level(c.b, correction);
        }
        rgb += kBytesPerPixel;
    }
}

StripReader::StripReader(Wiring wiring, const ColourCorrection& correction) : wiring_(std::move(wiring))
{
    for (std::size_t b = 1; b < kLevels; ++b) {
        const double share = correction.brightness > 0 ? static_cast<double>(b) / (kFullLevel * correction.brightness) : 1;
        const double clamped = std::min(1.0, share);
        level_[b] = static_cast<float>(correction.gamma == 1.0 ? clamped : std::pow(clamped, 1.0 / correction.gamma));
    }
}

void StripReader::read(std::span<const uint8_t> rgb, lFrame& frame) const
{
    const int n = frame.edge();
    const std::size_t pixels = std::min(wiring_.size(), rgb.size() / kBytesPerPixel);
    for (std::size_t p = 0; p < pixels; ++p) {
        const uint8_t* c = &rgb[p * kBytesPerPixel];
        const int led = wiring_[p];
        frame.set(led / (n * n), led / n % n, led % n, {level_[c[0]], level_[c[1]], level_[c[2]]});
    }
}

}  // namespace strip
