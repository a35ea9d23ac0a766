#include "tests/net/send_support.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace sendtest {

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::Process;

constexpr int kDefaultEdge = 12;
constexpr auto kIdleDeadline = 30s;
constexpr std::size_t kChunk = 65536;
constexpr int kReceiveBuffer = 1 << 22;  // a whole burst of frames, read afterwards

constexpr std::size_t kDdpHeader = 10;
constexpr std::size_t kDdpMaxData = 1440;
constexpr uint8_t kDdpVersion1 = 0x40, kDdpPush = 0x01, kDdpRgb8 = 0x0B, kDdpDefaultOutput = 1;
constexpr int kDdpSequences = 15;

constexpr std::size_t kE131Header = 126;
constexpr std::size_t kCidAt = 22, kCidSize = 16, kNameAt = 44, kNameSize = 64, kSequenceAt = 111, kUniverseAt = 113;
constexpr unsigned long kFlags = 0x7000;
constexpr char kAcnIdentifier[12] = {'A', 'S', 'C', '-', 'E', '1', '.', '1', '7', 0, 0, 0};
constexpr uint8_t kPriority = 100;

constexpr std::size_t kArtDmxHeader = 18;
constexpr char kArtNetId[8] = {'A', 'r', 't', '-', 'N', 'e', 't', 0};
constexpr unsigned long kArtProtocolVersion = 14;
constexpr unsigned long kOpDmx = 0x5000, kOpSync = 0x5200, kOpPoll = 0x2000;

[[noreturn]] void failSystem(const std::string& what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

void check(bool ok, const std::string& what)
{
    if (!ok)
        throw std::runtime_error(what);
}

// `value` big-endian in `width` bytes.
Bytes be(unsigned long value, int width)
{
    Bytes bytes;
    for (int shift = 8 * (width - 1); shift >= 0; shift -= 8)
        bytes.push_back(static_cast<uint8_t>(value >> shift));
    return bytes;
}

Bytes join(std::initializer_list<Bytes> parts)
{
    Bytes bytes;
    for (const Bytes& part : parts)
        bytes.insert(bytes.end(), part.begin(), part.end());
    return bytes;
}

// Throws unless the bytes of `got` from `at` on, as far as they have come,
// are `want`.
void expectBytes(const char* protocol, const Bytes& got, std::size_t at, const Bytes& want)
{
    for (std::size_t i = 0; i < want.size() && at + i < got.size(); ++i)
        check(got[at + i] == want[i], std::string(protocol) + " byte " + std::to_string(at + i) + " is " +
                                          std::to_string(got[at + i]) + ", expected " + std::to_string(want[i]));
}

// A header, `size` data bytes and a trailer: checked as they come, the data
// taken off the stream once the whole message is in.
std::optional<Pixels> takeMessage(const char* protocol, Bytes& stream, const Bytes& header, std::size_t size,
                                  const Bytes& trailer = {})
{
    expectBytes(protocol, stream, 0, header);
    if (stream.size() < header.size() + size + trailer.size())
        return std::nullopt;
    expectBytes(protocol, stream, header.size() + size, trailer);
    const auto data = stream.begin() + static_cast<long>(header.size());
    Pixels pixels(data, data + static_cast<long>(size));
    stream.erase(stream.begin(), data + static_cast<long>(size + trailer.size()));
    return pixels;
}

std::chrono::milliseconds left(Clock::time_point end)
{
    return std::max(0ms, std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()));
}

bool readable(int fd, std::chrono::milliseconds deadline)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(deadline.count())) > 0;
}

std::optional<Bytes> readSome(int fd)
{
    Bytes bytes(kChunk);
    const ssize_t got = ::read(fd, bytes.data(), bytes.size());
    if (got <= 0)
        return std::nullopt;
    bytes.resize(static_cast<std::size_t>(got));
    return bytes;
}

// Binds `fd` to 127.0.0.1:`port` and returns the port bound.
uint16_t bindLoopback(int fd, uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        failSystem("bind 127.0.0.1:" + std::to_string(port));
    return ntohs(address.sin_port);
}

