// Shapes that move: planes, boxes, a sphere, a turning wireframe cube, a
// helix, and the cube filling up.

#include "effects/builtins.h"
#include "effects/drawing.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>
#include <vector>

namespace ledcube::effects {

namespace {

// The LEDs light one by one in an order of chance until the cube is full,
// then go out in another, and so again.
class Fill : public lEffect {
public:
    void begin() override
    {
        order_.resize(static_cast<std::size_t>(edge() * edge() * edge()));
        std::iota(order_.begin(), order_.end(), 0);
    }

    void draw(lFrame& frame, double time) override
    {
        const double cycles = time / seconds;
        const long cycle = static_cast<long>(std::floor(cycles));
        if (cycle != cycle_) {
            shuffle();
            cycle_ = cycle;
        }
        // The first half of a cycle lights the LEDs in order; the second puts
        // them out in the same order.
        const double phase = cycles - static_cast<double>(cycle);
        const double leds = static_cast<double>(order_.size());
        const auto lit = static_cast<std::size_t>(leds * std::min(1.0, 2 * phase));
        const auto out = static_cast<std::size_t>(leds * std::max(0.0, 2 * phase - 1));
        const int n = edge();
        frame.clear();
        for (std::size_t i = out; i < lit; ++i) {
            const int led = order_[i];
            const storeColor colour = colourOr(context().palette.at(static_cast<float>(i) / static_cast<float>(leds)));
            frame.set(led / (n * n), led / n % n, led % n, colour);
        }
    }

private:
    void shuffle()
    {
        for (std::size_t i = order_.size() - 1; i > 0; --i)
            std::swap(order_[i], order_[static_cast<std::size_t>(context().random.below(static_cast<int>(i) + 1))]);
    }

    const double& seconds = setting("seconds", 8, 0.5, 600, "seconds to fill the cube and empty it again");
    std::vector<int> order_;
    long cycle_ = -1;
};

}  // namespace

std::unique_ptr<lEffect> fill()
{
    return std::make_unique<Fill>();
}


namespace {

constexpr int kAxes = 3;

// The colour at full brightness: a shape of a few LEDs in a palette's dark
// end would hardly show.
storeColor vivid(storeColor colour)
{
    const float most = std::max({colour.r, colour.g, colour.b});
    return most > 0.0f ? scaled(colour, 1.0f / most) : colour;
}

// A plane of light sweeps along x, forth and back, then along y, then along
// z, a new colour for each sweep, with a faint layer behind it.
class Planes : public lEffect {
public:
    void draw(lFrame& frame, double time) override
    {
        const int n = edge();
        const int last = n - 1;
        const double layers = time * speed;
        const auto sweep = static_cast<long>(std::floor(layers / last));
        const double along = layers - static_cast<double>(sweep) * last;
        const bool back = sweep % 2 == 1;
        const int axis = static_cast<int>(sweep / 2 % kAxes);
        const int at = static_cast<int>(std::lround(back ? last - along : along));
        const int behind = back ? at + 1 : at - 1;
        const storeColor colour =
            colourOr(vivid(context().palette.at(static_cast<float>(sweep) * kColourStep)));
        frame.clear();
        layer(frame, axis, behind, scaled(colour, kTrail));
        layer(frame, axis, at, colour);
    }

private:
    static constexpr float kColourStep = 0.17f;
    static constexpr float kTrail = 0.3f;

    void layer(lFrame& frame, int axis, int at, storeColor colour)
    {
        const int last = edge() - 1;
        switch (axis) {
        case 0: frame.box(at, 0, 0, at, last, last, colour, lFrame::Box::Solid); break;
        case 1: frame.box(0, at, 0, last, at, last, colour, lFrame::Box::Solid); break;
        default: frame.box(0, 0, at, last, last, at, colour, lFrame::Box::Solid); break;
        }
    }

    const double& speed = setting("speed", 8, 0.1, 200, "layers a second");
};

// Wireframe boxes are born in the middle one after another and grow an LED
// on each side at a time until they reach the cube's faces, each in the next
// colour of the palette.
class Boxes : public lEffect {
public:
    void begin() override { wraps_ = wrapsSmoothly(context().palette); }

