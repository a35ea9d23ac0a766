#pragma once

// The controllers that cubesend lights, as named on its command line:
//
//   ddp://HOST[:PORT]                  DDP over UDP, port 4048
//   e131://HOST[:PORT][/UNIVERSE]      E1.31 over unicast UDP, port 5568, universe 1
//   artnet://HOST[:PORT][/UNIVERSE]    Art-Net over unicast UDP, port 6454, universe 0
//   opc://HOST[:PORT][/CHANNEL]        Open Pixel Control over TCP, port 7890, channel 0
//   serial:DEVICE[?baud=N&framing=adalight|tpm2]
//                                      a serial port, 115200 baud, Adalight
//
// HOST is a name, an IPv4 address or an IPv6 address in brackets. The
// sources that cubelisten hears are named the same way, with the local
// address to listen on, which may be left out (every interface), as may
// everything from "://" on: e131, artnet://127.0.0.1:6455/3, ddp, opc.

#include "net/links.h"
#include "net/protocols.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ledcube::cli {
class Parser;
}
namespace cli = ledcube::cli;

namespace strip {

enum class Protocol { Ddp, E131, Opc, ArtNet, Serial };
enum class Framing { Adalight, Tpm2 };

struct Destination {
    std::string text;  // as given
    Protocol protocol = Protocol::Ddp;
    std::string host;
    unsigned port = 0;
    unsigned number = 0;  // the first universe, or the OPC channel (0: every one, for a source)
    std::string device;
    unsigned baud = 0;
    Framing framing = Framing::Adalight;
};

// The target that `text` names, or nothing, with `error` saying what is wrong.
std::optional<Destination> parseTarget(const std::string& text, std::string& error);
// The source that `text` names: the same, but for a serial port.
std::optional<Destination> parseSource(const std::string& text, std::string& error);

struct FrameShape {
    std::size_t leds = 0;
    unsigned ledsPerUniverse = E131Encoder::kMaxLedsPerUniverse;
};

// Tells how a target fares: a failure at once, then at most once a minute
// while it lasts, and once when frames go again.
class FailureReport {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kRepeatAfter = std::chrono::minutes(1);

    // What to say after a frame went to `target` ("" when it went well), if
    // anything: "TARGET: why" or "TARGET: sending again".
    std::optional<std::string> update(const std::string& target, const std::string& failure, Clock::time_point now);

private:
    bool failing_ = false;
    Clock::time_point lastReport_;
};

struct Target {
    std::string name;
    std::unique_ptr<Encoder> encoder;
    std::unique_ptr<Link> link;
    std::vector<Packet> packets;
    FailureReport report;
};

// Resolves the host and sets up the encoder and the link; the first packets
// go with the first frame. On failure returns nothing, with `error` set.
std::unique_ptr<Target> openTarget(const Destination& destination, const FrameShape& shape, std::string& error);

// For an E1.31 or Art-Net endpoint whose universes for a cube of `edge`,
// from its first one on, run past the last one that its protocol has, what
// is wrong: "needs universes 32767 to 32768, past the last one, 32767".
// Else "".
std::string universesPastTheLast(const Destination& destination, int edge, unsigned ledsPerUniverse);

// Once the command line is read: refuses, as a usage error, the first
// endpoint whose universes run past the last (universesPastTheLast).
// `kind` names the endpoints in the message: "target", "source".
void checkUniverses(const cli::Parser& args, const std::vector<Destination>& endpoints, const char* kind, int edge,
                    unsigned ledsPerUniverse);

// "4 DDP packets a frame": for the start-up line.
std::string describe(const Destination& destination, const FrameShape& shape);

}  // namespace strip
