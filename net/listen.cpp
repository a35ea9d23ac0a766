#include "net/listen.h"

#include "common/process.h"
#include "net/admission.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

namespace input {

namespace {

using namespace std::chrono_literals;

// E1.31 forgets a source after this long without its data.
constexpr auto kSourceTimeout = 2500ms;
// An Art-Net node stays in synchronous mode this long after an ArtSync.
constexpr auto kArtSyncTimeout = 4s;
// A packet 1 to this many sequence numbers behind its source's last one for
// its universe came late, and is dropped.
constexpr int kStaleWindow = 20;
// E1.31 sources known at once; a packet from one more is refused until one
// of them stops or is forgotten.
constexpr std::size_t kMaxE131Sources = 64;
// Each poller's ArtPollReplies go at most this often; consoles poll every
// few seconds. Pollers answered within the interval are remembered, at most
// this many.
constexpr auto kPollAnswerInterval = 1s;
constexpr std::size_t kMaxPollers = 256;
constexpr int kPollMs = 100;
constexpr std::size_t kDatagramBytes = 65536;
constexpr std::size_t kStreamChunk = 65536;
// Datagrams read from one source before the others get their turn.
constexpr int kDatagramsATurn = 64;
constexpr int kReceiveBuffer = 4 << 20;
constexpr int kListenBacklog = 16;
constexpr uint32_t kE131MulticastBase = 0xefff0000;  // 239.255.0.0, +universe
constexpr uint8_t kLoopbackNet = 127;
constexpr unsigned kBitsPerByte = 8;

// Frames that arrive a universe at a time: a frame is whole when every
// universe has come since the last one, or at a synchronisation, or when a
// universe comes a second time before the others (the sender has moved on:
// what came goes, the rest as in the frame before).
class UniverseFrames {
public:
    UniverseFrames(std::size_t bytes, std::size_t universeBytes, unsigned first)
        : pixels_(bytes), universeBytes_(universeBytes), first_(first),
          arrived_(strip::e131Universes(bytes / strip::kBytesPerPixel, static_cast<unsigned>(universeBytes / strip::kBytesPerPixel)))
    {
    }

    unsigned first() const { return first_; }
    unsigned last() const { return first_ + static_cast<unsigned>(arrived_.size()) - 1; }
    bool covers(unsigned universe) const { return universe >= first_ && universe <= last(); }

    template <typename Emit>
    void add(unsigned universe, std::span<const uint8_t> data, bool waitForSync, Emit emit)
    {
        const std::size_t index = universe - first_;
        if (arrived_[index])
            complete(emit);
        const std::size_t offset = index * universeBytes_;
        const std::size_t length = std::min({data.size(), universeBytes_, pixels_.size() - offset});
        std::copy_n(data.begin(), length, pixels_.begin() + static_cast<std::ptrdiff_t>(offset));
        arrived_[index] = true;
        if (++arrivedCount_ == arrived_.size() && !waitForSync)
            complete(emit);
    }

    template <typename Emit>
    void sync(Emit emit)
    {
        if (arrivedCount_ > 0)
            complete(emit);
    }

private:
    template <typename Emit>
    void complete(Emit emit)
    {
        emit(std::span<const uint8_t>(pixels_));
        std::fill(arrived_.begin(), arrived_.end(), false);
        arrivedCount_ = 0;
    }

