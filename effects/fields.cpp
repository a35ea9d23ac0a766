// Fields of colour over the whole cube: waves, ripples, plasma, twinkling
// LEDs, a spectrum and a fade.

#include "effects/builtins.h"
#include "effects/drawing.h"
#include "effects/heard.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace ledcube::effects {

namespace {

// A sheet of light one LED thick: over each (x, y) the one LED at the height
// that surface() gives, from -1 (low) to 1 (high), coloured by that height.
class Sheet : public lEffect {
public:
    Sheet(double speedInitial, const char* speedHelp, double wavelengthInitial)
        : speed(setting("speed", speedInitial, 0.01, 20, speedHelp)),
          wavelength(setting("wavelength", wavelengthInitial, 1, 100,
                             "LEDs from crest to crest on a cube of 8, scaled to the cube's edge")),
          height(setting("height", kHeight, 0, 1, "from the lowest crest to the highest, a share of the edge"))
    {
    }

    void draw(lFrame& frame, double time) override
    {
        const int n = edge();
        const float middle = static_cast<float>(n - 1) / 2.0f;
        const float reach = middle * static_cast<float>(height);
        const double turns = time * speed;
        const double length = perEdge(wavelength, n);
        frame.clear();
        for (int x = 0; x < n; ++x)
            for (int y = 0; y < n; ++y) {
                const float s = surface(x, y, turns, length);
                const float high = (s + 1.0f) / 2.0f;
                const int z = static_cast<int>(std::lround(middle + reach * s));
                // With one colour given, height shows as brightness instead.
                const storeColor colour = context().colourGiven
                                              ? scaled(context().colour, kDimmest + (1.0f - kDimmest) * high)
                                              : context().palette.at(kPaletteLow + kPaletteSpan * high);
                frame.set(x, y, z, colour);
            }
    }

protected:
    // The height at (x, y), `turns` crests after the start, with crests
    // `length` LEDs apart.
    virtual float surface(int x, int y, double turns, double length) const = 0;

private:
    static constexpr double kHeight = 0.8;
    // Low to high runs over this much of the palette, not all of it: the ends
    // of a palette that wraps are the same colour.
    static constexpr float kPaletteLow = 0.05f;
    static constexpr float kPaletteSpan = 0.75f;
    static constexpr float kDimmest = 0.25f;

    const double& speed;
    const double& wavelength;
    const double& height;
};

// A travelling wave along x, with a longer and slower one along y so that the
// sheet rolls instead of sliding as a ramp.
class Wave : public Sheet {
public:
    Wave() : Sheet(0.6, "crests a second that pass a point", 8) {}

protected:
    float surface(int x, int y, double turns, double length) const override
    {
        const double along = std::sin(kTurn * (x / length - turns));
        const double across = std::sin(kTurn * (y / (length * kCrossStretch) - turns * kCrossPace) + kCrossPhase);
        return static_cast<float>((along + kCrossShare * across) / (1.0 + kCrossShare));
    }

private:
    static constexpr double kCrossStretch = 1.7;
    static constexpr double kCrossPace = 0.45;
    static constexpr double kCrossShare = 0.45;
    static constexpr double kCrossPhase = 1.0;
};

// Rings that spread from the middle and die away outwards.
class Ripple : public Sheet {
public:
    Ripple() : Sheet(0.8, "rings a second that leave the middle", 5) {}

protected:
    float surface(int x, int y, double turns, double length) const override
    {
        const double n = edge();
        const double middle = (n - 1) / 2.0;
        const double r = std::hypot(x - middle, y - middle);
        return static_cast<float>(std::sin(kTurn * (r / length - turns)) * std::exp(-r / (kReach * n)));
    }

private:
    // The rings are 1 / e as high this share of the edge from the middle.
    static constexpr double kReach = 0.55;
};

// Every LED lit by a sum of sines of x, y, z, a diagonal and the distance
// from a wandering point, each moving at its own pace.
class Plasma : public lEffect {
public:
    void begin() override
    {
        const auto n = static_cast<std::size_t>(edge());
        wraps_ = wrapsSmoothly(context().palette);
        xs_.resize(n);
        ys_.resize(n);
        zs_.resize(n);
        dx_.resize(n);
        dy_.resize(n);
        dz_.resize(n);
        diagonal_.resize(3 * n - 2);
    }

