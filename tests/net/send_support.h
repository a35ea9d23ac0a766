#pragma once

// cubesend as a real process: the test writes its channel like an animation
// and plays the receiving end of each target on 127.0.0.1 or a pty, decoding
// what arrives from the protocol's packet layout. A decoder throws at the
// first byte out of place, which fails the test with that message.

#include "lbox/channel.h"
#include "testkit/support.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sendtest {

using namespace std::chrono_literals;

inline constexpr auto kFrameDeadline = 10s;  // a frame normally takes milliseconds

using Bytes = std::vector<uint8_t>;
using Pixels = Bytes;  // N^3 pixels of R, G, B, in the order sent

struct Rgb {
    uint8_t r = 0, g = 0, b = 0;
};

Pixels unlitPixels(int edge);
void setPixel(Pixels& pixels, int index, Rgb rgb);
storeColor colorOf(Rgb rgb);  // the colour sent as exactly these bytes
// Frame `number`: the LED at 0 0 0, pixel 0, has the number as its red.
std::vector<queueEntry> numberedLeds(uint8_t number);
Pixels numbered(int edge, uint8_t number);
std::string program(int edge);  // cubesend or cubesend<N>
// A layout file for the wiring xyz, "x y z" a line, pixel 0 first.
std::vector<std::string> xyzLayout(int edge);
std::string writeLayout(const std::string& path, const std::vector<std::string>& lines);

// cubesend in a fresh run directory, up once it has answered a stale code.
class Cubesend {
public:
    static constexpr uint8_t kStaleStatus = 0;

    explicit Cubesend(const std::vector<std::string>& args, int edge = 12);
    bool send(uint8_t code, const std::vector<queueEntry>& entries = {});
    // Clear, the LEDs in batches of three, release without keep.
    bool show(const std::vector<queueEntry>& leds);
    testsupport::Process& process() { return *process_; }
    // The program, cubesend or cubesend<N>, as it names itself.
    const std::string& name() const { return name_; }
    // Lines of standard error that start "<name>: TARGET: ", after the one
    // that describes the target at start.
    std::vector<std::string> reports(const std::string& target) const;

    testsupport::RunDir dir;

private:
    std::string name_;
    uint8_t* record_ = nullptr;
    std::unique_ptr<testsupport::Process> process_;
};

// Where the frames of one target arrive.
class FrameSource {
public:
    virtual ~FrameSource() = default;
    virtual std::string target() const = 0;
    std::optional<Pixels> receive(std::chrono::milliseconds deadline);  // nothing at the deadline
    Pixels next(std::chrono::milliseconds deadline = kFrameDeadline);   // throws at the deadline
    // Skips resends of `shown` and returns the first other frame.
    Pixels nextChange(const Pixels& shown, std::chrono::milliseconds deadline = kFrameDeadline);

protected:
    explicit FrameSource(int edge) : edge_(edge) {}
    // More bytes (for UDP one datagram), or nothing at the deadline.
    virtual std::optional<Bytes> read(std::chrono::milliseconds deadline) = 0;
    // Decodes from the front of `pending` what it can; a frame once whole.
    virtual std::optional<Pixels> take(Bytes& pending) = 0;

    const int edge_;
    Bytes pending_;
};

// A UDP socket on 127.0.0.1, at `port` or one the kernel chose.
class UdpSource : public FrameSource {
public:
    ~UdpSource() override;
    uint16_t port() const { return port_; }

protected:
    UdpSource(int edge, uint16_t port);
    std::optional<Bytes> read(std::chrono::milliseconds deadline) override;
    int fd_ = -1;
    uint16_t port_ = 0;
    Pixels frame_;  // the packets of the frame so far
};

class DdpReceiver : public UdpSource {
public:
    explicit DdpReceiver(int edge, uint16_t port = 0) : UdpSource(edge, port) {}
    std::string target() const override;
    int packets() const { return packets_; }
    int firstSequence() const { return firstSequence_; }

private:
    std::optional<Pixels> take(Bytes& pending) override;
    int packets_ = 0;
    int firstSequence_ = 0;
};