    std::vector<uint8_t> pixels_;
    std::size_t universeBytes_;
    unsigned first_;
    std::vector<bool> arrived_;
    std::size_t arrivedCount_ = 0;
};

std::string addressText(const sockaddr_storage& address)
{
    char host[INET6_ADDRSTRLEN] = {};
    unsigned port = 0;
    if (address.ss_family == AF_INET6) {
        const auto& a = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &a.sin6_addr, host, sizeof host);
        port = ntohs(a.sin6_port);
        return std::string("[") + host + "]:" + std::to_string(port);
    }
    const auto& a = reinterpret_cast<const sockaddr_in&>(address);
    inet_ntop(AF_INET, &a.sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(a.sin_port));
}

bool sameBits(const uint8_t* a, const uint8_t* b, unsigned bits)
{
    const unsigned whole = bits / kBitsPerByte;
    const unsigned rest = bits % kBitsPerByte;
    if (std::memcmp(a, b, whole) != 0)
        return false;
    const auto mask = static_cast<uint8_t>(0xff << (kBitsPerByte - rest));
    return rest == 0 || (a[whole] & mask) == (b[whole] & mask);
}

const uint8_t* addressBytes(const sockaddr_storage& address)
{
    if (address.ss_family == AF_INET6)
        return reinterpret_cast<const sockaddr_in6&>(address).sin6_addr.s6_addr;
    return reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in&>(address).sin_addr.s_addr);
}

// The host part of an address, its port left out: 4 bytes or 16.
std::string hostKey(const sockaddr_storage& address)
{
    const std::size_t size = address.ss_family == AF_INET6 ? sizeof(in6_addr) : sizeof(in_addr);
    return {reinterpret_cast<const char*>(addressBytes(address)), size};
}

struct IgnoredName {
    Ignored kind;
    const char* text;
};
// In the order the stats line gives them.
constexpr IgnoredName kIgnoredNames[] = {
    {Ignored::otherKind, "of another kind"},
    {Ignored::otherUniverse, "for another universe"},
    {Ignored::outOfSequence, "out of sequence"},
    {Ignored::lowerPriority, "for a universe that another source holds"},
    {Ignored::streamEnds, "ending a stream"},
    {Ignored::pollTooSoon, "polls within a second of the last answer"},
    {Ignored::notForShow, "not to show (a query, reply or storage)"},
    {Ignored::otherDataType, "of another data type"},
    {Ignored::otherId, "for another destination id"},
    {Ignored::otherChannel, "for another channel"},
    {Ignored::otherCommand, "of another command"},
};
static_assert(std::size(kIgnoredNames) == kIgnoredKinds);

}  // namespace

std::string ignoredText(const Counts& counts)
{
    std::string reasons;
    uint64_t ignored = 0;
    for (const IgnoredName& name : kIgnoredNames) {
        const uint64_t n = counts.ignoredBy[static_cast<std::size_t>(name.kind)].load(std::memory_order_relaxed);
        ignored += n;
        if (n > 0)
            reasons += (reasons.empty() ? "" : ", ") + std::to_string(n) + " " + name.text;
    }
    const std::string total = std::to_string(ignored) + " ignored";
    return reasons.empty() ? total : total + " (" + reasons + ")";
}

bool parseAllowed(const std::string& text, Allowed& allowed)
{
    const std::size_t slash = text.find('/');
    const std::string address = text.substr(0, slash);
    allowed = {};
    unsigned maxPrefix = 0;
    if (inet_pton(AF_INET, address.c_str(), &reinterpret_cast<sockaddr_in&>(allowed.address).sin_addr) == 1) {
        allowed.address.ss_family = AF_INET;
        maxPrefix = sizeof(in_addr) * kBitsPerByte;
    } else if (inet_pton(AF_INET6, address.c_str(), &reinterpret_cast<sockaddr_in6&>(allowed.address).sin6_addr) == 1) {
        allowed.address.ss_family = AF_INET6;
        maxPrefix = sizeof(in6_addr) * kBitsPerByte;
    } else {
        return false;
    }
    allowed.prefix = maxPrefix;
    if (slash == std::string::npos)
        return true;
    const std::string prefix = text.substr(slash + 1);
    if (prefix.empty() || prefix.size() > 3 || prefix.find_first_not_of("0123456789") != std::string::npos)
        return false;
    allowed.prefix = static_cast<unsigned>(std::stoul(prefix));
    return allowed.prefix <= maxPrefix;
}

// One source: its socket, what it has heard, and how it makes frames.
class Input {
public:
    Input(const strip::Destination& source, const Settings& settings, Latest& latest, std::size_t index, int type)
        : source_(source), settings_(settings), latest_(latest), index_(index)
    {
        fd_ = bindSocket(type);
    }
    virtual ~Input()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;

