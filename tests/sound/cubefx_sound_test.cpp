// cubefx hearing sound, as a real process below cubetrace: tones, sweeps and
// kicks made by the tests, from a file, from standard input and from a live
// input through ALSA's file plugin; the same sound gives the same frames;
// a sound that cannot be read ends cubefx before the channel is touched.

#include "sound/analysis.h"
#include "testkit/sounds.h"
#include "tests/demos/trace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>

namespace {

using demotest::DemoRun;
using demotest::Frame;
using testsupport::binary;
using testsupport::Process;
using testsupport::Sound;

constexpr int kEdge = 8;
constexpr int kFps = 30;
constexpr double kSeconds = 2.0;
constexpr int kSettled = 5;  // frames before the first window is full of sound

// A folder of sound files for one test.
class Files {
public:
    std::string write(const std::string& name, const Sound& sound)
    {
        const std::string path = dir_.root() + "/" + name;
        testsupport::writeWav(path, sound);
        return path;
    }
    std::string writeBytes(const std::string& name, const std::string& bytes)
    {
        const std::string path = dir_.root() + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    std::string root() const { return dir_.root(); }

private:
    testsupport::RunDir dir_;
};

std::vector<std::string> cubefx(std::vector<std::string> args)
{
    args.insert(args.begin(), {binary("cubefx"), "--edge", std::to_string(kEdge), "--unpaced"});
    return args;
}

// At the frame rate, as a live input needs.
std::vector<std::string> paced(std::vector<std::string> args)
{
    args.insert(args.begin(), {binary("cubefx"), "--edge", std::to_string(kEdge)});
    return args;
}

DemoRun play(const std::vector<std::string>& args)
{
    return demotest::runDemo(cubefx(args), {"--leds"});
}

// The same, with `input` on cubefx's standard input.
DemoRun playFromInput(const std::vector<std::string>& args, const std::string& input)
{
    std::string command = "exec";
    for (const std::string& word : cubefx(args))
        command += " '" + word + "'";
    return demotest::runDemo({"/bin/sh", "-c", command + " < '" + input + "'"}, {"--leds"});
}

// The height of each bar of `bars`' front row, x = 0 first.
std::vector<int> frontBars(const Frame& frame)
{
    std::vector<int> heights(kEdge, 0);
    for (const demotest::Led& led : frame.leds)
        if (led.y == 0)
            heights[static_cast<std::size_t>(led.x)] = std::max(heights[static_cast<std::size_t>(led.x)], led.z + 1);
    return heights;
}

int tallest(const std::vector<int>& heights)
{
    return static_cast<int>(std::max_element(heights.begin(), heights.end()) - heights.begin());
}

// The middle of band `band` of kEdge, on a log scale.
double bandMiddle(int band)
{
    return std::sqrt(sound::bandLow(band, kEdge) * sound::bandLow(band + 1, kEdge));
}

void expectToneInItsBand(const DemoRun& run, int band)
{
    ASSERT_EQ(run.exit.code, 0) << run.err;
    ASSERT_GT(run.frames.size(), static_cast<std::size_t>(kSettled + 1));
    for (std::size_t k = kSettled; k + 1 < run.frames.size(); ++k) {
        SCOPED_TRACE("frame " + std::to_string(k));
        const std::vector<int> heights = frontBars(run.frames[k]);
        EXPECT_EQ(tallest(heights), band) << testing::PrintToString(heights);
        for (int x = 0; x < kEdge; ++x) {
            if (std::abs(x - band) >= 2) {
                EXPECT_LE(heights[static_cast<std::size_t>(x)], 1) << "x = " << x;
            }
        }
    }
}

struct ToneCase {
    int rate;
    int channels;
    int band;
};

std::string caseName(const testing::TestParamInfo<ToneCase>& info)
{
    const ToneCase& c = info.param;
    return std::to_string(c.rate) + "Hz" + (c.channels == 1 ? "Mono" : "Stereo") + "Band" + std::to_string(c.band);
}

class Tone : public testing::TestWithParam<ToneCase> {};

TEST_P(Tone, LightsItsBandsBarTallestAndBarsTwoBandsAwayAtMostOneLed)
{
    const ToneCase c = GetParam();
    Files files;
    const std::string path = files.write("tone.wav", testsupport::tone(bandMiddle(c.band), kSeconds, c.rate, c.channels));
    expectToneInItsBand(play({"--audio", path, "bars"}), c.band);
}

INSTANTIATE_TEST_SUITE_P(RatesAndChannels, Tone,
                         testing::Values(ToneCase{44100, 1, 3}, ToneCase{44100, 2, 5}, ToneCase{48000, 1, 4},
                                         ToneCase{48000, 2, 6}),
                         caseName);

TEST(Sweep, MovesTheTallestBarSteadilyUpwards)
{
    Files files;
    const std::string path = files.write("sweep.wav", testsupport::sweep(bandMiddle(1), bandMiddle(kEdge - 2), 4, 44100));
    const DemoRun run = play({"--audio", path, "bars"});
    ASSERT_EQ(run.exit.code, 0) << run.err;
    int highest = 0;
    for (std::size_t k = kSettled; k + 1 < run.frames.size(); ++k) {
        const int now = tallest(frontBars(run.frames[k]));
        EXPECT_GE(now, highest) << "frame " << k;
        highest = std::max(highest, now);
    }
    EXPECT_EQ(highest, kEdge - 2);
}

// The frames where `beat` bursts: a quarter of the cube or more lit, after
// a frame with less.
std::vector<std::size_t> bursts(const std::vector<Frame>& frames)
{
    constexpr int kQuarter = kEdge * kEdge * kEdge / 4;
    std::vector<std::size_t> found;
    for (std::size_t k = 0; k < frames.size(); ++k)
        if (frames[k].lit >= kQuarter && (k == 0 || frames[k - 1].lit < kQuarter))
            found.push_back(k);
    return found;
}

TEST(Kicks, At120ABurstForEachKickWithinAFrameOfIt)
{
    Files files;
    constexpr double kBpm = 120;
    constexpr int kKicks = 8;
    const std::string path = files.write("kicks.wav", testsupport::kicks(kBpm, kKicks * 60 / kBpm, 44100));
    const DemoRun run = play({"--audio", path, "beat"});
    ASSERT_EQ(run.exit.code, 0) << run.err;
    const std::vector<std::size_t> found = bursts(run.frames);
    ASSERT_EQ(found.size(), static_cast<std::size_t>(kKicks)) << testing::PrintToString(found);
    const double framesAKick = kFps * 60 / kBpm;
    for (std::size_t i = 0; i < found.size(); ++i)
        EXPECT_NEAR(static_cast<double>(found[i]), static_cast<double>(i) * framesAKick, 2.0) << "kick " << i;
}

class Quiet : public testing::TestWithParam<std::string> {};

// Silence, and dither of one step of 32,768, light nothing in the sound
// effects, nor in an effect that reacts fully.
TEST_P(Quiet, LightsNothing)
{
    Files files;
    const std::string path = files.write(
        "quiet.wav", GetParam() == "silence" ? testsupport::silence(7, 44100) : testsupport::dither(7, 44100));
    const DemoRun run = play({"--audio", path, "bars", "pulse", "beat", "waveform", "spectrum", "rain:react=1",
                              "--duration", "1"});
    ASSERT_EQ(run.exit.code, 0) << run.err;
    ASSERT_EQ(run.frames.size(), 6u * kFps + 1) << run.err;
    for (const Frame& frame : run.frames)
        EXPECT_EQ(frame.lit, 0) << "frame " << frame.release;
}

INSTANTIATE_TEST_SUITE_P(Sounds, Quiet, testing::Values("silence", "dither"));

TEST(SameSound, GivesTheSameFramesTwiceAndFromStandardInput)
{
    Files files;
    const Sound music = testsupport::kicks(132, 2, 44100);
    const std::string path = files.write("music.wav", music);
    const std::string raw = files.writeBytes("music.raw", testsupport::rawBytes(music));
    const std::vector<std::string> args{"--audio", path, "--duration", "1", "--loop", "bars", "waveform", "rain:react=0.8"};
    const DemoRun first = play(args);
    const DemoRun second = play(args);
    std::vector<std::string> fromInput = args;
    fromInput[1] = "-";
    fromInput.insert(fromInput.begin() + 2, {"--audio-format", "s16le:44100:1"});
    const DemoRun third = playFromInput(fromInput, raw);
    ASSERT_EQ(first.exit.code, 0) << first.err;
    ASSERT_EQ(third.exit.code, 0) << third.err;
    // The sound's 2 s end the loop: 60 frames, then the dark one.
    EXPECT_EQ(first.frames.size(), 2u * kFps + 1);
    EXPECT_EQ(demotest::untimed(first.frames), demotest::untimed(second.frames));
    EXPECT_EQ(demotest::untimed(first.frames), demotest::untimed(third.frames));
}

// Each ends cubefx with one line and status 1 before a frame is shown.
TEST(UnreadableSound, EndsCubefxWithOneLineBeforeTheChannelIsTouched)
{
    Files files;
    testsupport::writeWav(files.root() + "/whole.wav", testsupport::tone(440, 1, 44100));
    const std::string whole = testsupport::readFile(files.root() + "/whole.wav");
    const std::vector<std::pair<std::string, std::string>> cases{
        {files.writeBytes("text.wav", "this is not sound at all, only words\n"), "text.wav"},
        {files.writeBytes("cut.wav", whole.substr(0, whole.size() / 2)), "cut.wav"},
        {files.writeBytes("empty.wav", ""), "empty.wav"},
        {files.root() + "/missing.wav", "missing.wav"},
    };
    for (const auto& [path, name] : cases) {
        SCOPED_TRACE(name);
        const DemoRun run = play({"--audio", path, "bars"});
        EXPECT_EQ(run.exit.code, 1);
        EXPECT_TRUE(run.err.starts_with("cubefx: cannot read sound from '" + path + "': ")) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(run.frames.empty());
    }
}

// Standard input that cannot be read (here a folder) ends the play with the
// cube dark, one line and status 1.
TEST(UnreadableSound, OnStandardInputEndsThePlayDarkWithOneLine)
{
    Files files;
    const DemoRun run = playFromInput({"--audio", "-", "bars"}, files.root());
    EXPECT_EQ(run.exit.code, 1);
    const std::string afterTheEffectsLine = run.err.substr(run.err.find('\n') + 1);
    EXPECT_EQ(afterTheEffectsLine, "cubefx: cannot read sound from 'standard input': Is a directory\n");
    ASSERT_EQ(run.frames.size(), 1u);
    EXPECT_EQ(run.frames.back().lit, 0);
}

TEST(SoundOptions, AreRefusedWithOneLineAndStatus2)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"--bands", "4", "bars"}, "--bands goes with --audio SOURCE"},
        {{"--audio", "x.wav", "--audio-format", "s16le:44100:1", "bars"},
         "--audio-format describes standard input: it goes with --audio -"},
        {{"--audio", "capture", "--play", "bars"}, "--play plays a sound file: it goes with --audio FILE"},
        {{"--audio", "x.wav", "--bands", "65", "bars"}, "--bands takes a whole number from 1 to 64, not '65'"},
    };
    for (const auto& [args, message] : cases) {
        SCOPED_TRACE(message);
        std::vector<std::string> argv{binary("cubefx")};
        argv.insert(argv.end(), args.begin(), args.end());
        Process fx(argv, Process::Options::in("/"));
        EXPECT_EQ(fx.wait().code, 2);
        EXPECT_EQ(fx.err(), "cubefx: " + message + " (try 'cubefx --help')\n");
    }
}

