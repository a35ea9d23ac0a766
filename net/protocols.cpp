#include "net/protocols.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <unistd.h>

namespace strip {

namespace {

void putBe16(uint8_t* at, std::size_t value)
{
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}

void putBe32(uint8_t* at, std::size_t value)
{
    putBe16(at, value >> 16);
    putBe16(at + 2, value & 0xffff);
}

// How many pieces of at most `piece` it takes to carry `total`.
std::size_t piecesOf(std::size_t total, std::size_t piece)
{
    return (total + piece - 1) / piece;
}

// The one message of a stream protocol: `header` bytes for the caller to fill,
// the pixels, then `trailer` bytes.
Packet& singleMessage(std::vector<Packet>& packets, std::size_t header, std::span<const uint8_t> rgb,
                      std::size_t trailer = 0)
{
    packets.resize(1);
    Packet& p = packets[0];
    p.resize(header + rgb.size() + trailer);
    std::memcpy(&p[header], rgb.data(), rgb.size());
    return p;
}

}  // namespace

// DDP, a 10-byte header before each piece of the frame:
//
//   0  flags      0x40 version 1; | 0x01 push, on the frame's last packet only
//   1  sequence   low 4 bits, 1 to 15 and round again (0 would mean unused)
//   2  data type  0x0B: RGB, 8 bits an element
//   3  ID         1, the controller's default output
//   4  offset     32 bits, big-endian: where the data goes, in bytes
//   8  length     16 bits, big-endian: data bytes in this packet
//   10 data       at most 1,440 bytes (480 pixels)
namespace ddp {
constexpr std::size_t kFlags = 0;
constexpr std::size_t kSequence = 1;
constexpr std::size_t kDataType = 2;
constexpr std::size_t kId = 3;
constexpr std::size_t kOffset = 4;
constexpr std::size_t kLength = 8;
constexpr std::size_t kHeaderSize = 10;
constexpr uint8_t kVersion1 = 0x40;
constexpr uint8_t kPush = 0x01;
constexpr uint8_t kSequenceMask = 0x0f;
constexpr uint8_t kRgb8 = 0x0b;
constexpr uint8_t kDefaultOutput = 1;
}  // namespace ddp

std::size_t ddpPackets(std::size_t dataBytes)
{
    return piecesOf(dataBytes, DdpEncoder::kMaxData);
}

void DdpEncoder::encode(std::span<const uint8_t> rgb, std::vector<Packet>& packets)
{
    packets.resize(ddpPackets(rgb.size()));
    for (std::size_t i = 0; i < packets.size(); ++i) {
        const std::size_t offset = i * kMaxData;
        const std::size_t length = std::min(kMaxData, rgb.size() - offset);
        sequence_ = sequence_ % ddp::kSequenceMask + 1;
        Packet& packet = packets[i];
        packet.resize(ddp::kHeaderSize + length);
        packet[ddp::kFlags] = ddp::kVersion1 | (i + 1 == packets.size() ? ddp::kPush : 0);
        packet[ddp::kSequence] = sequence_;
        packet[ddp::kDataType] = ddp::kRgb8;
        packet[ddp::kId] = ddp::kDefaultOutput;
        putBe32(&packet[ddp::kOffset], offset);
        putBe16(&packet[ddp::kLength], length);
        std::memcpy(&packet[ddp::kHeaderSize], rgb.data() + offset, length);
    }
}

// E1.31 data packet (ANSI E1.31-2018), one per universe, 126 header bytes and
// then the universe's channels; every field big-endian:
//
//   root layer
//   0    preamble size        0x0010
//   2    postamble size       0x0000
//   4    packet identifier    "ASC-E1.17\0\0\0"
//   16   flags and length     0x7000 | bytes from here to the end
//   18   vector               0x00000004, E1.31 data
//   22   CID                  16 bytes, the sender's identity
//   framing layer
//   38   flags and length     0x7000 | bytes from here to the end
//   40   vector               0x00000002, data packet
//   44   source name          64 bytes, UTF-8, NUL-padded
//   108  priority             100, the default
//   109  sync address         0, no synchronisation
//   111  sequence number      per universe, +1 each packet
//   112  options              0
//   113  universe             1 to 63999
//   DMP layer
//   115  flags and length     0x7000 | bytes from here to the end
//   117  vector               0x02, set property
//   118  address/data type    0xa1
//   119  first address        0x0000
//   121  address increment    0x0001
//   123  value count          1 + channels
//   125  START code           0x00, dimmer data
//   126  channels             3 a LED: R, G, B
namespace e131 {
constexpr std::size_t kPreamble = 0;
constexpr std::size_t kPostamble = 2;
constexpr std::size_t kIdentifier = 4;
constexpr std::size_t kRootLayer = 16;  // each layer starts with its flags and length
constexpr std::size_t kRootVector = 18;
constexpr std::size_t kCid = 22;
constexpr std::size_t kFramingLayer = 38;
constexpr std::size_t kFramingVector = 40;
constexpr std::size_t kSourceName = 44;
constexpr std::size_t kPriority = 108;
constexpr std::size_t kSyncAddress = 109;
constexpr std::size_t kSequence = 111;
constexpr std::size_t kOptions = 112;
constexpr std::size_t kUniverse = 113;
constexpr std::size_t kDmpLayer = 115;
constexpr std::size_t kDmpVector = 117;
constexpr std::size_t kAddressType = 118;
constexpr std::size_t kFirstAddress = 119;
constexpr std::size_t kAddressIncrement = 121;
constexpr std::size_t kValueCount = 123;
constexpr std::size_t kStartCode = 125;
constexpr std::size_t kHeaderSize = 126;
constexpr uint16_t kFlags = 0x7000;
constexpr uint16_t kPreambleSize = 0x0010;
constexpr uint16_t kPostambleSize = 0x0000;
constexpr char kPacketIdentifier[12] = {'A', 'S', 'C', '-', 'E', '1', '.', '1', '7', 0, 0, 0};
constexpr uint32_t kVectorRootData = 0x00000004;
constexpr uint32_t kVectorFramingData = 0x00000002;
constexpr uint8_t kVectorDmpSetProperty = 0x02;
constexpr uint8_t kAddressAndDataType = 0xa1;
constexpr uint8_t kDefaultPriority = 100;
constexpr uint16_t kNoSynchronisation = 0;
constexpr uint8_t kNoOptions = 0;
constexpr uint16_t kFirstPropertyAddress = 0;
constexpr uint8_t kDimmerStartCode = 0x00;
constexpr uint16_t kIncrementByOne = 1;
}  // namespace e131

std::size_t e131Universes(std::size_t leds, unsigned ledsPerUniverse)
{
    return piecesOf(leds, ledsPerUniverse);
}

E131Encoder::E131Encoder(unsigned firstUniverse, unsigned ledsPerUniverse, const Cid& cid,
                         const std::string& sourceName)
    : firstUniverse_(firstUniverse),
      universeBytes_(ledsPerUniverse * kBytesPerPixel),
      cid_(cid),
      sourceName_(sourceName.substr(0, kSourceNameSize - 1))
{
}

void E131Encoder::encode(std::span<const uint8_t> rgb, std::vector<Packet>& packets)
{
    const std::size_t universes = piecesOf(rgb.size(), universeBytes_);
    packets.resize(universes);
    sequences_.resize(universes);
    for (std::size_t i = 0; i < universes; ++i) {
        const std::size_t offset = i * universeBytes_;
        const std::size_t channels = std::min(universeBytes_, rgb.size() - offset);
        Packet& p = packets[i];
        p.assign(e131::kHeaderSize + channels, 0);

        putBe16(&p[e131::kPreamble], e131::kPreambleSize);
        putBe16(&p[e131::kPostamble], e131::kPostambleSize);
        std::memcpy(&p[e131::kIdentifier], e131::kPacketIdentifier, sizeof e131::kPacketIdentifier);
        putBe16(&p[e131::kRootLayer], e131::kFlags | (p.size() - e131::kRootLayer));
        putBe32(&p[e131::kRootVector], e131::kVectorRootData);
        std::copy(cid_.begin(), cid_.end(), &p[e131::kCid]);

        putBe16(&p[e131::kFramingLayer], e131::kFlags | (p.size() - e131::kFramingLayer));
        putBe32(&p[e131::kFramingVector], e131::kVectorFramingData);
        std::memcpy(&p[e131::kSourceName], sourceName_.data(), sourceName_.size());
        p[e131::kPriority] = e131::kDefaultPriority;
        putBe16(&p[e131::kSyncAddress], e131::kNoSynchronisation);
        p[e131::kSequence] = sequences_[i]++;
        p[e131::kOptions] = e131::kNoOptions;
        putBe16(&p[e131::kUniverse], firstUniverse_ + i);

        putBe16(&p[e131::kDmpLayer], e131::kFlags | (p.size() - e131::kDmpLayer));
        p[e131::kDmpVector] = e131::kVectorDmpSetProperty;
        p[e131::kAddressType] = e131::kAddressAndDataType;
        putBe16(&p[e131::kFirstAddress], e131::kFirstPropertyAddress);
        putBe16(&p[e131::kAddressIncrement], e131::kIncrementByOne);
        putBe16(&p[e131::kValueCount], 1 + channels);
        p[e131::kStartCode] = e131::kDimmerStartCode;
        std::memcpy(&p[e131::kHeaderSize], rgb.data() + offset, channels);
    }
}

E131Encoder::Cid machineCid()
{
    // 128-bit FNV-1a of the machine's identity, shaped as a UUID (version 8,
    // the one for identifiers made by a method of one's own).
    std::string identity;
    std::ifstream("/etc/machine-id") >> identity;
    if (identity.empty()) {
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        identity = host;
    }
    identity += "/cubesend";
    unsigned __int128 hash = (static_cast<unsigned __int128>(0x6c62272e07bb0142ull) << 64) | 0x62b821756295c58dull;
    const unsigned __int128 prime = (static_cast<unsigned __int128>(1) << 88) | 0x13b;
    for (const unsigned char c : identity) {
        hash ^= c;
        hash *= prime;
    }
    E131Encoder::Cid cid{};
    for (std::size_t i = 0; i < E131Encoder::kCidSize; ++i)
        cid[i] = static_cast<uint8_t>(hash >> (8 * (E131Encoder::kCidSize - 1 - i)));
    cid[6] = static_cast<uint8_t>((cid[6] & 0x0f) | 0x80);
    cid[8] = static_cast<uint8_t>((cid[8] & 0x3f) | 0x80);
    return cid;
}

// Open Pixel Control message, over TCP:
//
//   0  channel   0 to 255 (0: every output of the server)
//   1  command   0, set pixel colours
//   2  length    16 bits, big-endian: data bytes
//   4  data      R, G, B for each pixel
namespace opc {
constexpr std::size_t kChannel = 0;
constexpr std::size_t kCommand = 1;
constexpr std::size_t kLength = 2;
constexpr std::size_t kHeaderSize = 4;
constexpr uint8_t kSetPixelColours = 0;
}  // namespace opc

void OpcEncoder::encode(std::span<const uint8_t> rgb, std::vector<Packet>& packets)
{
    Packet& p = singleMessage(packets, opc::kHeaderSize, rgb);
    p[opc::kChannel] = channel_;
    p[opc::kCommand] = opc::kSetPixelColours;
    putBe16(&p[opc::kLength], rgb.size());
}

// Adalight, over a serial port:
//
//   0  'A' 'd' 'a'
//   3  LED count - 1, high byte
//   4  LED count - 1, low byte
//   5  checksum: high ^ low ^ 0x55
//   6  data      R, G, B for each LED
namespace adalight {
constexpr std::size_t kMagicAt = 0;
constexpr std::size_t kCountHigh = 3;
constexpr std::size_t kCountLow = 4;
constexpr std::size_t kChecksum = 5;
constexpr std::size_t kHeaderSize = AdalightEncoder::kOverhead;
constexpr uint8_t kMagic[3] = {'A', 'd', 'a'};
constexpr uint8_t kChecksumSeed = 0x55;
}  // namespace adalight

void AdalightEncoder::encode(std::span<const uint8_t> rgb, std::vector<Packet>& packets)
{
    Packet& p = singleMessage(packets, adalight::kHeaderSize, rgb);
    std::copy(std::begin(adalight::kMagic), std::end(adalight::kMagic), &p[adalight::kMagicAt]);
    putBe16(&p[adalight::kCountHigh], rgb.size() / kBytesPerPixel - 1);
    p[adalight::kChecksum] = p[adalight::kCountHigh] ^ p[adalight::kCountLow] ^ adalight::kChecksumSeed;
}

// TPM2 serial frame:
//
//   0  0xC9      start of frame
//   1  0xDA      data frame
//   2  size      16 bits, big-endian: data bytes
//   4  data      R, G, B for each LED
//   n  0x36      end of frame
namespace tpm2 {
constexpr std::size_t kStartAt = 0;
constexpr std::size_t kType = 1;
constexpr std::size_t kSize = 2;
constexpr std::size_t kHeaderSize = 4;
constexpr uint8_t kStart = 0xc9;
constexpr uint8_t kDataFrame = 0xda;
constexpr uint8_t kEnd = 0x36;
static_assert(kHeaderSize + sizeof kEnd == Tpm2Encoder::kOverhead);
}  // namespace tpm2

void Tpm2Encoder::encode(std::span<const uint8_t> rgb, std::vector<Packet>& packets)
{
    Packet& p = singleMessage(packets, tpm2::kHeaderSize, rgb, sizeof tpm2::kEnd);
    p[tpm2::kStartAt] = tpm2::kStart;
    p[tpm2::kType] = tpm2::kDataFrame;
    putBe16(&p[tpm2::kSize], rgb.size());
    p.back() = tpm2::kEnd;
}

}  // namespace strip
