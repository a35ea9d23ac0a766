#pragma once

// The receiving end of the lighting protocols: sockets that hear E1.31,
// Art-Net, DDP and Open Pixel Control, and the rules that make whole frames
// of what they carry. One thread reads every source; each frame it makes
// goes to the mailbox `Latest`, where the newest waits to be shown and any
// it replaces is dropped, so that a slow channel never makes the delay grow.
//
//   input::Latest latest(input::Heard{std::vector<uint8_t>(leds * 3)});
//   input::Listener listener(sources, settings, latest);   // binds, or fails
//   std::thread([&] { listener.run(stop); });
//   while (latest.take(heard, deadline)) ... show heard.pixels

#include "common/mailbox.h"
#include "net/protocols.h"
#include "net/targets.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace input {

using Clock = std::chrono::steady_clock;

// Why a valid packet was not for the cube.
enum class Ignored {
    otherKind,       // E1.31 or Art-Net that carries no pixels, nor a synchronisation or poll
    otherUniverse,   // E1.31, Art-Net: a universe past the cube's
    outOfSequence,   // E1.31: behind its universe's last sequence number
    lowerPriority,   // E1.31: another source has the universe
    streamEnds,      // E1.31: the source says that it stops
    pollTooSoon,     // Art-Net: the poller was answered less than a second before
    notForShow,      // DDP: a query, reply or storage packet
    otherDataType,   // DDP: data other than RGB of 8 bits
    otherId,         // DDP: a destination other than a display
    otherChannel,    // OPC
    otherCommand,    // OPC
};
inline constexpr std::size_t kIgnoredKinds = static_cast<std::size_t>(Ignored::otherCommand) + 1;

// What one source has heard. The network thread counts (relaxed: each is a
// tally of its own, read for a stats line that orders nothing).
struct Counts {
    std::atomic<uint64_t> frames{0};     // whole frames made
    std::atomic<uint64_t> packets{0};    // datagrams, or OPC messages
    std::atomic<uint64_t> malformed{0};  // not valid for their protocol
    std::atomic<uint64_t> refused{0};    // from a sender --allow does not name, an E1.31 source or an OPC
                                         // client too many
    // Valid, but not for the cube, by Ignored; ignoredText() adds them up.
    std::array<std::atomic<uint64_t>, kIgnoredKinds> ignoredBy{};
};

// "5 ignored (3 of another data type, 2 for another destination id)", or
// "0 ignored": for the stats line.
std::string ignoredText(const Counts& counts);

// A whole frame, and the source it came from.
struct Heard {
    std::vector<uint8_t> pixels;  // the cube's pixels, all of them
    std::size_t source = 0;
};
// The newest whole frame, from the network thread to the one that shows it.
using Latest = Mailbox<Heard>;

// A sender's address and how much of it counts: --allow 192.168.1.0/24.
struct Allowed {
    sockaddr_storage address{};
    unsigned prefix = 0;
};
// "ADDRESS[/PREFIX]", an IPv4 or IPv6 address; false when it is neither.
bool parseAllowed(const std::string& text, Allowed& allowed);

// OPC clients connected at once; when all places are taken, a client silent
// for Settings::opcIdle (by default a minute) gives its place to a new one.
inline constexpr std::size_t kMaxOpcClients = 16;
inline constexpr std::chrono::seconds kDefaultOpcIdle{60};
// What cubelisten's --opc-idle takes, in seconds.
inline constexpr double kMinOpcIdle = 0.1;
inline constexpr double kMaxOpcIdle = 86400;  // a day
// What cubelisten's --timeout takes, in seconds: how long without a frame
// before it says that frames stopped.
inline constexpr double kDefaultTimeout = 2.5;
inline constexpr double kMinTimeout = 0.1;
inline constexpr double kMaxTimeout = 3600;  // an hour

struct Settings {
    std::size_t leds = 0;
    unsigned ledsPerUniverse = strip::E131Encoder::kMaxLedsPerUniverse;
    bool multicast = true;          // join E1.31's groups, but never on loopback
    std::vector<Allowed> allowed;   // empty: every sender
    std::string name;               // in ArtPollReply, and in messages
    Clock::duration opcIdle = kDefaultOpcIdle;
};

class Input;

// Every source's socket, bound when made; `run` reads them all until stop.
class Listener {
public:
    // Binds every source, or fails (process::Failure) naming the one that
    // cannot be bound.
    Listener(const std::vector<strip::Destination>& sources, const Settings& settings, Latest& latest);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // The network thread: reads every source until `stop` is set.
    void run(const std::atomic<bool>& stop);

    std::size_t size() const { return inputs_.size(); }
    const Counts& counts(std::size_t source) const;
    // "e131 on 127.0.0.1:5568, universes 1 to 11": what each source hears.
    std::string describe(std::size_t source) const;

private:
    std::vector<std::unique_ptr<Input>> inputs_;
};

}  // namespace input
