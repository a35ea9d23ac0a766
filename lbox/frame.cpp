#include "lbox/lFrame.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr float kFull = 1.0f;
constexpr float kHalfLed = 0.5f;
constexpr int kHueSectors = 6;

bool same(const storeColor& a, const storeColor& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

int nearest(float v)
{
    return static_cast<int>(std::lround(v));
}

}  // namespace

lFrame::lFrame(int edge) : edge_(std::max(edge, 0)), leds_(static_cast<std::size_t>(edge_ * edge_ * edge_), kOff) {}

bool lFrame::contains(int x, int y, int z) const
{
    return x >= 0 && y >= 0 && z >= 0 && x < edge_ && y < edge_ && z < edge_;
}

bool lFrame::isOff(const storeColor& colour)
{
    // NaN is not above 0 either: such a component counts as dark.
    return !(colour.r > 0.0f) && !(colour.g > 0.0f) && !(colour.b > 0.0f);
}

void lFrame::set(int x, int y, int z, storeColor colour)
{
    if (contains(x, y, z))
        leds_[static_cast<std::size_t>(index(x, y, z))] = colour;
}

storeColor lFrame::get(int x, int y, int z) const
{
    return contains(x, y, z) ? leds_[static_cast<std::size_t>(index(x, y, z))] : kOff;
}

void lFrame::add(int x, int y, int z, storeColor colour)
{
    if (!contains(x, y, z))
        return;
    storeColor& led = leds_[static_cast<std::size_t>(index(x, y, z))];
    led = {std::min(kFull, led.r + colour.r), std::min(kFull, led.g + colour.g), std::min(kFull, led.b + colour.b)};
}

void lFrame::fill(storeColor colour)
{
    std::fill(leds_.begin(), leds_.end(), colour);
}

void lFrame::clear()
{
    fill(kOff);
}

void lFrame::dim(float factor)
{
    for (storeColor& led : leds_)
        led = {led.r * factor, led.g * factor, led.b * factor};
}

void lFrame::line(float x0, float y0, float z0, float x1, float y1, float z1, storeColor colour)
{
    const float dx = x1 - x0, dy = y1 - y0, dz = z1 - z0;
    // One step per LED along the longest axis, so that no LED of the line is
    // skipped and none is lit twice.
    const int steps = nearest(std::max({std::fabs(dx), std::fabs(dy), std::fabs(dz)}));
    for (int i = 0; i <= steps; ++i) {
        const float t = steps == 0 ? 0.0f : static_cast<float>(i) / static_cast<float>(steps);
        set(nearest(x0 + dx * t), nearest(y0 + dy * t), nearest(z0 + dz * t), colour);
    }
}

void lFrame::sphere(float cx, float cy, float cz, float radius, storeColor colour, bool solid)
{
    const float reach = radius + kHalfLed;
    const auto from = [&](float c) { return std::max(0, static_cast<int>(std::floor(c - reach))); };
    const auto to = [&](float c) { return std::min(edge_ - 1, static_cast<int>(std::ceil(c + reach))); };
    for (int x = from(cx); x <= to(cx); ++x)
        for (int y = from(cy); y <= to(cy); ++y)
            for (int z = from(cz); z <= to(cz); ++z) {
                const float d = std::sqrt((x - cx) * (x - cx) + (y - cy) * (y - cy) + (z - cz) * (z - cz));
                if (d <= reach && (solid || d >= radius - kHalfLed))
                    set(x, y, z, colour);
            }
}

void lFrame::box(int x0, int y0, int z0, int x1, int y1, int z1, storeColor colour, Box style)
{
    const int lo[3] = {std::min(x0, x1), std::min(y0, y1), std::min(z0, z1)};
    const int hi[3] = {std::max(x0, x1), std::max(y0, y1), std::max(z0, z1)};
    // How many of its coordinates lie on a face of the box: 1 on a face, 2 on
    // an edge, 3 at a corner.
    const int needed = style == Box::Edges ? 2 : style == Box::Faces ? 1 : 0;
    for (int x = std::max(lo[0], 0); x <= std::min(hi[0], edge_ - 1); ++x)
        for (int y = std::max(lo[1], 0); y <= std::min(hi[1], edge_ - 1); ++y)
            for (int z = std::max(lo[2], 0); z <= std::min(hi[2], edge_ - 1); ++z) {
                const int onFaces = (x == lo[0] || x == hi[0]) + (y == lo[1] || y == hi[1]) + (z == lo[2] || z == hi[2]);
                if (onFaces >= needed)
                    set(x, y, z, colour);
            }
}