    void draw(lFrame& frame, double time) override
    {
        const int n = edge();
        const double t = time * speed;
        // A cube smaller than the reference shows part of the swirls of one
        // that size: swirls of an LED or two would flicker, not flow.
        const double k = kTurn * scale * kWavesAcross / std::max<double>(n, kReferenceEdge);
        const double middle = (n - 1) / 2.0;
        // The centre of the round term wanders about the middle.
        const double cx = middle + kWander * n * std::sin(kWanderX * t);
        const double cy = middle + kWander * n * std::sin(kWanderY * t + kPhaseY);
        const double cz = middle + kWander * n * std::sin(kWanderZ * t + kPhaseZ);
        for (int i = 0; i < n; ++i) {
            const auto at = static_cast<std::size_t>(i);
            xs_[at] = static_cast<float>(std::sin(k * i + kPaceX * t));
            ys_[at] = static_cast<float>(std::sin(k * kStretchY * i - kPaceY * t + kPhaseY));
            zs_[at] = static_cast<float>(std::sin(k * kStretchZ * i + kPaceZ * t + kPhaseZ));
            dx_[at] = static_cast<float>((i - cx) * (i - cx));
            dy_[at] = static_cast<float>((i - cy) * (i - cy));
            dz_[at] = static_cast<float>((i - cz) * (i - cz));
        }
        // x - y + z, shifted to start at 0.
        for (std::size_t d = 0; d < diagonal_.size(); ++d)
            diagonal_[d] = static_cast<float>(std::sin(k * kStretchDiagonal * (static_cast<double>(d) - (n - 1)) +
                                                       kPaceDiagonal * t));
        const auto round = static_cast<float>(k * kStretchRound);
        const auto roundPhase = static_cast<float>(kPaceRound * t);
        const auto drift = static_cast<float>(kMiddle + kDrift * t);
        const lPalette& palette = context().palette;
        for (int x = 0; x < n; ++x)
            for (int y = 0; y < n; ++y) {
                const auto ax = static_cast<std::size_t>(x), ay = static_cast<std::size_t>(y);
                const float plane = xs_[ax] + ys_[ay];
                const float flat = dx_[ax] + dy_[ay];
                for (int z = 0; z < n; ++z) {
                    const auto az = static_cast<std::size_t>(z);
                    const float v = plane + zs_[az] + diagonal_[static_cast<std::size_t>(x - y + z + n - 1)] +
                                    std::sin(round * std::sqrt(flat + dz_[az]) - roundPhase);
                    frame.set(x, y, z, palette.at(glide(drift + kSpread * v, wraps_)));
                }
            }
    }

private:
    // Waves of the x term across the cube at scale 1.
    static constexpr double kWavesAcross = 0.9;
    static constexpr double kStretchY = 0.8;
    static constexpr double kStretchZ = 1.2;
    static constexpr double kStretchDiagonal = 0.6;
    static constexpr double kStretchRound = 1.3;
    // Radians a second of each term, at speed 1.
    static constexpr double kPaceX = 0.9;
    static constexpr double kPaceY = 1.3;
    static constexpr double kPaceZ = 0.7;
    static constexpr double kPaceDiagonal = 1.1;
    static constexpr double kPaceRound = 1.7;
    // Radians that keep the terms from starting in step.
    static constexpr double kPhaseY = 1.3;
    static constexpr double kPhaseZ = 2.1;
    static constexpr double kWander = 0.25;
    static constexpr double kWanderX = 0.31;
    static constexpr double kWanderY = 0.23;
    static constexpr double kWanderZ = 0.17;
    // Where an even sum falls in the palette: the middle, away from the dark
    // end of a palette such as fire.
    static constexpr double kMiddle = 0.5;
    // Palette positions a second, and per unit of the sum (which spans -5 to
    // 5).
    static constexpr double kDrift = 0.03;
    static constexpr float kSpread = 0.12f;

