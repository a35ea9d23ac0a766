// The sources that are read against the frame clock: sound files through
// libsndfile and raw samples through a pipe, as cubefx reads standard input.
// The same samples give the same floats to the last bit from either; each
// window ends at its time's own sample, with zeros before the start and past
// the end; and a file that cannot be heard whole is refused at once.

#include "sound/sources.h"
#include "testkit/sounds.h"
#include "testkit/support.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using testsupport::Sound;

constexpr std::size_t kWindow = 2048;
constexpr double kToneHz = 440.0;
// Before the start, the first sample, a time that a double holds a hair
// short of its sample (0.7 s), the middle, the last window and past the end.
const std::vector<double> kTimes = {-0.5, -0.01, 0.0, 0.001, 0.5, 0.7, 0.999, 1.0, 1.02, 1.5, 3.0};

// Raw bytes fed to a pipe by a thread of its own, as a program piping into
// cubefx writes them.
class Pipe {
public:
    explicit Pipe(std::string bytes)
    {
        std::signal(SIGPIPE, SIG_IGN);  // a test that stops reading early ends the writer's write
        int ends[2];
        EXPECT_EQ(::pipe(ends), 0);
        read_ = ends[0];
        writer_ = std::thread([bytes = std::move(bytes), fd = ends[1]] {
            for (std::size_t at = 0; at < bytes.size();) {
                const ssize_t put = ::write(fd, bytes.data() + at, bytes.size() - at);
                if (put <= 0)
                    break;
                at += static_cast<std::size_t>(put);
            }
            ::close(fd);
        });
    }
    ~Pipe()
    {
        ::close(read_);
        writer_.join();
    }
    int fd() const { return read_; }

private:
    int read_ = -1;
    std::thread writer_;
};

std::vector<uint32_t> bits(const std::vector<float>& samples)
{
    std::vector<uint32_t> out;
    for (const float sample : samples)
        out.push_back(std::bit_cast<uint32_t>(sample));
    return out;
}

std::vector<std::vector<uint32_t>> windowsAt(sound::Source& source, const std::vector<double>& times,
                                             std::size_t size = kWindow)
{
    std::vector<std::vector<uint32_t>> windows;
    std::vector<float> window(size);
    for (const double time : times) {
        source.window(time, window);
        windows.push_back(bits(window));
    }
    return windows;
}

sound::RawFormat rawFormat(sound::Encoding encoding, int rate, int channels)
{
    return sound::RawFormat{encoding, rate, channels};
}

std::string s32Bytes(const Sound& sound)
{
    std::string bytes;
    for (const int16_t sample : sound.samples) {
        const auto word = static_cast<uint32_t>(static_cast<int32_t>(sample) * 65536);
        for (int i = 0; i < 4; ++i)
            bytes += static_cast<char>(word >> (8 * i));
    }
    return bytes;
}

std::string f32Bytes(const Sound& sound)
{
    std::string bytes;
    for (const int16_t sample : sound.samples) {
        const auto word = std::bit_cast<uint32_t>(static_cast<float>(sample) / 32768.0f);
        for (int i = 0; i < 4; ++i)
            bytes += static_cast<char>(word >> (8 * i));
    }
    return bytes;
}

void sox(const std::vector<std::string>& args)
{
    std::vector<std::string> argv{"/usr/bin/env", "sox"};
    argv.insert(argv.end(), args.begin(), args.end());
    testsupport::Process process(argv, testsupport::Process::Options::in("."));
    ASSERT_EQ(process.wait().code, 0) << process.err();
}

void writeBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

// A second of sound whose left and right differ: a tone and a sweep.
Sound stereo(int rate)
{
    const Sound left = testsupport::tone(kToneHz, 1.0, rate);
    const Sound right = testsupport::sweep(100.0, 4000.0, 1.0, rate);
    Sound both{rate, 2, {}};
    for (std::size_t i = 0; i < left.samples.size(); ++i)
        both.samples.insert(both.samples.end(), {left.samples[i], right.samples[i]});
    return both;
}

// Sample i is (i % 2000 - 1000) / 32768, so that each sample tells where it is.
Sound ramp(int rate, double seconds)
{
    Sound sound{rate, 1, {}};
    for (int i = 0; i < static_cast<int>(seconds * rate); ++i)
        sound.samples.push_back(static_cast<int16_t>(i % 2000 - 1000));
    return sound;
}