    virtual void addPolls(std::vector<pollfd>& polls, std::vector<Input*>& owners)
    {
        polls.push_back({fd_, POLLIN, 0});
        owners.push_back(this);
    }
    virtual void readable(int fd) = 0;
    virtual void tick(Clock::time_point) {}
    virtual std::string describe() const { return source_.text + " on " + addressText(bound_); }

    Counts counts;

protected:
    bool allowed(const sockaddr_storage& from) const
    {
        if (settings_.allowed.empty())
            return true;
        return std::any_of(settings_.allowed.begin(), settings_.allowed.end(), [&](const Allowed& a) {
            return a.address.ss_family == from.ss_family && sameBits(addressBytes(a.address), addressBytes(from), a.prefix);
        });
    }

    void emit(std::span<const uint8_t> pixels)
    {
        counts.frames.fetch_add(1, std::memory_order_relaxed);
        latest_.put([&](Heard& heard) {
            std::copy_n(pixels.begin(), std::min(pixels.size(), heard.pixels.size()), heard.pixels.begin());
            heard.source = index_;
        });
    }

    static void count(std::atomic<uint64_t>& counter) { counter.fetch_add(1, std::memory_order_relaxed); }
    void ignore(Ignored why) { count(counts.ignoredBy[static_cast<std::size_t>(why)]); }

    // Whether the socket listens on a loopback address: no multicast there.
    bool onLoopback() const
    {
        if (bound_.ss_family == AF_INET6)
            return IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6&>(bound_).sin6_addr);
        return addressBytes(bound_)[0] == kLoopbackNet;
    }

    strip::Destination source_;
    const Settings& settings_;
    int fd_ = -1;
    sockaddr_storage bound_{};

private:
    int bindSocket(int type)
    {
        const std::string where = source_.text + " (" + (source_.host.empty() ? "every interface" : source_.host) +
                                  ", port " + std::to_string(source_.port) + ")";
        strip::Address address;
        std::string error;
        if (!strip::resolve(source_.host, source_.port, type, true, address, error))
            process::fail("cannot listen on " + where + ": " + error);
        const int fd = ::socket(address.storage.ss_family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int on = 1;
        // A listening port can be taken again at once after a restart; UDP
        // gets no such option, so that a port in use is refused.
        if (fd >= 0 && type == SOCK_STREAM)
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (fd >= 0 && type == SOCK_DGRAM)
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
        const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length) == 0 &&
                           (type != SOCK_STREAM || ::listen(fd, kListenBacklog) == 0);
        if (!bound) {
            const std::string why = process::because("cannot listen on " + where);
            if (fd >= 0)
                ::close(fd);
            process::fail(why);
        }
        socklen_t length = sizeof bound_;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound_), &length);
        return fd;
    }

    Latest& latest_;
    std::size_t index_;
};

namespace {

// A source that comes as datagrams; each is counted, checked against
// --allow and handed to `datagram`.
class DatagramInput : public Input {
public:
    DatagramInput(const strip::Destination& source, const Settings& settings, Latest& latest, std::size_t index)
        : Input(source, settings, latest, index, SOCK_DGRAM), buffer_(kDatagramBytes)
    {
    }

    void readable(int) override
    {
        for (int turn = 0; turn < kDatagramsATurn; ++turn) {
            sockaddr_storage from{};
            socklen_t length = sizeof from;
            const ssize_t n = ::recvfrom(fd_, buffer_.data(), buffer_.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (n < 0)
                return;
            count(counts.packets);
            if (!allowed(from)) {
                count(counts.refused);
                continue;
            }
            datagram({buffer_.data(), static_cast<std::size_t>(n)}, from);
        }
    }

protected:
    virtual void datagram(std::span<const uint8_t> bytes, const sockaddr_storage& from) = 0;

private:
    std::vector<uint8_t> buffer_;
};

class E131Input final : public DatagramInput {
public:
    E131Input(const strip::Destination& source, const Settings& settings, Latest& latest, std::size_t index)
        : DatagramInput(source, settings, latest, index),
          frames_(settings.leds * strip::kBytesPerPixel, settings.ledsPerUniverse * strip::kBytesPerPixel, source.number),
          owners_(frames_.last() - frames_.first() + 1)
    {
        if (settings.multicast && !onLoopback() && bound_.ss_family == AF_INET)
            joinGroups();
    }

