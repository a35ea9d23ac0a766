#pragma once

// The transports that carry a frame's packets to a controller. None of them
// ever blocks: a controller that is slow, gone or not there yet costs the
// frames it misses, never the channel's pace.

#include "net/protocols.h"

#include <memory>
#include <string>
#include <sys/socket.h>
#include <termios.h>
#include <vector>

namespace strip {

class Link {
public:
    virtual ~Link() = default;
    // Sends one frame's packets. Returns "" once they are on their way (or
    // the frame is skipped for a controller still busy with the last one),
    // otherwise why they could not go; the next frame tries again.
    virtual std::string send(const std::vector<Packet>& packets) = 0;
};

struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;
};

// The address of `host` at `port` for sockets of `type` (SOCK_DGRAM,
// SOCK_STREAM); with `passive` and no host, every local address. A name with
// both an IPv4 and an IPv6 address, as "localhost" has, gives the IPv4 one,
// so that a sender and a listener named by it meet. False, with `error`
// saying why, when it cannot be resolved.
bool resolve(const std::string& host, unsigned port, int type, bool passive, Address& address, std::string& error);

// Datagrams to one address. A port that refuses them shows on a later send.
std::unique_ptr<Link> udpLink(const Address& to);
// A TCP connection, made again whenever it is lost.
std::unique_ptr<Link> tcpLink(const Address& to);
// A serial port in raw mode, 8N1, opened again whenever it is lost.
std::unique_ptr<Link> serialLink(const std::string& device, speed_t baud);

}  // namespace strip