    const double& speed = setting("speed", 1, 0.01, 20, "how fast the colours flow");
    const double& scale = setting("scale", 1, 0.1, 10, "how many swirls fit in the cube; larger makes them smaller");
    bool wraps_ = true;
    std::vector<float> xs_, ys_, zs_, dx_, dy_, dz_, diagonal_;
};

// LEDs light up at random places and moments, quickly, and fade away slowly,
// each in a colour of its own.
class Twinkle : public lEffect {
public:
    void begin() override
    {
        // The stream starts a lifetime early, so that the cube twinkles as
        // fully from the first frame as later.
        next_ = -life();
    }

    void draw(lFrame& frame, double time) override
    {
        const int n = edge();
        const double life = this->life();
        const double lit = std::max(density * n * n * n, kFewestLit);
        const double rate = lit / life;
        lRandom& random = context().random;
        // Gaps that vary less than a random stream's would: the cube is
        // seldom crowded or empty.
        while (next_ <= time) {
            twinkles_.push_back({random.below(n), random.below(n), random.below(n), random.uniform(), next_});
            next_ += random.uniform(kGapLow, kGapHigh) / rate;
        }
        std::erase_if(twinkles_, [&](const Led& led) { return time - led.born >= life; });

        frame.clear();
        for (const Led& led : twinkles_) {
            const double age = (time - led.born) / life;
            const double rest = 1.0 - (age - kRise) / (1.0 - kRise);
            const auto level = static_cast<float>(age < kRise ? age / kRise : rest * rest);
            frame.add(led.x, led.y, led.z, scaled(colourOr(context().palette.at(led.hue)), level));
        }
    }

private:
    struct Led {
        int x, y, z;
        float hue;
        double born;
    };
    // The share of its life that an LED takes to light up.
    static constexpr double kRise = 0.12;
    static constexpr double kFewestLit = 2.0;
    static constexpr float kGapLow = 0.3f;
    static constexpr float kGapHigh = 1.7f;

    double life() const { return 1.0 / speed; }

    const double& density = setting("density", 0.08, 0.001, 1, "share of the LEDs lit at once");
    const double& speed = setting("speed", 0.8, 0.05, 20, "how fast an LED lights and fades: 1 takes a second");
    std::vector<Led> twinkles_;
    double next_ = 0.0;
};

// A band of the spectrum for each x, its bars standing along y: the front
// row is now, each row behind it a moment older, so that the spectrum's
// history runs away to the back. Above each bar of the front row a peak
// falls back slowly.
//
// Levels are worked out at steps of fixed time, not per frame, so that peaks
// fall the same however the frames fall; a bar between two steps is the mix
// of both. With a sound, the bars are its bands instead, a row a frame as
// they are heard, and the peaks fall by the time between frames.
class Spectrum : public lEffect {
public:
    void begin() override
    {
        const int n = edge();
        lRandom& random = context().random;
        bands_.resize(static_cast<std::size_t>(n));
        for (std::size_t b = 0; b < bands_.size(); ++b) {
            Band& band = bands_[b];
            const double high = static_cast<double>(b) / (n - 1);
            // Low notes are louder and carry the beat.
            band.base = kBaseLow + (kBaseHigh - kBaseLow) * high;
            band.beat = kBeatLow + (kBeatHigh - kBeatLow) * high;
            for (std::size_t w = 0; w < kWobbles; ++w) {
                band.pace[w] = kWobblePace[w] * random.uniform(kPaceLow, kPaceHigh);
                band.phase[w] = random.uniform(0.0f, static_cast<float>(kTurn));
            }
        }
        // Every row, and a step on each side to mix with.
        capacity_ = n * kRowSteps + 3;
        levels_.assign(static_cast<std::size_t>(capacity_ * n), 0.0f);
        peaks_.assign(levels_.size(), 0.0f);
        rowColours_.resize(static_cast<std::size_t>(n));
        for (int z = 0; z < n; ++z)
            rowColours_[static_cast<std::size_t>(z)] =
                lFrame::hsv(kGreen * (1.0f - static_cast<float>(z) / static_cast<float>(n - 1)), 1, 1);
        // The rows behind are full from the first frame.
        done_ = -capacity_;
        heard_ = History(static_cast<std::size_t>(n));
        heardPeaks_.assign(static_cast<std::size_t>(n), 0.0f);
    }

