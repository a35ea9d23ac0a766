// The tests' WebSocket and HTTP client: its frames against the examples of
// RFC 6455 (5.7), its accept key against the RFC's handshake (1.3), and a
// whole conversation with a scripted server on 127.0.0.1.

#include "testkit/websocket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using testsupport::WebSocketClient;
using testsupport::websocket::Bytes;
using testsupport::websocket::decodeFrame;
using testsupport::websocket::encodeFrame;
using testsupport::websocket::Frame;
using testsupport::websocket::MaskKey;
using testsupport::websocket::Opcode;

constexpr auto kDeadline = 10s;  // a scripted answer normally takes microseconds
const Bytes kHello{'H', 'e', 'l', 'l', 'o'};
constexpr MaskKey kRfcMask{0x37, 0xfa, 0x21, 0x3d};

Bytes withHeader(Bytes header, std::size_t size)
{
    header.resize(header.size() + size, 0);
    return header;
}

TEST(WebSocketFrameTest, EncodesTheRfcExamples)
{
    EXPECT_EQ(encodeFrame({true, Opcode::text, kHello}), (Bytes{0x81, 0x05, 0x48, 0x65, 0x6c, 0x6c, 0x6f}));
    EXPECT_EQ(encodeFrame({true, Opcode::text, kHello}, kRfcMask),
              (Bytes{0x81, 0x85, 0x37, 0xfa, 0x21, 0x3d, 0x7f, 0x9f, 0x4d, 0x51, 0x58}));
    EXPECT_EQ(encodeFrame({false, Opcode::text, {'H', 'e', 'l'}}), (Bytes{0x01, 0x03, 0x48, 0x65, 0x6c}));
    EXPECT_EQ(encodeFrame({true, Opcode::continuation, {'l', 'o'}}), (Bytes{0x80, 0x02, 0x6c, 0x6f}));
    EXPECT_EQ(encodeFrame({true, Opcode::ping, kHello}), (Bytes{0x89, 0x05, 0x48, 0x65, 0x6c, 0x6c, 0x6f}));
    EXPECT_EQ(encodeFrame({true, Opcode::pong, kHello}, kRfcMask),
              (Bytes{0x8a, 0x85, 0x37, 0xfa, 0x21, 0x3d, 0x7f, 0x9f, 0x4d, 0x51, 0x58}));
}

TEST(WebSocketFrameTest, EncodesLongLengthsIn16And64Bits)
{
    EXPECT_EQ(encodeFrame({true, Opcode::binary, Bytes(256)}), withHeader({0x82, 0x7E, 0x01, 0x00}, 256));
    EXPECT_EQ(encodeFrame({true, Opcode::binary, Bytes(65536)}),
              withHeader({0x82, 0x7F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00}, 65536));
    EXPECT_EQ(encodeFrame({true, Opcode::binary, Bytes(125)})[1], 125);  // the longest short length
}

TEST(WebSocketFrameTest, DecodesMaskedAndLongFramesWhole)
{
    std::size_t used = 0;
    const auto masked = decodeFrame({0x81, 0x85, 0x37, 0xfa, 0x21, 0x3d, 0x7f, 0x9f, 0x4d, 0x51, 0x58, 0xEE}, used);
    ASSERT_TRUE(masked);
    EXPECT_TRUE(masked->fin);
    EXPECT_EQ(masked->opcode, Opcode::text);
    EXPECT_EQ(masked->payload, kHello);
    EXPECT_EQ(used, 11U);  // not the byte after it

    const auto fragment = decodeFrame({0x01, 0x03, 0x48, 0x65, 0x6c}, used);
    ASSERT_TRUE(fragment);
    EXPECT_FALSE(fragment->fin);

    Bytes payload(65536);
    payload.back() = 7;
    const auto long64 = decodeFrame(encodeFrame({true, Opcode::binary, payload}), used);
    ASSERT_TRUE(long64);
    EXPECT_EQ(long64->payload, payload);
    EXPECT_EQ(used, 65536U + 10U);
}

TEST(WebSocketFrameTest, WaitsForAFrameCutShort)
{
    const Bytes whole = encodeFrame({true, Opcode::binary, Bytes(300)}, kRfcMask);
    std::size_t used = 0;
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{7}, whole.size() - 1})
        EXPECT_FALSE(decodeFrame(Bytes(whole.begin(), whole.begin() + static_cast<long>(size)), used)) << size;
}

