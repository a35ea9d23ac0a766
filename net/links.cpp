#include "net/links.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

namespace strip {

namespace {

using Clock = std::chrono::steady_clock;

// A controller that has not answered a connection attempt by then is taken
// for absent; the attempt starts again with a later frame.
constexpr auto kConnectTimeout = std::chrono::seconds(2);

std::string because(const char* what)
{
    std::string why = what;
    why += ": ";
    why += std::strerror(errno);
    return why;
}

class UdpLink : public Link {
public:
    explicit UdpLink(const Address& to) : to_(to) {}
    ~UdpLink() override
    {
        if (fd_ >= 0)
            close(fd_);
    }

    std::string send(const std::vector<Packet>& packets) override
    {
        // A connected socket hears the port-unreachable answers that an
        // unconnected one would never be told of.
        if (fd_ < 0) {
            fd_ = socket(to_.storage.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (fd_ < 0)
                return because("cannot open a socket");
            if (connect(fd_, reinterpret_cast<const sockaddr*>(&to_.storage), to_.length) != 0) {
                const std::string why = because("cannot connect the socket");
                close(fd_);
                fd_ = -1;
                return why;
            }
        }
        // A refusal comes back after the datagram that met it, so the last
        // frame's answer is read before this frame goes: a refused port then
        // fails every frame, not every other one.
        std::string failure;
        int pending = 0;
        socklen_t length = sizeof pending;
        if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &pending, &length) == 0 && pending != 0) {
            errno = pending;
            failure = because("cannot send");
        }
        for (const Packet& packet : packets) {
            if (::send(fd_, packet.data(), packet.size(), 0) < 0 && failure.empty())
                failure = because("cannot send");
        }
        return failure;
    }

private:
    Address to_;
    int fd_ = -1;
};

// A byte stream that must stay whole: a frame half written when the far end
// slows down is finished before the next one starts, and the frames that come
// meanwhile are skipped.
class StreamLink : public Link {
public:
    ~StreamLink() override { drop(); }

    std::string send(const std::vector<Packet>& packets) override
    {
        std::string why;
        if (fd_ >= 0 && !stillOpen(why))
            drop();
        if (fd_ < 0 && !open(why))
            return why;
        if (!ready(why)) {
            if (!why.empty())
                drop();
            return why;
        }
        if (!flush(why)) {
            drop();
            return why;
        }
        if (sent_ < pending_.size())
            return {};
        pending_.clear();
        sent_ = 0;
        for (const Packet& packet : packets)
            pending_.insert(pending_.end(), packet.begin(), packet.end());
        if (!flush(why)) {
            drop();
            return why;
        }
        return {};
    }

protected:
    // Opens fd_, or says why not.
    virtual bool open(std::string& why) = 0;
    // False (with the reason) while the stream cannot take bytes yet; false
    // with no reason while it is still on its way to being ready.
    virtual bool ready(std::string&) { return true; }
    // False when the far end has gone since the last frame.
    virtual bool stillOpen(std::string&) { return true; }

    void drop()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
        pending_.clear();
        sent_ = 0;
    }

    int fd_ = -1;

private:
    bool flush(std::string& why)
    {
        while (sent_ < pending_.size()) {
            const ssize_t n = write(fd_, pending_.data() + sent_, pending_.size() - sent_);
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR)
                    return true;
                why = because("cannot write");
                return false;
            }
            sent_ += static_cast<std::size_t>(n);
        }
        return true;
    }

    std::vector<uint8_t> pending_;
    std::size_t sent_ = 0;
};

class TcpLink : public StreamLink {
public:
    explicit TcpLink(const Address& to) : to_(to) {}

protected:
    bool open(std::string& why) override
    {
        fd_ = socket(to_.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            why = because("cannot open a socket");
            return false;
        }
        const int on = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        connecting_ = connect(fd_, reinterpret_cast<const sockaddr*>(&to_.storage), to_.length) != 0;
        if (connecting_ && errno != EINPROGRESS) {
            why = because("cannot connect");
            drop();
            return false;
        }
        connectStarted_ = Clock::now();
        return true;
    }

    bool ready(std::string& why) override
    {
        if (!connecting_)
            return true;
        pollfd p{fd_, POLLOUT, 0};
        if (poll(&p, 1, 0) == 0) {
            if (Clock::now() - connectStarted_ < kConnectTimeout)
                return false;
            errno = ETIMEDOUT;
            why = because("cannot connect");
            return false;
        }
        int error = 0;
        socklen_t length = sizeof error;
        getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) {
            errno = error;
            why = because("cannot connect");
            return false;
        }
        connecting_ = false;
        return true;
    }

    // A server says nothing back; anything readable is the end of the
    // connection, or an error, or bytes to throw away.
    bool stillOpen(std::string& why) override
    {
        if (connecting_)
            return true;
        uint8_t discard[256];
        for (;;) {
            const ssize_t n = recv(fd_, discard, sizeof discard, MSG_DONTWAIT);
            if (n > 0)
                continue;
            if (n == 0) {
                why = "the server closed the connection";
                return false;
            }
            if (errno == EAGAIN || errno == EINTR)
                return true;
            why = because("connection lost");
            return false;
        }
    }

private:
    Address to_;
    bool connecting_ = false;
    Clock::time_point connectStarted_;
};

class SerialLink : public StreamLink {
public:
    SerialLink(std::string device, speed_t baud) : device_(std::move(device)), baud_(baud) {}

protected:
    bool open(std::string& why) override
    {
        fd_ = ::open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) {
            why = because("cannot open");
            return false;
        }
        termios mode{};
        if (tcgetattr(fd_, &mode) != 0) {
            why = because("not a serial port");
            drop();
            return false;
        }
        cfmakeraw(&mode);
        mode.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | CRTSCTS | CSIZE | PARENB);
        mode.c_cflag |= CS8 | CLOCAL | CREAD;
        if (cfsetispeed(&mode, baud_) != 0 || cfsetospeed(&mode, baud_) != 0 || tcsetattr(fd_, TCSANOW, &mode) != 0) {
            why = because("cannot set the line");
            drop();
            return false;
        }
        return true;
    }

private:
    std::string device_;
    speed_t baud_;
};

}  // namespace

bool resolve(const std::string& host, unsigned port, int type, bool passive, Address& address, std::string& error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = type;
    hints.ai_flags = AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
    addrinfo* found = nullptr;
    const int status = getaddrinfo(host.empty() ? nullptr : host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (status != 0 || !found) {
        error = gai_strerror(status);
        return false;
    }
    const addrinfo* chosen = found;
    for (const addrinfo* entry = found; entry; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET) {
            chosen = entry;
            break;
        }
    }
    std::memcpy(&address.storage, chosen->ai_addr, chosen->ai_addrlen);
    address.length = chosen->ai_addrlen;
    freeaddrinfo(found);
    return true;
}

std::unique_ptr<Link> udpLink(const Address& to)
{
    return std::make_unique<UdpLink>(to);
}

std::unique_ptr<Link> tcpLink(const Address& to)
{
    return std::make_unique<TcpLink>(to);
}

std::unique_ptr<Link> serialLink(const std::string& device, speed_t baud)
{
    return std::make_unique<SerialLink>(device, baud);
}

}  // namespace strip