    std::string describe() const override
    {
        return Input::describe() + ", universes " + std::to_string(frames_.first()) + " to " +
               std::to_string(frames_.last()) + joined_;
    }

    void tick(Clock::time_point now) override
    {
        std::erase_if(senders_, [&](const auto& sender) { return now - sender.second.seen > kSourceTimeout; });
    }

private:
    using Cid = strip::E131Encoder::Cid;
    struct Sender {
        Clock::time_point seen;
        std::map<uint16_t, uint8_t> sequences;  // the last one of each universe
    };
    struct Owner {
        Cid cid{};
        uint8_t priority = 0;
        bool any = false;
    };

    void datagram(std::span<const uint8_t> bytes, const sockaddr_storage&) override
    {
        const std::optional<strip::E131Packet> packet = strip::decodeE131(bytes);
        if (!packet)
            return count(counts.malformed);
        if (packet->kind == strip::E131Packet::Kind::Other)
            return ignore(Ignored::otherKind);
        if (packet->kind == strip::E131Packet::Kind::Sync) {
            if (packet->syncAddress != 0 && packet->syncAddress == syncAddress_)
                frames_.sync([&](std::span<const uint8_t> pixels) { emit(pixels); });
            return;
        }
        if (packet->options & strip::E131Packet::kTerminated) {
            // The source stops: its universes are free for the others at once.
            senders_.erase(packet->cid);
            return ignore(Ignored::streamEnds);
        }
        if (!frames_.covers(packet->universe))
            return ignore(Ignored::otherUniverse);
        Sender* sender = senderOf(packet->cid);
        if (!sender)
            return count(counts.refused);
        if (late(*sender, packet->universe, packet->sequence))
            return ignore(Ignored::outOfSequence);
        sender->sequences[packet->universe] = packet->sequence;
        sender->seen = Clock::now();

        // The universe stays with the source of the highest priority while
        // that source is alive; one of the same priority waits its turn.
        Owner& owner = owners_[packet->universe - frames_.first()];
        const auto ownerSender = senders_.find(owner.cid);
        const bool ownerAlive = owner.any && owner.cid != packet->cid && ownerSender != senders_.end();
        if (ownerAlive && packet->priority <= owner.priority)
            return ignore(Ignored::lowerPriority);
        owner = {packet->cid, packet->priority, true};
        syncAddress_ = packet->syncAddress;
        frames_.add(packet->universe, packet->slots, packet->syncAddress != 0,
                    [&](std::span<const uint8_t> pixels) { emit(pixels); });
    }

    // The source that `cid` names, new ones taken while there is room; nullptr
    // when kMaxE131Sources others are known.
    Sender* senderOf(const Cid& cid)
    {
        if (const auto known = senders_.find(cid); known != senders_.end())
            return &known->second;
        if (senders_.size() == kMaxE131Sources)
            return nullptr;
        return &senders_.emplace(cid, Sender{}).first->second;
    }

    // 1 to kStaleWindow sequence numbers behind the sender's last one for
    // the universe.
    static bool late(const Sender& sender, uint16_t universe, uint8_t sequence)
    {
        const auto last = sender.sequences.find(universe);
        if (last == sender.sequences.end())
            return false;
        const int behind = static_cast<int8_t>(last->second - sequence);
        return behind >= 1 && behind <= kStaleWindow;
    }