TEST(WebSocketHandshakeTest, AcceptKeyIsTheRfcExample)
{
    EXPECT_EQ(testsupport::websocket::acceptKey("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(WebSocketHandshakeTest, Sha1AndBase64GiveThePublishedValues)
{
    const auto abc = testsupport::websocket::sha1("abc");
    EXPECT_EQ(testsupport::websocket::base64(Bytes(abc.begin(), abc.end())), "qZk+NkcGgWq6PiVxeFDCbJzQ2J0=");
    const auto twoBlocks = testsupport::websocket::sha1("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq");
    EXPECT_EQ(twoBlocks[0], 0x84);
    EXPECT_EQ(twoBlocks[19], 0xf1);
    const std::vector<std::pair<std::string, std::string>> rfc4648{
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
    for (const auto& [text, encoded] : rfc4648)
        EXPECT_EQ(testsupport::websocket::base64(Bytes(text.begin(), text.end())), encoded) << text;
}

// One connection on 127.0.0.1, answered by the test's script.
class ScriptedServer {
public:
    ScriptedServer()
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(listener_, 1) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            throw std::runtime_error("cannot listen on 127.0.0.1");
        port_ = ntohs(address.sin_port);
    }
    ~ScriptedServer()
    {
        if (connection_ >= 0)
            ::close(connection_);
        ::close(listener_);
    }
    uint16_t port() const { return port_; }

    // Accepts and returns the request's head and whatever body came with it.
    std::string acceptRequest(std::size_t bodySize = 0)
    {
        connection_ = ::accept(listener_, nullptr, nullptr);
        std::string text;
        while (text.find("\r\n\r\n") == std::string::npos ||
               text.size() < text.find("\r\n\r\n") + 4 + bodySize)
            text += receive();
        return text;
    }
    void write(const std::string& text) const { ::send(connection_, text.data(), text.size(), MSG_NOSIGNAL); }
    void write(const Bytes& bytes) const { ::send(connection_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    void hangUp()
    {
        ::close(connection_);
        connection_ = -1;
    }
    // The client's next frame, unmasked.
    Frame readFrame()
    {
        for (;;) {
            std::size_t used = 0;
            if (auto frame = decodeFrame(pending_, used)) {
                EXPECT_TRUE(pending_[1] & 0x80) << "a client's frame is masked";
                pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(used));
                return *frame;
            }
            const std::string more = receive();
            pending_.insert(pending_.end(), more.begin(), more.end());
        }
    }

private:
    std::string receive()
    {
        pollfd poller{connection_, POLLIN, 0};
        char chunk[4096];
        const ssize_t got = ::poll(&poller, 1, static_cast<int>(std::chrono::milliseconds(kDeadline).count())) == 1
                                ? ::recv(connection_, chunk, sizeof chunk, 0)
                                : -1;
        if (got <= 0)
            throw std::runtime_error("the client said nothing more");
        return std::string(chunk, static_cast<std::size_t>(got));
    }

    int listener_ = -1, connection_ = -1;
    uint16_t port_ = 0;
    Bytes pending_;
};

std::string headerValue(const std::string& head, const std::string& name)
{
    const auto at = head.find(name + ": ");
    return at == std::string::npos ? "" : head.substr(at + name.size() + 2, head.find("\r\n", at) - at - name.size() - 2);
}

std::string upgradeAnswer(const std::string& request)
{
    return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Accept: " +
           testsupport::websocket::acceptKey(headerValue(request, "Sec-WebSocket-Key")) + "\r\n\r\n";
}

TEST(WebSocketClientTest, JoinsFragmentsAnswersPingsAndCloses)
{
    ScriptedServer server;
    std::string request;
    std::thread script([&] {
        request = server.acceptRequest();
        // The first frames come in the same write as the answer's head.
        Bytes frames = encodeFrame({false, Opcode::text, {'H', 'e', 'l'}});
        for (const Frame& next : {Frame{true, Opcode::ping, {'p'}}, Frame{true, Opcode::continuation, {'l', 'o'}},
                                  Frame{true, Opcode::binary, Bytes(256, 9)}}) {
            const Bytes bytes = encodeFrame(next);
            frames.insert(frames.end(), bytes.begin(), bytes.end());
        }
        const std::string head = upgradeAnswer(request);
        Bytes answer(head.begin(), head.end());
        answer.insert(answer.end(), frames.begin(), frames.end());
        server.write(answer);
        const Frame pong = server.readFrame();
        EXPECT_EQ(pong.opcode, Opcode::pong);
        EXPECT_EQ(pong.payload, Bytes{'p'});
        const Frame text = server.readFrame();
        EXPECT_EQ(text.opcode, Opcode::text);
        EXPECT_EQ(text.payload, (Bytes{'h', 'i'}));
        server.write(encodeFrame({true, Opcode::close, {0x03, 0xE8}}));
        EXPECT_EQ(server.readFrame().opcode, Opcode::close);
    });
    WebSocketClient client(server.port(), "/ws?token=t", {{"Origin", "http://127.0.0.1"}});
    EXPECT_EQ(client.status(), 101);
    ASSERT_TRUE(client.open());
    const auto hello = client.read(kDeadline);
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->opcode, Opcode::text);
    EXPECT_EQ(hello->text(), "Hello");
    const auto binary = client.read(kDeadline);
    ASSERT_TRUE(binary);
    EXPECT_EQ(binary->payload, Bytes(256, 9));
    client.sendText("hi");
    const auto close = client.read(kDeadline);
    ASSERT_TRUE(close);
    EXPECT_EQ(close->opcode, Opcode::close);
    EXPECT_EQ(close->payload, (Bytes{0x03, 0xE8}));
    EXPECT_FALSE(client.open());
    script.join();
    EXPECT_TRUE(request.starts_with("GET /ws?token=t HTTP/1.1\r\n")) << request;
    EXPECT_EQ(headerValue(request, "Origin"), "http://127.0.0.1");
    EXPECT_EQ(headerValue(request, "Sec-WebSocket-Version"), "13");
    EXPECT_EQ(headerValue(request, "Upgrade"), "websocket");
}

TEST(WebSocketClientTest, KeepsARefusalsStatusAndBody)
{
    ScriptedServer server;
    std::thread script([&] {
        server.acceptRequest();
        server.write(std::string("HTTP/1.1 403 Forbidden\r\nContent-Type: application/json\r\n"
                                 "Content-Length: 19\r\n\r\n{\"error\":\"origin\"}\n"));
    });
    WebSocketClient client(server.port(), "/ws");
    script.join();
    EXPECT_EQ(client.status(), 403);
    EXPECT_FALSE(client.open());
    EXPECT_EQ(client.headers().at("content-type"), "application/json");
    EXPECT_EQ(client.body(), "{\"error\":\"origin\"}\n");
    EXPECT_FALSE(client.read(kDeadline));
}

TEST(WebSocketClientTest, RefusesAWrongAcceptKey)
{
    ScriptedServer server;
    std::thread script([&] {
        server.acceptRequest();
        server.write(std::string("HTTP/1.1 101 Switching Protocols\r\nSec-WebSocket-Accept: wrong\r\n\r\n"));
    });
    WebSocketClient client(server.port(), "/ws");
    script.join();
    EXPECT_EQ(client.status(), 101);
    EXPECT_FALSE(client.open());
}

TEST(HttpRequestTest, SendsTheBodyAndReadsAChunkedAnswer)
{
    ScriptedServer server;
    const std::string body = "{\"brightness\": 0.5}";
    std::string request;
    std::thread script([&] {
        request = server.acceptRequest(body.size());
        server.write(std::string("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                                 "4\r\n{\"a\"\r\n3\r\n: 1\r\n1\r\n}\r\n0\r\n\r\n"));
        server.hangUp();
    });
    const auto reply = testsupport::httpRequest(server.port(), "POST", "/api/brightness",
                                                {{"Content-Type", "application/json"}}, body);
    script.join();
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "{\"a\": 1}");
    EXPECT_TRUE(request.starts_with("POST /api/brightness HTTP/1.1\r\n")) << request;
    EXPECT_EQ(headerValue(request, "Connection"), "close");
    EXPECT_EQ(headerValue(request, "Content-Length"), std::to_string(body.size()));
    EXPECT_TRUE(request.ends_with("\r\n\r\n" + body)) << request;
}

TEST(HttpRequestTest, ReadsTheStatusHeadersAndBody)
{
    ScriptedServer server;
    std::thread script([&] {
        server.acceptRequest();
        server.write(std::string("HTTP/1.1 404 Not Found\r\nContent-Length: 2\r\n\r\n{}"));
        server.hangUp();
    });
    const auto reply = testsupport::httpRequest(server.port(), "GET", "/nothing");
    script.join();
    EXPECT_EQ(reply.status, 404);
    EXPECT_EQ(reply.headers.at("content-length"), "2");
    EXPECT_EQ(reply.body, "{}");
}

}  // namespace
