#pragma once

// The wire formats of the LED controllers: each encoder turns one frame of
// RGB pixels into the packets (or the one message) that carry it. Encoders
// only build bytes; links.h moves them.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace strip {

using Packet = std::vector<uint8_t>;

inline constexpr std::size_t kBytesPerPixel = 3;  // R, G, B

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
    static constexpr unsigned kMaxLedsPerUniverse = 170;  // 510 of a universe's 512 slots
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

// How many packets or universes a frame needs.
std::size_t ddpPackets(std::size_t dataBytes);
std::size_t e131Universes(std::size_t leds, unsigned ledsPerUniverse);

// The E1.31 component identifier of this machine: the same in every run, so
// that a receiver sees one source across restarts.
E131Encoder::Cid machineCid();

}  // namespace strip
