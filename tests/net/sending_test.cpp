// The sending side as a library, at an edge chosen at run time: its options
// from a command line, the brightness set while it sends, what it names as
// its outputs and the codes it forwards.

#include "net/sending.h"

#include "lbox/channel.h"
#include "common/cli.h"
#include "common/process.h"
#include "tests/net/send_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using sendtest::DdpReceiver;
using sendtest::Pixels;

constexpr int kEdge = 5;
constexpr std::size_t kLeds = kEdge * kEdge * kEdge;
// One colour for every LED, whose bytes scale to no half step at the
// brightness levels below.
constexpr storeColor kColour{0.6f, 0.2f, 1.0f};

strip::SendOptions options(const std::vector<std::string>& targets)
{
    strip::SendOptions options;
    for (const std::string& text : targets) {
        std::string error;
        options.targets.push_back(*strip::parseTarget(text, error));
    }
    return options;
}

Pixels filled(uint8_t r, uint8_t g, uint8_t b)
{
    Pixels pixels;
    for (std::size_t i = 0; i < kLeds; ++i)
        pixels.insert(pixels.end(), {r, g, b});
    return pixels;
}

// The options a tool's parser loop hands over, with targets as positionals.
strip::SendOptions parsed(std::vector<std::string> words)
{
    words.insert(words.begin(), "sending_test");
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    cli::Parser args({"sending_test", "help"}, static_cast<int>(argv.size()), argv.data());
    strip::SendOptions send;
    while (args.next()) {
        if (send.take(args)) {
        } else if (args.positional()) {
            send.takeTarget(args, args.current());
        } else {
            args.unexpected();
        }
    }
    send.check(args, kEdge);
    return send;
}

TEST(SendOptionsTest, TakesTheMappingFpsForwardAndTargets)
{
    const strip::SendOptions send =
        parsed({"--max-fps", "25", "--forward", "screen", "--gamma", "2.2", "ddp://127.0.0.1:4049", "e131://127.0.0.1/3"});
    EXPECT_EQ(send.maxFps, 25);
    EXPECT_EQ(send.forwardDir, "screen");
    EXPECT_EQ(send.mapping.colour.gamma, 2.2);
    ASSERT_EQ(send.targets.size(), 2U);
    EXPECT_EQ(send.targets[0].protocol, strip::Protocol::Ddp);
    EXPECT_EQ(send.targets[0].port, 4049U);
    EXPECT_EQ(send.targets[1].number, 3U);
}

TEST(SendOptionsTest, HelpNamesEveryTargetAndOption)
{
    for (const char* form : {"ddp://", "e131://", "artnet://", "opc://", "serial:"})
        EXPECT_NE(strip::SendOptions::targetsHelp().find(form), std::string::npos) << form;
    for (const char* option : {"--max-fps F", "--forward DIR", "--gamma", "--brightness"})
        EXPECT_NE(strip::SendOptions::help().find(option), std::string::npos) << option;
}

TEST(SendingBrightnessTest, ScalesEveryByteOfTheFrameOnShow)
{
    DdpReceiver ddp(kEdge);
    strip::Sending sending("sending_test", options({ddp.target()}), kEdge);
    sending.setBrightness(0.25);
    sending.start();
    const std::vector<storeColor> table(kLeds, kColour);
    sending.frame(table.data());

    // round(255 × brightness × v): 0.6 → 38.25, 0.2 → 12.75, 1 → 63.75
    const Pixels quarter = ddp.nextChange(filled(0, 0, 0));
    EXPECT_EQ(quarter, filled(38, 13, 64));
    sending.setBrightness(1.0);
    EXPECT_EQ(ddp.nextChange(quarter), filled(153, 51, 255));
    sending.setBrightness(0.0);
    EXPECT_EQ(ddp.nextChange(filled(153, 51, 255)), filled(0, 0, 0));
}

TEST(SendingBrightnessTest, MultipliesTheBrightnessOption)
{
    DdpReceiver ddp(kEdge);
    strip::SendOptions send = options({ddp.target()});
    send.mapping.colour.brightness = 0.5;
    strip::Sending sending("sending_test", send, kEdge);
    sending.setBrightness(0.5);
    sending.start();
    const std::vector<storeColor> table(kLeds, kColour);
    sending.frame(table.data());
    // 255 × 0.25 × v, as above
    EXPECT_EQ(ddp.nextChange(filled(0, 0, 0)), filled(38, 13, 64));
}

TEST(SendingBrightnessTest, IsKeptFromZeroToOne)
{
    strip::Sending sending("sending_test", options({}), kEdge);
    EXPECT_EQ(sending.brightness(), 1.0);
    sending.setBrightness(2.5);
    EXPECT_EQ(sending.brightness(), 1.0);
    sending.setBrightness(-1);
    EXPECT_EQ(sending.brightness(), 0.0);
}

TEST(SendingOutputsTest, NameTheTargetsAsGivenAndTheForward)
{
    testsupport::RunDir viewer;
    strip::SendOptions send = options({"ddp://127.0.0.1:4049", "opc://127.0.0.1"});
    send.forwardDir = viewer.root();
    strip::Sending sending("sending_test", send, kEdge);
    EXPECT_TRUE(sending.forwards());
    EXPECT_EQ(sending.outputs(),
              (std::vector<std::string>{"ddp://127.0.0.1:4049", "opc://127.0.0.1", "forward " + viewer.root()}));
    EXPECT_FALSE(strip::Sending("sending_test", options({}), kEdge).forwards());
}

TEST(SendingForwardTest, PassesTheCodeAndTheEntriesOn)
{
    testsupport::RunDir viewer;
    strip::SendOptions send;
    send.forwardDir = viewer.root();
    strip::Sending sending("sending_test", send, kEdge);
    std::vector<uint8_t> record(channel::kRecordSize);
    for (std::size_t i = 0; i < record.size(); ++i)
        record[i] = static_cast<uint8_t>(i);
    constexpr uint8_t kCode = 7;
    sending.code(kCode, record.data());
    std::vector<uint8_t> want = record;
    want[0] = kCode;
    EXPECT_EQ(viewer.recordBytes(), want);
}

TEST(SendingForwardTest, WithoutAViewerThereFailsNamingTheOption)
{
    strip::SendOptions send;
    send.forwardDir = "/nonexistent/viewer";
    try {
        strip::Sending sending("sending_test", send, kEdge);
        FAIL() << "started without the viewer's record";
    } catch (const process::Failure& failure) {
        EXPECT_TRUE(failure.what.ends_with(" (--forward)")) << failure.what;
        EXPECT_NE(failure.what.find("/nonexistent/viewer/shared_buffer.txt"), std::string::npos) << failure.what;
    }
}

}  // namespace