    void draw(lFrame& frame, double time) override
    {
        const int n = edge();
        // The smallest box is the middle LED, or the middle 2 x 2 x 2 of an
        // even cube; the largest is the cube's own edges.
        const int low = (n - 1) / 2, high = n / 2;
        const int sizes = low + 1;
        const long spacing = std::max(1L, std::lround(sizes * kSpacing));
        const auto steps = static_cast<long>(std::floor(time * speed));
        frame.clear();
        // Newest (smallest) last, so that where boxes meet it shows.
        for (long box = std::max(0L, (steps - sizes + spacing) / spacing); box * spacing <= steps; ++box) {
            const auto grown = static_cast<int>(steps - box * spacing);
            if (grown >= sizes)
                continue;
            const storeColor colour =
                colourOr(vivid(context().palette.at(glide(static_cast<float>(box) * kColourStep, wraps_))));
            frame.box(low - grown, low - grown, low - grown, high + grown, high + grown, high + grown, colour);
        }
    }

private:
    // Steps between one box and the next, a share of the steps to the faces.
    static constexpr double kSpacing = 0.4;
    static constexpr float kColourStep = 0.13f;

    const double& speed = setting("speed", 5, 0.1, 100, "LEDs a second that a box grows on each side");
    bool wraps_ = true;
};

// A sphere shell in the middle swells to the cube's corners and shrinks
// back, its colour gliding through the palette.
class Sphere : public lEffect {
public:
    void begin() override { wraps_ = wrapsSmoothly(context().palette); }

    void draw(lFrame& frame, double time) override
    {
        const float middle = static_cast<float>(edge() - 1) / 2.0f;
        const float corner = middle * std::numbers::sqrt3_v<float>;
        const double swells = time * speed;
        const auto grown = static_cast<float>(0.5 - 0.5 * std::cos(kTurn * swells));
        const float radius = kSmallest + (corner - kSmallest) * grown;
        const storeColor colour =
            colourOr(vivid(context().palette.at(glide(static_cast<float>(swells * kPalettePerSwell), wraps_))));
        frame.clear();
        frame.sphere(middle, middle, middle, radius, colour);
    }

private:
    // Large enough to light the middle LEDs of an even cube, which lie
    // sqrt(3) / 2 from its centre.
    static constexpr float kSmallest = 0.9f;
    static constexpr double kPalettePerSwell = 0.2;

    const double& speed = setting("speed", 0.3, 0.01, 10, "swells a second");
    bool wraps_ = true;
};

// A wireframe cube turns about a slanted axis through the middle, and that
// axis slowly turns round the vertical, so that the cube tumbles.
class Spin : public lEffect {
public:
    void begin() override { wraps_ = wrapsSmoothly(context().palette); }

    void draw(lFrame& frame, double time) override
    {
        const double middle = (edge() - 1) / 2.0;
        const double half = size * middle;
        const double turns = time * speed / kSecondsPerMinute;
        const double angle = kTurn * turns;
        const double sway = angle * kSwayPerTurn;
        const double axis[kAxes] = {std::sin(kTilt) * std::cos(sway), std::sin(kTilt) * std::sin(sway), std::cos(kTilt)};
        const double c = std::cos(angle), s = std::sin(angle);

        // Corner i has bit 0 for x, bit 1 for y and bit 2 for z set when on
        // the high side; Rodrigues' formula turns it about the axis.
        float corners[kCorners][kAxes];
        for (int i = 0; i < kCorners; ++i) {
            const double v[kAxes] = {i & 1 ? half : -half, i & 2 ? half : -half, i & 4 ? half : -half};
            const double dot = axis[0] * v[0] + axis[1] * v[1] + axis[2] * v[2];
            const double cross[kAxes] = {axis[1] * v[2] - axis[2] * v[1], axis[2] * v[0] - axis[0] * v[2],
                                     axis[0] * v[1] - axis[1] * v[0]};
            for (int k = 0; k < kAxes; ++k)
                corners[i][k] = static_cast<float>(middle + v[k] * c + cross[k] * s + axis[k] * dot * (1 - c));
        }
        const storeColor colour =
            colourOr(vivid(context().palette.at(glide(static_cast<float>(turns * kPalettePerTurn), wraps_))));
        frame.clear();
        // An edge joins two corners that differ on one axis.
        for (int i = 0; i < kCorners; ++i)
            for (int bit = 1; bit < kCorners; bit <<= 1)
                if (!(i & bit)) {
                    const float* a = corners[i];
                    const float* b = corners[i | bit];
                    frame.line(a[0], a[1], a[2], b[0], b[1], b[2], colour);
                }
    }

private:
    static constexpr int kCorners = 8;
    // Radians between the axis and the vertical.
    static constexpr double kTilt = 0.7;
    // Turns of the axis round the vertical for each turn of the cube.
    static constexpr double kSwayPerTurn = 0.23;
    static constexpr double kPalettePerTurn = 0.1;