float rampAt(int i)
{
    return static_cast<float>(i % 2000 - 1000) / 32768.0f;
}

std::string openError(const std::string& path)
{
    try {
        sound::open(path, sound::RawFormat{}, "cubefx");
    } catch (const sound::SoundError& error) {
        return error.what();
    }
    return "no error";
}

class FileAndPipe : public ::testing::Test {
protected:
    std::string path(const std::string& name) const { return dir_.root() + "/" + name; }

    // The windows of `wav` against those of `bytes` piped in as `format`.
    void expectSameWindows(const std::string& wav, const std::string& bytes, const sound::RawFormat& format)
    {
        const auto file = sound::open(wav, sound::RawFormat{}, "cubefx");
        const Pipe pipe(bytes);
        const auto stream = sound::openStream(pipe.fd(), format, "standard input");
        EXPECT_EQ(file->rate(), format.rate);
        EXPECT_EQ(stream->rate(), format.rate);
        EXPECT_EQ(windowsAt(*file, kTimes), windowsAt(*stream, kTimes));
    }

    testsupport::RunDir dir_;
};

TEST_F(FileAndPipe, AWavAndItsBytesOnAPipeGiveTheSameFloats)
{
    const Sound sound = testsupport::tone(kToneHz, 1.0, 44100);
    testsupport::writeWav(path("tone.wav"), sound);
    expectSameWindows(path("tone.wav"), testsupport::rawBytes(sound), rawFormat(sound::Encoding::S16le, 44100, 1));
}

TEST_F(FileAndPipe, Stereo48kIsMixedTheSameWayFromEither)
{
    const Sound sound = stereo(48000);
    testsupport::writeWav(path("stereo.wav"), sound);
    expectSameWindows(path("stereo.wav"), testsupport::rawBytes(sound),
                      rawFormat(sound::Encoding::S16le, 48000, 2));
}

TEST_F(FileAndPipe, S32AndF32PipesMatchTheirFiles)
{
    const Sound sound = stereo(44100);
    testsupport::writeWav(path("s16.wav"), sound);
    sox({path("s16.wav"), "-b", "32", "-e", "signed-integer", path("s32.wav")});
    sox({path("s16.wav"), "-b", "32", "-e", "floating-point", path("f32.wav")});
    expectSameWindows(path("s32.wav"), s32Bytes(sound), rawFormat(sound::Encoding::S32le, 44100, 2));
    expectSameWindows(path("f32.wav"), f32Bytes(sound), rawFormat(sound::Encoding::F32le, 44100, 2));
    expectSameWindows(path("s16.wav"), f32Bytes(sound), rawFormat(sound::Encoding::F32le, 44100, 2));
}

TEST_F(FileAndPipe, AFloatFileAndPipeHearNanAsSilenceAndClipLouderSamples)
{
    const std::vector<float> samples{std::nanf(""), -INFINITY, 1.5f, -3.0f, 0.25f};
    SF_INFO info{};
    info.samplerate = 8000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path("odd.wav").c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    ASSERT_EQ(sf_writef_float(file, samples.data(), 5), 5);
    sf_close(file);
    std::string bytes(samples.size() * sizeof(float), '\0');
    std::memcpy(bytes.data(), samples.data(), bytes.size());

    const std::vector<float> heard{0.0f, 0.0f, 1.0f, -1.0f, 0.25f};
    const auto fromFile = sound::open(path("odd.wav"), sound::RawFormat{}, "cubefx");
    const Pipe pipe(bytes);
    const auto fromPipe = sound::openStream(pipe.fd(), rawFormat(sound::Encoding::F32le, 8000, 1), "standard input");
    for (sound::Source* source : {fromFile.get(), fromPipe.get()}) {
        std::vector<float> window(5);
        source->window(4.0 / 8000, window);
        EXPECT_EQ(window, heard);
    }
}

TEST_F(FileAndPipe, AFlacIsHeardAsItsWav)
{
    const Sound sound = stereo(44100);
    testsupport::writeWav(path("song.wav"), sound);
    sox({path("song.wav"), path("song.flac")});
    const auto wav = sound::open(path("song.wav"), sound::RawFormat{}, "cubefx");
    const auto flac = sound::open(path("song.flac"), sound::RawFormat{}, "cubefx");
    EXPECT_EQ(windowsAt(*wav, kTimes), windowsAt(*flac, kTimes));
}