bool waitIdle(uint8_t* record, Process& process)
{
    const auto end = Clock::now() + kIdleDeadline;
    while (channel::loadStatus(record) != channel::kStatusIdle) {
        if (!process.running() || Clock::now() > end)
            return false;
        std::this_thread::sleep_for(100us);
    }
    return true;
}

}  // namespace

Pixels unlitPixels(int edge)
{
    return Pixels(static_cast<std::size_t>(edge * edge * edge) * 3, 0);
}

void setPixel(Pixels& pixels, int index, Rgb rgb)
{
    const std::size_t at = static_cast<std::size_t>(index) * 3;
    pixels.at(at) = rgb.r;
    pixels.at(at + 1) = rgb.g;
    pixels.at(at + 2) = rgb.b;
}

storeColor colorOf(Rgb rgb)
{
    constexpr float kFull = 255;
    return {rgb.r / kFull, rgb.g / kFull, rgb.b / kFull};
}

std::vector<queueEntry> numberedLeds(uint8_t number)
{
    return {{0, 0, 0, colorOf({number, 0, 0})}};
}

Pixels numbered(int edge, uint8_t number)
{
    Pixels pixels = unlitPixels(edge);
    setPixel(pixels, 0, {number, 0, 0});
    return pixels;
}

std::string program(int edge)
{
    return edge == kDefaultEdge ? "cubesend" : "cubesend" + std::to_string(edge);
}

std::vector<std::string> xyzLayout(int edge)
{
    std::vector<std::string> lines;
    for (int p = 0; p < edge * edge * edge; ++p)
        lines.push_back(std::to_string(p % edge) + " " + std::to_string(p / edge % edge) + " " + std::to_string(p / edge / edge));
    return lines;
}

std::string writeLayout(const std::string& path, const std::vector<std::string>& lines)
{
    std::ofstream file(path);
    for (const std::string& line : lines)
        file << line << '\n';
    return path;
}

Cubesend::Cubesend(const std::vector<std::string>& args, int edge) : name_(program(edge))
{
    record_ = dir.mapRecord();
    channel::storeStatus(record_, kStaleStatus);
    std::vector<std::string> argv{testsupport::binary(name_)};
    argv.insert(argv.end(), args.begin(), args.end());
    process_ = std::make_unique<Process>(argv, Process::Options::in(dir.root()));
    check(waitIdle(record_, *process_), "cubesend did not take up the channel: " + process_->err());
}

bool Cubesend::send(uint8_t code, const std::vector<queueEntry>& entries)
{
    for (std::size_t slot = 0; slot < entries.size(); ++slot)
        channel::packEntry(record_, slot, entries[slot]);
    channel::storeStatus(record_, code);
    return waitIdle(record_, *process_);
}

bool Cubesend::show(const std::vector<queueEntry>& leds)
{
    bool answered = send(channel::kStatusClear);
    for (auto batch = leds.begin(); batch < leds.end(); batch += channel::kMaxEntries) {
        const auto end = leds.end() - batch > long{channel::kMaxEntries} ? batch + channel::kMaxEntries : leds.end();
        answered = answered && send(static_cast<uint8_t>(channel::kStatusBatchBase + (end - batch)), {batch, end});
    }
    return answered && send(channel::kStatusReleaseNoKeep);
}

std::vector<std::string> Cubesend::reports(const std::string& target) const
{
    std::vector<std::string> lines;
    for (const std::string& line : testsupport::splitLines(process_->err()))
        if (line.starts_with(name_ + ": " + target + ": "))
            lines.push_back(line);
    // The first one describes the target at start.
    if (!lines.empty())
        lines.erase(lines.begin());
    return lines;
}

std::optional<Pixels> FrameSource::receive(std::chrono::milliseconds deadline)
{
    const auto end = Clock::now() + deadline;
    for (;;) {
        if (std::optional<Pixels> frame = take(pending_))
            return frame;
        const std::optional<Bytes> more = read(left(end));
        if (!more)
            return std::nullopt;
        pending_.insert(pending_.end(), more->begin(), more->end());
    }
}

