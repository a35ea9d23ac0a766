// Effects that follow the sound: an equaliser's bars, a ball that throbs
// with the bass, a burst on each beat and the waveform. Each is dark in
// silence, and so without a sound.

#include "effects/builtins.h"
#include "effects/drawing.h"
#include "effects/heard.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace ledcube::effects {

float columnLevel(const std::vector<float>& bands, int x, int columns)
{
    const auto count = static_cast<long>(bands.size());
    if (count == 0 || columns <= 0)
        return 0.0f;
    const long first = x * count / columns;
    const long end = std::max(first + 1, (x + 1) * count / columns);
    const float loudest = *std::max_element(bands.begin() + first, bands.begin() + end);
    return std::clamp(loudest, 0.0f, 1.0f);
}

std::vector<float> columnLevels(const lSound& sound, int edge)
{
    std::vector<float> levels(static_cast<std::size_t>(edge));
    for (int x = 0; x < edge; ++x)
        levels[static_cast<std::size_t>(x)] = columnLevel(sound.bands, x, edge);
    return levels;
}

int barHeight(float level, int edge)
{
    return std::clamp(static_cast<int>(std::lround(level * static_cast<float>(edge))), 0, edge);
}

void History::push(std::vector<float> row)
{
    rows_.push_front(std::move(row));
    if (rows_.size() > depth_)
        rows_.pop_back();
}

const std::vector<float>& History::row(std::size_t age) const
{
    static const std::vector<float> none;
    return age < rows_.size() ? rows_[age] : none;
}

namespace {

// Low to high runs over this much of the palette, not all of it: the ends
// of a palette that wraps are the same colour.
constexpr float kPaletteLow = 0.05f;
constexpr float kPaletteSpan = 0.75f;
// The share of the bands that are the bass: those below some 250 Hz of
// bands spread evenly from 30 Hz to 16 kHz on a scale of octaves.
constexpr double kBassShare = 1.0 / 3.0;
// Of what it was, a burst or flash is left with a tenth this much later.
constexpr double kTenth = 0.1;

// The colour of an LED `share` of the way up (0 to 1): --colour, or the
// palette from its low end to its high.
storeColor byHeight(const lEffectContext& context, float share)
{
    return context.colourGiven ? context.colour : context.palette.at(kPaletteLow + kPaletteSpan * share);
}

// How bright row y of history is, the newest being 1 and the oldest
// 1 - `fade`.
float rowShade(int y, int edge, double fade)
{
    return 1.0f - static_cast<float>(fade) * static_cast<float>(y) / static_cast<float>(edge - 1);
}

// What is left, 1 to 0, `age` seconds after a flash that falls to a tenth
// in `tenth` seconds; nothing before the flash, nor once less than a
// hundredth is left, so that the flash ends rather than lingering unseen.
float afterglow(double age, double tenth)
{
    const double left = age < 0 ? 0.0 : std::pow(kTenth, age / tenth);
    return left < kTenth * kTenth ? 0.0f : static_cast<float>(left);
}

// A 3-D equaliser: band by band along x, each a bar rising from the floor,
// the newest frame at the front and the older ones running back along y.
class Bars : public lEffect {
public:
    void begin() override { history_ = History(static_cast<std::size_t>(edge())); }

    void draw(lFrame& frame, double) override
    {
        const int n = edge();
        history_.push(sound().given ? columnLevels(sound(), n) : std::vector<float>{});
        frame.clear();
        for (int y = 0; y < n; ++y) {
            const std::vector<float>& row = history_.row(static_cast<std::size_t>(y));
            const float shade = rowShade(y, n, fade);
            for (std::size_t x = 0; x < row.size(); ++x) {
                const int top = barHeight(row[x], n);
                for (int z = 0; z < top; ++z)
                    frame.set(static_cast<int>(x), y, z,
                              scaled(byHeight(context(), static_cast<float>(z) / static_cast<float>(n - 1)), shade));
            }
        }
    }

private:
    const double& fade = setting("fade", 0.7, 0, 1, "how much dimmer the oldest row is than the newest");
    History history_;
};

// A ball in the middle as wide as the bass is loud, that flashes white and
// swells on each beat.
class Pulse : public lEffect {
public:
    void draw(lFrame& frame, double time) override
    {
        const lSound& heard = sound();
        if (heard.given && heard.beat)
            beatAt_ = time;
        const float flash = heard.given ? afterglow(time - beatAt_, kFlashTenth) : 0.0f;
        const float reach = std::min(1.0f, bass(heard) + kFlashSwell * flash);
        const int n = edge();
        const float radius = reach * static_cast<float>(size * n / 2);
        frame.clear();
        if (radius <= 0)
            return;
        const float middle = static_cast<float>(n - 1) / 2;
        const float level = kRest + (1 - kRest) * flash;
        for (int x = 0; x < n; ++x)
            for (int y = 0; y < n; ++y)
                for (int z = 0; z < n; ++z) {
                    const float d = std::hypot(x - middle, y - middle, z - middle);
                    if (d <= radius)
                        frame.set(x, y, z, scaled(whitened(byHeight(context(), d / radius), flash), level));
                }
    }

private:
    // The flash falls to a tenth in this many seconds.
    static constexpr double kFlashTenth = 0.2;
    // A flash at its brightest adds this share of the widest ball.
    static constexpr float kFlashSwell = 0.25f;
    // The ball's brightness between beats.
    static constexpr float kRest = 0.6f;
    // The share of the way to white that a flash at its brightest goes.
    static constexpr float kWhiten = 0.7f;

