// cubelisten as a real process below cubetrace --leds, its sources on
// 127.0.0.1 with ports that the kernel chose. The tests send with encoders
// of their own, written from the protocols' published layouts, and read the
// frames that the tracer shows.

#include "tests/demos/trace.h"
#include "tests/net/send_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cmath>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace sendtest;
using demotest::Frame;
using demotest::Led;
using testsupport::Process;

constexpr int kEdge = 12;
constexpr int kLeds = kEdge * kEdge * kEdge;
constexpr auto kQuiet = 300ms;  // long enough for a frame that should not come to show
constexpr float kColourTolerance = 1e-5f;  // cubetrace prints six digits

// A known frame in the order sent: every seventh pixel black, the others each
// a colour of their own.
Pixels knownFrame(int shade = 0)
{
    Pixels pixels(kLeds * 3, 0);
    for (int p = 0; p < kLeds; ++p) {
        if (p % 7 == 3)
            continue;
        pixels[3 * p] = static_cast<uint8_t>(1 + (p + shade) % 250);
        pixels[3 * p + 1] = static_cast<uint8_t>(p * 7 % 256);
        pixels[3 * p + 2] = static_cast<uint8_t>((p * 13 + shade) % 256);
    }
    return pixels;
}

// The LEDs lit by `pixels`, as cubetrace lists them (x slowest): pixel p is
// LED x = p % N, y = p / N % N, z = p / N², or with every other row running
// backwards.
std::vector<Led> litLeds(const Pixels& pixels, bool serpentine)
{
    std::vector<std::optional<Led>> byLed(kLeds);
    for (int p = 0; p < kLeds; ++p) {
        const uint8_t* c = &pixels[3 * static_cast<std::size_t>(p)];
        if (c[0] == 0 && c[1] == 0 && c[2] == 0)
            continue;
        const int along = p % kEdge, row = p / kEdge;
        Led led{serpentine && row % 2 == 1 ? kEdge - 1 - along : along, row % kEdge, row / kEdge,
                {c[0] / 255.0f, c[1] / 255.0f, c[2] / 255.0f}};
        byLed[static_cast<std::size_t>((led.x * kEdge + led.y) * kEdge + led.z)] = led;
    }
    std::vector<Led> leds;
    for (const auto& led : byLed)
        if (led)
            leds.push_back(*led);
    return leds;
}

bool sameLeds(const std::vector<Led>& a, const std::vector<Led>& b)
{
    const auto near = [](float u, float v) { return std::fabs(u - v) <= kColourTolerance; };
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [&](const Led& l, const Led& m) {
        return l.x == m.x && l.y == m.y && l.z == m.z && near(l.color.r, m.color.r) && near(l.color.g, m.color.g) &&
               near(l.color.b, m.color.b);
    });
}

// cubelisten in `runDir`, below whichever receiver serves the directory above.
class Listen {
public:
    Listen(const std::string& runDir, const std::vector<std::string>& options, const std::vector<std::string>& sources)
    {
        std::vector<std::string> argv{testsupport::binary("cubelisten")};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.insert(argv.end(), sources.begin(), sources.end());
        process_ = std::make_unique<Process>(argv, Process::Options::in(runDir));
        // One line a source at start names the port that it took.
        const auto end = std::chrono::steady_clock::now() + kFrameDeadline;
        while (ports_.size() < sources.size() && std::chrono::steady_clock::now() < end) {
            ports_ = testsupport::listenPorts(process_->err());
            std::this_thread::sleep_for(5ms);
        }
        if (ports_.size() != sources.size())
            throw std::runtime_error("cubelisten did not start: " + process_->err());
    }

    uint16_t port(std::size_t source = 0) const { return ports_.at(source); }
    Process& process() { return *process_; }

    // Waits until a line of standard error holds `text`, such as a source's
    // counts on a --stats line.
    bool said(const std::string& text) const { return process_->waitForError(text, kFrameDeadline); }

private:
    std::unique_ptr<Process> process_;
    std::vector<uint16_t> ports_;
};