Pixels FrameSource::next(std::chrono::milliseconds deadline)
{
    std::optional<Pixels> frame = receive(deadline);
    check(frame.has_value(), "no whole frame from " + target() + " before the deadline");
    return *frame;
}

Pixels FrameSource::nextChange(const Pixels& shown, std::chrono::milliseconds deadline)
{
    const auto end = Clock::now() + deadline;
    for (;;)
        if (Pixels frame = next(left(end)); frame != shown)
            return frame;
}

UdpSource::UdpSource(int edge, uint16_t port) : FrameSource(edge)
{
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        failSystem("socket");
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer);
    port_ = bindLoopback(fd_, port);
}

UdpSource::~UdpSource()
{
    ::close(fd_);
}

std::optional<Bytes> UdpSource::read(std::chrono::milliseconds deadline)
{
    return readable(fd_, deadline) ? readSome(fd_) : std::nullopt;
}

std::string DdpReceiver::target() const
{
    return "ddp://127.0.0.1:" + std::to_string(port_);
}

std::optional<Pixels> DdpReceiver::take(Bytes& packet)
{
    if (packet.empty())
        return std::nullopt;
    const std::size_t size = unlitPixels(edge_).size();
    const std::size_t length = std::min(kDdpMaxData, size - frame_.size());
    const bool last = frame_.size() + length == size;
    if (packets_++ == 0)
        firstSequence_ = packet.size() > 1 ? packet[1] : 0;
    const auto sequence = static_cast<uint8_t>((firstSequence_ + packets_ - 2) % kDdpSequences + 1);
    const uint8_t flags = last ? kDdpVersion1 | kDdpPush : kDdpVersion1;
    expectBytes("DDP", packet, 0, join({{flags, sequence, kDdpRgb8, kDdpDefaultOutput}, be(frame_.size(), 4), be(length, 2)}));
    check(packet.size() == kDdpHeader + length, "DDP packet of " + std::to_string(packet.size()) + " bytes");
    frame_.insert(frame_.end(), packet.begin() + kDdpHeader, packet.end());
    packet.clear();
    return last ? std::optional(std::exchange(frame_, {})) : std::nullopt;
}

E131Receiver::E131Receiver(int edge, int firstUniverse, int ledsPerUniverse)
    : UdpSource(edge, 0), first_(firstUniverse), perUniverse_(ledsPerUniverse),
      sequence_(static_cast<std::size_t>(universes()))
{
}

int E131Receiver::universes() const
{
    return (edge_ * edge_ * edge_ + perUniverse_ - 1) / perUniverse_;
}

std::string E131Receiver::target() const
{
    return "e131://127.0.0.1:" + std::to_string(port_) + "/" + std::to_string(first_);
}

std::optional<Pixels> E131Receiver::take(Bytes& packet)
{
    if (packet.empty())
        return std::nullopt;
    if (frame_.empty()) {
        frame_ = unlitPixels(edge_);
        seen_.assign(sequence_.size(), false);
    }
    const unsigned long size = packet.size();
    check(size >= kE131Header, "E1.31 packet of " + std::to_string(size) + " bytes");
    // The universe may come in any order, each once a frame.
    const long universe = static_cast<long>(packet[kUniverseAt]) << 8 | packet[kUniverseAt + 1];
    const auto index = static_cast<std::size_t>(universe - first_);
    check(universe >= first_ && index < seen_.size() && !seen_[index], "E1.31 universe " + std::to_string(universe) + " out of place");
    seen_[index] = true;
    const std::size_t firstLed = index * static_cast<std::size_t>(perUniverse_);
    const std::size_t channels = 3 * std::min(std::size_t(perUniverse_), frame_.size() / 3 - firstLed);
    check(size == kE131Header + channels, "E1.31 packet of " + std::to_string(size) + " bytes");
    if (cid_.empty())
        cid_.assign(packet.begin() + kCidAt, packet.begin() + kCidAt + kCidSize);
    const Bytes name(packet.begin() + kNameAt, packet.begin() + kNameAt + kNameSize);
    const auto nul = std::find(name.begin(), name.end(), 0);
    check(nul != name.begin() && nul != name.end() && std::all_of(nul, name.end(), [](uint8_t b) { return b == 0; }),
          "E1.31 source name is not a non-empty NUL-padded string");
    std::optional<uint8_t>& sequence = sequence_[index];
    sequence = sequence ? static_cast<uint8_t>(*sequence + 1) : packet[kSequenceAt];
    expectBytes("E1.31", packet, 0,
                join({be(0x0010, 2), be(0, 2), Bytes(std::begin(kAcnIdentifier), std::end(kAcnIdentifier)),
                      be(kFlags | (size - 16), 2), be(0x00000004, 4), cid_,
                      be(kFlags | (size - 38), 2), be(0x00000002, 4), name, {kPriority}, be(0, 2),
                      {*sequence, 0}, be(static_cast<unsigned long>(universe), 2),
                      be(kFlags | (size - 115), 2), {0x02, 0xA1}, be(0x0000, 2), be(0x0001, 2), be(1 + channels, 2), {0x00}}));
    std::copy(packet.begin() + kE131Header, packet.end(), frame_.begin() + static_cast<long>(firstLed * 3));
    packet.clear();
    if (std::find(seen_.begin(), seen_.end(), false) != seen_.end())
        return std::nullopt;
    return std::exchange(frame_, {});
}

