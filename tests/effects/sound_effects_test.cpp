// The effects that follow the sound, drawn in this process with sounds made
// by hand: bars, pulse, beat, waveform and spectrum, LED by LED; how the
// bands are spread over the columns; silence; and which effects take the
// setting "react".

#include "effects/heard.h"
#include "effects/lEffect.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <set>
#include <string>
#include <vector>

namespace {

using Led = std::array<int, 3>;  // x, y, z

const std::vector<std::string> kSoundEffects{"bars", "pulse", "beat", "waveform"};
constexpr std::array<int, 3> kEdges{3, 8, 16};

// The built-in effect called `name`, or nullptr.
const lEffectInfo* builtIn(const std::string& name)
{
    const auto& all = lBuiltInEffects();
    const auto info = std::find_if(all.begin(), all.end(), [&](const lEffectInfo& e) { return e.name == name; });
    return info == all.end() ? nullptr : &*info;
}

// One built-in effect, started on a cube of `edge` that hears `sound`.
class Stage {
public:
    Stage(const std::string& name, int edge, bool heard = true) : frame(edge)
    {
        sound.given = heard;
        const lEffectInfo* info = builtIn(name);
        EXPECT_NE(info, nullptr) << name;
        if (info == nullptr)
            return;
        effect = info->make();
        lEffectContext context;
        context.edge = edge;
        context.sound = &sound;
        effect->start(context);
    }
    Stage(const Stage&) = delete;
    Stage& operator=(const Stage&) = delete;

    const lFrame& draw(double time)
    {
        if (effect)
            effect->draw(frame, time);
        sound.beat = false;  // a beat lasts one frame
        return frame;
    }