TEST_F(FileAndPipe, AnOggVorbisIsHeardWithItsLength)
{
    testsupport::writeWav(path("tone.wav"), testsupport::tone(kToneHz, 1.0, 44100, 2));
    sox({path("tone.wav"), path("tone.ogg")});
    const auto ogg = sound::open(path("tone.ogg"), sound::RawFormat{}, "cubefx");
    EXPECT_EQ(ogg->length(), 1.0);
    std::vector<float> window(kWindow);
    ogg->window(0.5, window);
    double sum = 0;
    for (const float sample : window)
        sum += static_cast<double>(sample) * sample;
    // A lossy coding: the tone's RMS within a hundredth.
    EXPECT_NEAR(std::sqrt(sum / kWindow), testsupport::kHalfScale / std::sqrt(2.0), 0.01);
}

TEST_F(FileAndPipe, AWindowEndsWithTheSampleAtItsTime)
{
    testsupport::writeWav(path("ramp.wav"), ramp(44100, 1.0));
    const auto file = sound::open(path("ramp.wav"), sound::RawFormat{}, "cubefx");
    std::vector<float> window(4);
    // 0.7 * 44100 is 30869.999999999996 as a double: its sample is 30870.
    file->window(0.7, window);
    EXPECT_EQ(window, (std::vector<float>{rampAt(30867), rampAt(30868), rampAt(30869), -130.0f / 32768.0f}));
    file->window(0.7 + 0.5 / 44100, window);
    EXPECT_EQ(window.back(), rampAt(30870));
    file->window(0.7 + 1.0 / 44100, window);
    EXPECT_EQ(window.back(), rampAt(30871));
}

TEST_F(FileAndPipe, ZerosComeBeforeTheStartAndPastTheEnd)
{
    testsupport::writeWav(path("ramp.wav"), ramp(44100, 1.0));
    const auto file = sound::open(path("ramp.wav"), sound::RawFormat{}, "cubefx");
    std::vector<float> window(4);
    file->window(-1.0, window);
    EXPECT_EQ(window, (std::vector<float>{0, 0, 0, 0}));
    file->window(0.0, window);
    EXPECT_EQ(window, (std::vector<float>{0, 0, 0, -1000.0f / 32768.0f}));
    file->window(1.0 + 2.0 / 44100, window);
    EXPECT_EQ(window, (std::vector<float>{rampAt(44099), 0, 0, 0}));
    file->window(10.0, window);
    EXPECT_EQ(window, (std::vector<float>{0, 0, 0, 0}));
}

TEST_F(FileAndPipe, TheSoundEndsAfterItsLastSample)
{
    const Sound sound = ramp(8000, 1.0);
    testsupport::writeWav(path("ramp.wav"), sound);
    const auto file = sound::open(path("ramp.wav"), sound::RawFormat{}, "cubefx");
    const Pipe pipe(testsupport::rawBytes(sound));
    const auto stream = sound::openStream(pipe.fd(), rawFormat(sound::Encoding::S16le, 8000, 1), "standard input");
    EXPECT_EQ(file->length(), 1.0);
    EXPECT_EQ(stream->length(), std::nullopt);
    for (sound::Source* source : {file.get(), stream.get()}) {
        EXPECT_FALSE(source->live());
        EXPECT_FALSE(source->endedBefore(-1.0));
        EXPECT_FALSE(source->endedBefore(0.5));
        EXPECT_FALSE(source->endedBefore(7999.0 / 8000));  // the last sample
        EXPECT_TRUE(source->endedBefore(1.0));
        EXPECT_TRUE(source->endedBefore(5.0));
    }
}

TEST_F(FileAndPipe, APipeIsReadOnlyAsFarAsAWindowNeeds)
{
    // The writer holds back the second half until the first window has been
    // given: a source that waited for more than its window needs would hang.
    const Sound sound = ramp(8000, 1.0);
    const std::string bytes = testsupport::rawBytes(sound);
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const auto stream = sound::openStream(ends[0], rawFormat(sound::Encoding::S16le, 8000, 1), "standard input");
    ASSERT_EQ(::write(ends[1], bytes.data(), bytes.size() / 2), static_cast<ssize_t>(bytes.size() / 2));
    std::vector<float> window(4);
    stream->window(0.25, window);
    EXPECT_EQ(window.back(), rampAt(2000));
    ASSERT_EQ(::write(ends[1], bytes.data() + bytes.size() / 2, bytes.size() / 2),
              static_cast<ssize_t>(bytes.size() / 2));
    ::close(ends[1]);
    stream->window(0.75, window);
    EXPECT_EQ(window.back(), rampAt(6000));
    EXPECT_TRUE(stream->endedBefore(1.0));
    ::close(ends[0]);
}