// cubelisten below a cubetrace --leds of its own.
class Traced {
public:
    Traced(const std::vector<std::string>& options, const std::vector<std::string>& sources)
        : tracer_(dir_, {"--leds"}), listen(dir_.runDir(), options, sources)
    {
    }

    std::vector<Frame> frames()
    {
        // A release being printed may be cut short: only whole lines count.
        std::string out = tracer_.process().out();
        out.erase(out.rfind('\n') + 1);
        return demotest::parseTrace(out);
    }
    // Waits until the frame on show lights exactly `leds`.
    bool shows(const std::vector<Led>& leds, std::chrono::milliseconds deadline = kFrameDeadline)
    {
        const auto end = std::chrono::steady_clock::now() + deadline;
        do {
            const std::vector<Frame> all = frames();
            if (!all.empty() && sameLeds(all.back().leds, leds))
                return true;
            std::this_thread::sleep_for(5ms);
        } while (std::chrono::steady_clock::now() < end);
        return false;
    }
    bool showsAfterAWhile(const std::vector<Led>& leds)
    {
        std::this_thread::sleep_for(kQuiet);
        return shows(leds, 0ms);
    }

private:
    testsupport::RunDir dir_;
    demotest::Receiver tracer_;

public:
    Listen listen;
};

// A connection to 127.0.0.1 that stays open until the object goes.
class TcpClient {
public:
    explicit TcpClient(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
            throw std::runtime_error("cannot connect to port " + std::to_string(port));
    }
    ~TcpClient() { ::close(fd_); }
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    // False when the far end has closed the connection.
    bool send(const Bytes& bytes) const
    {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // Whether the far end closes the connection by the deadline.
    bool closed(std::chrono::milliseconds deadline = kFrameDeadline) const
    {
        pollfd p{fd_, POLLIN, 0};
        uint8_t byte = 0;
        return ::poll(&p, 1, static_cast<int>(deadline.count())) == 1 && ::recv(fd_, &byte, 1, MSG_DONTWAIT) <= 0;
    }

private:
    int fd_;
};

void sendOverTcp(uint16_t port, const Bytes& bytes)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

class CubelistenProtocol : public testing::TestWithParam<std::string> {};

TEST_P(CubelistenProtocol, AKnownFrameArrivesExactlyThroughEachWiring)
{
    const std::string protocol = GetParam();
    for (const bool serpentine : {false, true}) {
        SCOPED_TRACE(serpentine ? "serpentine" : "xyz");
        Traced traced(serpentine ? std::vector<std::string>{"--serpentine"} : std::vector<std::string>{},
                      {protocol + "://127.0.0.1:0"});
        const Pixels pixels = knownFrame();
        const uint16_t port = traced.listen.port();
        if (protocol == "opc") {
            sendOverTcp(port, wire::opc(0, 0, pixels));
        } else {
            const UdpSender sender;
            if (protocol == "e131")
                sender.send(port, wire::e131Frame(pixels, 1, {}));
            else if (protocol == "artnet")
                sender.send(port, wire::artNetFrame(pixels, 0));
            else
                sender.send(port, wire::ddpFrame(pixels));
        }
        EXPECT_TRUE(traced.shows(litLeds(pixels, serpentine)));
    }
}

INSTANTIATE_TEST_SUITE_P(Sources, CubelistenProtocol, testing::Values("e131", "artnet", "ddp", "opc"));

TEST(Cubelisten, AnE131FrameWaitsForTheSynchronisationItNames)
{
    Traced traced({}, {"e131://127.0.0.1:0"});
    const UdpSender sender;
    const Pixels pixels = knownFrame();
    wire::E131Options options;
    options.syncAddress = 7;
    sender.send(traced.listen.port(), wire::e131Frame(pixels, 1, options));
    EXPECT_FALSE(traced.showsAfterAWhile(litLeds(pixels, false)));
    sender.send(traced.listen.port(), wire::e131Sync(options.cid, 1, 7));
    EXPECT_TRUE(traced.shows(litLeds(pixels, false)));
}

TEST(Cubelisten, AHigherPrioritySourceWinsUntilItStops)
{
    Traced traced({}, {"e131://127.0.0.1:0"});
    const UdpSender sender;
    const uint16_t port = traced.listen.port();
    wire::E131Options high, low;
    high.priority = 150;
    low.cid = Bytes(16, 0x33);
    const Pixels highFrame = knownFrame(1), lowFrame = knownFrame(2);
    sender.send(port, wire::e131Frame(highFrame, 1, high));
    ASSERT_TRUE(traced.shows(litLeds(highFrame, false)));
    sender.send(port, wire::e131Frame(lowFrame, 1, low));
    EXPECT_TRUE(traced.showsAfterAWhile(litLeds(highFrame, false)));
    // The higher one says that it stops; the lower one takes over at once.
    high.options = 0x40;
    ++high.sequence;
    sender.send(port, wire::e131Data(1, Bytes(3, 0), high));
    ++low.sequence;
    sender.send(port, wire::e131Frame(lowFrame, 1, low));
    EXPECT_TRUE(traced.shows(litLeds(lowFrame, false)));
}

TEST(Cubelisten, AnE131PacketBehindItsUniversesLastIsDropped)
{
    Traced traced({}, {"e131://127.0.0.1:0"});
    const UdpSender sender;
    const uint16_t port = traced.listen.port();
    wire::E131Options options;
    options.sequence = 50;
    const Pixels first = knownFrame(1), late = knownFrame(2), next = knownFrame(3);
    sender.send(port, wire::e131Frame(first, 1, options));
    ASSERT_TRUE(traced.shows(litLeds(first, false)));
    options.sequence = 45;
    sender.send(port, wire::e131Frame(late, 1, options));
    EXPECT_TRUE(traced.showsAfterAWhile(litLeds(first, false)));
    options.sequence = 51;
    sender.send(port, wire::e131Frame(next, 1, options));
    EXPECT_TRUE(traced.shows(litLeds(next, false)));
}

TEST(Cubelisten, LostFramesAreToldOnceAndWithBlankOnLossPutTheCubeOut)
{
    Traced traced({"--timeout", "0.3", "--blank-on-loss"}, {"ddp://127.0.0.1:0"});
    const UdpSender sender;
    const Pixels pixels = knownFrame();
    sender.send(traced.listen.port(), wire::ddpFrame(pixels));
    ASSERT_TRUE(traced.shows(litLeds(pixels, false)));
    EXPECT_TRUE(traced.shows({}));
    const auto told = [&](const std::string& what) {
        const std::string err = traced.listen.process().err();
        std::size_t count = 0;
        for (std::size_t at = err.find(what); at != std::string::npos; at = err.find(what, at + 1))
            ++count;
        return count;
    };
    EXPECT_EQ(told("cubelisten: no frame for 0.3 s; the cube is dark until frames come again\n"), 1u);
    sender.send(traced.listen.port(), wire::ddpFrame(pixels));
    EXPECT_TRUE(traced.shows(litLeds(pixels, false)));
    EXPECT_EQ(told("cubelisten: frames come again"), 1u);
}

TEST(Cubelisten, MalformedPacketsAreCountedAndChangeNothing)
{
    Traced traced({"--stats"}, {"e131://127.0.0.1:0", "artnet://127.0.0.1:0", "ddp://127.0.0.1:0", "opc://127.0.0.1:0"});
    const UdpSender sender;
    Bytes e131 = wire::e131Data(1, Bytes(30, 9), {});
    e131[17] ^= 1;  // the root layer's length disagrees with the packet's
    Bytes artnet = wire::artDmx(0, Bytes(30, 9));
    artnet[17] = 31;  // an odd length
    Bytes ddp = wire::ddp(true, 0, Bytes(30, 9));
    ddp[9] = 29;  // a length that is not the datagram's
    for (const Bytes& bad : {e131, Bytes{0x00, 0x10}, Bytes(200, 0xff)})
        sender.send(traced.listen.port(0), bad);
    for (const Bytes& bad : {artnet, Bytes(10, 0)})
        sender.send(traced.listen.port(1), bad);
    for (const Bytes& bad : {ddp, Bytes{0x40}})
        sender.send(traced.listen.port(2), bad);
    sendOverTcp(traced.listen.port(3), wire::opc(0, 0, Bytes(4, 9)));  // not whole pixels

    const std::string counted = "e131://127.0.0.1:0: 0 frames, 3 packets, 3 malformed, 0 refused, 0 ignored; "
                                "artnet://127.0.0.1:0: 0 frames, 2 packets, 2 malformed, 0 refused, 0 ignored; "
                                "ddp://127.0.0.1:0: 0 frames, 2 packets, 2 malformed, 0 refused, 0 ignored; "
                                "opc://127.0.0.1:0: 0 frames, 1 packets, 1 malformed, 0 refused, 0 ignored\n";
    EXPECT_TRUE(traced.listen.said("cubelisten: frames 0 received, 0 shown, 0 dropped; " + counted))
        << traced.listen.process().err();
    EXPECT_TRUE(traced.frames().empty());
}

TEST(Cubelisten, AnArtPollIsAnsweredByAReplyForEachFourUniverses)
{
    Traced traced({}, {"artnet://127.0.0.1:0"});
    const UdpSender sender;
    sender.send(traced.listen.port(), wire::artPoll());
    // The cube's 11 universes, 0 to 10, in groups of four.
    const std::vector<std::vector<uint8_t>> groups = {{0, 1, 2, 3}, {4, 5, 6, 7}, {8, 9, 10}};
    for (std::size_t i = 0; i < groups.size(); ++i) {
        SCOPED_TRACE("reply " + std::to_string(i + 1));
        const std::optional<Bytes> reply = sender.receive(kFrameDeadline);
        ASSERT_TRUE(reply);
        ASSERT_EQ(reply->size(), 239u);
        EXPECT_EQ(Bytes(reply->begin(), reply->begin() + 16),
                  (Bytes{'A', 'r', 't', '-', 'N', 'e', 't', 0, 0x00, 0x21, 127, 0, 0, 1, 0x36, 0x19}));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&(*reply)[26])), "cubelisten");
        EXPECT_EQ((*reply)[173], groups[i].size());  // ports, the low byte
        EXPECT_EQ(Bytes(reply->begin() + 190, reply->begin() + 190 + static_cast<long>(groups[i].size())), groups[i]);
        EXPECT_EQ((*reply)[211], i + 1);  // the bind index
    }
    EXPECT_FALSE(sender.receive(kQuiet));
}