// A private HOME whose ALSA default device reads its sound as its input (raw
// s16le, as cubefx asks: mono at 44.1 kHz) and plays into nothing.
using testsupport::AlsaHome;

TEST(Live, ATonesBandIsTallestThroughTheDefaultDevice)
{
    const int band = 4;
    const AlsaHome home(testsupport::tone(bandMiddle(band), 10, 44100));
    testsupport::RunDir dir;
    const std::vector<Frame> frames =
        demotest::firstFrames(dir, paced({"--audio", "capture", "--duration", "5", "bars"}), kFps, home.env());
    for (std::size_t k = kSettled; k < frames.size(); ++k)
        EXPECT_EQ(tallest(frontBars(frames[k])), band) << "frame " << k;
}

TEST(Live, ADeviceThatIsNotThereIsOneLineAndSilence)
{
    const AlsaHome home(testsupport::silence(1, 44100));
    testsupport::RunDir dir;
    demotest::Receiver receiver(dir, {"--leds"});
    Process::Options options = Process::Options::in(dir.runDir());
    options.env = home.env();
    Process fx(cubefx({"--audio", "capture:nosuch", "--duration", "1", "bars"}), options);
    EXPECT_EQ(fx.wait().code, 0) << fx.err();
    const std::vector<Frame> frames = receiver.stop();
    const std::string err = fx.err();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;  // the effect, the device
    EXPECT_NE(err.find("cubefx: cannot capture sound from 'nosuch': "), std::string::npos) << err;
    ASSERT_FALSE(frames.empty());
    for (const Frame& frame : frames)
        EXPECT_EQ(frame.lit, 0);
}

