#pragma once

// From the frame on show to the bytes of an LED strip: which LED of the cube
// each pixel of the strip is (the wiring), and the colour each pixel gets.

#include "lbox/lBox.h"
#include "net/protocols.h"

#include <array>
#include <cstdint>
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

}  // namespace strip
