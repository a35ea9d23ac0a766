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

void putLe16(uint8_t* at, std::size_t value)
{
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

uint16_t getBe16(const uint8_t* at)
{
    return static_cast<uint16_t>(at[0] << 8 | at[1]);
}

uint32_t getBe32(const uint8_t* at)
{
    return static_cast<uint32_t>(getBe16(at)) << 16 | getBe16(at + 2);
}

uint16_t getLe16(const uint8_t* at)
{
    return static_cast<uint16_t>(at[1] << 8 | at[0]);
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
//   0  flags      0x40 version 1 (bits 7-6); | 0x01 push, on the frame's last
//                 packet only; 0x02 query, 0x04 reply and 0x08 storage carry
//                 no pixels to show; 0x10 a 4-byte time code follows the
//                 header
//   1  sequence   low 4 bits, 1 to 15 and round again (0 would mean unused)
//   2  data type  0x0B: RGB, 8 bits an element (0: not said, taken as RGB)
//   3  ID         1, the controller's default output; 246 and up but 255
//                 (every display) are control, configuration and status
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
constexpr uint8_t kVersionMask = 0xc0;
constexpr uint8_t kVersion1 = 0x40;
constexpr uint8_t kPush = 0x01;
constexpr uint8_t kNotForShow = 0x02 | 0x04 | 0x08;  // query, reply, storage
constexpr uint8_t kTimeCode = 0x10;
constexpr std::size_t kTimeCodeSize = 4;
constexpr uint8_t kSequenceMask = 0x0f;
constexpr uint8_t kRgb8 = 0x0b;
constexpr uint8_t kUnsaidType = 0x00;
constexpr uint8_t kDefaultOutput = 1;
constexpr uint8_t kFirstControlId = 246;
constexpr uint8_t kEveryDisplay = 255;
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

std::optional<DdpPacket> decodeDdp(std::span<const uint8_t> p)
{
    if (p.size() < ddp::kHeaderSize || (p[ddp::kFlags] & ddp::kVersionMask) != ddp::kVersion1)
        return std::nullopt;
    const std::size_t header = ddp::kHeaderSize + (p[ddp::kFlags] & ddp::kTimeCode ? ddp::kTimeCodeSize : 0);
    if (p.size() < header || header + getBe16(&p[ddp::kLength]) != p.size())
        return std::nullopt;
    const uint8_t id = p[ddp::kId];
    const uint8_t type = p[ddp::kDataType];
    DdpPacket packet;
    packet.push = p[ddp::kFlags] & ddp::kPush;
    if (p[ddp::kFlags] & ddp::kNotForShow)
        packet.content = DdpPacket::Content::notForShow;
    else if (type != ddp::kRgb8 && type != ddp::kUnsaidType)
        packet.content = DdpPacket::Content::otherDataType;
    else if (id == 0 || (id >= ddp::kFirstControlId && id != ddp::kEveryDisplay))
        packet.content = DdpPacket::Content::otherId;
    packet.offset = getBe32(&p[ddp::kOffset]);
    packet.pixels = p.subspan(header);
    return packet;
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
//
// A universe synchronisation packet has the same root layer with vector
// 0x00000008 (extended) and a framing layer of its own, 49 bytes in all:
//
//   38   flags and length     0x7000 | 11
//   40   vector               0x00000001, synchronisation
//   44   sequence number
//   45   sync address         the universe that data packets name to wait for it
//   47   reserved             0
//
// Other extended packets (universe discovery) and START codes other than 0
// are valid but carry no pixels.
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
constexpr std::size_t kSyncSequence = 44;
constexpr std::size_t kSyncSyncAddress = 45;
constexpr std::size_t kSyncSize = 49;
constexpr uint16_t kFlags = 0x7000;
constexpr uint16_t kFlagsMask = 0xf000;
constexpr uint16_t kLengthMask = 0x0fff;
constexpr uint16_t kPreambleSize = 0x0010;
constexpr uint16_t kPostambleSize = 0x0000;
constexpr char kPacketIdentifier[12] = {'A', 'S', 'C', '-', 'E', '1', '.', '1', '7', 0, 0, 0};
constexpr uint32_t kVectorRootData = 0x00000004;
constexpr uint32_t kVectorRootExtended = 0x00000008;
constexpr uint32_t kVectorFramingData = 0x00000002;
constexpr uint32_t kVectorFramingSync = 0x00000001;
constexpr uint8_t kMaxPriority = 200;
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

namespace {

// A layer's flags and length, at `at`, that say it runs to the packet's end.
bool layerRunsToEnd(std::span<const uint8_t> p, std::size_t at)
{
    const uint16_t word = getBe16(&p[at]);
    return (word & e131::kFlagsMask) == e131::kFlags && (word & e131::kLengthMask) == p.size() - at;
}

}  // namespace

std::optional<E131Packet> decodeE131(std::span<const uint8_t> p)
{
    using namespace e131;
    if (p.size() < kFramingVector + sizeof(uint32_t) || getBe16(&p[kPreamble]) != kPreambleSize ||
        getBe16(&p[kPostamble]) != kPostambleSize ||
        std::memcmp(&p[kIdentifier], kPacketIdentifier, sizeof kPacketIdentifier) != 0 ||
        !layerRunsToEnd(p, kRootLayer) || !layerRunsToEnd(p, kFramingLayer))
        return std::nullopt;
    E131Packet packet;
    std::copy_n(&p[kCid], E131Encoder::kCidSize, packet.cid.begin());
    const uint32_t rootVector = getBe32(&p[kRootVector]);
    const uint32_t framingVector = getBe32(&p[kFramingVector]);
    if (rootVector == kVectorRootExtended) {
        if (framingVector != kVectorFramingSync) {
            packet.kind = E131Packet::Kind::Other;
            return packet;
        }
        if (p.size() != kSyncSize)
            return std::nullopt;
        packet.kind = E131Packet::Kind::Sync;
        packet.sequence = p[kSyncSequence];
        packet.syncAddress = getBe16(&p[kSyncSyncAddress]);
        return packet;
    }
    if (rootVector != kVectorRootData || framingVector != kVectorFramingData || p.size() < kHeaderSize ||
        !layerRunsToEnd(p, kDmpLayer) || p[kDmpVector] != kVectorDmpSetProperty ||
        p[kAddressType] != kAddressAndDataType || getBe16(&p[kFirstAddress]) != kFirstPropertyAddress ||
        getBe16(&p[kAddressIncrement]) != kIncrementByOne || getBe16(&p[kValueCount]) != p.size() - kStartCode ||
        p[kPriority] > kMaxPriority)
        return std::nullopt;
    packet.universe = getBe16(&p[kUniverse]);
    if (packet.universe == 0 || packet.universe > E131Encoder::kMaxUniverse)
        return std::nullopt;
    if (p[kStartCode] != kDimmerStartCode) {
        packet.kind = E131Packet::Kind::Other;
        return packet;
    }
    packet.priority = p[kPriority];
    packet.syncAddress = getBe16(&p[kSyncAddress]);
    packet.sequence = p[kSequence];
    packet.options = p[kOptions];
    packet.slots = p.subspan(kHeaderSize);
    return packet;
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

// Art-Net over UDP; the OpCode is little-endian, every other number
// big-endian. Every packet starts
//
//   0    ID                   "Art-Net\0"
//   8    OpCode               0x5000 ArtDmx, 0x5200 ArtSync, 0x2000 ArtPoll,
//                             0x2100 ArtPollReply
//   10   protocol version     14 (high byte, then low)
//
// ArtDmx, one per universe:
//
//   12   sequence             1 to 255 per universe and round again (0: none)
//   13   physical             0, the input it came from
//   14   SubUni               the Port-Address' low 8 bits (Sub-Net, Universe)
//   15   Net                  its high 7 bits
//   16   length               16 bits: an even number of channels, 2 to 512
//   18   data                 3 channels a LED: R, G, B
//
// ArtSync (12 Aux1 and 13 Aux2, both 0) shows what the ArtDmx packets since
// the last one carried; ArtPoll (12 flags, 13 diagnostics priority, maybe
// more) asks nodes to answer with an ArtPollReply, 239 bytes:
//
//   10   IP address           4 bytes, the node's
//   14   port                 6454, little-endian
//   16   firmware version     2 bytes
//   18   NetSwitch            Port-Address bits 14-8
//   19   SubSwitch            Port-Address bits 7-4
//   20   OEM code             2 bytes, 0x00ff: none
//   22   UBEA version, 23 Status1, 24 ESTA code (2, little-endian)
//   26   short name           18 bytes, NUL-terminated
//   44   long name            64 bytes, NUL-terminated
//   108  node report          64 bytes
//   172  number of ports      2 bytes, at most 4
//   174  port types           4 bytes: 0x80, outputs DMX512 from the network
//   178  good input           4 bytes
//   182  good output A        4 bytes: 0x80, data is going out
//   186  SwIn                 4 bytes
//   190  SwOut                4 bytes: Port-Address bits 3-0 of each output
//   194  sACN priority, 195 SwMacro, 196 SwRemote, 197 spare (3)
//   200  style                0: a node
//   201  MAC address (6), 207 bind IP (4)
//   211  bind index           1, 2, ...: which reply of this node's it is
//   212  Status2              0x08: 15-bit Port-Addresses
//   213  good output B (4), 217 Status3, 218 RDM UID (6), 224 user (2),
//   226  refresh rate (2), 228 background queue policy, 229 filler (10)
namespace artnet {
constexpr char kId[8] = {'A', 'r', 't', '-', 'N', 'e', 't', '\0'};
constexpr std::size_t kIdAt = 0;
constexpr std::size_t kOpCode = 8;
constexpr std::size_t kVersion = 10;
constexpr std::size_t kSequence = 12;
constexpr std::size_t kPhysical = 13;
constexpr std::size_t kSubUni = 14;
constexpr std::size_t kNet = 15;
constexpr std::size_t kLength = 16;
constexpr std::size_t kDmxHeaderSize = 18;
constexpr std::size_t kShortHeaderSize = 14;  // ArtSync and ArtPoll: ID, OpCode, version, 2 bytes
constexpr uint16_t kOpDmx = 0x5000;
constexpr uint16_t kOpSync = 0x5200;
constexpr uint16_t kOpPoll = 0x2000;
constexpr uint16_t kOpPollReply = 0x2100;
constexpr uint16_t kProtocolVersion = 14;
constexpr std::size_t kMinChannels = 2;
constexpr std::size_t kMaxChannels = 512;
constexpr uint8_t kNetMask = 0x7f;
constexpr unsigned kNetShift = 8;
constexpr uint8_t kSubUniMask = 0xff;
constexpr uint8_t kUniverseMask = 0x0f;
constexpr unsigned kSubNetShift = 4;
constexpr uint8_t kSequenceLast = 255;

namespace reply {
constexpr std::size_t kAddress = 10;
constexpr std::size_t kPort = 14;
constexpr std::size_t kNetSwitch = 18;
constexpr std::size_t kSubSwitch = 19;
constexpr std::size_t kOem = 20;
constexpr std::size_t kShortName = 26;
constexpr std::size_t kShortNameSize = 18;
constexpr std::size_t kLongName = 44;
constexpr std::size_t kLongNameSize = 64;
constexpr std::size_t kPorts = 172;
constexpr std::size_t kPortTypes = 174;
constexpr std::size_t kGoodOutputA = 182;
constexpr std::size_t kSwOut = 190;
constexpr std::size_t kStyle = 200;
constexpr std::size_t kBindIndex = 211;
constexpr std::size_t kStatus2 = 212;
constexpr std::size_t kSize = 239;
constexpr uint16_t kNoOem = 0x00ff;
constexpr uint8_t kOutputsDmx = 0x80;
constexpr uint8_t kDataGoingOut = 0x80;
constexpr uint8_t kStyleNode = 0x00;
constexpr uint8_t kFifteenBitAddresses = 0x08;
}  // namespace reply
}  // namespace artnet

namespace {

void artNetHeader(Packet& p, uint16_t opCode)
{
    std::memcpy(&p[artnet::kIdAt], artnet::kId, sizeof artnet::kId);
    putLe16(&p[artnet::kOpCode], opCode);
}

}  // namespace

ArtNetEncoder::ArtNetEncoder(unsigned firstUniverse, unsigned ledsPerUniverse)
    : firstUniverse_(firstUniverse), universeBytes_(ledsPerUniverse * kBytesPerPixel)
{
}

void ArtNetEncoder::encode(std::span<const uint8_t> rgb, std::vector<Packet>& packets)
{
    const std::size_t universes = piecesOf(rgb.size(), universeBytes_);
    packets.resize(universes);
    sequences_.resize(universes, 0);
    for (std::size_t i = 0; i < universes; ++i) {
        const std::size_t offset = i * universeBytes_;
        const std::size_t channels = std::min(universeBytes_, rgb.size() - offset);
        // The length is even; a last odd channel goes with a 0 beside it.
        const std::size_t length = std::max(artnet::kMinChannels, channels + channels % 2);
        const std::size_t universe = firstUniverse_ + i;
        sequences_[i] = static_cast<uint8_t>(sequences_[i] % artnet::kSequenceLast + 1);
        Packet& p = packets[i];
        p.assign(artnet::kDmxHeaderSize + length, 0);
        artNetHeader(p, artnet::kOpDmx);
        putBe16(&p[artnet::kVersion], artnet::kProtocolVersion);
        p[artnet::kSequence] = sequences_[i];
        p[artnet::kPhysical] = 0;
        p[artnet::kSubUni] = static_cast<uint8_t>(universe & artnet::kSubUniMask);
        p[artnet::kNet] = static_cast<uint8_t>((universe >> artnet::kNetShift) & artnet::kNetMask);
        putBe16(&p[artnet::kLength], length);
        std::memcpy(&p[artnet::kDmxHeaderSize], rgb.data() + offset, channels);
    }
}

std::optional<ArtNetPacket> decodeArtNet(std::span<const uint8_t> p)
{
    if (p.size() < artnet::kShortHeaderSize || std::memcmp(&p[artnet::kIdAt], artnet::kId, sizeof artnet::kId) != 0)
        return std::nullopt;
    ArtNetPacket packet;
    const uint16_t opCode = getLe16(&p[artnet::kOpCode]);
    if (opCode != artnet::kOpDmx && opCode != artnet::kOpSync && opCode != artnet::kOpPoll)
        return packet;
    if (getBe16(&p[artnet::kVersion]) < artnet::kProtocolVersion)
        return std::nullopt;
    if (opCode == artnet::kOpSync || opCode == artnet::kOpPoll) {
        packet.kind = opCode == artnet::kOpSync ? ArtNetPacket::Kind::Sync : ArtNetPacket::Kind::Poll;
        return packet;
    }
    if (p.size() < artnet::kDmxHeaderSize)
        return std::nullopt;
    const std::size_t length = getBe16(&p[artnet::kLength]);
    if (length % 2 != 0 || length < artnet::kMinChannels || length > artnet::kMaxChannels ||
        artnet::kDmxHeaderSize + length > p.size())
        return std::nullopt;
    packet.kind = ArtNetPacket::Kind::Dmx;
    packet.sequence = p[artnet::kSequence];
    packet.portAddress =
        static_cast<uint16_t>((p[artnet::kNet] & artnet::kNetMask) << artnet::kNetShift | p[artnet::kSubUni]);
    packet.data = p.subspan(artnet::kDmxHeaderSize, length);
    return packet;
}

Packet artPollReply(const ArtPollReplyInfo& info)
{
    using namespace artnet::reply;
    Packet p(kSize, 0);
    artNetHeader(p, artnet::kOpPollReply);
    std::copy(info.address.begin(), info.address.end(), &p[kAddress]);
    putLe16(&p[kPort], ArtNetEncoder::kDefaultPort);
    const uint16_t first = info.portAddresses.empty() ? 0 : info.portAddresses.front();
    p[kNetSwitch] = static_cast<uint8_t>((first >> artnet::kNetShift) & artnet::kNetMask);
    p[kSubSwitch] = static_cast<uint8_t>((first >> artnet::kSubNetShift) & artnet::kUniverseMask);
    putBe16(&p[kOem], kNoOem);
    std::memcpy(&p[kShortName], info.shortName.data(), std::min(info.shortName.size(), kShortNameSize - 1));
    std::memcpy(&p[kLongName], info.longName.data(), std::min(info.longName.size(), kLongNameSize - 1));
    const std::size_t ports = std::min(info.portAddresses.size(), kArtPollReplyPorts);
    putBe16(&p[kPorts], ports);
    for (std::size_t i = 0; i < ports; ++i) {
        p[kPortTypes + i] = kOutputsDmx;
        p[kGoodOutputA + i] = kDataGoingOut;
        p[kSwOut + i] = static_cast<uint8_t>(info.portAddresses[i] & artnet::kUniverseMask);
    }
    p[kStyle] = kStyleNode;
    p[kBindIndex] = info.bindIndex;
    p[kStatus2] = kFifteenBitAddresses;
    return p;
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

std::optional<OpcReader::Message> OpcReader::next(std::size_t& used) const
{
    if (buffer_.size() - used < opc::kHeaderSize)
        return std::nullopt;
    const uint8_t* at = buffer_.data() + used;
    const std::size_t length = getBe16(at + opc::kLength);
    if (buffer_.size() - used < opc::kHeaderSize + length)
        return std::nullopt;
    used += opc::kHeaderSize + length;
    return Message{at[opc::kChannel], at[opc::kCommand], {at + opc::kHeaderSize, length}};
}

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