    void draw(lFrame& frame, double time) override
    {
        if (sound().given) {
            drawHeard(frame, time);
            return;
        }
        const int n = edge();
        const double now = time * speed * kStepsPerSecond;
        advanceTo(static_cast<long>(std::floor(now)) + 1);
        const auto layers = static_cast<float>(n);
        frame.clear();
        for (int y = 0; y < n; ++y) {
            const double when = now - y * kRowSteps;
            const float shade = 1.0f - kBackFade * static_cast<float>(y) / static_cast<float>(n - 1);
            for (int x = 0; x < n; ++x) {
                const auto [level, peak] = sample(x, when);
                const int top = static_cast<int>(std::lround(level * layers));
                for (int z = 0; z < top; ++z)
                    frame.set(x, y, z, scaled(rowColours_[static_cast<std::size_t>(z)], shade));
                if (y == 0)
                    frame.set(x, y, std::max(static_cast<int>(std::lround(peak * layers)) - 1, top), kPeak);
            }
        }
    }

private:
    static constexpr std::size_t kWobbles = 3;
    struct Band {
        double base = 0, beat = 0;
        std::array<double, kWobbles> pace{}, phase{};
    };

    static constexpr double kStepsPerSecond = 30.0;
    static constexpr int kRowSteps = 3;
    static constexpr double kBaseLow = 0.35;
    static constexpr double kBaseHigh = 0.15;
    static constexpr double kBeatLow = 0.5;
    static constexpr double kBeatHigh = 0.1;
    static constexpr std::array<double, kWobbles> kWobblePace{1.3, 3.1, 7.7};  // radians a second
    static constexpr std::array<double, kWobbles> kWobbleDepth{0.25, 0.16, 0.1};
    static constexpr float kPaceLow = 0.7f;
    static constexpr float kPaceHigh = 1.4f;
    static constexpr double kBeatsPerSecond = 2.0;
    // Higher makes each beat a shorter kick.
    static constexpr double kBeatSharpness = 6.0;
    // Full heights a second that a peak falls.
    static constexpr double kPeakFall = 0.5;
    static constexpr long kForgetSteps = static_cast<long>(kStepsPerSecond / kPeakFall) + 2;
    static constexpr float kGreen = 1.0f / 3.0f;
    static constexpr float kBackFade = 0.6f;
    static constexpr storeColor kPeak{1.0f, 1.0f, 1.0f};

    std::size_t slot(long step, int band) const
    {
        const long ring = ((step % capacity_) + capacity_) % capacity_;
        return static_cast<std::size_t>(ring * edge() + band);
    }

    void advanceTo(long last)
    {
        const double fall = kPeakFall / kStepsPerSecond;
        // After a long leap in time only the last steps matter: a peak older
        // than kForgetSteps has fallen below any level.
        const long from = std::max(done_ + 1, last - capacity_ - kForgetSteps);
        if (from > done_ + 1)
            for (int b = 0; b < edge(); ++b)
                peaks_[slot(from - 1, b)] = 0.0f;
        for (long step = from; step <= last; ++step) {
            const double t = static_cast<double>(step) / kStepsPerSecond;
            const double kick = std::pow(std::max(0.0, std::sin(kTurn * kBeatsPerSecond * t)), kBeatSharpness);
            for (int b = 0; b < edge(); ++b) {
                const Band& band = bands_[static_cast<std::size_t>(b)];
                double level = band.base + band.beat * kick;
                for (std::size_t w = 0; w < kWobbles; ++w)
                    level += kWobbleDepth[w] * std::sin(band.pace[w] * t + band.phase[w]);
                const auto clamped = static_cast<float>(std::clamp(level, 0.0, 1.0));
                const float before = peaks_[slot(step - 1, b)];
                levels_[slot(step, b)] = clamped;
                peaks_[slot(step, b)] = std::max(clamped, before - static_cast<float>(fall));
            }
        }
        done_ = std::max(done_, last);
    }

