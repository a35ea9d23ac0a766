// Each protocol's bytes for one known frame of the edge-12 cube, and what
// cubesend does while a target is away.

#include "tests/net/send_support.h"

#include <gtest/gtest.h>

#include <termios.h>

namespace {

using namespace sendtest;

constexpr int kEdge = 12;
constexpr int kSmallEdge = 5;
constexpr int kDdpSequences = 15;
constexpr int kDdpPacketsPerFrame = 4;  // 5184 bytes: 1440, 1440, 1440, 864
constexpr uint8_t kOpcChannel = 7;
constexpr uint8_t kFramesAway = 5;
constexpr uint8_t kMostFramesAway = 200;
constexpr auto kPause = 50ms;

struct Lit {
    queueEntry led;
    int pixel;  // where the default wiring xyz puts it
    Rgb rgb;
};

// The first and last pixels, and 479 and 480 either side of DDP's first
// packet boundary. The bytes include \n and \r, which a tty left cooked
// would change, and TPM2's own framing bytes.
const Lit kKnown[] = {
    {{0, 0, 0, {}}, 0, {0xFF, 0x00, 0x0A}},
    {{11, 3, 3, {}}, 479, {0x0D, 0x80, 0x01}},
    {{0, 4, 3, {}}, 480, {0x11, 0x13, 0x7F}},
    {{11, 11, 11, {}}, 1727, {0x36, 0xC9, 0xDA}},
};

std::vector<queueEntry> knownLeds()
{
    std::vector<queueEntry> leds;
    for (Lit lit : kKnown) {
        lit.led.color = colorOf(lit.rgb);
        leds.push_back(lit.led);
    }
    return leds;
}

Pixels knownPixels()
{
    Pixels pixels = unlitPixels(kEdge);
    for (const Lit& lit : kKnown)
        setPixel(pixels, lit.pixel, lit.rgb);
    return pixels;
}

// The unlit frame sent at start, then the known frame on its release.
void expectStartThenKnownFrame(FrameSource& source, Cubesend& send)
{
    EXPECT_EQ(source.next(), unlitPixels(kEdge));
    ASSERT_TRUE(send.show(knownLeds()));
    EXPECT_EQ(source.nextChange(unlitPixels(kEdge)), knownPixels());
}

// Shows numbered frames while `away` cannot take them, until the failure is
// reported and kFramesAway frames more; `present`, if any, gets each. Returns
// the last frame shown.
Pixels showWhileAway(Cubesend& send, const std::string& away, FrameSource* present, int edge)
{
    uint8_t number = 0;
    for (uint8_t more = kFramesAway; more > 0 && number < kMostFramesAway;) {
        ++number;
        EXPECT_TRUE(send.show(numberedLeds(number)));
        if (present)
            EXPECT_EQ(present->nextChange(numbered(edge, static_cast<uint8_t>(number - 1))), numbered(edge, number));
        else
            std::this_thread::sleep_for(kPause);
        if (!send.reports(away).empty())
            --more;
    }
    EXPECT_EQ(send.reports(away).size(), 1u) << send.process().err();
    return numbered(edge, number);
}

// Once `target` takes frames again, one line says so.
void expectSendingAgain(Cubesend& send, const std::string& target)
{
    const auto end = std::chrono::steady_clock::now() + kFrameDeadline;
    while (send.reports(target).size() < 2 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(kPause);
    const std::vector<std::string> reports = send.reports(target);
    ASSERT_EQ(reports.size(), 2u) << send.process().err();
    EXPECT_EQ(reports[1], send.name() + ": " + target + ": sending again");
}

TEST(CubesendDdp, PacketsCarryOffsetsASequenceAndPushOnTheLastOnly)
{
    DdpReceiver ddp(kEdge);
    Cubesend send({ddp.target()});
    expectStartThenKnownFrame(ddp, send);
    // Two more frames take the sequence number past 15, back to 1.
    ASSERT_TRUE(send.show({}));
    EXPECT_EQ(ddp.nextChange(knownPixels()), unlitPixels(kEdge));
    ASSERT_TRUE(send.show(knownLeds()));
    EXPECT_EQ(ddp.nextChange(unlitPixels(kEdge)), knownPixels());
    EXPECT_EQ(ddp.firstSequence(), 1);
    EXPECT_GT(ddp.packets(), kDdpSequences);
    EXPECT_EQ(ddp.packets() % kDdpPacketsPerFrame, 0);
}

TEST(CubesendE131, UniversesSplitTheFrameUnderOneCidInEveryRun)
{
    struct Run {
        int firstUniverse, ledsPerUniverse, universes;
        std::vector<std::string> options;
    };
    // The second run ends on the last universe there is, 63999.
    const Run runs[] = {{7, 170, 11, {}}, {63982, 100, 18, {"--leds-per-universe", "100"}}};
    std::vector<Bytes> cids;
    for (const Run& run : runs) {
        SCOPED_TRACE(run.firstUniverse);
        E131Receiver e131(kEdge, run.firstUniverse, run.ledsPerUniverse);
        ASSERT_EQ(e131.universes(), run.universes);
        std::vector<std::string> args = run.options;
        args.push_back(e131.target());
        Cubesend send(args);
        // Two frames, so each universe's sequence number steps once.
        expectStartThenKnownFrame(e131, send);
        cids.push_back(e131.cid());
    }
    EXPECT_EQ(cids[0], cids[1]);
}

TEST(CubesendArtNet, ArtDmxSplitsTheFrameIntoUniversesOfAnEvenLength)
{
    struct Run {
        int firstUniverse, ledsPerUniverse;
        std::vector<std::string> options;
    };
    // The second run ends on the last Port-Address, 32767, with 11 LEDs in
    // its last universe: 33 channels, sent as 34.
    const Run runs[] = {{0, 170, {}}, {32750, 101, {"--leds-per-universe", "101"}}};
    for (const Run& run : runs) {
        SCOPED_TRACE(run.firstUniverse);
        ArtNetReceiver artnet(kEdge, run.firstUniverse, run.ledsPerUniverse);
        std::vector<std::string> args = run.options;
        args.push_back(artnet.target());
        Cubesend send(args);
        expectStartThenKnownFrame(artnet, send);
    }
}

TEST(CubesendOpc, MessageCarriesTheFrameAndARestartedServerGetsFramesAgain)
{
    OpcServer opc(kEdge, kOpcChannel);
    Cubesend send({opc.target()});
    expectStartThenKnownFrame(opc, send);
    opc.stop();
    const Pixels lastAway = showWhileAway(send, opc.target(), nullptr, kEdge);
    opc.start();
    ASSERT_TRUE(send.show(knownLeds()));
    EXPECT_EQ(opc.nextChange(lastAway), knownPixels());
    expectSendingAgain(send, opc.target());
}

TEST(CubesendSerial, BothFramingsArriveRawAt8N1AndTheBaudGiven)
{
    struct Port {
        SerialPort::Framing framing;
        std::string query;
        speed_t speed;
    };
    const Port ports[] = {{SerialPort::Framing::adalight, "", B115200},
                          {SerialPort::Framing::tpm2, "?baud=57600&framing=tpm2", B57600}};
    for (const Port& port : ports) {
        SCOPED_TRACE(port.query);
        SerialPort serial(kEdge, port.framing, port.query);
        Cubesend send({serial.target()});
        expectStartThenKnownFrame(serial, send);
        termios mode{};
        ASSERT_EQ(::tcgetattr(serial.slave(), &mode), 0);
        EXPECT_EQ(::cfgetospeed(&mode), port.speed);
        EXPECT_EQ(mode.c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t{CS8});
        EXPECT_EQ(mode.c_oflag & OPOST, 0u);
    }
}

TEST(CubesendFailure, RefusedUdpPortIsReportedOnceWhileTheChannelAndOtherTargetsGoOn)
{
    const uint16_t port = DdpReceiver(kSmallEdge).port();  // closed again: nothing listens there
    const std::string refused = "ddp://127.0.0.1:" + std::to_string(port);
    DdpReceiver present(kSmallEdge);
    Cubesend send({refused, present.target()}, kSmallEdge);
    EXPECT_EQ(present.next(), unlitPixels(kSmallEdge));
    const Pixels lastAway = showWhileAway(send, refused, &present, kSmallEdge);

    DdpReceiver back(kSmallEdge, port);
    ASSERT_TRUE(send.show({}));
    EXPECT_EQ(back.nextChange(lastAway), unlitPixels(kSmallEdge));
    expectSendingAgain(send, refused);
}

}  // namespace
