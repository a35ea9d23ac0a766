// Text that scrolls round the sides of the cube.

#include "effects/builtins.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

namespace ledcube::effects {

namespace {

// --text runs round the cube's outer ring of columns like a news ticker,
// reading left to right on every side as seen from outside it, and moving
// one column a step to the left.
class Text : public lEffect {
public:
    void draw(lFrame& frame, double time) override
    {
        const int n = edge();
        const std::string& text = context().text;
        const int side = n - 1;
        const int ring = kSides * side;
        const int width = static_cast<int>(text.size()) * kAdvance;
        // A side's width of blank after the text tells its end from its
        // start again.
        const long period = width + side;
        const auto scrolled = static_cast<long>(std::floor(time * speed));
        // A cube lower than a glyph shows the glyph's middle rows; a taller
        // one shows the glyph in its middle.
        const int rows = std::min(n, lFrame::kGlyphHeight);
        const int skipped = (lFrame::kGlyphHeight - rows) / 2;
        const int top = (n - rows) / 2 + rows - 1;

        frame.clear();
        for (int p = 0; p < ring; ++p) {
            const auto column = static_cast<int>((p + scrolled) % period);
            const int across = column % kAdvance;
            if (column >= width || across >= lFrame::kGlyphWidth)
                continue;
            const int index = column / kAdvance;
            const uint8_t* glyph = lFrame::glyph(text[static_cast<std::size_t>(index)]);
            if (!glyph)
                continue;
            const storeColor colour =
                colourOr(context().palette.at(static_cast<float>(index) / static_cast<float>(text.size())));
            const uint8_t bit = static_cast<uint8_t>(1 << (lFrame::kGlyphWidth - 1 - across));
            int x = 0, y = 0;
            place(p, side, x, y);
            for (int row = 0; row < rows; ++row)
                if (glyph[skipped + row] & bit)
                    frame.set(x, y, top - row, colour);
        }
    }

private:
    static constexpr int kSides = 4;
    static constexpr int kAdvance = lFrame::kGlyphWidth + 1;  // a glyph and a column of space

    // The LED column at `p` along the ring: along the front from the left,
    // then the right side to the back, the back leftwards and the left side
    // forwards.
    static void place(int p, int side, int& x, int& y)
    {
        const int along = p % side;
        switch (p / side) {
        case 0: x = along, y = 0; break;
        case 1: x = side, y = along; break;
        case 2: x = side - along, y = side; break;
        default: x = 0, y = side - along; break;
        }
    }

    const double& speed = setting("speed", 8, 0.5, 100, "columns a second");
};

}  // namespace

std::unique_ptr<lEffect> text()
{
    return std::make_unique<Text>();
}

}  // namespace ledcube::effects