    // The loudest of the low bands, 0 to 1.
    static float bass(const lSound& heard)
    {
        if (!heard.given || heard.bands.empty())
            return 0.0f;
        const auto count = std::max<std::size_t>(
            1, static_cast<std::size_t>(std::lround(kBassShare * static_cast<double>(heard.bands.size()))));
        return std::clamp(*std::max_element(heard.bands.begin(), heard.bands.begin() + static_cast<long>(count)),
                          0.0f, 1.0f);
    }

    static storeColor whitened(storeColor colour, float flash)
    {
        const float w = kWhiten * flash;
        return {colour.r + (1 - colour.r) * w, colour.g + (1 - colour.g) * w, colour.b + (1 - colour.b) * w};
    }

    const double& size = setting("size", 1, 0.2, 1.8, "the widest ball, a share of the cube's edge");
    double beatAt_ = -std::numeric_limits<double>::infinity();
};

// On each beat the whole cube bursts into light, brightest in the middle,
// in the palette's next colour, and goes dark again before the next beat
// of the fastest music. Time, not frames, measures the fade, so that it
// lasts as long at any --fps.
class Beat : public lEffect {
public:
    void draw(lFrame& frame, double time) override
    {
        const lSound& heard = sound();
        if (heard.given && heard.beat) {
            beatAt_ = time;
            colour_ = colourOr(context().palette.at(kFirstColour + kColourStep * static_cast<float>(beats_++)));
        }
        const float level = heard.given ? afterglow(time - beatAt_, fade) : 0.0f;
        frame.clear();
        // The last glimmer goes out at once rather than lingering.
        if (level < kDarkBelow)
            return;
        const int n = edge();
        const float middle = static_cast<float>(n - 1) / 2;
        const float farthest = std::sqrt(3.0f) * middle;
        for (int x = 0; x < n; ++x)
            for (int y = 0; y < n; ++y)
                for (int z = 0; z < n; ++z) {
                    const float d = std::hypot(x - middle, y - middle, z - middle) / farthest;
                    frame.set(x, y, z, scaled(colour_, level * (1 - kCornerDim * d)));
                }
    }

private:
    static constexpr float kDarkBelow = 0.05f;
    // The corners are this much dimmer than the middle.
    static constexpr float kCornerDim = 0.6f;
    // Palette positions: an irrational step, so that beats seldom repeat a
    // colour soon.
    static constexpr float kFirstColour = 0.1f;
    static constexpr float kColourStep = 0.382f;

    const double& fade = setting("fade", 0.15, 0.05, 2, "seconds for a burst to fade to a tenth");
    double beatAt_ = -std::numeric_limits<double>::infinity();
    storeColor colour_{};
    long beats_ = 0;
};

// The sound's waveform across x, one LED a column at the sample's height,
// as an oscilloscope draws it: the newest at the front, older ones running
// back along y. A few milliseconds of sound, the span of a sung or played
// note's period or two, fit the cube's columns; a longer span would pack so
// many periods into a few columns that it showed noise. The span starts
// where the sound rises through zero, as an oscilloscope's trigger does, so
// that a steady note stands still instead of sliding.
class Waveform : public lEffect {
public:
    void begin() override { history_ = History(static_cast<std::size_t>(edge())); }

    void draw(lFrame& frame, double) override
    {
        const int n = edge();
        history_.push(trace(sound(), n));
        frame.clear();
        const float middle = static_cast<float>(n - 1) / 2;
        for (int y = 0; y < n; ++y) {
            const std::vector<float>& row = history_.row(static_cast<std::size_t>(y));
            const float shade = rowShade(y, n, fade);
            for (std::size_t x = 0; x < row.size(); ++x) {
                const int z = static_cast<int>(std::lround(middle + middle * row[x]));
                frame.set(static_cast<int>(x), y, z,
                          scaled(byHeight(context(), static_cast<float>(z) / static_cast<float>(n - 1)), shade));
            }
        }
    }

private:
    // The samples of `heard` that the columns of a cube of `edge` show,
    // each -1 to 1; none in silence.
    std::vector<float> trace(const lSound& heard, int edge) const
    {
        const std::vector<float>& wave = heard.wave;
        const std::size_t span = std::min(static_cast<std::size_t>(samples), wave.size());
        if (!heard.given || heard.level <= 0 || span == 0)
            return {};
        const std::size_t start = trigger(wave, span);
        const auto columns = static_cast<std::size_t>(edge);
        std::vector<float> row(columns);
        for (std::size_t x = 0; x < columns; ++x)
            row[x] = std::clamp(wave[start + (2 * x + 1) * span / (2 * columns)], -1.0f, 1.0f);
        if (std::all_of(row.begin(), row.end(), [](float s) { return s == 0.0f; }))
            return {};
        return row;
    }

    // Where the newest `span` samples of `wave` that begin on a rise
    // through zero start, looking at most a span further back; the last
    // `span` when none does.
    static std::size_t trigger(const std::vector<float>& wave, std::size_t span)
    {
        const std::size_t last = wave.size() - span;
        const std::size_t oldest = last > span ? last - span : 1;
        for (std::size_t i = last; i >= oldest && i > 0; --i)
            if (wave[i - 1] < 0 && wave[i] >= 0)
                return i;
        return last;
    }

    const double& samples = setting("samples", 256, 16, 4096,
                                    "the newest samples drawn across the cube (256 is 5.8 ms at 44.1 kHz)");
    const double& fade = setting("fade", 0.7, 0, 1, "how much dimmer the oldest row is than the newest");
    History history_;
};

}  // namespace

std::unique_ptr<lEffect> bars()
{
    return std::make_unique<Bars>();
}

std::unique_ptr<lEffect> pulse()
{
    return std::make_unique<Pulse>();
}

std::unique_ptr<lEffect> beat()
{
    return std::make_unique<Beat>();
}

std::unique_ptr<lEffect> waveform()
{
    return std::make_unique<Waveform>();
}

}  // namespace ledcube::effects