TEST_F(FileAndPipe, APartFrameLeftAtTheEndOfAPipeIsDropped)
{
    const Pipe pipe(testsupport::rawBytes(ramp(8000, 0.5)) + "\x01");
    const auto stream = sound::openStream(pipe.fd(), rawFormat(sound::Encoding::S16le, 8000, 1), "standard input");
    EXPECT_FALSE(stream->endedBefore(3999.0 / 8000));
    EXPECT_TRUE(stream->endedBefore(0.5));
}

constexpr const char* kCutShort = "it is cut short: it holds less sound than its header says";

class FileRefusal : public FileAndPipe {
protected:
    std::string start(const std::string& name) const { return "cannot read sound from '" + path(name) + "': "; }
};

TEST_F(FileRefusal, AFileThatIsNotSound)
{
    writeBytes(path("notes.txt"), "these are words, not sound\n");
    EXPECT_EQ(openError(path("notes.txt")), start("notes.txt") + "Format not recognised.");
}

TEST_F(FileRefusal, AnEmptyFile)
{
    writeBytes(path("empty.wav"), "");
    EXPECT_EQ(openError(path("empty.wav")), start("empty.wav") + "the file is empty");
}

TEST_F(FileRefusal, AWavWithoutSamples)
{
    testsupport::writeWav(path("none.wav"), Sound{44100, 1, {}});
    EXPECT_EQ(openError(path("none.wav")), start("none.wav") + "it holds no sound");
}

TEST_F(FileRefusal, AWavWhoseDataChunkRunsPastItsEnd)
{
    testsupport::writeWav(path("cut.wav"), testsupport::tone(kToneHz, 1.0, 44100));
    std::filesystem::resize_file(path("cut.wav"), 40000);
    EXPECT_EQ(openError(path("cut.wav")), start("cut.wav") + kCutShort);
}

TEST_F(FileRefusal, AFlacCutShort)
{
    testsupport::writeWav(path("song.wav"), stereo(44100));
    sox({path("song.wav"), path("cut.flac")});
    std::filesystem::resize_file(path("cut.flac"), std::filesystem::file_size(path("cut.flac")) / 2);
    EXPECT_EQ(openError(path("cut.flac")), start("cut.flac") + kCutShort);
}

TEST_F(FileRefusal, AnOggCutShort)
{
    // Long enough that half of it still opens.
    testsupport::writeWav(path("song.wav"), testsupport::tone(kToneHz, 5.0, 44100, 2));
    sox({path("song.wav"), path("cut.ogg")});
    std::filesystem::resize_file(path("cut.ogg"), std::filesystem::file_size(path("cut.ogg")) / 2);
    EXPECT_EQ(openError(path("cut.ogg")), start("cut.ogg") + kCutShort);
}

TEST_F(FileRefusal, AMissingFile)
{
    EXPECT_EQ(openError(path("missing.wav")), start("missing.wav") + "System error : No such file or directory.");
}

TEST_F(FileRefusal, ARateCubefxDoesNotHear)
{
    testsupport::writeWav(path("low.wav"), testsupport::tone(kToneHz, 0.5, 4000));
    EXPECT_EQ(openError(path("low.wav")), start("low.wav") + "the rate must be from 8000 to 192000, not '4000'");
}

TEST(SourceNames, CaptureNamesALiveInputAndItsDevice)
{
    EXPECT_TRUE(sound::isCapture("capture"));
    EXPECT_TRUE(sound::isCapture("capture:hw:1,0"));
    EXPECT_FALSE(sound::isCapture("capture.wav"));
    EXPECT_FALSE(sound::isCapture("-"));
    EXPECT_EQ(sound::captureDevice("capture"), "default");
    EXPECT_EQ(sound::captureDevice("capture:hw:1,0"), "hw:1,0");
}

}  // namespace
