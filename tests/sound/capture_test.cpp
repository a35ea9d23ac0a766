// The live input through ALSA, with a private home whose .asoundrc makes the
// default device ALSA's file plugin (testsupport::AlsaHome): it captures the
// samples of a file (raw s16le) over the null device, as fast as they are
// asked for, which the capture paces to the wall clock. ALSA reads the configuration at its first
// use in a process, so each test runs in a process of its own.

#include "sound/sources.h"
#include "testkit/sounds.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr double kToneHz = 440.0;
constexpr double kToneSeconds = 20.0;
constexpr std::size_t kWindow = 2048;
const double kToneRms = testsupport::kHalfScale / std::sqrt(2.0);
constexpr double kRmsTolerance = 0.01;
constexpr auto kDeadline = 30s;
constexpr double kBlockSeconds = 0.005;  // what the capture reads at a time

// The lines a live input says, as they come from its thread.
class Notices {
public:
    sound::Notice sink()
    {
        return [this](const std::string& line) {
            const std::lock_guard lock(mutex_);
            lines_.push_back(line);
        };
    }
    std::vector<std::string> lines() const
    {
        const std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

template <typename Pred>
bool eventually(Pred done)
{
    const auto end = std::chrono::steady_clock::now() + kDeadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

double rms(sound::Source& source)
{
    std::vector<float> window(kWindow);
    source.window(0.0, window);
    double sum = 0;
    for (const float sample : window)
        sum += static_cast<double>(sample) * sample;
    return std::sqrt(sum / static_cast<double>(window.size()));
}

bool hearsTheTone(sound::Source& source)
{
    return eventually([&] { return std::abs(rms(source) - kToneRms) < kRmsTolerance; });
}

class Capture : public ::testing::Test {
protected:
    void SetUp() override { home_.enter(); }

    void writeInput(int rate, int channels) const
    {
        home_.writeInput(testsupport::tone(kToneHz, kToneSeconds, rate, channels));
    }
    // The default device holds to what the input file holds.
    void writeConfig(int rate, int channels) const { home_.writeConfig({.rate = rate, .channels = channels}); }
    std::unique_ptr<sound::Source> open(const std::string& device)
    {
        return sound::openCapture(device, "cubefx", notices_.sink());
    }

    testsupport::AlsaHome home_;
    Notices notices_;
};

TEST_F(Capture, ATonePlayedIntoTheInputShowsInItsWindows)
{
    writeInput(44100, 1);
    writeConfig(44100, 1);
    const auto source = open("default");
    EXPECT_EQ(source->rate(), 44100);
    EXPECT_TRUE(source->live());
    EXPECT_FALSE(source->endedBefore(1e9));
    EXPECT_EQ(source->length(), std::nullopt);
    EXPECT_TRUE(hearsTheTone(*source)) << "its RMS: " << rms(*source);
    EXPECT_EQ(notices_.lines(), std::vector<std::string>{});
}

TEST_F(Capture, TheInputIsHeardNoSoonerThanItWouldPlay)
{
    // A second of silence, then the tone: the file plugin would give all of
    // it at once, but the capture reads no further than the wall clock (and
    // a block) has come.
    testsupport::Sound sound = testsupport::silence(1.0, 44100);
    const testsupport::Sound tone = testsupport::tone(kToneHz, kToneSeconds, 44100);
    sound.samples.insert(sound.samples.end(), tone.samples.begin(), tone.samples.end());
    home_.writeInput(sound);
    writeConfig(44100, 1);
    const auto opened = std::chrono::steady_clock::now();
    const auto source = open("default");
    ASSERT_TRUE(eventually([&] { return rms(*source) > kToneRms / 2; }));
    const std::chrono::duration<double> heardAfter = std::chrono::steady_clock::now() - opened;
    // A quarter of a window of the tone passes half its RMS.
    const double toneStart = 1.0 - static_cast<double>(kWindow / 4) / 44100;
    EXPECT_GE(heardAfter.count(), toneStart - kBlockSeconds);
}

TEST_F(Capture, AStereoDeviceAt48kIsHeardAt48kInOneChannel)
{
    writeInput(48000, 2);
    writeConfig(48000, 2);
    const auto source = open("default");
    EXPECT_EQ(source->rate(), 48000);
    EXPECT_TRUE(hearsTheTone(*source)) << "its RMS: " << rms(*source);
}

TEST_F(Capture, ADeviceThatDoesNotExistSaysSoOnceAndGivesSilence)
{
    const auto source = open("nosuch");
    const std::vector<std::string> said{
        "cubefx: cannot capture sound from 'nosuch': No such file or directory; trying again every second"};
    EXPECT_EQ(notices_.lines(), said);
    EXPECT_EQ(source->rate(), 44100);
    EXPECT_EQ(rms(*source), 0.0);
    // Past two retries, nothing more is said.
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(notices_.lines(), said);
    EXPECT_EQ(rms(*source), 0.0);
}

TEST_F(Capture, ADeviceThatComesBackSaysSoAndIsHeard)
{
    // The file plugin fails to open while its input file is missing.
    writeConfig(44100, 1);
    const auto source = open("default");
    ASSERT_EQ(notices_.lines().size(), 1u);
    EXPECT_EQ(notices_.lines()[0], "cubefx: cannot capture sound from 'default': No such file or directory; trying "
                                   "again every second");
    writeInput(44100, 1);
    EXPECT_TRUE(eventually([&] { return notices_.lines().size() == 2; }));
    EXPECT_EQ(notices_.lines().back(), "cubefx: capturing sound from 'default' again");
    EXPECT_TRUE(hearsTheTone(*source)) << "its RMS: " << rms(*source);
}

TEST_F(Capture, OpenNamesTheDefaultDeviceAndSaysOnStandardError)
{
    writeConfig(44100, 1);  // with no input file, which fails
    testing::internal::CaptureStderr();
    const auto source = sound::open("capture", sound::RawFormat{}, "cubefx");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "cubefx: cannot capture sound from 'default': No such file or "
                                                      "directory; trying again every second\n");
    EXPECT_TRUE(source->live());
}

}  // namespace
