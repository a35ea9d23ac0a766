#pragma once

// From the frame on show to the bytes of an LED strip and back: which LED of
// the cube each pixel of the strip is (the wiring), and the colour each
// pixel gets. cubesend, cubelisten and cubeexport share these;
// common/mapping.h turns their options into them.

#include "lbox/lBox.h"
#include "lbox/lFrame.h"
#include "wiring/layout.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace strip {

inline constexpr int kAxes = 3;

// Pixel p of the strip shows colour-table element wiring[p].
using Wiring = std::vector<int>;

// The strip runs along the axes in the order given ("xyz": x fastest, then
// y, then z, so pixel = x + N * (y + N * z)). With `serpentine` every other
// row of the fastest axis runs backwards, counting rows over the whole strip,
// as one strip folded back and forth.
Wiring axisWiring(int edge, const std::array<int, kAxes>& fastestFirst, bool serpentine);

// "xyz", "zyx", ...: the axes of axisWiring, or false for any other text.
bool parseAxisOrder(const std::string& text, std::array<int, kAxes>& fastestFirst);

// A layout file: one line "x y z" per pixel, pixel 0 first; blank lines and
// lines starting with '#' are skipped. Every LED of the cube must appear
// exactly once. On a fault, returns an empty wiring and sets `error` to
// "FILE:LINE: what is wrong".
Wiring loadLayout(int edge, const std::string& path, std::string& error);

// How a colour component c becomes a byte:
// round(255 * brightness * clamp(c, 0, 1)^gamma), NaN as 0; an LED in the
// viewer's unlit grey is off, as an unlit LED of a real cube is dark.
struct ColourCorrection {
    double gamma = 1.0;
    double brightness = 1.0;
};

// Fills `rgb` (wiring.size() pixels) from the colour table.
void toPixels(const storeColor* table, const Wiring& wiring, const ColourCorrection& correction, uint8_t* rgb);

// The way back: pixel p lights the LED that toPixels sends as pixel p, in
// the colour that toPixels sends as those bytes, within a step of 1/255: each
// byte b becomes (b / (255 × brightness))^(1/gamma), at most 1. A pixel that
// is black is an LED that is off.
class StripReader {
public:
    StripReader(Wiring wiring, const ColourCorrection& correction);
    // `rgb` holds the strip's pixels, wiring.size() of them or fewer.
    void read(std::span<const uint8_t> rgb, lFrame& frame) const;
    // The colour component that `byte` reads as.
    float level(uint8_t byte) const { return level_[byte]; }

private:
    static constexpr std::size_t kLevels = 256;
    Wiring wiring_;
    std::array<float, kLevels> level_{};
};

}  // namespace strip