    // Senders in multicast mode send universe u to 239.255.u/256.u%256.
    void joinGroups()
    {
        const in_addr local = reinterpret_cast<const sockaddr_in&>(bound_).sin_addr;
        for (unsigned universe = frames_.first(); universe <= frames_.last(); ++universe) {
            ip_mreqn group{};
            group.imr_multiaddr.s_addr = htonl(kE131MulticastBase | universe);
            group.imr_address = local;
            if (::setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group) != 0) {
                joined_ = universe == frames_.first()
                              ? ", no multicast group joined (" + std::string(std::strerror(errno)) + ")"
                              : ", multicast groups joined up to universe " + std::to_string(universe - 1) + " (" +
                                    std::strerror(errno) + ")";
                return;
            }
        }
        joined_ = ", multicast groups joined";
    }

    UniverseFrames frames_;
    std::vector<Owner> owners_;
    std::map<Cid, Sender> senders_;
    uint16_t syncAddress_ = 0;  // that the last data packet named
    std::string joined_;
};

class ArtNetInput final : public DatagramInput {
public:
    ArtNetInput(const strip::Destination& source, const Settings& settings, Latest& latest, std::size_t index)
        : DatagramInput(source, settings, latest, index),
          frames_(settings.leds * strip::kBytesPerPixel, settings.ledsPerUniverse * strip::kBytesPerPixel, source.number)
    {
    }

    std::string describe() const override
    {
        return Input::describe() + ", universes " + std::to_string(frames_.first()) + " to " +
               std::to_string(frames_.last());
    }

private:
    void datagram(std::span<const uint8_t> bytes, const sockaddr_storage& from) override
    {
        const std::optional<strip::ArtNetPacket> packet = strip::decodeArtNet(bytes);
        if (!packet)
            return count(counts.malformed);
        const auto emitFrame = [&](std::span<const uint8_t> pixels) { emit(pixels); };
        switch (packet->kind) {
        case strip::ArtNetPacket::Kind::Dmx:
            if (!frames_.covers(packet->portAddress))
                return ignore(Ignored::otherUniverse);
            frames_.add(packet->portAddress, packet->data, Clock::now() - lastSync_ < kArtSyncTimeout, emitFrame);
            return;
        case strip::ArtNetPacket::Kind::Sync:
            lastSync_ = Clock::now();
            frames_.sync(emitFrame);
            return;
        case strip::ArtNetPacket::Kind::Poll:
            // Any host can claim any address as the poller's: each is
            // answered at most once an interval.
            if (!pollers_.allow(hostKey(from), Clock::now()))
                return ignore(Ignored::pollTooSoon);
            answerPoll(from);
            return;
        case strip::ArtNetPacket::Kind::Other:
            return ignore(Ignored::otherKind);
        }
    }

    // One ArtPollReply for each four universes that share a Net and Sub-Net,
    // to the poller alone: a node on a shared network broadcasts nothing.
    void answerPoll(const sockaddr_storage& poller)
    {
        strip::ArtPollReplyInfo info;
        info.address = ourAddressFor(poller);
        info.shortName = settings_.name;
        info.longName = settings_.name + ": an LED cube of " + std::to_string(settings_.leds) + " LEDs";
        for (unsigned universe = frames_.first(); universe <= frames_.last(); ++universe) {
            info.portAddresses.push_back(static_cast<uint16_t>(universe));
            const bool lastOfGroup = universe == frames_.last() || (universe + 1) % (1 << kUniverseBits) == 0 ||
                                     info.portAddresses.size() == strip::kArtPollReplyPorts;
            if (!lastOfGroup)
                continue;
            const strip::Packet reply = strip::artPollReply(info);
            ::sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&poller),
                     poller.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
            info.portAddresses.clear();
            ++info.bindIndex;
        }
    }