TEST(Cubelisten, BridgesE131ToDdpWithTheBytesUnchanged)
{
    DdpReceiver ddp(kEdge);
    Cubesend send({ddp.target()});
    EXPECT_EQ(ddp.next(), unlitPixels(kEdge));
    Listen listen(send.dir.runDir(), {}, {"e131://127.0.0.1:0"});
    const UdpSender sender;
    const Pixels pixels = knownFrame();
    sender.send(listen.port(), wire::e131Frame(pixels, 1, {}));
    EXPECT_EQ(ddp.nextChange(unlitPixels(kEdge)), pixels);
}

TEST(Cubelisten, LocalhostListensOnTheAddressThatASenderTo127001Reaches)
{
    // Listen finds the port only on a line "... on 127.0.0.1:PORT".
    Traced traced({}, {"ddp://localhost:0"});
    EXPECT_NE(traced.listen.process().err().find("cubelisten: ddp://localhost:0 on 127.0.0.1:"), std::string::npos);
    const UdpSender sender;
    const Pixels pixels = knownFrame();
    sender.send(traced.listen.port(), wire::ddpFrame(pixels));
    EXPECT_TRUE(traced.shows(litLeds(pixels, false)));
}

TEST(Cubelisten, APollerIsAnsweredOnceASecondByItsAddressAndTheOtherPollsAreCounted)
{
    Traced traced({"--stats"}, {"artnet://127.0.0.1:0"});
    const UdpSender sender, samePoller;
    for (int poll = 0; poll < 5; ++poll)
        sender.send(traced.listen.port(), wire::artPoll());
    // One set of replies: the cube's 11 universes in groups of four.
    for (int reply = 0; reply < 3; ++reply)
        EXPECT_TRUE(sender.receive(kFrameDeadline)) << "reply " << reply + 1;
    // Another port of the same address is the same poller.
    samePoller.send(traced.listen.port(), wire::artPoll());
    EXPECT_FALSE(sender.receive(kQuiet));
    EXPECT_FALSE(samePoller.receive(0ms));
    EXPECT_TRUE(traced.listen.said("artnet://127.0.0.1:0: 0 frames, 6 packets, 0 malformed, 0 refused, 5 ignored "
                                   "(5 polls within a second of the last answer)\n"))
        << traced.listen.process().err();
}

