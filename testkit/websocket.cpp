#include "testkit/websocket.h"

#include <algorithm>
#include <utility>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;
using websocket::Bytes;
using websocket::Frame;
using websocket::Opcode;

// An answer normally takes milliseconds; this only ends a test that hangs.
constexpr auto kAnswerDeadline = std::chrono::seconds(30);
constexpr std::size_t kChunk = 65536;
constexpr int kSwitchingProtocols = 101;
constexpr const char* kHeaderEnd = "\r\n\r\n";
constexpr std::size_t kKeyBytes = 16;
// RFC 6455's fixed text that the server appends to the key before hashing.
constexpr const char* kAcceptGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

[[noreturn]] void failSystem(const std::string& what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

int connectTo(uint16_t port, int receiveBuffer)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        failSystem("socket");
    // Before connecting, so that the window offered to the server is small.
    if (receiveBuffer > 0 && ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer) != 0)
        failSystem("SO_RCVBUF");
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        failSystem("connect to 127.0.0.1:" + std::to_string(port));
    }
    return fd;
}

void sendAll(int fd, const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t sent = ::send(fd, bytes, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0)
            failSystem("send");
        bytes += sent;
        size -= static_cast<std::size_t>(sent);
    }
}

// Appends what arrives by `until` to `into`: false at the deadline or when
// the peer has closed.
bool receiveSome(int fd, Bytes& into, Clock::time_point until)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    pollfd poller{fd, POLLIN, 0};
    const int ready = ::poll(&poller, 1, static_cast<int>(std::max<long long>(0, left)));
    if (ready < 0 && errno != EINTR)
        failSystem("poll");
    if (ready <= 0)
        return false;
    uint8_t chunk[kChunk];
    const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
    if (got < 0 && (errno == EINTR || errno == EAGAIN))
        return true;
    if (got < 0 && errno != ECONNRESET)
        failSystem("recv");
    if (got <= 0)
        return false;
    into.insert(into.end(), chunk, chunk + got);
    return true;
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string trimmed(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t");
    const auto last = text.find_last_not_of(" \t");
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

// "HTTP/1.1 101 Switching Protocols\r\nName: value\r\n...": the status and
// the headers, from the head without its blank line.
int parseHead(const std::string& head, std::map<std::string, std::string>& headers)
{
    std::size_t at = head.find("\r\n");
    const std::string statusLine = head.substr(0, at);
    const auto space = statusLine.find(' ');
    if (!statusLine.starts_with("HTTP/1.") || space == std::string::npos)
        throw std::runtime_error("not an HTTP answer: " + statusLine);
    const int status = std::stoi(statusLine.substr(space + 1, 3));
    while (at != std::string::npos) {
        const std::size_t start = at + 2;
        at = head.find("\r\n", start);
        const std::string line = head.substr(start, at == std::string::npos ? std::string::npos : at - start);
        const auto colon = line.find(':');
        if (colon != std::string::npos)
            headers[lower(trimmed(line.substr(0, colon)))] = trimmed(line.substr(colon + 1));
    }
    return status;
}

// A body sent in chunks: "SIZE-IN-HEX\r\nDATA\r\n" ... "0\r\n\r\n".
std::string unchunked(const std::string& body)
{
    std::string data;
    std::size_t at = 0;
    for (;;) {
        const auto lineEnd = body.find("\r\n", at);
        if (lineEnd == std::string::npos)
            throw std::runtime_error("chunked body cut short");
        const std::size_t size = std::stoul(body.substr(at, lineEnd - at), nullptr, 16);
        if (size == 0)
            return data;
        data += body.substr(lineEnd + 2, size);
        at = lineEnd + 2 + size + 2;
    }
}

std::string requestHead(const std::string& method, const std::string& path, uint16_t port,
                        const HttpHeaders& headers)
{
    std::string head = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n";
    for (const auto& [name, value] : headers)
        head += name + ": " + value + "\r\n";
    return head;
}

// Takes the head off the front of `received` once whole.
std::optional<std::string> takeHead(Bytes& received)
{
    const std::string text(received.begin(), received.end());
    const auto end = text.find(kHeaderEnd);
    if (end == std::string::npos)
        return std::nullopt;
    received.erase(received.begin(), received.begin() + static_cast<long>(end + std::strlen(kHeaderEnd)));
    return text.substr(0, end);
}

uint32_t rotl(uint32_t value, int bits)
{
    return (value << bits) | (value >> (32 - bits));
}

}  // namespace