    // The address the poller reaches us at: ours, or, when we listen on
    // every interface, the one that a datagram to it would leave from.
    std::array<uint8_t, 4> ourAddressFor(const sockaddr_storage& poller) const
    {
        sockaddr_storage local = bound_;
        if (bound_.ss_family == AF_INET && reinterpret_cast<const sockaddr_in&>(bound_).sin_addr.s_addr == INADDR_ANY) {
            const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            socklen_t length = sizeof local;
            if (probe >= 0 && ::connect(probe, reinterpret_cast<const sockaddr*>(&poller), sizeof(sockaddr_in)) == 0)
                ::getsockname(probe, reinterpret_cast<sockaddr*>(&local), &length);
            if (probe >= 0)
                ::close(probe);
        }
        std::array<uint8_t, 4> address{};
        if (local.ss_family == AF_INET)
            std::memcpy(address.data(), addressBytes(local), address.size());
        return address;
    }

    static constexpr unsigned kUniverseBits = 4;  // of a Port-Address, under one Net and Sub-Net
    UniverseFrames frames_;
    Clock::time_point lastSync_{};
    RateLimit pollers_{kPollAnswerInterval, kMaxPollers};
};

// DDP: the push flag ends a frame; for a sender that never sets it, the
// cube's last pixel or a new start at offset 0 does.
class DdpInput final : public DatagramInput {
public:
    DdpInput(const strip::Destination& source, const Settings& settings, Latest& latest, std::size_t index)
        : DatagramInput(source, settings, latest, index), pixels_(settings.leds * strip::kBytesPerPixel)
    {
    }

private:
    void datagram(std::span<const uint8_t> bytes, const sockaddr_storage&) override
    {
        const std::optional<strip::DdpPacket> packet = strip::decodeDdp(bytes);
        if (!packet)
            return count(counts.malformed);
        switch (packet->content) {
        case strip::DdpPacket::Content::pixels:
            break;
        case strip::DdpPacket::Content::notForShow:
            return ignore(Ignored::notForShow);
        case strip::DdpPacket::Content::otherDataType:
            return ignore(Ignored::otherDataType);
        case strip::DdpPacket::Content::otherId:
            return ignore(Ignored::otherId);
        }
        if (!pushSeen_ && packet->offset == 0 && gotData_)
            complete();
        if (packet->offset < pixels_.size()) {
            const std::size_t length = std::min<std::size_t>(packet->pixels.size(), pixels_.size() - packet->offset);
            std::copy_n(packet->pixels.begin(), length, pixels_.begin() + packet->offset);
        }
        gotData_ = true;
        pushSeen_ = pushSeen_ || packet->push;
        if (packet->push || (!pushSeen_ && packet->offset + packet->pixels.size() >= pixels_.size()))
            complete();
    }

    void complete()
    {
        emit(pixels_);
        gotData_ = false;
    }

    std::vector<uint8_t> pixels_;
    bool gotData_ = false;   // since the last frame
    bool pushSeen_ = false;  // the sender sets the push flag
};

// Open Pixel Control over TCP: each set-pixel-colours message for the
// channel (or for every channel) is a frame. Each client has a reader of its
// own, so one that stalls mid-message holds only its own bytes.
class OpcInput final : public Input {
public:
    OpcInput(const strip::Destination& source, const Settings& settings, Latest& latest, std::size_t index)
        : Input(source, settings, latest, index, SOCK_STREAM), pixels_(settings.leds * strip::kBytesPerPixel)
    {
    }
    ~OpcInput() override
    {
        for (const Client& client : clients_)
            ::close(client.fd);
    }

    std::string describe() const override
    {
        return Input::describe() +
               (source_.number == 0 ? ", every channel" : ", channel " + std::to_string(source_.number));
    }

    void addPolls(std::vector<pollfd>& polls, std::vector<Input*>& owners) override
    {
        Input::addPolls(polls, owners);
        for (const Client& client : clients_) {
            polls.push_back({client.fd, POLLIN, 0});
            owners.push_back(this);
        }
    }

