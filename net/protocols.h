#pragma once

// The wire formats of the LED controllers and of the lighting programs that
// drive them: each encoder turns one frame of RGB pixels into the packets
// (or the one message) that carry it, and each decoder reads what a packet
// carries, checking every field it relies on. Both only build or read bytes;
// links.h and listen.h move them.

#include "wiring/layout.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace strip {

using Packet = std::vector<uint8_t>;

class Encoder {
public:
    virtual ~Encoder() = default;
    // Replaces `packets` with the frame's packets, in the order to send them;
    // their storage is reused from frame to frame.
    virtual void encode(std::span<const uint8_t> rgb, std::vector<Packet>& packets) = 0;
};

// DDP (Distributed Display Protocol) data packets.
class DdpEncoder : public Encoder {
public:
    static constexpr uint16_t kDefaultPort = 4048;
    static constexpr std::size_t kMaxData = 1440;
    void encode(std::span<const uint8_t> rgb, std::vector<Packet>& packets) override;

private:
    uint8_t sequence_ = 0;
};

// E1.31 (streaming ACN) data packets, one universe after another.
class E131Encoder : public Encoder {
public:
    static constexpr uint16_t kDefaultPort = 5568;
    static constexpr unsigned kDefaultUniverse = 1;
    static constexpr unsigned kMaxUniverse = 63999;
    static constexpr unsigned kMaxLedsPerUniverse = strip::kMaxLedsPerUniverse;
    static constexpr std::size_t kCidSize = 16;
    static constexpr std::size_t kSourceNameSize = 64;
    using Cid = std::array<uint8_t, kCidSize>;

    E131Encoder(unsigned firstUniverse, unsigned ledsPerUniverse, const Cid& cid, const std::string& sourceName);
    void encode(std::span<const uint8_t> rgb, std::vector<Packet>& packets) override;

private:
    unsigned firstUniverse_;
    std::size_t universeBytes_;
    Cid cid_;
    std::string sourceName_;
    std::vector<uint8_t> sequences_;  // one per universe
};

// A valid E1.31 packet: its root, framing and DMP layers with the
// identifiers, vectors, flags and lengths that agree. Data with START code 0
// and universe synchronisation are ours; other valid packets are Other.
struct E131Packet {
    enum class Kind { Data, Sync, Other };
    static constexpr uint8_t kPreview = 0x80;     // options: meant for visualisers
    static constexpr uint8_t kTerminated = 0x40;  // options: the source stops now
    Kind kind = Kind::Data;
    E131Encoder::Cid cid{};
    uint8_t sequence = 0;
    uint16_t syncAddress = 0;  // 0: none
    // Data packets only.
    uint8_t priority = 0;
    uint8_t options = 0;
    uint16_t universe = 0;
    std::span<const uint8_t> slots;  // after the START code
};
std::optional<E131Packet> decodeE131(std::span<const uint8_t> packet);

// Art-Net data packets (ArtDmx), one per universe from the first.
class ArtNetEncoder : public Encoder {
public:
    static constexpr uint16_t kDefaultPort = 6454;
    static constexpr unsigned kDefaultUniverse = 0;
    static constexpr unsigned kMaxUniverse = 0x7fff;  // a 15-bit Port-Address
    static constexpr unsigned kMaxLedsPerUniverse = strip::kMaxLedsPerUniverse;

    ArtNetEncoder(unsigned firstUniverse, unsigned ledsPerUniverse);
    void encode(std::span<const uint8_t> rgb, std::vector<Packet>& packets) override;

private:
    unsigned firstUniverse_;
    std::size_t universeBytes_;
    std::vector<uint8_t> sequences_;  // one per universe, 1 to 255
};

// A valid Art-Net packet of the kinds a pixel receiver takes: ArtDmx
// (protocol version 14 or later, an even length of 2 to 512), ArtSync and
// ArtPoll. Other OpCodes are valid Art-Net but none of ours.
struct ArtNetPacket {
    enum class Kind { Dmx, Sync, Poll, Other };
    Kind kind = Kind::Other;
    uint8_t sequence = 0;
    uint16_t portAddress = 0;  // Net, Sub-Net and Universe: 15 bits
    std::span<const uint8_t> data;
};
std::optional<ArtNetPacket> decodeArtNet(std::span<const uint8_t> packet);

// The ArtPollReply of a node that outputs the Port-Addresses given (at most
// four, of one Net and Sub-Net), as the bindIndex-th of its replies.
struct ArtPollReplyInfo {
    std::array<uint8_t, 4> address{};  // the node's IPv4 address
    std::vector<uint16_t> portAddresses;
    uint8_t bindIndex = 1;
    std::string shortName;
    std::string longName;
};
inline constexpr std::size_t kArtPollReplyPorts = 4;
Packet artPollReply(const ArtPollReplyInfo& info);

// A valid DDP packet: version 1, with the length that the datagram has. It
// carries pixels to show when it is no query, reply or storage packet, its
// data are RGB of 8 bits an element (type 0x0B, or 0 for not said), and its
// destination is a display: ID 1 to 245, or 255 for every display (0 is
// reserved, 246 to 254 are control, configuration and status).
struct DdpPacket {
    enum class Content { pixels, notForShow, otherDataType, otherId };
    bool push = false;
    Content content = Content::pixels;  // what keeps it from the cube, if anything
    uint32_t offset = 0;
    std::span<const uint8_t> pixels;
};
std::optional<DdpPacket> decodeDdp(std::span<const uint8_t> packet);

// Open Pixel Control: one set-pixel-colours message.
class OpcEncoder : public Encoder {
public:
    static constexpr uint16_t kDefaultPort = 7890;
    explicit OpcEncoder(uint8_t channel) : channel_(channel) {}
    void encode(std::span<const uint8_t> rgb, std::vector<Packet>& packets) override;

private:
    uint8_t channel_;
};

// The serial framings of boards that drive a strip from a USB port.
class AdalightEncoder : public Encoder {
public:
    static constexpr std::size_t kOverhead = 6;  // bytes besides the pixels
    void encode(std::span<const uint8_t> rgb, std::vector<Packet>& packets) override;
};

class Tpm2Encoder : public Encoder {
public:
    static constexpr std::size_t kOverhead = 5;
    void encode(std::span<const uint8_t> rgb, std::vector<Packet>& packets) override;
};

// Cuts a stream of Open Pixel Control into its messages. Whatever arrives is
// taken; a message waits here until it is whole, and no message is longer
// than its 16-bit length allows.
class OpcReader {
public:
    struct Message {
        uint8_t channel;
        uint8_t command;
        std::span<const uint8_t> data;
    };
    static constexpr uint8_t kSetPixelColours = 0;

    // Takes `bytes` and hands each whole message to `take`.
    template <typename Take>
    void feed(std::span<const uint8_t> bytes, Take take)
    {
        buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
        std::size_t used = 0;
        while (const std::optional<Message> message = next(used))
            take(*message);
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(used));
    }
    std::size_t waiting() const { return buffer_.size(); }

private:
    std::optional<Message> next(std::size_t& used) const;
    std::vector<uint8_t> buffer_;
};

// How many packets or universes a frame needs.
std::size_t ddpPackets(std::size_t dataBytes);
std::size_t e131Universes(std::size_t leds, unsigned ledsPerUniverse);

// The E1.31 component identifier of this machine: the same in every run, so
// that a receiver sees one source across restarts.
E131Encoder::Cid machineCid();

}  // namespace strip
