// --audio-format as it is read, and the raw samples it names as floats:
// decoded as the file reader decodes them and mixed down to one channel.

#include "sound/format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace {

using sound::Encoding;

std::string refusal(const std::string& text)
{
    sound::RawFormat format;
    std::string error;
    EXPECT_FALSE(sound::parseRawFormat(text, format, error)) << text;
    EXPECT_EQ(format.rate, 44100) << "a refusal leaves the format alone: " << text;
    return error;
}

std::vector<float> decoded(Encoding encoding, const std::vector<unsigned char>& bytes)
{
    std::vector<float> samples{123.0f};
    sound::decode(encoding, bytes, samples);
    return samples;
}

std::vector<float> mixed(const std::vector<float>& interleaved, int channels)
{
    std::vector<float> mono;
    sound::mixDown(interleaved, channels, mono);
    return mono;
}

TEST(ParseRawFormat, TakesEncodingRateAndChannels)
{
    sound::RawFormat format;
    std::string error;
    ASSERT_TRUE(sound::parseRawFormat("s32le:48000:1", format, error)) << error;
    EXPECT_EQ(format.encoding, Encoding::S32le);
    EXPECT_EQ(format.rate, 48000);
    EXPECT_EQ(format.channels, 1);
    ASSERT_TRUE(sound::parseRawFormat("f32le:192000:64", format, error)) << error;
    EXPECT_EQ(format.encoding, Encoding::F32le);
    EXPECT_EQ(format.rate, 192000);
    EXPECT_EQ(format.channels, 64);
    ASSERT_TRUE(sound::parseRawFormat("s16le:8000:2", format, error)) << error;
    EXPECT_EQ(format.encoding, Encoding::S16le);
    EXPECT_EQ(format.rate, 8000);
}

TEST(ParseRawFormat, TheDefaultIsCdSoundOnStandardInput)
{
    const sound::RawFormat format;
    EXPECT_EQ(format.encoding, Encoding::S16le);
    EXPECT_EQ(format.rate, 44100);
    EXPECT_EQ(format.channels, 2);
}

TEST(ParseRawFormat, RefusesEachPartWithWhatIsWrong)
{
    const std::string shape = "the format must be ENCODING:RATE:CHANNELS, such as s16le:44100:2, not '";
    EXPECT_EQ(refusal("s16le:44100"), shape + "s16le:44100'");
    EXPECT_EQ(refusal("s16le:44100:2:1"), shape + "s16le:44100:2:1'");
    EXPECT_EQ(refusal(""), shape + "'");
    EXPECT_EQ(refusal("u8:44100:2"), "the encoding must be s16le, s32le or f32le, not 'u8'");
    EXPECT_EQ(refusal("S16LE:44100:2"), "the encoding must be s16le, s32le or f32le, not 'S16LE'");
    EXPECT_EQ(refusal("s16le:7000:2"), "the rate must be from 8000 to 192000, not '7000'");
    EXPECT_EQ(refusal("s16le:192001:2"), "the rate must be from 8000 to 192000, not '192001'");
    EXPECT_EQ(refusal("s16le:44k:2"), "the rate must be from 8000 to 192000, not '44k'");
    EXPECT_EQ(refusal("s16le::2"), "the rate must be from 8000 to 192000, not ''");
    EXPECT_EQ(refusal("s16le:44100:0"), "the channels must be from 1 to 64, not '0'");
    EXPECT_EQ(refusal("s16le:44100:65"), "the channels must be from 1 to 64, not '65'");
    EXPECT_EQ(refusal("s16le:44100:two"), "the channels must be from 1 to 64, not 'two'");
}

TEST(Decode, S16IsTheValueOver32768)
{
    EXPECT_EQ(decoded(Encoding::S16le, {0x00, 0x80, 0x00, 0x40, 0xff, 0x7f, 0xff, 0xff, 0x00, 0x00}),
              (std::vector<float>{-1.0f, 0.5f, 32767.0f / 32768.0f, -1.0f / 32768.0f, 0.0f}));
    EXPECT_EQ(sound::bytesPerSample(Encoding::S16le), 2);
}