    void readable(int fd) override
    {
        if (fd == fd_)
            return accept();
        const auto client = std::find_if(clients_.begin(), clients_.end(), [&](const Client& c) { return c.fd == fd; });
        if (client == clients_.end())
            return;
        const ssize_t n = ::recv(fd, chunk_.data(), chunk_.size(), MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (n <= 0) {
            ::close(fd);
            clients_.erase(client);
            return;
        }
        client->lastHeard = Clock::now();
        client->reader.feed({chunk_.data(), static_cast<std::size_t>(n)},
                            [&](const strip::OpcReader::Message& message) { take(message); });
    }

private:
    struct Client {
        int fd;
        strip::OpcReader reader;
        Clock::time_point lastHeard;  // its connection, or its last bytes
    };

    void accept()
    {
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        const int fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&from), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        const Clock::time_point now = Clock::now();
        if (!allowed(from) || (clients_.size() == kMaxOpcClients && !freeIdlePlace(now))) {
            count(counts.refused);
            ::close(fd);
            return;
        }
        clients_.push_back({fd, {}, now});
    }

    // Closes the client that has been silent longest, if for settings_.opcIdle.
    bool freeIdlePlace(Clock::time_point now)
    {
        std::array<Clock::time_point, kMaxOpcClients> lastHeard{};
        std::transform(clients_.begin(), clients_.end(), lastHeard.begin(), [](const Client& c) { return c.lastHeard; });
        const std::optional<std::size_t> idle =
            idlePlace(std::span(lastHeard).first(clients_.size()), now, settings_.opcIdle);
        if (!idle)
            return false;
        ::close(clients_[*idle].fd);
        clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(*idle));
        return true;
    }

    void take(const strip::OpcReader::Message& message)
    {
        count(counts.packets);
        const bool ours = message.channel == 0 || source_.number == 0 || message.channel == source_.number;
        if (!ours)
            return ignore(Ignored::otherChannel);
        if (message.command != strip::OpcReader::kSetPixelColours)
            return ignore(Ignored::otherCommand);
        if (message.data.size() % strip::kBytesPerPixel != 0)
            return count(counts.malformed);
        std::copy_n(message.data.begin(), std::min(message.data.size(), pixels_.size()), pixels_.begin());
        emit(pixels_);
    }

    std::vector<uint8_t> pixels_;
    std::vector<Client> clients_;
    std::array<uint8_t, kStreamChunk> chunk_{};
};

}  // namespace

Listener::Listener(const std::vector<strip::Destination>& sources, const Settings& settings, Latest& latest)
{
    for (const strip::Destination& source : sources) {
        const std::size_t index = inputs_.size();
        switch (source.protocol) {
        case strip::Protocol::E131:
            inputs_.push_back(std::make_unique<E131Input>(source, settings, latest, index));
            break;
        case strip::Protocol::ArtNet:
            inputs_.push_back(std::make_unique<ArtNetInput>(source, settings, latest, index));
            break;
        case strip::Protocol::Ddp:
            inputs_.push_back(std::make_unique<DdpInput>(source, settings, latest, index));
            break;
        case strip::Protocol::Opc:
            inputs_.push_back(std::make_unique<OpcInput>(source, settings, latest, index));
            break;
        case strip::Protocol::Serial:
            break;
        }
    }
}

Listener::~Listener() = default;

void Listener::run(const std::atomic<bool>& stop)
{
    std::vector<pollfd> polls;
    std::vector<Input*> owners;
    // stop is set by the main thread, read here every pass: relaxed, since it
    // guards no data; the poll's timeout bounds how late it is seen.
    while (!stop.load(std::memory_order_relaxed)) {
        polls.clear();
        owners.clear();
        for (const auto& input : inputs_)
            input->addPolls(polls, owners);
        if (::poll(polls.data(), polls.size(), kPollMs) > 0) {
            for (std::size_t i = 0; i < polls.size(); ++i)
                if (polls[i].revents)
                    owners[i]->readable(polls[i].fd);
        }
        const Clock::time_point now = Clock::now();
        for (const auto& input : inputs_)
            input->tick(now);
    }
}

const Counts& Listener::counts(std::size_t source) const
{
    return inputs_.at(source)->counts;
}

std::string Listener::describe(std::size_t source) const
{
    return inputs_.at(source)->describe();
}

}  // namespace input