class E131Receiver : public UdpSource {
public:
    E131Receiver(int edge, int firstUniverse, int ledsPerUniverse);
    std::string target() const override;
    int universes() const;
    const Bytes& cid() const { return cid_; }

private:
    std::optional<Pixels> take(Bytes& pending) override;
    int first_, perUniverse_;
    Bytes cid_;
    std::vector<std::optional<uint8_t>> sequence_;  // the last one, per universe
    std::vector<bool> seen_;                        // in the frame so far
};

class ArtNetReceiver : public UdpSource {
public:
    ArtNetReceiver(int edge, int firstUniverse, int ledsPerUniverse);
    std::string target() const override;

private:
    std::optional<Pixels> take(Bytes& pending) override;
    int first_, perUniverse_;
    std::vector<uint8_t> sequence_;  // the last one, per universe
    std::vector<bool> seen_;         // in the frame so far
};

// An OPC server that can stop and start again on its port; a new connection
// replaces the one before.
class OpcServer : public FrameSource {
public:
    OpcServer(int edge, uint8_t channel);
    ~OpcServer() override { stop(); }
    void start();
    void stop();
    std::string target() const override;

private:
    std::optional<Bytes> read(std::chrono::milliseconds deadline) override;
    std::optional<Pixels> take(Bytes& pending) override;
    uint8_t channel_;
    uint16_t port_ = 0;
    int listener_ = -1, connection_ = -1;
};

// A pty pair: cubesend opens the slave by name, the test reads the master
// and keeps the slave open too, so the master never reads as hung up.
class SerialPort : public FrameSource {
public:
    enum class Framing { adalight, tpm2 };
    SerialPort(int edge, Framing framing, const std::string& query);
    ~SerialPort() override;
    std::string target() const override { return "serial:" + slavePath_ + query_; }
    int slave() const { return slave_; }

private:
    std::optional<Bytes> read(std::chrono::milliseconds deadline) override;
    std::optional<Pixels> take(Bytes& pending) override;
    Framing framing_;
    std::string query_, slavePath_;
    int master_ = -1, slave_ = -1;
};

// The tests' own senders, written from the protocols' published layouts: the
// packets (or the message) that carry `pixels`, in the order sent.
namespace wire {

inline constexpr int kLedsPerUniverse = 170;
using Cid = Bytes;  // 16 bytes

struct E131Options {
    Cid cid = Cid(16, 0x5a);
    uint8_t priority = 100;
    uint16_t syncAddress = 0;
    uint8_t sequence = 1;
    uint8_t options = 0;  // 0x40: the stream stops
};
Bytes e131Data(uint16_t universe, const Bytes& slots, const E131Options& options);
Bytes e131Sync(const Cid& cid, uint8_t sequence, uint16_t syncAddress);
std::vector<Bytes> e131Frame(const Pixels& pixels, uint16_t firstUniverse, const E131Options& options);

Bytes artDmx(uint16_t portAddress, const Bytes& data, uint8_t sequence = 0);
Bytes artSync();
Bytes artPoll();
std::vector<Bytes> artNetFrame(const Pixels& pixels, uint16_t firstUniverse);

Bytes ddp(bool push, uint32_t offset, const Bytes& data);
std::vector<Bytes> ddpFrame(const Pixels& pixels);

Bytes opc(uint8_t channel, uint8_t command, const Bytes& data);

}  // namespace wire

// Sends datagrams to 127.0.0.1 from a socket of its own.
class UdpSender {
public:
    UdpSender();
    ~UdpSender();
    UdpSender(const UdpSender&) = delete;
    UdpSender& operator=(const UdpSender&) = delete;
    void send(uint16_t port, const Bytes& datagram) const;
    void send(uint16_t port, const std::vector<Bytes>& datagrams) const;
    // A datagram sent back to this socket, or nothing at the deadline.
    std::optional<Bytes> receive(std::chrono::milliseconds deadline) const;

private:
    int fd_ = -1;
};

}  // namespace sendtest