TEST(Decode, S32IsTheValueOver2To31)
{
    EXPECT_EQ(decoded(Encoding::S32le, {0, 0, 0, 0x80, 0, 0, 0, 0x40, 0, 0, 0, 0xc0}),
              (std::vector<float>{-1.0f, 0.5f, -0.5f}));
    EXPECT_EQ(decoded(Encoding::S32le, {0, 0, 0x01, 0x00}), (std::vector<float>{1.0f / 32768.0f}));
    EXPECT_EQ(sound::bytesPerSample(Encoding::S32le), 4);
}

TEST(Decode, F32WithinFullScalePassesUnchanged)
{
    // 0.25f is 0x3e800000, -1.0f 0xbf800000 and the float below 1 0x3f7fffff.
    EXPECT_EQ(decoded(Encoding::F32le, {0, 0, 0x80, 0x3e, 0, 0, 0x80, 0xbf, 0xff, 0xff, 0x7f, 0x3f}),
              (std::vector<float>{0.25f, -1.0f, std::nextafter(1.0f, 0.0f)}));
    EXPECT_EQ(sound::bytesPerSample(Encoding::F32le), 4);
}

TEST(Decode, F32NanAndInfinitiesAreSilenceAndLouderIsClipped)
{
    // A quiet NaN (0x7fc00000), a signalling one with its sign (0xff800001),
    // +inf (0x7f800000), -inf (0xff800000), 1.5f (0x3fc00000), -3.0f
    // (0xc0400000) and the largest float (0x7f7fffff).
    EXPECT_EQ(decoded(Encoding::F32le, {0, 0, 0xc0, 0x7f, 1, 0, 0x80, 0xff, 0, 0, 0x80, 0x7f, 0, 0, 0x80, 0xff,
                                        0, 0, 0xc0, 0x3f, 0, 0, 0x40, 0xc0, 0xff, 0xff, 0x7f, 0x7f}),
              (std::vector<float>{0.0f, 0.0f, 0.0f, 0.0f, 1.0f, -1.0f, 1.0f}));
}

TEST(Heard, KeepsFullScaleAndMakesTheRestSafeForTheAnalysis)
{
    EXPECT_EQ(sound::heard(-1.0f), -1.0f);
    EXPECT_EQ(sound::heard(0.3f), 0.3f);
    EXPECT_EQ(sound::heard(1.0f), 1.0f);
    EXPECT_EQ(sound::heard(1.0000001f), 1.0f);
    EXPECT_EQ(sound::heard(-std::numeric_limits<float>::denorm_min()), -std::numeric_limits<float>::denorm_min());
    EXPECT_EQ(sound::heard(std::numeric_limits<float>::quiet_NaN()), 0.0f);
    EXPECT_EQ(sound::heard(-std::numeric_limits<float>::infinity()), 0.0f);
}

TEST(Decode, APartSampleAtTheEndIsLeftOut)
{
    EXPECT_EQ(decoded(Encoding::S16le, {0x00, 0x40, 0x00}), (std::vector<float>{0.5f}));
    EXPECT_EQ(decoded(Encoding::S32le, {0, 0, 0}), (std::vector<float>{}));
}

TEST(MixDown, EachFrameBecomesTheMeanOfItsChannels)
{
    EXPECT_EQ(mixed({1.0f, 0.5f, -1.0f, 0.0f}, 2), (std::vector<float>{0.75f, -0.5f}));
    EXPECT_EQ(mixed({1.0f, 0.0f, -1.0f, 0.5f, 0.5f, 0.5f}, 3), (std::vector<float>{0.0f, 0.5f}));
    EXPECT_EQ(mixed({0.1f, -0.3f}, 1), (std::vector<float>{0.1f, -0.3f}));
}

TEST(MixDown, AppendsAndLeavesOutAPartFrame)
{
    std::vector<float> mono{0.25f};
    sound::mixDown(std::vector<float>{1.0f, 0.0f, 0.5f}, 2, mono);
    EXPECT_EQ(mono, (std::vector<float>{0.25f, 0.5f}));
}

}  // namespace
