// The analysis as the player drives it: a window of the tests' sounds a
// frame, at the frame rates cubefx plays at, with what each sound must show
// on the cube: a tone's band standing alone, a sweep climbing the bands, one
// beat per kick, nothing for silence or dither, and a gain that fills the
// cube without bending the spectrum.

#include "sound/analysis.h"
#include "testkit/sounds.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <stdexcept>
#include <vector>

namespace {

using testsupport::Sound;

constexpr int kRates[] = {44100, 48000};
constexpr double kFps = 30;
constexpr double kLargestEdge = 16;
constexpr double kOneLed = 1.5 / kLargestEdge;  // a bar rounds to one LED or less
constexpr double kSampleScale = 32768.0;

std::vector<float> samplesOf(const Sound& sound)
{
    std::vector<float> samples;
    samples.reserve(sound.samples.size());
    for (const int16_t sample : sound.samples)
        samples.push_back(static_cast<float>(sample / kSampleScale));
    return samples;
}

// Plays `samples` through an analyser frame by frame at `fps`, from time 0
// to the end, the window of each frame ending at its time.
void hear(const std::vector<float>& samples, int rate, double fps, sound::Analyser& analyser,
          const std::function<void(const lSound&, double)>& frame)
{
    std::vector<float> window(analyser.windowSize());
    const auto size = static_cast<long>(window.size());
    const auto frames = static_cast<long>(static_cast<double>(samples.size()) / rate * fps);
    for (long k = 0; k <= frames; ++k) {
        const double time = static_cast<double>(k) / fps;
        const long end = std::lround(time * rate);
        for (long i = 0; i < size; ++i) {
            const long at = end - size + i;
            window[static_cast<std::size_t>(i)] =
                at >= 0 && at < static_cast<long>(samples.size()) ? samples[static_cast<std::size_t>(at)] : 0.0f;
        }
        frame(analyser.analyse(window, time), time);
    }
}

std::vector<float> lastBands(const std::vector<float>& samples, int rate, int bands)
{
    sound::Analyser analyser(rate, bands);
    std::vector<float> last;
    hear(samples, rate, kFps, analyser, [&](const lSound& s, double) { last = s.bands; });
    return last;
}

int tallest(const std::vector<float>& bands)
{
    return static_cast<int>(std::max_element(bands.begin(), bands.end()) - bands.begin());
}

double centre(int band, int bands)
{
    return std::sqrt(sound::bandLow(band, bands) * sound::bandLow(band + 1, bands));
}

TEST(SoundAnalysisShape, BandsRunFrom30HzTo16kHzInEqualRatios)
{
    for (const int bands : {1, 8, 12, 16, sound::kMaxBands}) {
        EXPECT_DOUBLE_EQ(sound::bandLow(0, bands), 30.0);
        EXPECT_NEAR(sound::bandLow(bands, bands), 16000.0, 1e-9);
    }
    EXPECT_NEAR(sound::bandLow(1, 2), std::sqrt(30.0 * 16000.0), 1e-9);
    EXPECT_NEAR(sound::bandLow(3, 12) / sound::bandLow(2, 12), std::pow(16000.0 / 30.0, 1.0 / 12), 1e-12);
}

TEST(SoundAnalysisShape, WindowIs2048At44100And48000AndScalesByPowersOfTwo)
{
    const struct {
        int rate;
        std::size_t window;
    } kWindows[] = {{8000, 512},   {11025, 512},   {22050, 1024},  {32000, 2048},
                    {44100, 2048}, {48000, 2048}, {96000, 4096}, {192000, 8192}};
    for (const auto& w : kWindows)
        EXPECT_EQ(sound::Analyser(w.rate, 8).windowSize(), w.window) << w.rate;
}

TEST(SoundAnalysisShape, RefusesRatesBandsAndGatesOutOfRange)
{
    EXPECT_THROW(sound::Analyser(0, 8), std::invalid_argument);
    EXPECT_THROW(sound::Analyser(44100, 0), std::invalid_argument);
    EXPECT_THROW(sound::Analyser(44100, sound::kMaxBands + 1), std::invalid_argument);
    EXPECT_THROW(sound::Analyser(44100, 8, sound::kMinGateDb - 1), std::invalid_argument);
    EXPECT_THROW(sound::Analyser(44100, 8, sound::kMaxGateDb + 1), std::invalid_argument);
    EXPECT_NO_THROW(sound::Analyser(44100, sound::kMaxBands, sound::kMinGateDb));
}

TEST(SoundAnalysisShape, AShortWindowIsHeardAsTheNewestSamples)
{
    sound::Analyser analyser(44100, 8);
    const std::vector<float> half(analyser.windowSize() / 2, 0.25f);
    const lSound& s = analyser.analyse(half, 0);
    ASSERT_EQ(s.wave.size(), analyser.windowSize());
    EXPECT_EQ(s.wave.front(), 0.0f);
    EXPECT_EQ(s.wave.back(), 1.0f);  // the loudest sample so far is the top
}

TEST(SoundAnalysisBands, AToneStandsAloneInItsBand)
{
    // Every band of 8 and 12; of 16, from 100 Hz up: below, the bands are
    // narrower than the window's main lobe (4 bins, 86 Hz at 44.1 kHz) and
    // 36 Hz and 80 Hz, two bands apart, reach each other.
    const struct {
        int bands;
        double lowestHz;
    } kCases[] = {{8, 0}, {12, 0}, {16, 100}};
    for (const int rate : kRates)
        for (const auto& [bands, lowestHz] : kCases)
            for (int band = 0; band < bands; ++band) {
                const double hz = centre(band, bands);
                if (hz < lowestHz)
                    continue;
                SCOPED_TRACE(testing::Message() << rate << " Hz, " << bands << " bands, tone " << hz);
                const std::vector<float> shown = lastBands(samplesOf(testsupport::tone(hz, 0.5, rate)), rate, bands);
                EXPECT_EQ(tallest(shown), band);
                EXPECT_GT(shown[static_cast<std::size_t>(band)], 0.9f);
                for (int other = 0; other < bands; ++other)
                    if (std::abs(other - band) >= 2) {
                        EXPECT_LE(shown[static_cast<std::size_t>(other)], kOneLed) << "band " << other;
                    }
            }
}

TEST(SoundAnalysisBands, EveryBandHearsATone)
{
    // Bands narrower than a bin included: 30 Hz to 16 kHz in 64 bands.
    for (const int rate : kRates)
        for (int band = 0; band < sound::kMaxBands; ++band) {
            const double hz = centre(band, sound::kMaxBands);
            const std::vector<float> shown =
                lastBands(samplesOf(testsupport::tone(hz, 0.3, rate)), rate, sound::kMaxBands);
            EXPECT_GT(shown[static_cast<std::size_t>(band)], 0.5f) << rate << " Hz, tone " << hz;
        }
}

TEST(SoundAnalysisBands, ASweepClimbsTheBandsToTheTop)
{
    for (const int rate : kRates)
        for (const int bands : {8, 12, 16}) {
            SCOPED_TRACE(testing::Message() << rate << " Hz, " << bands << " bands");
            sound::Analyser analyser(rate, bands);
            int highest = 0;
            hear(samplesOf(testsupport::sweep(40, 15000, 6, rate)), rate, kFps, analyser,
                 [&](const lSound& s, double time) {
                     const int now = tallest(s.bands);
                     EXPECT_GE(now, highest) << "at " << time << " s";
                     highest = std::max(highest, now);
                 });
            EXPECT_EQ(highest, bands - 1);
        }
}

TEST(SoundAnalysisBands, ABandFallsAtTheSamePaceAtAnyFrameRate)
{
    // A tone for a second, then silence: half a second later, less the
    // window's length that still hears the tone, its band has fallen by
    // 40 dB a second to 0.1 to 0.12, whether frames came 10 or 120 times a
    // second.
    constexpr int kRate = 44100;
    std::vector<float> samples = samplesOf(testsupport::tone(1000, 1, kRate));
    samples.resize(samples.size() * 2, 0.0f);
    std::vector<float> fallen;
    for (const double fps : {10.0, 120.0}) {
        sound::Analyser analyser(kRate, 12);
        hear(samples, kRate, fps, analyser, [&](const lSound& s, double time) {
            if (std::abs(time - 1.5) < 1e-9)
                fallen.push_back(s.bands[tallest(s.bands)]);
        });
    }
    ASSERT_EQ(fallen.size(), 2u);
    for (const float band : fallen) {
        EXPECT_GE(band, 0.1f);
        EXPECT_LE(band, 0.125f);
    }
}

TEST(SoundAnalysisGain, SilenceAndDitherShowNothing)
{
    for (const int rate : kRates)
        for (const Sound& quiet : {testsupport::silence(3, rate), testsupport::dither(3, rate)}) {
            sound::Analyser analyser(rate, 12);
            hear(samplesOf(quiet), rate, kFps, analyser, [&](const lSound& s, double time) {
                ASSERT_EQ(s.level, 0.0f) << time;
                ASSERT_FALSE(s.beat) << time;
                ASSERT_EQ(s.tempo, 0.0) << time;
                ASSERT_TRUE(std::all_of(s.bands.begin(), s.bands.end(), [](float b) { return b == 0.0f; })) << time;
                ASSERT_TRUE(std::all_of(s.wave.begin(), s.wave.end(), [](float w) { return w == 0.0f; })) << time;
            });
        }
}

TEST(SoundAnalysisGain, SoundBelowTheGateIsSilenceAndALowerGateLetsItThrough)
{
    constexpr int kRate = 44100;
    const std::vector<float> faint = samplesOf(testsupport::tone(1000, 1, kRate, 1, 0.0005));  // -66 dBFS
    for (const double gate : {sound::kDefaultGateDb, -80.0}) {
        sound::Analyser analyser(kRate, 12, gate);
        float loudest = 0;
        hear(faint, kRate, kFps, analyser, [&](const lSound& s, double) {
            loudest = std::max({loudest, s.level, *std::max_element(s.bands.begin(), s.bands.end())});
        });
        if (gate == sound::kDefaultGateDb)
            EXPECT_EQ(loudest, 0.0f);
        else
            EXPECT_GT(loudest, 0.01f);
    }
}

TEST(SoundAnalysisGain, AQuietToneGetsAtMost40Decibels)
{
    // A sine of 1/316 of full scale (-50 dB) shows at 40 dB louder: 0.316.
    constexpr int kRate = 48000;
    const std::vector<float> shown = lastBands(samplesOf(testsupport::tone(1000, 1, kRate, 1, 0.00316)), kRate, 12);
    EXPECT_NEAR(shown[static_cast<std::size_t>(tallest(shown))], 0.316, 0.02);
}

TEST(SoundAnalysisGain, SoundAfterSilenceShowsInItsFirstFrame)
{
    constexpr int kRate = 44100;
    constexpr double kStart = 2.0;
    std::vector<float> samples(static_cast<std::size_t>(kStart * kRate), 0.0f);
    const std::vector<float> tone = samplesOf(testsupport::tone(1000, 1, kRate, 1, 0.1));
    samples.insert(samples.end(), tone.begin(), tone.end());
    sound::Analyser analyser(kRate, 12);
    bool seen = false;
    hear(samples, kRate, kFps, analyser, [&](const lSound& s, double time) {
        if (time <= kStart || seen)
            return;
        seen = true;
        EXPECT_EQ(s.bands[static_cast<std::size_t>(tallest(s.bands))], 1.0f);
        EXPECT_GT(s.level, 0.5f);
    });
    EXPECT_TRUE(seen);
}

TEST(SoundAnalysisGain, ASineAtItsLoudestGivesLevel1AndAFullWave)
{
    constexpr int kRate = 44100;
    sound::Analyser analyser(kRate, 12);
    const std::vector<float> samples = samplesOf(testsupport::tone(440, 1, kRate));
    lSound last;
    hear(samples, kRate, kFps, analyser, [&](const lSound& s, double) { last = s; });
    EXPECT_NEAR(last.level, 1.0f, 0.01f);
    // The newest window, oldest first, times the gain that makes 0.5 the top.
    const std::size_t end = static_cast<std::size_t>(kRate);
    for (std::size_t i = 0; i < last.wave.size(); ++i)
        ASSERT_NEAR(last.wave[i], samples[end - last.wave.size() + i] / 0.5f, 2e-3f) << i;
}

// Something like music: a kick, a bass line, a chord and a high tone.
std::vector<float> musicLike(int rate, float scale)
{
    const double kSeconds = 4;
    const Sound parts[] = {testsupport::kicks(120, kSeconds, rate), testsupport::tone(110, kSeconds, rate, 1, 0.3),
                           testsupport::tone(440, kSeconds, rate, 1, 0.15),
                           testsupport::tone(660, kSeconds, rate, 1, 0.12),
                           testsupport::tone(5000, kSeconds, rate, 1, 0.05)};
    std::vector<float> mix(parts[0].samples.size(), 0.0f);
    for (const Sound& part : parts)
        for (std::size_t i = 0; i < mix.size(); ++i)
            mix[i] += static_cast<float>(part.samples[i] / kSampleScale) * scale;
    // Through 16 bits, as a quiet recording would come.
    for (float& sample : mix)
        sample = static_cast<float>(static_cast<double>(std::lround(sample * kSampleScale)) / kSampleScale);
    return mix;
}

TEST(SoundAnalysisGain, LoudAndQuietCopiesShowTheSameProportions)
{
    constexpr int kRate = 44100;
    constexpr double kSettled = 2.0;
    std::vector<std::vector<float>> shown;
    // The quiet one, 40 dB down, is still above the gate: about -53 dBFS.
    for (const float scale : {0.6f, 0.006f}) {
        sound::Analyser analyser(kRate, 12);
        hear(musicLike(kRate, scale), kRate, kFps, analyser, [&](const lSound& s, double time) {
            if (time < kSettled)
                return;
            const float top = *std::max_element(s.bands.begin(), s.bands.end());
            std::vector<float> proportions;
            for (const float band : s.bands)
                proportions.push_back(band / top);
            shown.push_back(proportions);
        });
    }
    const std::size_t frames = shown.size() / 2;
    ASSERT_GT(frames, 0u);
    for (std::size_t f = 0; f < frames; ++f)
        for (std::size_t b = 0; b < shown[f].size(); ++b)
            ASSERT_NEAR(shown[f][b], shown[frames + f][b], 0.02f) << "frame " << f << ", band " << b;
}

TEST(SoundAnalysisBeats, OneBeatAKickAndTheTempoAt120)
{
    constexpr double kBpm = 120;
    constexpr double kPeriod = 60 / kBpm;
    constexpr double kSeconds = 10;
    constexpr int kKicks = 20;
    constexpr int kSettledBeats = 8;
    for (const int rate : kRates)
        for (const double fps : {10.0, 25.0, 30.0, 40.0, 60.0, 240.0}) {
            SCOPED_TRACE(testing::Message() << rate << " Hz at " << fps << " fps");
            sound::Analyser analyser(rate, 12);
            std::vector<int> beatsOfKick(kKicks, 0);
            int beats = 0;
            hear(samplesOf(testsupport::kicks(kBpm, kSeconds, rate)), rate, fps, analyser,
                 [&](const lSound& s, double time) {
                     if (s.beat) {
                         ++beats;
                         const auto kick = static_cast<int>(time / kPeriod);
                         // Heard within the kick's first 0.15 s and a frame.
                         EXPECT_LT(time - kick * kPeriod, 0.15 + 1 / fps) << "beat at " << time;
                         if (kick < kKicks)
                             ++beatsOfKick[static_cast<std::size_t>(kick)];
                     }
                     if (beats < 4) {
                         EXPECT_EQ(s.tempo, 0.0) << time;
                     }
                     if (beats >= kSettledBeats) {
                         EXPECT_NEAR(s.tempo, kBpm, 2.0) << time;
                     }
                 });
            EXPECT_EQ(beatsOfKick, std::vector<int>(kKicks, 1));
        }
}

TEST(SoundAnalysisBeats, ASteadyToneBeatsAtMostOnceAtItsStart)
{
    constexpr int kRate = 48000;
    for (const double hz : {60.0, 100.0, 1000.0})
        for (const double fps : {1.0, 30.0, 240.0}) {
            sound::Analyser analyser(kRate, 12);
            hear(samplesOf(testsupport::tone(hz, 5, kRate)), kRate, fps, analyser, [&](const lSound& s, double time) {
                if (s.beat) {
                    EXPECT_LE(time, 1.0 / fps + 0.05) << hz << " Hz at " << fps << " fps";
                }
                EXPECT_EQ(s.tempo, 0.0);
            });
        }
}

}  // namespace