HttpResponse httpRequest(uint16_t port, const std::string& method, const std::string& path,
                         const HttpHeaders& headers, const std::string& body)
{
    const int fd = connectTo(port, 0);
    std::string request = requestHead(method, path, port, headers);
    request += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    Bytes received;
    try {
        sendAll(fd, request.data(), request.size());
        const auto until = Clock::now() + kAnswerDeadline;
        while (receiveSome(fd, received, until)) {
        }
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
    HttpResponse response;
    const auto head = takeHead(received);
    if (!head)
        throw std::runtime_error(method + " " + path + ": no whole answer");
    response.status = parseHead(*head, response.headers);
    response.body.assign(received.begin(), received.end());
    if (lower(response.headers["transfer-encoding"]) == "chunked")
        response.body = unchunked(response.body);
    else if (response.headers.contains("content-length"))
        response.body.resize(std::min(response.body.size(), std::stoul(response.headers["content-length"])));
    return response;
}

namespace websocket {

// A frame on the wire (RFC 6455, 5.2), most significant bit first:
//
//   byte 0     FIN (0x80), three reserved bits, the opcode (low 4 bits)
//   byte 1     MASK (0x80), the length L (low 7 bits): 0..125 the payload's
//              length; 126: a 16-bit length follows; 127: a 64-bit one
//   then       the extended length, big-endian, if any
//   then       the masking key, 4 bytes, if MASK (a client's frames)
//   then       the payload, byte i XORed with key[i % 4] when masked
namespace wire {
constexpr uint8_t kFin = 0x80, kOpcodeBits = 0x0F, kMasked = 0x80, kLengthBits = 0x7F;
constexpr uint8_t kLength16 = 126, kLength64 = 127;
constexpr std::size_t kMaxShortLength = 125, kMax16 = 0xFFFF;
constexpr int kLength16Bytes = 2, kLength64Bytes = 8;
}  // namespace wire

Bytes encodeFrame(const Frame& frame, const std::optional<MaskKey>& mask)
{
    Bytes bytes{static_cast<uint8_t>((frame.fin ? wire::kFin : 0) | static_cast<uint8_t>(frame.opcode))};
    const uint8_t maskBit = mask ? wire::kMasked : 0;
    const std::size_t size = frame.payload.size();
    int lengthBytes = 0;
    if (size <= wire::kMaxShortLength) {
        bytes.push_back(static_cast<uint8_t>(maskBit | size));
    } else {
        const bool fits16 = size <= wire::kMax16;
        bytes.push_back(maskBit | (fits16 ? wire::kLength16 : wire::kLength64));
        lengthBytes = fits16 ? wire::kLength16Bytes : wire::kLength64Bytes;
    }
    for (int shift = 8 * (lengthBytes - 1); shift >= 0; shift -= 8)
        bytes.push_back(static_cast<uint8_t>(static_cast<uint64_t>(size) >> shift));
    if (mask)
        bytes.insert(bytes.end(), mask->begin(), mask->end());
    for (std::size_t i = 0; i < size; ++i)
        bytes.push_back(mask ? frame.payload[i] ^ (*mask)[i % mask->size()] : frame.payload[i]);
    return bytes;
}

std::optional<Frame> decodeFrame(const Bytes& bytes, std::size_t& used)
{
    constexpr std::size_t kBase = 2;
    if (bytes.size() < kBase)
        return std::nullopt;
    Frame frame;
    frame.fin = (bytes[0] & wire::kFin) != 0;
    frame.opcode = static_cast<Opcode>(bytes[0] & wire::kOpcodeBits);
    const bool masked = (bytes[1] & wire::kMasked) != 0;
    const uint8_t shortLength = bytes[1] & wire::kLengthBits;
    const int lengthBytes = shortLength == wire::kLength16   ? wire::kLength16Bytes
                            : shortLength == wire::kLength64 ? wire::kLength64Bytes
                                                             : 0;
    std::size_t at = kBase + static_cast<std::size_t>(lengthBytes);
    const std::size_t keyAt = at;
    if (masked)
        at += std::tuple_size_v<MaskKey>;
    if (bytes.size() < at)
        return std::nullopt;
    uint64_t size = lengthBytes == 0 ? shortLength : 0;
    for (int i = 0; i < lengthBytes; ++i)
        size = (size << 8) | bytes[kBase + static_cast<std::size_t>(i)];
    if (bytes.size() - at < size)
        return std::nullopt;
    frame.payload.assign(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + size));
    if (masked)
        for (std::size_t i = 0; i < frame.payload.size(); ++i)
            frame.payload[i] ^= bytes[keyAt + i % std::tuple_size_v<MaskKey>];
    used = at + size;
    return frame;
}

std::array<uint8_t, 20> sha1(const std::string& text)
{
    // FIPS 180-4: 512-bit blocks, the message padded with 0x80, zeros and
    // its length in bits as 64 bits big-endian.
    constexpr std::size_t kBlock = 64;
    constexpr int kRounds = 80, kWords = 16;
    Bytes message(text.begin(), text.end());
    const uint64_t bits = static_cast<uint64_t>(message.size()) * 8;
    message.push_back(0x80);
    while (message.size() % kBlock != kBlock - 8)
        message.push_back(0);
    for (int shift = 56; shift >= 0; shift -= 8)
        message.push_back(static_cast<uint8_t>(bits >> shift));

    std::array<uint32_t, 5> h{0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    for (std::size_t block = 0; block < message.size(); block += kBlock) {
        std::array<uint32_t, kRounds> w{};
        for (int i = 0; i < kWords; ++i) {
            const uint8_t* p = &message[block + 4 * static_cast<std::size_t>(i)];
            w[i] = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
        }
        for (int i = kWords; i < kRounds; ++i)
            w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
        for (int i = 0; i < kRounds; ++i) {
            uint32_t f = 0, k = 0;
            if (i < 20) {
                f = (b & c) | (~b & d), k = 0x5A827999;
            } else if (i < 40) {
                f = b ^ c ^ d, k = 0x6ED9EBA1;
            } else if (i < 60) {
                f = (b & c) | (b & d) | (c & d), k = 0x8F1BBCDC;
            } else {
                f = b ^ c ^ d, k = 0xCA62C1D6;
            }
            const uint32_t next = rotl(a, 5) + f + e + k + w[i];
            e = d, d = c, c = rotl(b, 30), b = a, a = next;
        }
        h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e;
    }
    std::array<uint8_t, 20> digest{};
    for (std::size_t i = 0; i < digest.size(); ++i)
        digest[i] = static_cast<uint8_t>(h[i / 4] >> (24 - 8 * (i % 4)));
    return digest;
}

std::string base64(const Bytes& bytes)
{
    constexpr const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        uint32_t group = uint32_t{bytes[i]} << 16;
        if (n > 1)
            group |= uint32_t{bytes[i + 1]} << 8;
        if (n > 2)
            group |= bytes[i + 2];
        for (std::size_t j = 0; j < 4; ++j)
            text += j <= n ? kAlphabet[(group >> (18 - 6 * j)) & 0x3F] : '=';
    }
    return text;
}

std::string acceptKey(const std::string& key)
{
    const auto digest = sha1(key + kAcceptGuid);
    return base64(Bytes(digest.begin(), digest.end()));
}

}  // namespace websocket