ArtNetReceiver::ArtNetReceiver(int edge, int firstUniverse, int ledsPerUniverse)
    : UdpSource(edge, 0), first_(firstUniverse), perUniverse_(ledsPerUniverse)
{
    const int leds = edge * edge * edge;
    sequence_.assign(static_cast<std::size_t>((leds + perUniverse_ - 1) / perUniverse_), 0);
}

std::string ArtNetReceiver::target() const
{
    return "artnet://127.0.0.1:" + std::to_string(port_) + "/" + std::to_string(first_);
}

std::optional<Pixels> ArtNetReceiver::take(Bytes& packet)
{
    if (packet.empty())
        return std::nullopt;
    if (frame_.empty()) {
        frame_ = unlitPixels(edge_);
        seen_.assign(sequence_.size(), false);
    }
    check(packet.size() >= kArtDmxHeader, "ArtDmx packet of " + std::to_string(packet.size()) + " bytes");
    // The Port-Address: Net (high 7 bits) in byte 15, SubUni in byte 14.
    const long universe = static_cast<long>(packet[15]) << 8 | packet[14];
    const auto index = static_cast<std::size_t>(universe - first_);
    check(universe >= first_ && index < seen_.size() && !seen_[index],
          "ArtDmx universe " + std::to_string(universe) + " out of place");
    seen_[index] = true;
    const std::size_t firstLed = index * static_cast<std::size_t>(perUniverse_);
    const std::size_t channels = 3 * std::min(std::size_t(perUniverse_), frame_.size() / 3 - firstLed);
    const std::size_t length = channels + channels % 2;
    check(packet.size() == kArtDmxHeader + length, "ArtDmx packet of " + std::to_string(packet.size()) + " bytes");
    // Sequences run 1 to 255 per universe and round again, never 0.
    uint8_t& last = sequence_[index];
    last = last == 0 ? packet[12] : static_cast<uint8_t>(last % 255 + 1);
    check(last != 0, "ArtDmx sequence 0");
    expectBytes("Art-Net", packet, 0,
                join({Bytes(std::begin(kArtNetId), std::end(kArtNetId)), {0x00, 0x50}, be(kArtProtocolVersion, 2),
                      {last, 0}, {static_cast<uint8_t>(universe & 0xff), static_cast<uint8_t>(universe >> 8)},
                      be(length, 2)}));
    if (channels % 2 != 0)
        check(packet.back() == 0, "the ArtDmx packet's last, padding byte is not 0");
    std::copy_n(packet.begin() + kArtDmxHeader, channels, frame_.begin() + static_cast<long>(firstLed * 3));
    packet.clear();
    if (std::find(seen_.begin(), seen_.end(), false) != seen_.end())
        return std::nullopt;
    return std::exchange(frame_, {});
}

OpcServer::OpcServer(int edge, uint8_t channel) : FrameSource(edge), channel_(channel)
{
    start();
}