TEST(Cubelisten, DdpOfAnotherDataTypeOrIdIsIgnoredAndTheStatsSayWhy)
{
    Traced traced({"--stats"}, {"ddp://127.0.0.1:0"});
    const UdpSender sender;
    constexpr std::size_t kFlags = 0, kDataType = 2, kId = 3;
    constexpr uint8_t kReply = 0x04;
    const Bytes shown = wire::ddp(true, 0, Bytes(30, 9));
    const auto with = [&](std::size_t at, uint8_t value) {
        Bytes packet = shown;
        packet[at] = value;
        return packet;
    };
    const std::vector<Bytes> ignored = {
        with(kDataType, 0x1a), with(kDataType, 0x01),             // another data type
        with(kId, 0), with(kId, 250),                              // reserved, and configuration
        with(kFlags, static_cast<uint8_t>(shown[kFlags] | kReply)),  // a reply
    };
    sender.send(traced.listen.port(), ignored);
    // Taken: data type 0, not said; and id 255, every display.
    sender.send(traced.listen.port(), std::vector<Bytes>{with(kDataType, 0), with(kId, 255)});
    EXPECT_TRUE(traced.listen.said("ddp://127.0.0.1:0: 2 frames, 7 packets, 0 malformed, 0 refused, 5 ignored "
                                   "(1 not to show (a query, reply or storage), 2 of another data type, "
                                   "2 for another destination id)\n"))
        << traced.listen.process().err();
}