WebSocketClient::WebSocketClient(uint16_t port, const std::string& path, const HttpHeaders& headers)
    : WebSocketClient(port, path, headers, Options{})
{
}

WebSocketClient::WebSocketClient(uint16_t port, const std::string& path, const HttpHeaders& headers,
                                 Options options)
    : fd_(connectTo(port, options.receiveBuffer)), maskSeed_(std::random_device{}())
{
    try {
        handshake(port, path, headers);
    } catch (...) {
        ::close(fd_);
        throw;
    }
}

WebSocketClient::~WebSocketClient()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void WebSocketClient::handshake(uint16_t port, const std::string& path, const HttpHeaders& headers)
{
    std::mt19937 random(maskSeed_);
    Bytes nonce(kKeyBytes);
    for (uint8_t& byte : nonce)
        byte = static_cast<uint8_t>(random());
    const std::string key = websocket::base64(nonce);
    std::string request = requestHead("GET", path, port, headers);
    request += "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + key +
               "\r\nSec-WebSocket-Version: 13\r\n\r\n";
    sendAll(fd_, request.data(), request.size());

    const auto until = Clock::now() + kAnswerDeadline;
    std::optional<std::string> head;
    while (!(head = takeHead(pending_)))
        if (!receiveSome(fd_, pending_, until))
            throw std::runtime_error("GET " + path + ": no whole answer to the upgrade");
    status_ = parseHead(*head, headers_);
    open_ = status_ == kSwitchingProtocols && headers_["sec-websocket-accept"] == websocket::acceptKey(key);
    if (open_)
        return;
    // A refusal: its body, as far as it is said to go.
    const std::size_t length = headers_.contains("content-length") ? std::stoul(headers_["content-length"]) : 0;
    while (pending_.size() < length && receiveSome(fd_, pending_, until)) {
    }
    body_.assign(pending_.begin(), pending_.begin() + static_cast<long>(std::min(length, pending_.size())));
}