    // The level and peak of band `band` at `step`, which may fall between
    // steps.
    std::pair<float, float> sample(int band, double step) const
    {
        const auto first = static_cast<long>(std::floor(step));
        const auto f = static_cast<float>(step - static_cast<double>(first));
        const std::size_t a = slot(first, band), b = slot(first + 1, band);
        return {levels_[a] + (levels_[b] - levels_[a]) * f, peaks_[a] + (peaks_[b] - peaks_[a]) * f};
    }

    void drawHeard(lFrame& frame, double time)
    {
        const int n = edge();
        heard_.push(columnLevels(sound(), n));
        const std::vector<float>& now = heard_.row(0);
        const auto fall = static_cast<float>(kPeakFall * std::max(0.0, time - heardAt_));
        heardAt_ = time;
        for (std::size_t x = 0; x < now.size(); ++x)
            heardPeaks_[x] = std::max(now[x], heardPeaks_[x] - fall);
        frame.clear();
        for (int y = 0; y < n; ++y) {
            const std::vector<float>& row = heard_.row(static_cast<std::size_t>(y));
            const float shade = 1.0f - kBackFade * static_cast<float>(y) / static_cast<float>(n - 1);
            for (std::size_t x = 0; x < row.size(); ++x) {
                const int top = barHeight(row[x], n);
                for (int z = 0; z < top; ++z)
                    frame.set(static_cast<int>(x), y, z, scaled(rowColours_[static_cast<std::size_t>(z)], shade));
                // No peak over a band that has been silent since it fell.
                const int peak = barHeight(heardPeaks_[x], n);
                if (y == 0 && peak > 0)
                    frame.set(static_cast<int>(x), y, std::max(peak - 1, top), kPeak);
            }
        }
    }

    // Without a sound only: with one, the levels are the sound's.
    const double& speed = setting("speed", 1, 0.05, 10, "how fast the levels change");
    std::vector<Band> bands_;
    std::vector<float> levels_, peaks_;
    std::vector<storeColor> rowColours_;
    long capacity_ = 1;
    long done_ = 0;
    History heard_;
    std::vector<float> heardPeaks_;
    double heardAt_ = 0.0;
};

// The whole cube glides through the palette, the top a little ahead of the
// floor; with --colour it pulses in that colour instead, rising from the
// floor.
class Fade : public lEffect {
public:
    void begin() override { wraps_ = wrapsSmoothly(context().palette); }

    void draw(lFrame& frame, double time) override
    {
        const int n = edge();
        const double cycles = time * speed / kSecondsPerMinute;
        for (int z = 0; z < n; ++z) {
            const double up = static_cast<double>(z) / (n - 1);
            storeColor colour;
            if (context().colourGiven) {
                const double beat = kTurn * (cycles * kPulsesPerCycle - kPulseLag * up);
                const double level = kDimmest + (1 - kDimmest) * (0.5 - 0.5 * std::cos(beat));
                colour = scaled(context().colour, static_cast<float>(level));
            } else {
                colour = context().palette.at(glide(static_cast<float>(cycles + kLayerSpread * up), wraps_));
            }
            frame.box(0, 0, z, n - 1, n - 1, z, colour, lFrame::Box::Solid);
        }
    }

private:
    // The share of the palette between the floor and the top.
    static constexpr double kLayerSpread = 0.12;
    static constexpr double kPulsesPerCycle = 3.0;
    // The share of a pulse by which the top follows the floor.
    static constexpr double kPulseLag = 0.25;
    static constexpr double kDimmest = 0.12;

    const double& speed = setting("speed", 6, 0.1, 600, "palette cycles a minute (with --colour, 3 pulses each)");
    bool wraps_ = true;
};

}  // namespace

std::unique_ptr<lEffect> wave()
{
    return std::make_unique<Wave>();
}

std::unique_ptr<lEffect> ripple()
{
    return std::make_unique<Ripple>();
}

std::unique_ptr<lEffect> plasma()
{
    return std::make_unique<Plasma>();
}

std::unique_ptr<lEffect> twinkle()
{
    return std::make_unique<Twinkle>();
}

std::unique_ptr<lEffect> spectrum()
{
    return std::make_unique<Spectrum>();
}

std::unique_ptr<lEffect> fade()
{
    return std::make_unique<Fade>();
}

}  // namespace ledcube::effects