void OpcServer::start()
{
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;  // the port of the first start, taken again
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    port_ = bindLoopback(listener_, port_);
    if (::listen(listener_, 4) != 0)
        failSystem("listen");
}

void OpcServer::stop()
{
    for (int* fd : {&connection_, &listener_})
        if (*fd >= 0)
            ::close(std::exchange(*fd, -1));
    pending_.clear();
}

std::string OpcServer::target() const
{
    return "opc://127.0.0.1:" + std::to_string(port_) + "/" + std::to_string(channel_);
}

std::optional<Bytes> OpcServer::read(std::chrono::milliseconds deadline)
{
    const auto end = Clock::now() + deadline;
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {connection_, POLLIN, 0}};  // poll skips fd -1
        if (::poll(fds, 2, static_cast<int>(left(end).count())) <= 0)
            return std::nullopt;
        if (fds[0].revents & POLLIN) {
            if (connection_ >= 0)
                ::close(connection_);
            connection_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            pending_.clear();
        } else if (std::optional<Bytes> bytes = readSome(connection_)) {
            return bytes;
        } else {  // the client went away
            ::close(std::exchange(connection_, -1));
            pending_.clear();
        }
    }
}

std::optional<Pixels> OpcServer::take(Bytes& pending)
{
    const std::size_t size = unlitPixels(edge_).size();
    return takeMessage("OPC", pending, join({{channel_, 0}, be(size, 2)}), size);
}

SerialPort::SerialPort(int edge, Framing framing, const std::string& query)
    : FrameSource(edge), framing_(framing), query_(query)
{
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 || ::ptsname_r(master_, name, sizeof name) != 0)
        failSystem("posix_openpt");
    slavePath_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0)
        failSystem("open " + slavePath_);
}

SerialPort::~SerialPort()
{
    ::close(slave_);
    ::close(master_);
}

std::optional<Bytes> SerialPort::read(std::chrono::milliseconds deadline)
{
    return readable(master_, deadline) ? readSome(master_) : std::nullopt;
}

std::optional<Pixels> SerialPort::take(Bytes& pending)
{
    const std::size_t size = unlitPixels(edge_).size();
    if (framing_ == Framing::tpm2)
        return takeMessage("TPM2", pending, join({{0xC9, 0xDA}, be(size, 2)}), size, {0x36});
    const auto last = static_cast<unsigned>(size / 3 - 1);
    const auto hi = static_cast<uint8_t>(last >> 8), lo = static_cast<uint8_t>(last & 0xFF);
    return takeMessage("Adalight", pending, {'A', 'd', 'a', hi, lo, static_cast<uint8_t>(hi ^ lo ^ 0x55)}, size);
}