void lFrame::character(char ch, int x, int top, int depth, storeColor colour)
{
    const uint8_t* rows = glyph(ch);
    if (!rows)
        return;
    for (int row = 0; row < kGlyphHeight; ++row)
        for (int column = 0; column < kGlyphWidth; ++column)
            if (rows[row] & (1 << (kGlyphWidth - 1 - column)))
                set(x + column, depth, top - row, colour);
}

storeColor lFrame::hsv(float hue, float saturation, float value)
{
    // A hue that is no finite number (an effect's 0 / 0) is red, not a
    // sector number that the conversion to int leaves undefined.
    if (!std::isfinite(hue))
        hue = 0;
    const float h = (hue - std::floor(hue)) * kHueSectors;
    const int sector = static_cast<int>(h) % kHueSectors;
    const float f = h - std::floor(h);
    const float p = value * (kFull - saturation);
    const float q = value * (kFull - saturation * f);
    const float t = value * (kFull - saturation * (kFull - f));
    switch (sector) {
    case 0: return {value, t, p};
    case 1: return {q, value, p};
    case 2: return {p, value, t};
    case 3: return {p, q, value};
    case 4: return {t, p, value};
    default: return {value, p, q};
    }
}

lFrameWriter::lFrameWriter(lBox* box, int edge)
    : box_(box), edge_(std::max(edge, 0)), target_(static_cast<std::size_t>(edge_ * edge_ * edge_), lFrame::kUnlit)
{
    tables_[0] = tables_[1] = target_;
}

int lFrameWriter::show(const lFrame& frame)
{
    // The picture as the receiver will hold it. A frame of another edge is
    // cut to the cube, or lies in its corner with the rest off.
    const bool fits = frame.edge() == edge_;
    for (int x = 0, i = 0; x < edge_; ++x)
        for (int y = 0; y < edge_; ++y)
            for (int z = 0; z < edge_; ++z, ++i) {
                const storeColor colour = fits ? frame.leds()[static_cast<std::size_t>(i)] : frame.get(x, y, z);
                target_[static_cast<std::size_t>(i)] = lFrame::isOff(colour) ? lFrame::kUnlit : colour;
            }

    forgetWhenDue();
    bool whole = !known_[building_];
    int lit = 0, changed = 0;
    const std::vector<storeColor>& table = tables_[building_];
    for (std::size_t i = 0; i < target_.size(); ++i) {
        lit += !same(target_[i], lFrame::kUnlit);
        changed += !same(target_[i], table[i]);
    }
    // A clear is one code, as a write is.
    whole = whole || lit + 1 < changed;
    send(whole);
    return whole ? lit : changed;
}

void lFrameWriter::refresh()
{
    const bool shown = known_[building_ ^ 1];
    if (shown && forgetWhenDue()) {
        send(true);
        send(true);
    }
}

bool lFrameWriter::forgetWhenDue()
{
    const Clock::time_point now = Clock::now();
    if (wholeEvery_.count() <= 0 || now - forgotAt_ < wholeEvery_)
        return false;
    known_[0] = known_[1] = false;
    forgotAt_ = now;
    return true;
}

void lFrameWriter::send(bool whole)
{
    std::vector<storeColor>& table = tables_[building_];
    if (whole) {
        box_->clear();
        std::fill(table.begin(), table.end(), lFrame::kUnlit);
    }
    for (int x = 0, i = 0; x < edge_; ++x)
        for (int y = 0; y < edge_; ++y)
            for (int z = 0; z < edge_; ++z, ++i) {
                const storeColor& colour = target_[static_cast<std::size_t>(i)];
                if (!same(table[static_cast<std::size_t>(i)], colour))
                    box_->autowrite(static_cast<uint8_t>(x), static_cast<uint8_t>(y), static_cast<uint8_t>(z), colour);
            }
    box_->releaseFrame(false);
    table = target_;
    known_[building_] = true;
    building_ ^= 1;
    lastWhole_ = whole;
}