TEST(Play, PlaysTheFileThroughTheDefaultOutputAlongsideTheFrames)
{
    const AlsaHome home(testsupport::silence(1, 44100));
    Files files;
    const std::string path = files.write("tone.wav", testsupport::tone(bandMiddle(3), 1, 44100));
    testsupport::RunDir dir;
    demotest::Receiver receiver(dir, {"--leds"});
    Process::Options options = Process::Options::in(dir.runDir());
    options.env = home.env();
    Process fx({binary("cubefx"), "--edge", std::to_string(kEdge), "--audio", path, "--play", "bars"}, options);
    EXPECT_EQ(fx.wait().code, 0) << fx.err();
    EXPECT_EQ(receiver.stop().size(), static_cast<std::size_t>(kFps + 1));
}

// Each sound effect, at the smallest edge and the receiver's, lights LEDs to
// kicks and writes nothing outside the cube.
class SoundEffects : public testing::TestWithParam<int> {};

TEST_P(SoundEffects, LightKicksInsideTheCubeAtEveryEdge)
{
    const int edge = GetParam();
    Files files;
    const std::string path = files.write("kicks.wav", testsupport::kicks(120, 4, 44100));
    const std::vector<std::string> effects{"bars", "pulse", "beat", "waveform", "spectrum"};
    std::vector<std::string> argv{binary("cubefx"), "--edge", std::to_string(edge), "--unpaced", "--audio", path,
                                  "--duration", "0.8"};
    argv.insert(argv.end(), effects.begin(), effects.end());
    // The receiver's cube is 12 LEDs a side, so a smaller one that strays shows.
    const DemoRun run = demotest::runDemo(argv, {"--leds"});
    ASSERT_EQ(run.exit.code, 0) << run.err;
    constexpr std::size_t kFrames = 24;  // 0.8 s at 30 fps
    ASSERT_EQ(run.frames.size(), effects.size() * kFrames + 1) << run.err;
    for (std::size_t i = 0; i < effects.size(); ++i) {
        SCOPED_TRACE(effects[i] + " at edge " + std::to_string(edge));
        const auto first = run.frames.begin() + static_cast<long>(i * kFrames);
        EXPECT_TRUE(std::any_of(first, first + kFrames, [](const Frame& f) { return f.lit > 0; }));
        for (auto frame = first; frame != first + kFrames; ++frame)
            for (const demotest::Led& led : frame->leds)
                ASSERT_TRUE(led.x < edge && led.y < edge && led.z < edge) << "frame " << frame->release;
    }
}

INSTANTIATE_TEST_SUITE_P(Edges, SoundEffects, testing::Values(3, 12));

// Live, the kicks come at the wall clock's pace: each burst of `beat` is
// one kick, never two bursts for one, whenever the frames fall.
TEST(Live, KicksBurstOnceEach)
{
    constexpr double kBpm = 120;
    const AlsaHome home(testsupport::kicks(kBpm, 30, 44100));
    testsupport::RunDir dir;
    const std::vector<Frame> frames =
        demotest::firstFrames(dir, paced({"--audio", "capture", "--duration", "5", "beat"}), 3 * kFps, home.env());
    const std::vector<std::size_t> found = bursts(frames);
    // Six kicks in the three seconds; a machine too busy to look in time
    // may miss some, but never half.
    EXPECT_GE(found.size(), 3u) << testing::PrintToString(found);
    for (std::size_t i = 1; i < found.size(); ++i)
        EXPECT_GE(frames[found[i]].ms - frames[found[i - 1]].ms, static_cast<long>(1000 * 60 / kBpm / 2));
}

}  // namespace