void WebSocketClient::send(const Frame& frame)
{
    websocket::MaskKey mask{};
    for (uint8_t& byte : mask) {
        maskSeed_ = maskSeed_ * 1664525u + 1013904223u;  // a plain LCG: masks need no secrecy here
        byte = static_cast<uint8_t>(maskSeed_ >> 24);
    }
    const Bytes bytes = websocket::encodeFrame(frame, mask);
    sendAll(fd_, bytes.data(), bytes.size());
}

bool WebSocketClient::fill(Clock::time_point until)
{
    return receiveSome(fd_, pending_, until);
}

std::optional<Frame> WebSocketClient::nextFrame(Clock::time_point until)
{
    for (;;) {
        std::size_t used = 0;
        if (auto frame = websocket::decodeFrame(pending_, used)) {
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(used));
            return frame;
        }
        if (!fill(until))
            return std::nullopt;
    }
}

std::optional<WebSocketClient::Message> WebSocketClient::read(std::chrono::milliseconds deadline)
{
    if (!open_)
        return std::nullopt;
    const auto until = Clock::now() + deadline;
    std::optional<Message>& message = partial_;
    while (auto frame = nextFrame(until)) {
        switch (frame->opcode) {
        case Opcode::ping:
            send({true, Opcode::pong, frame->payload});
            continue;
        case Opcode::pong:
            continue;
        case Opcode::close:
            if (!closeSent_)
                send({true, Opcode::close, frame->payload});
            closeSent_ = true;
            open_ = false;
            return Message{Opcode::close, std::move(frame->payload)};
        case Opcode::continuation:
            if (!message)
                throw std::runtime_error("a continuation frame with no message begun");
            break;
        default:
            if (message)
                throw std::runtime_error("a new message before the last one's final fragment");
            message = Message{frame->opcode, {}};
        }
        message->payload.insert(message->payload.end(), frame->payload.begin(), frame->payload.end());
        if (frame->fin)
            return std::exchange(message, std::nullopt);
    }
    return std::nullopt;
}

void WebSocketClient::sendText(const std::string& text)
{
    send({true, Opcode::text, Bytes(text.begin(), text.end())});
}

void WebSocketClient::close(std::chrono::milliseconds deadline)
{
    if (open_ && !closeSent_) {
        send({true, Opcode::close, {}});
        closeSent_ = true;
        const auto until = Clock::now() + deadline;
        while (auto frame = nextFrame(until))
            if (frame->opcode == Opcode::close)
                break;
    }
    open_ = false;
    ::shutdown(fd_, SHUT_RDWR);
}

}  // namespace testsupport