TEST(Cubelisten, E131SourcesPastTheSixtyFourthAreRefusedAndTheKnownOnesKeepWorking)
{
    Traced traced({"--stats"}, {"e131://127.0.0.1:0"});
    const UdpSender sender;
    const uint16_t port = traced.listen.port();
    constexpr int kSources = 64;
    // Each source one packet for universe 1; the first holds it.
    for (int source = 1; source <= kSources; ++source) {
        wire::E131Options options;
        options.cid = Bytes(16, static_cast<uint8_t>(source));
        sender.send(port, wire::e131Data(1, Bytes(3, 9), options));
    }
    wire::E131Options newcomer;
    newcomer.cid = Bytes(16, kSources + 1);
    newcomer.priority = 200;  // would take every universe, were it heard
    const Pixels refused = knownFrame(1);
    sender.send(port, wire::e131Frame(refused, 1, newcomer));
    wire::E131Options first;
    first.cid = Bytes(16, 1);
    first.sequence = 2;
    const Pixels taken = knownFrame(2);
    sender.send(port, wire::e131Frame(taken, 1, first));
    EXPECT_TRUE(traced.shows(litLeds(taken, false)));
    // 64 + 11 + 11 packets: the newcomer's 11 refused, and 63 sources wait
    // for universe 1.
    EXPECT_TRUE(traced.listen.said("e131://127.0.0.1:0: 2 frames, 86 packets, 0 malformed, 11 refused, 63 ignored "
                                   "(63 for a universe that another source holds)\n"))
        << traced.listen.process().err();
}

