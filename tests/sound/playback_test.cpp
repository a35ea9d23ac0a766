// --play through ALSA's default output, made in a private home the file
// plugin over the null device (testsupport::AlsaHome), which writes what it
// is given to a file: the sound file's samples, as floats, from its start.
// ALSA reads the configuration at its first use in a process, so each test
// runs in a process of its own.

#include "sound/playback.h"
#include "sound/source.h"
#include "testkit/sounds.h"
#include "testkit/support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr auto kDeadline = 30s;

class Playback : public ::testing::Test {
protected:
    void SetUp() override { home_.enter(); }

    std::string path(const std::string& name) const { return home_.path(name); }
    // The default output writes raw samples to the home's output file.
    void outputToFile() const { home_.writeConfig({.keepOutput = true}); }
    std::uintmax_t outBytes() const
    {
        std::error_code error;
        const std::uintmax_t size = std::filesystem::file_size(home_.output(), error);
        return error ? 0 : size;
    }

    testsupport::AlsaHome home_;
};

std::string playError(const std::string& file)
{
    try {
        sound::Playback playback(file, "cubefx");
    } catch (const sound::SoundError& error) {
        return error.what();
    }
    return "no error";
}

TEST_F(Playback, PlaysTheFilesSamplesFromItsStart)
{
    const testsupport::Sound sound = testsupport::tone(440.0, 0.5, 44100, 2);
    testsupport::writeWav(path("tone.wav"), sound);
    outputToFile();
    const std::uintmax_t expected = sound.samples.size() * sizeof(float);
    {
        sound::Playback playback(path("tone.wav"), "cubefx");
        EXPECT_EQ(outBytes(), 0u) << "nothing plays before the start";
        playback.start();
        // The plugin writes a buffer at a time, the rest when it closes.
        const auto end = std::chrono::steady_clock::now() + kDeadline;
        while (outBytes() == 0 && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(10ms);
    }
    // What had played when it stopped: the null device takes it all at once.
    const std::string out = testsupport::readFile(home_.output());
    ASSERT_GT(out.size(), 0u);
    ASSERT_LE(out.size(), expected);
    ASSERT_EQ(out.size() % (2 * sizeof(float)), 0u) << "whole frames";
    std::vector<float> played(out.size() / sizeof(float));
    std::memcpy(played.data(), out.data(), out.size());
    for (std::size_t i = 0; i < played.size(); ++i)
        ASSERT_EQ(played[i], static_cast<float>(sound.samples[i]) / 32768.0f) << "sample " << i;
}

TEST_F(Playback, AnOutputThatCannotOpenIsAnError)
{
    testsupport::writeWav(path("tone.wav"), testsupport::tone(440.0, 0.5, 44100));
    home_.writeAsoundrc("pcm.!default {\n  type file\n  slave.pcm \"nosuch\"\n  file \"/dev/null\"\n}\n");
    EXPECT_EQ(playError(path("tone.wav")).rfind("cannot play sound on 'default': ", 0), 0u)
        << playError(path("tone.wav"));
}

TEST_F(Playback, AFileThatIsNotSoundIsAnError)
{
    outputToFile();
    std::ofstream(path("notes.txt")) << "not sound\n";
    EXPECT_EQ(playError(path("notes.txt")),
              "cannot read sound from '" + path("notes.txt") + "': Format not recognised.");
}

}  // namespace