namespace wire {

namespace {

// A layer's flags and length: 0x7 in the high nibble, the bytes from `at` to
// the end below.
Bytes flagsAndLength(std::size_t size, std::size_t at)
{
    return be(kFlags | (size - at), 2);
}

std::vector<Bytes> universes(const Pixels& pixels, const std::function<Bytes(uint16_t, const Bytes&)>& packet,
                             uint16_t first)
{
    std::vector<Bytes> packets;
    const std::size_t bytes = kLedsPerUniverse * 3;
    for (std::size_t at = 0, u = first; at < pixels.size(); at += bytes, ++u)
        packets.push_back(packet(static_cast<uint16_t>(u), Bytes(pixels.begin() + static_cast<long>(at),
                                                                 pixels.begin() + static_cast<long>(std::min(at + bytes, pixels.size())))));
    return packets;
}

}  // namespace

Bytes e131Data(uint16_t universe, const Bytes& slots, const E131Options& options)
{
    const std::size_t size = kE131Header + slots.size();
    Bytes name(kNameSize, 0);
    const std::string source = "the tests";
    std::copy(source.begin(), source.end(), name.begin());
    return join({be(0x0010, 2), be(0, 2), Bytes(std::begin(kAcnIdentifier), std::end(kAcnIdentifier)),
                 flagsAndLength(size, 16), be(0x00000004, 4), options.cid, flagsAndLength(size, 38),
                 be(0x00000002, 4), name, {options.priority}, be(options.syncAddress, 2),
                 {options.sequence, options.options}, be(universe, 2), flagsAndLength(size, 115), {0x02, 0xA1},
                 be(0x0000, 2), be(0x0001, 2), be(1 + slots.size(), 2), {0x00}, slots});
}

Bytes e131Sync(const Cid& cid, uint8_t sequence, uint16_t syncAddress)
{
    constexpr std::size_t kSize = 49;
    return join({be(0x0010, 2), be(0, 2), Bytes(std::begin(kAcnIdentifier), std::end(kAcnIdentifier)),
                 flagsAndLength(kSize, 16), be(0x00000008, 4), cid, flagsAndLength(kSize, 38), be(0x00000001, 4),
                 {sequence}, be(syncAddress, 2), be(0, 2)});
}

std::vector<Bytes> e131Frame(const Pixels& pixels, uint16_t firstUniverse, const E131Options& options)
{
    return universes(pixels, [&](uint16_t u, const Bytes& slots) { return e131Data(u, slots, options); },
                     firstUniverse);
}

Bytes artDmx(uint16_t portAddress, const Bytes& data, uint8_t sequence)
{
    Bytes even = data;
    if (even.size() % 2 != 0)
        even.push_back(0);
    return join({Bytes(std::begin(kArtNetId), std::end(kArtNetId)), be(kOpDmx & 0xff, 1), be(kOpDmx >> 8, 1),
                 be(kArtProtocolVersion, 2), {sequence, 0},
                 {static_cast<uint8_t>(portAddress & 0xff), static_cast<uint8_t>(portAddress >> 8)},
                 be(even.size(), 2), even});
}

Bytes artSync()
{
    return join({Bytes(std::begin(kArtNetId), std::end(kArtNetId)), be(kOpSync & 0xff, 1), be(kOpSync >> 8, 1),
                 be(kArtProtocolVersion, 2), {0, 0}});
}

Bytes artPoll()
{
    return join({Bytes(std::begin(kArtNetId), std::end(kArtNetId)), be(kOpPoll & 0xff, 1), be(kOpPoll >> 8, 1),
                 be(kArtProtocolVersion, 2), {0, 0}});
}

std::vector<Bytes> artNetFrame(const Pixels& pixels, uint16_t firstUniverse)
{
    return universes(pixels, [](uint16_t u, const Bytes& data) { return artDmx(u, data); }, firstUniverse);
}

Bytes ddp(bool push, uint32_t offset, const Bytes& data)
{
    return join({{static_cast<uint8_t>(kDdpVersion1 | (push ? kDdpPush : 0)), 1, kDdpRgb8, kDdpDefaultOutput},
                 be(offset, 4), be(data.size(), 2), data});
}

std::vector<Bytes> ddpFrame(const Pixels& pixels)
{
    std::vector<Bytes> packets;
    for (std::size_t at = 0; at < pixels.size(); at += kDdpMaxData) {
        const std::size_t end = std::min(at + kDdpMaxData, pixels.size());
        packets.push_back(ddp(end == pixels.size(), static_cast<uint32_t>(at),
                              Bytes(pixels.begin() + static_cast<long>(at), pixels.begin() + static_cast<long>(end))));
    }
    return packets;
}

Bytes opc(uint8_t channel, uint8_t command, const Bytes& data)
{
    return join({{channel, command}, be(data.size(), 2), data});
}

}  // namespace wire

UdpSender::UdpSender() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
{
    bindLoopback(fd_, 0);
}

UdpSender::~UdpSender()
{
    ::close(fd_);
}

void UdpSender::send(uint16_t port, const Bytes& datagram) const
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0)
        failSystem("send to 127.0.0.1:" + std::to_string(port));
}

void UdpSender::send(uint16_t port, const std::vector<Bytes>& datagrams) const
{
    for (const Bytes& datagram : datagrams)
        send(port, datagram);
}

std::optional<Bytes> UdpSender::receive(std::chrono::milliseconds deadline) const
{
    return readable(fd_, deadline) ? readSome(fd_) : std::nullopt;
}

}  // namespace sendtest