// Sixteen OPC clients, each heard once, as --stats tells.
std::vector<std::unique_ptr<TcpClient>> sixteenOpcClients(Listen& listen)
{
    std::vector<std::unique_ptr<TcpClient>> clients;
    for (int i = 0; i < 16; ++i) {
        clients.push_back(std::make_unique<TcpClient>(listen.port()));
        EXPECT_TRUE(clients.back()->send(wire::opc(0, 0, Bytes(3, 9))));
    }
    EXPECT_TRUE(listen.said("opc://127.0.0.1:0: 16 frames, 16 packets, 0 malformed, 0 refused"))
        << listen.process().err();
    return clients;
}

TEST(Cubelisten, WithEveryOpcPlaceTakenByClientsHeardLatelyANewOneIsRefused)
{
    Traced traced({"--stats"}, {"opc://127.0.0.1:0"});
    const std::vector<std::unique_ptr<TcpClient>> clients = sixteenOpcClients(traced.listen);
    const TcpClient late(traced.listen.port());
    EXPECT_TRUE(late.closed());
    late.send(wire::opc(0, 0, knownFrame(1)));
    EXPECT_TRUE(traced.listen.said("opc://127.0.0.1:0: 16 frames, 16 packets, 0 malformed, 1 refused"))
        << traced.listen.process().err();
    const Pixels pixels = knownFrame(2);
    ASSERT_TRUE(clients.front()->send(wire::opc(0, 0, pixels)));
    EXPECT_TRUE(traced.shows(litLeds(pixels, false)));
}

TEST(Cubelisten, AnIdleOpcClientKeepsItsPlaceUntilANewClientNeedsIt)
{
    constexpr auto kIdle = 200ms;
    constexpr auto kPastIdle = 2 * kIdle;  // a slower machine only makes it longer
    Traced traced({"--stats", "--opc-idle", "0.2"}, {"opc://127.0.0.1:0"});
    const TcpClient first(traced.listen.port());
    ASSERT_TRUE(first.send(wire::opc(0, 0, Bytes(3, 9))));
    ASSERT_TRUE(traced.listen.said("opc://127.0.0.1:0: 1 frames, 1 packets"));
    // Idle, but places are free: it keeps its own.
    std::this_thread::sleep_for(kPastIdle);
    const Pixels kept = knownFrame(1);
    ASSERT_TRUE(first.send(wire::opc(0, 0, kept)));
    EXPECT_TRUE(traced.shows(litLeds(kept, false)));
    // Fifteen more take the other places; the first is the one silent
    // longest when every place is taken and a new client comes.
    std::vector<std::unique_ptr<TcpClient>> others;
    for (int i = 0; i < 15; ++i) {
        others.push_back(std::make_unique<TcpClient>(traced.listen.port()));
        ASSERT_TRUE(others.back()->send(wire::opc(0, 0, Bytes(3, 9))));
    }
    ASSERT_TRUE(traced.listen.said("opc://127.0.0.1:0: 17 frames, 17 packets, 0 malformed, 0 refused"));
    std::this_thread::sleep_for(kPastIdle);
    const TcpClient newcomer(traced.listen.port());
    const Pixels pixels = knownFrame(2);
    ASSERT_TRUE(newcomer.send(wire::opc(0, 0, pixels)));
    EXPECT_TRUE(traced.shows(litLeds(pixels, false)));
    EXPECT_TRUE(first.closed());
    EXPECT_TRUE(traced.listen.said("opc://127.0.0.1:0: 18 frames, 18 packets, 0 malformed, 0 refused"));
}

}  // namespace
