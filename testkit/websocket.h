#pragma once

// A WebSocket client and a plain HTTP/1.1 client on 127.0.0.1, for the tests
// and benchmarks of cubeweb: blocking POSIX sockets, one connection each.
//
//   testsupport::WebSocketClient ws(port, "/ws", {{"Origin", "http://127.0.0.1:8080"}});
//   ASSERT_EQ(ws.status(), 101);
//   auto message = ws.read(5s);          // nothing at the deadline
//   ws.sendText("{}");
//
//   auto reply = testsupport::httpRequest(port, "GET", "/api/state");
//   EXPECT_EQ(reply.status, 200);
//
// Either throws std::runtime_error when the socket fails.

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpResponse {
    int status = 0;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
};

// One request with "Connection: close"; the answer is read to its end.
HttpResponse httpRequest(uint16_t port, const std::string& method, const std::string& path,
                         const HttpHeaders& headers = {}, const std::string& body = {});

namespace websocket {

enum class Opcode : uint8_t { continuation = 0x0, text = 0x1, binary = 0x2, close = 0x8, ping = 0x9, pong = 0xA };

using Bytes = std::vector<uint8_t>;
using MaskKey = std::array<uint8_t, 4>;

struct Frame {
    bool fin = true;
    Opcode opcode = Opcode::binary;
    Bytes payload;  // unmasked
};

// A frame's bytes, masked with `mask` when given, as a client sends.
Bytes encodeFrame(const Frame& frame, const std::optional<MaskKey>& mask = std::nullopt);
// The frame at the front of `bytes`, unmasked, with `used` set to its size;
// nothing while it is not whole.
std::optional<Frame> decodeFrame(const Bytes& bytes, std::size_t& used);

// Sec-WebSocket-Accept for a Sec-WebSocket-Key.
std::string acceptKey(const std::string& key);
std::string base64(const Bytes& bytes);
std::array<uint8_t, 20> sha1(const std::string& text);

}  // namespace websocket

class WebSocketClient {
public:
    struct Message {
        websocket::Opcode opcode = websocket::Opcode::binary;  // text, binary or close
        websocket::Bytes payload;
        std::string text() const { return {payload.begin(), payload.end()}; }
    };
    struct Options {
        // SO_RCVBUF in bytes, 0 for the system's: a small one makes a
        // client that stops reading stall the sender quickly.
        int receiveBuffer = 0;
    };

    // Connects and sends the upgrade request with `headers` added. The
    // answer's status and headers are kept; only after 101 with the right
    // Sec-WebSocket-Accept do messages flow (open()).
    WebSocketClient(uint16_t port, const std::string& path, const HttpHeaders& headers = {});
    WebSocketClient(uint16_t port, const std::string& path, const HttpHeaders& headers, Options options);
    ~WebSocketClient();
    WebSocketClient(const WebSocketClient&) = delete;
    WebSocketClient& operator=(const WebSocketClient&) = delete;

    int status() const { return status_; }
    const std::map<std::string, std::string>& headers() const { return headers_; }
    const std::string& body() const { return body_; }  // what followed an answer that is not 101
    bool open() const { return open_; }

    // The next text or binary message, its fragments joined, answering pings
    // on the way; a close frame is answered and returned as a message of
    // opcode close. Nothing at the deadline or once closed.
    std::optional<Message> read(std::chrono::milliseconds deadline);
    void sendText(const std::string& text);
    // Sends a close frame and waits up to `deadline` for the server's.
    void close(std::chrono::milliseconds deadline = std::chrono::seconds(1));

private:
    void handshake(uint16_t port, const std::string& path, const HttpHeaders& headers);
    void send(const websocket::Frame& frame);
    bool fill(std::chrono::steady_clock::time_point until);  // false at the deadline or the end
    std::optional<websocket::Frame> nextFrame(std::chrono::steady_clock::time_point until);

    int fd_ = -1;
    int status_ = 0;
    bool open_ = false;
    bool closeSent_ = false;
    std::map<std::string, std::string> headers_;
    std::string body_;
    websocket::Bytes pending_;       // received, not yet decoded
    std::optional<Message> partial_;  // the fragments of a message so far
    uint32_t maskSeed_ = 0;
};

}  // namespace testsupport