    lSound sound;
    lFrame frame;
    std::unique_ptr<lEffect> effect;
};

std::set<Led> lit(const lFrame& frame)
{
    std::set<Led> leds;
    const int n = frame.edge();
    for (int x = 0; x < n; ++x)
        for (int y = 0; y < n; ++y)
            for (int z = 0; z < n; ++z)
                if (!lFrame::isOff(frame.get(x, y, z)))
                    leds.insert({x, y, z});
    return leds;
}

float brightness(const storeColor& c)
{
    return std::max({c.r, c.g, c.b});
}

bool sameLeds(const lFrame& a, const lFrame& b)
{
    return std::equal(a.leds().begin(), a.leds().end(), b.leds().begin(), b.leds().end(),
                      [](const storeColor& p, const storeColor& q) { return p.r == q.r && p.g == q.g && p.b == q.b; });
}

float brightest(const lFrame& frame)
{
    float most = 0;
    for (const storeColor& c : frame.leds())
        most = std::max(most, brightness(c));
    return most;
}

// A bar at column x of row y, `height` LEDs from the floor.
void addBar(std::set<Led>& leds, int x, int y, int height)
{
    for (int z = 0; z < height; ++z)
        leds.insert({x, y, z});
}

std::vector<float> oneBand(std::size_t bands, std::size_t at, float level)
{
    std::vector<float> levels(bands, 0.0f);
    levels[at] = level;
    return levels;
}

TEST(BandColumns, AsManyBandsAsColumnsShowOneEach)
{
    const std::vector<float> bands{0.1f, 0.2f, 0.3f, 0.4f};
    for (int x = 0; x < 4; ++x)
        EXPECT_EQ(effects::columnLevel(bands, x, 4), bands[static_cast<std::size_t>(x)]);
}

TEST(BandColumns, FewerBandsThanColumnsAreEachSeveralColumnsWide)
{
    const std::vector<float> bands{0.1f, 0.2f, 0.3f};
    const std::vector<float> expected{0.1f, 0.1f, 0.1f, 0.2f, 0.2f, 0.2f, 0.3f, 0.3f};
    for (int x = 0; x < 8; ++x)
        EXPECT_EQ(effects::columnLevel(bands, x, 8), expected[static_cast<std::size_t>(x)]) << x;
}

TEST(BandColumns, MoreBandsThanColumnsShowTheLoudestOfTheirShare)
{
    const std::vector<float> bands{0.1f, 0.5f, 0.2f, 0.0f, 0.9f, 0.3f};
    EXPECT_EQ(effects::columnLevel(bands, 0, 3), 0.5f);
    EXPECT_EQ(effects::columnLevel(bands, 1, 3), 0.2f);
    EXPECT_EQ(effects::columnLevel(bands, 2, 3), 0.9f);
}

TEST(BandColumns, NoBandsOrLevelsPastOneAreClamped)
{
    EXPECT_EQ(effects::columnLevel({}, 0, 8), 0.0f);
    EXPECT_EQ(effects::columnLevel({1.5f, -0.5f}, 0, 2), 1.0f);
    EXPECT_EQ(effects::columnLevel({1.5f, -0.5f}, 1, 2), 0.0f);
}

TEST(BarHeight, IsTheLevelTimesTheEdgeRounded)
{
    EXPECT_EQ(effects::barHeight(0.6f, 8), 5);
    EXPECT_EQ(effects::barHeight(0.5f, 3), 2);
    EXPECT_EQ(effects::barHeight(0.05f, 16), 1);
    EXPECT_EQ(effects::barHeight(0.03f, 16), 0);
    EXPECT_EQ(effects::barHeight(1.0f, 16), 16);
}

TEST(Bars, ALoudBandIsABarOfItsHeightThatMovesBackAFrameLater)
{
    const struct {
        int edge;
        std::size_t band;
        float level;
        int height;
    } kCases[] = {{8, 3, 0.6f, 5}, {3, 1, 0.5f, 2}, {16, 10, 0.3f, 5}, {16, 0, 1.0f, 16}};
    for (const auto& c : kCases) {
        SCOPED_TRACE("edge " + std::to_string(c.edge));
        Stage stage("bars", c.edge);
        stage.sound.bands = oneBand(static_cast<std::size_t>(c.edge), c.band, c.level);
        stage.sound.level = c.level;
        std::set<Led> expected;
        addBar(expected, static_cast<int>(c.band), 0, c.height);
        EXPECT_EQ(lit(stage.draw(0.0)), expected);

        stage.sound.bands.assign(stage.sound.bands.size(), 0.0f);
        expected.clear();
        addBar(expected, static_cast<int>(c.band), 1, c.height);
        EXPECT_EQ(lit(stage.draw(1.0 / 30)), expected);
    }
}

TEST(Bars, TheHistoryRunsBackARowAFrameAndOffTheBack)
{
    const int n = 3;
    Stage stage("bars", n);
    const float levels[] = {1.0f / 3, 2.0f / 3, 1.0f};
    for (int k = 0; k < n; ++k) {
        stage.sound.bands = oneBand(n, static_cast<std::size_t>(k), levels[k]);
        stage.draw(k / 30.0);
    }
    // The newest at the front: band 2 at y = 0, band 0 at y = 2.
    std::set<Led> expected;
    for (int k = 0; k < n; ++k)
        addBar(expected, k, n - 1 - k, k + 1);
    EXPECT_EQ(lit(stage.frame), expected);

    stage.sound.bands.assign(n, 0.0f);
    stage.draw(3 / 30.0);
    expected.clear();
    addBar(expected, 1, 2, 2);
    addBar(expected, 2, 1, 3);
    EXPECT_EQ(lit(stage.frame), expected);
}

TEST(Bars, FewerBandsThanColumnsSpreadOverX)
{
    Stage stage("bars", 8);
    stage.sound.bands = oneBand(4, 1, 1.0f);  // the second of four: columns 2 and 3
    std::set<Led> expected;
    addBar(expected, 2, 0, 8);
    addBar(expected, 3, 0, 8);
    EXPECT_EQ(lit(stage.draw(0.0)), expected);
}

TEST(Bars, MoreBandsThanColumnsShowTheLoudestOfEachShare)
{
    Stage stage("bars", 8);
    stage.sound.bands.assign(16, 0.0f);
    stage.sound.bands[0] = 0.25f;  // column 0, bands 0 and 1
    stage.sound.bands[5] = 0.5f;   // column 2, bands 4 and 5
    stage.sound.bands[15] = 1.0f;  // column 7
    std::set<Led> expected;
    addBar(expected, 0, 0, 2);
    addBar(expected, 2, 0, 4);
    addBar(expected, 7, 0, 8);
    EXPECT_EQ(lit(stage.draw(0.0)), expected);
}

TEST(Bars, AreColouredFromThePaletteByHeight)
{
    Stage stage("bars", 8);
    stage.sound.bands = oneBand(8, 0, 1.0f);
    const lFrame& frame = stage.draw(0.0);
    const lPalette rainbow;
    const storeColor floor = rainbow.at(0.05f);
    const storeColor top = rainbow.at(0.8f);
    EXPECT_FLOAT_EQ(frame.get(0, 0, 0).r, floor.r);
    EXPECT_FLOAT_EQ(frame.get(0, 0, 0).g, floor.g);
    EXPECT_FLOAT_EQ(frame.get(0, 0, 7).b, top.b);
    EXPECT_FLOAT_EQ(frame.get(0, 0, 7).r, top.r);
}

// Lit LEDs of the pulse with the lowest of 12 bands at `bass`, the upper
// two thirds at `treble` and the rest of the bass silent.
std::size_t pulseLit(float bass, float treble, int edge)
{
    Stage stage("pulse", edge);
    stage.sound.bands.assign(12, treble);
    std::fill(stage.sound.bands.begin(), stage.sound.bands.begin() + 4, 0.0f);
    stage.sound.bands[0] = bass;
    return lit(stage.draw(0.0)).size();
}

TEST(Pulse, TheBallGrowsWithTheBassAndNotWithTheTreble)
{
    for (const int edge : kEdges) {
        SCOPED_TRACE("edge " + std::to_string(edge));
        const std::size_t quiet = pulseLit(0.3f, 0, edge);
        const std::size_t loud = pulseLit(0.7f, 0, edge);
        const std::size_t loudest = pulseLit(1.0f, 0, edge);
        EXPECT_LT(quiet, loud);
        EXPECT_LT(loud, loudest);
        EXPECT_EQ(pulseLit(0, 1.0f, edge), 0u);
        EXPECT_EQ(pulseLit(0.7f, 1.0f, edge), loud);
    }
}

TEST(Pulse, AtItsLoudestTheBallTouchesEveryFaceAndLeavesTheCorners)
{
    Stage stage("pulse", 8);
    stage.sound.bands.assign(8, 0);
    stage.sound.bands[0] = 1.0f;
    const lFrame& frame = stage.draw(0.0);
    EXPECT_FALSE(lFrame::isOff(frame.get(0, 3, 4)));
    EXPECT_FALSE(lFrame::isOff(frame.get(4, 7, 3)));
    EXPECT_TRUE(lFrame::isOff(frame.get(0, 0, 0)));
    EXPECT_TRUE(lFrame::isOff(frame.get(7, 7, 7)));
}

TEST(Pulse, FlashesBrighterAndWiderOnTheBeatAndSettlesAfter)
{
    Stage steady("pulse", 8), beating("pulse", 8);
    for (Stage* stage : {&steady, &beating}) {
        stage->sound.bands.assign(8, 0);
        stage->sound.bands[0] = 0.5f;
    }
    beating.sound.beat = true;
    const lFrame& rest = steady.draw(0.0);
    const lFrame& flash = beating.draw(0.0);
    EXPECT_GT(lit(flash).size(), lit(rest).size());
    EXPECT_GT(brightness(flash.get(3, 3, 3)), brightness(rest.get(3, 3, 3)));
    // Half a second later the flash is over.
    EXPECT_TRUE(sameLeds(steady.draw(0.5), beating.draw(0.5)));
}

TEST(Pulse, ABeatAloneFlashesASmallBall)
{
    Stage stage("pulse", 8);
    stage.sound.beat = true;
    EXPECT_GT(lit(stage.draw(0.0)).size(), 0u);
    EXPECT_EQ(lit(stage.draw(1.0)).size(), 0u);
}

// The beat at `fps`: silence, a beat on frame 3, then frames until 250 ms
// after it.
void expectBurstThatFades(int edge, double fps)
{
    SCOPED_TRACE("edge " + std::to_string(edge) + " at " + std::to_string(fps) + " fps");
    Stage stage("beat", edge);
    const std::size_t leds = static_cast<std::size_t>(edge) * edge * edge;
    const int beatFrame = 3;
    for (int k = 0; k < beatFrame; ++k)
        EXPECT_TRUE(lit(stage.draw(k / fps)).empty());
    stage.sound.beat = true;
    const double beatAt = beatFrame / fps;
    const lFrame& burst = stage.draw(beatAt);
    EXPECT_GE(lit(burst).size() * 4, leds);
    const float burstBrightest = brightest(burst);
    EXPECT_GT(burstBrightest, 0.5f);
    int k = beatFrame + 1;
    while (k / fps - beatAt < 0.25)
        stage.draw(k++ / fps);
    const lFrame& after = stage.draw(k / fps);
    EXPECT_LE(lit(after).size() * 10, leds);
    EXPECT_LE(brightest(after), 0.1f * burstBrightest);
}

// "Fades below a tenth" holds both ways: by 250 ms the brightest LED has
// at most a tenth of the burst's brightness, and at most a tenth of the
// LEDs are lit.
TEST(Beat, BurstsOverAQuarterOfTheCubeAndFadesBelowATenthIn250Ms)
{
    for (const int edge : kEdges)
        for (const double fps : {30.0, 60.0, 24.0, 120.0})
            expectBurstThatFades(edge, fps);
}

TEST(Beat, TheNextBeatTakesTheNextColour)
{
    Stage stage("beat", 8);
    stage.sound.beat = true;
    const storeColor first = stage.draw(0.0).get(4, 4, 4);
    stage.draw(0.5);
    stage.sound.beat = true;
    const storeColor second = stage.draw(1.0).get(4, 4, 4);
    EXPECT_FALSE(first.r == second.r && first.g == second.g && first.b == second.b);
    EXPECT_GT(brightness(second), 0.5f);
}

// The waveform of a sound whose wave is `wave`.
Stage& hearWave(Stage& stage, std::vector<float> wave)
{
    stage.sound.level = 0.5f;
    stage.sound.wave = std::move(wave);
    return stage;
}

TEST(Waveform, ASampleAColumnAtItsHeightInTheFrontLayerThenBehind)
{
    Stage stage("waveform", 8);
    // Heights 3.5 + 3.5 × sample, rounded.
    hearWave(stage, {-1.0f, -0.5f, 0.0f, 0.5f, 1.0f, 0.25f, -0.25f, -0.75f});
    const std::vector<int> heights{0, 2, 4, 5, 7, 4, 3, 1};
    std::set<Led> front, behind;
    for (int x = 0; x < 8; ++x) {
        front.insert({x, 0, heights[static_cast<std::size_t>(x)]});
        behind.insert({x, 1, heights[static_cast<std::size_t>(x)]});
    }
    EXPECT_EQ(lit(stage.draw(0.0)), front);
    stage.sound.level = 0;
    EXPECT_EQ(lit(stage.draw(1.0 / 30)), behind);
}

TEST(Waveform, ASteadyNoteStartsWhereItRisesThroughZero)
{
    // 64 samples a period, rising through zero at sample 694 (and every 64
    // before it): the newest 256 samples that start on a rise begin there,
    // not at 744, and the columns, which take every 32nd sample of them
    // from the 16th, fall on crests and troughs in turn.
    std::vector<float> wave(1000);
    for (std::size_t i = 0; i < wave.size(); ++i)
        wave[i] = static_cast<float>(std::sin(2 * std::numbers::pi * static_cast<double>(i + 10) / 64));
    Stage stage("waveform", 8);
    hearWave(stage, wave);
    std::set<Led> expected;
    for (int x = 0; x < 8; ++x)
        expected.insert({x, 0, x % 2 == 0 ? 7 : 0});
    EXPECT_EQ(lit(stage.draw(0.0)), expected);
}

TEST(Waveform, AWaveShorterThanTheCubeIsStretchedOverIt)
{
    Stage stage("waveform", 8);
    hearWave(stage, {1.0f, -1.0f});
    std::set<Led> expected;
    for (int x = 0; x < 8; ++x)
        expected.insert({x, 0, x < 4 ? 7 : 0});
    EXPECT_EQ(lit(stage.draw(0.0)), expected);
}

TEST(Spectrum, WithASoundShowsItsBandsWithAPeakThatFallsInTime)
{
    Stage stage("spectrum", 8);
    stage.sound.bands = oneBand(8, 2, 0.5f);
    std::set<Led> expected;
    addBar(expected, 2, 0, 5);  // four of the bar, the peak above
    const lFrame& first = stage.draw(0.0);
    EXPECT_EQ(lit(first), expected);
    EXPECT_FLOAT_EQ(first.get(2, 0, 4).r, 1.0f);
    EXPECT_FLOAT_EQ(first.get(2, 0, 4).b, 1.0f);

    // Half a second later the peak has fallen to a quarter, two LEDs high.
    stage.sound.bands.assign(8, 0.0f);
    expected.clear();
    addBar(expected, 2, 1, 4);
    expected.insert({2, 0, 1});
    EXPECT_EQ(lit(stage.draw(0.5)), expected);
}

TEST(Spectrum, WithoutASoundDrawsItsOwnBarsAsBefore)
{
    Stage stage("spectrum", 8, false);
    EXPECT_GT(lit(stage.draw(0.0)).size(), 8u);
}

TEST(Silence, LightsNothingInTheSoundEffects)
{
    for (const std::string& name : kSoundEffects)
        for (const int edge : kEdges) {
            SCOPED_TRACE(name + " at edge " + std::to_string(edge));
            Stage silent(name, edge), unheard(name, edge, false);
            silent.sound.bands.assign(static_cast<std::size_t>(edge), 0.0f);
            silent.sound.wave.assign(256, 0.0f);
            for (int k = 0; k < 10; ++k) {
                EXPECT_TRUE(lit(silent.draw(k / 30.0)).empty()) << "frame " << k;
                EXPECT_TRUE(lit(unheard.draw(k / 30.0)).empty()) << "frame " << k;
            }
        }
}

TEST(Silence, WithoutASoundAtAllTheSoundEffectsAreDark)
{
    for (const std::string& name : kSoundEffects) {
        SCOPED_TRACE(name);
        const lEffectInfo* info = builtIn(name);
        ASSERT_NE(info, nullptr);
        auto effect = info->make();
        lEffectContext context;
        context.edge = 8;
        effect->start(context);  // no sound: the player plays without --audio
        lFrame frame(8);
        effect->draw(frame, 0.0);
        EXPECT_TRUE(lit(frame).empty());
    }
}

bool takesReact(const lEffect& effect)
{
    return std::any_of(effect.settings().begin(), effect.settings().end(),
                       [](const lEffect::Setting& s) { return s.key == "react"; });
}

TEST(React, EveryEffectButThoseThatFollowTheSoundTakesIt)
{
    const std::set<std::string> following{"bars", "pulse", "beat", "waveform", "spectrum"};
    std::size_t reacting = 0;
    for (const lEffectInfo& info : lBuiltInEffects()) {
        SCOPED_TRACE(info.name);
        const auto effect = info.make();
        EXPECT_EQ(takesReact(*effect), !following.contains(info.name));
        reacting += takesReact(*effect);
        if (takesReact(*effect)) {
            EXPECT_EQ(effect->react(), 0.0);
            std::string error;
            EXPECT_TRUE(effect->set("react", "0.5", error)) << error;
            EXPECT_EQ(effect->react(), 0.5);
        }
    }
    EXPECT_EQ(reacting, lBuiltInEffects().size() - following.size());
}

TEST(SoundEffects, AreListedAmongTheBuiltIns)
{
    for (const std::string& name : kSoundEffects)
        EXPECT_NE(builtIn(name), nullptr) << name;
}

}  // namespace