    const double& speed = setting("speed", 15, 0.1, 600, "turns a minute");
    const double& size = setting("size", 0.75, 0.1, 1, "the turning cube's edge, a share of the cube's");
    bool wraps_ = true;
};

// Arms of a helix turn round the vertical axis: on each layer every arm is a
// spoke from the middle out to a circle, and the spoke's outer end leaves a
// short trail that fades behind it.
class Spiral : public lEffect {
public:
    void begin() override { wraps_ = wrapsSmoothly(context().palette); }

    void draw(lFrame& frame, double time) override
    {
        const int n = edge();
        const float middle = static_cast<float>(n - 1) / 2.0f;
        const float radius = middle * kRadius;
        // Spokes start at the LEDs nearest the axis: on an even cube the axis
        // runs between four of them.
        const float inner = n % 2 == 0 ? kInnerEven : 0.0f;
        const int count = static_cast<int>(std::lround(arms));
        const int trail = std::max(kShortestTrail, static_cast<int>(std::lround(n * kTrailPerEdge)));
        // A trail's dots are an LED apart round the circle, behind the way
        // the arms turn.
        const double step = (speed < 0 ? -1.0 : 1.0) / radius;
        const double turned = kTurn * time * speed;
        frame.clear();
        // Oldest first, so that the arms stay bright where trails cross them.
        for (int back = trail; back >= 0; --back) {
            const float level = 1.0f - static_cast<float>(back) / static_cast<float>(trail + 1);
            for (int arm = 0; arm < count; ++arm) {
                const float share = static_cast<float>(arm) / static_cast<float>(count);
                const storeColor colour = scaled(colourOr(vivid(context().palette.at(
                    glide(share + static_cast<float>(time * kPalettePerSecond), wraps_)))), level);
                for (int z = 0; z < n; ++z) {
                    const double angle = turned + kTurn * (twist * z / (n - 1) + share) - back * step;
                    const auto outX = static_cast<float>(std::cos(angle));
                    const auto outY = static_cast<float>(std::sin(angle));
                    const float x = middle + radius * outX, y = middle + radius * outY;
                    if (back == 0)
                        frame.line(middle + inner * outX, middle + inner * outY, static_cast<float>(z), x, y,
                                   static_cast<float>(z), colour);
                    else
                        frame.set(static_cast<int>(std::lround(x)), static_cast<int>(std::lround(y)), z, colour);
                }
            }
        }
    }

private:
    // The circle's radius, a share of the way from the middle to a face.
    static constexpr float kRadius = 0.95f;
    static constexpr float kInnerEven = std::numbers::sqrt2_v<float> / 2.0f;
    static constexpr int kShortestTrail = 2;
    static constexpr double kTrailPerEdge = 0.3;
    static constexpr double kPalettePerSecond = 0.02;

    const double& speed = setting("speed", 0.5, -10, 10, "turns a second (below 0 the other way)");
    const double& twist = setting("twist", 1, -4, 4, "turns of each arm from the floor to the top");
    const double& arms = setting("arms", 2, 1, 8, "arms of the helix");
    bool wraps_ = true;
};

}  // namespace

std::unique_ptr<lEffect> planes()
{
    return std::make_unique<Planes>();
}

std::unique_ptr<lEffect> boxes()
{
    return std::make_unique<Boxes>();
}

std::unique_ptr<lEffect> sphere()
{
    return std::make_unique<Sphere>();
}

std::unique_ptr<lEffect> spin()
{
    return std::make_unique<Spin>();
}

std::unique_ptr<lEffect> spiral()
{
    return std::make_unique<Spiral>();
}

}  // namespace ledcube::effects
