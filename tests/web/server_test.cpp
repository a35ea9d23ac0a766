// cubeweb5 as a real process on 127.0.0.1: the frames on its WebSocket byte
// for byte against what the test writes into the channel, the clients it
// takes, and every refusal of its API and its files.

#include "lbox/channel.h"
#include "testkit/support.h"
#include "testkit/websocket.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <regex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using testsupport::HttpHeaders;
using testsupport::HttpResponse;
using testsupport::WebSocketClient;
using json = nlohmann::json;

constexpr int kEdge = 5;
constexpr int kLeds = kEdge * kEdge * kEdge;
constexpr std::size_t kHeader = 6;
constexpr auto kDeadline = 20s;  // a message normally takes milliseconds
constexpr int kMaxClients = 32;

// cubeweb5 in a run directory of its own, up once it has printed its address.
// `env`, when given, is its whole environment.
class Cubeweb {
public:
    explicit Cubeweb(std::vector<std::string> extra = {},
                     const std::optional<std::vector<std::string>>& env = std::nullopt)
    {
        std::vector<std::string> argv{testsupport::binary("cubeweb5"), "--port", "0", "--dir", dir_.root(),
                                      "--recordings", dir_.root() + "/recordings"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        testsupport::Process::Options options = testsupport::Process::Options::in(dir_.root());
        options.env = env;
        process_ = std::make_unique<testsupport::Process>(argv, options);
        static const std::regex kAddress(R"(cubeweb5: http://127\.0\.0\.1:([0-9]+)/(\?token=\S+)?\n)");
        std::smatch match;
        const bool up = process_->waitForError("\n", kDeadline);
        const std::string err = process_->err();
        if (!up || !std::regex_search(err, match, kAddress))
            throw std::runtime_error("cubeweb5 did not start: " + err);
        port_ = static_cast<uint16_t>(std::stoi(match[1]));
        record_ = dir_.mapRecord();
    }

    uint16_t port() const { return port_; }
    testsupport::Process& process() { return *process_; }
    std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string recordings() const { return dir_.root() + "/recordings"; }

    HttpResponse request(const std::string& method, const std::string& path, const std::string& body = {},
                         HttpHeaders headers = {}) const
    {
        if (!body.empty())
            headers.emplace_back("Content-Type", "application/json");
        return testsupport::httpRequest(port_, method, path, headers, body);
    }

    // One code, as an animation writes it, once the last has been answered.
    void send(uint8_t code, const std::vector<queueEntry>& entries = {})
    {
        waitIdle();
        for (std::size_t slot = 0; slot < entries.size(); ++slot)
            channel::packEntry(record_, slot, entries[slot]);
        channel::storeStatus(record_, code);
    }

    // A whole picture: clear, the LEDs three at a time, release.
    void show(const std::vector<queueEntry>& leds)
    {
        send(channel::kStatusClear);
        for (std::size_t i = 0; i < leds.size(); i += channel::kMaxEntries) {
            const std::size_t n = std::min(channel::kMaxEntries, leds.size() - i);
            send(static_cast<uint8_t>(channel::kStatusBatchBase + n), {leds.begin() + i, leds.begin() + i + n});
        }
        send(channel::kStatusReleaseNoKeep);
        waitIdle();
    }

private:
    void waitIdle()
    {
        const auto end = std::chrono::steady_clock::now() + kDeadline;
        while (channel::loadStatus(record_) != channel::kStatusIdle) {
            if (std::chrono::steady_clock::now() > end)
                throw std::runtime_error("cubeweb5 did not answer the channel");
            std::this_thread::sleep_for(50us);
        }
    }

    testsupport::RunDir dir_;
    std::unique_ptr<testsupport::Process> process_;
    uint16_t port_ = 0;
    uint8_t* record_ = nullptr;
};

uint32_t frameNumber(const std::vector<uint8_t>& message)
{
    return uint32_t{message[2]} << 24 | uint32_t{message[3]} << 16 | uint32_t{message[4]} << 8 | message[5];
}

// The next frame message, skipping the state's text messages.
std::vector<uint8_t> nextFrame(WebSocketClient& client)
{
    for (;;) {
        auto message = client.read(kDeadline);
        if (!message)
            throw std::runtime_error("no frame came");
        if (message->opcode == testsupport::websocket::Opcode::binary)
            return message->payload;
    }
}

// Frames until the one numbered `number`.
std::vector<uint8_t> frameNumbered(WebSocketClient& client, uint32_t number)
{
    for (;;) {
        std::vector<uint8_t> frame = nextFrame(client);
        if (frameNumber(frame) >= number)
            return frame;
    }
}

json nextState(WebSocketClient& client)
{
    for (;;) {
        auto message = client.read(kDeadline);
        if (!message)
            throw std::runtime_error("no state came");
        if (message->opcode == testsupport::websocket::Opcode::text)
            return json::parse(message->text());
    }
}

std::string errorOf(const HttpResponse& response)
{
    return json::parse(response.body).value("error", "");
}

TEST(WebSocket, SendsTheStateAndTheUnlitCubeAtOnce)
{
    Cubeweb web;
    WebSocketClient client(web.port(), "/ws");
    ASSERT_EQ(client.status(), 101);
    const json state = nextState(client);
    EXPECT_EQ(state["edge"], kEdge);
    EXPECT_EQ(state["clients"], 1);
    EXPECT_TRUE(state["playing"].is_null());

    const std::vector<uint8_t> frame = nextFrame(client);
    std::vector<uint8_t> expected{1, kEdge, 0, 0, 0, 0};
    expected.resize(kHeader + kLeds * 3, 0);
    EXPECT_EQ(frame, expected);
}

TEST(WebSocket, CarriesEachFrameByteForByteInStripOrder)
{
    Cubeweb web;
    WebSocketClient client(web.port(), "/ws");
    ASSERT_EQ(frameNumber(nextFrame(client)), 0u);

    web.show({{1, 2, 3, {1.0f, 0.5f, 0.0f}}, {0, 0, 0, {0.2f, 0.4f, 0.6f}}, {4, 4, 4, {2.0f, -1.0f, 1.0f}}});
    const std::vector<uint8_t> frame = frameNumbered(client, 1);

    std::vector<uint8_t> expected{1, kEdge, 0, 0, 0, 1};
    expected.resize(kHeader + kLeds * 3, 0);
    const auto put = [&](int x, int y, int z, std::vector<uint8_t> rgb) {
        std::copy(rgb.begin(), rgb.end(), expected.begin() + kHeader + 3 * (x + kEdge * (y + kEdge * z)));
    };
    put(1, 2, 3, {255, 128, 0});
    put(0, 0, 0, {51, 102, 153});
    put(4, 4, 4, {255, 0, 255});
    EXPECT_EQ(frame, expected);
}

TEST(WebSocket, ALateClientGetsTheFrameOnShow)
{
    Cubeweb web;
    web.show({{2, 2, 2, {0.0f, 0.0f, 1.0f}}});
    WebSocketClient client(web.port(), "/ws");
    const std::vector<uint8_t> frame = nextFrame(client);
    EXPECT_EQ(frameNumber(frame), 1u);
    EXPECT_EQ(frame[kHeader + 3 * (2 + kEdge * (2 + kEdge * 2)) + 2], 255);
}

TEST(WebSocket, AClientThatStopsReadingHoldsUpNoOther)
{
    Cubeweb web;
    WebSocketClient stalled(web.port(), "/ws", {}, {.receiveBuffer = 1024});
    WebSocketClient reader(web.port(), "/ws");
    ASSERT_EQ(stalled.status(), 101);
    ASSERT_EQ(reader.status(), 101);

    constexpr uint32_t kFrames = 300;
    for (uint32_t n = 1; n <= kFrames; ++n)
        web.show({{0, 0, 0, {static_cast<float>(n % 2), 1.0f, 1.0f}}});
    // The reader sees the last one, however far the stalled one fell behind,
    // and the receiver answered every code meanwhile (show waited for each).
    EXPECT_EQ(frameNumber(frameNumbered(reader, kFrames)), kFrames);
    EXPECT_EQ(web.request("GET", "/api/state").status, 200);
}

TEST(WebSocket, TakesThirtyTwoClientsAndRefusesTheNext)
{
    Cubeweb web;
    std::vector<std::unique_ptr<WebSocketClient>> clients;
    for (int i = 0; i < kMaxClients; ++i) {
        clients.push_back(std::make_unique<WebSocketClient>(web.port(), "/ws"));
        ASSERT_EQ(clients.back()->status(), 101) << "client " << i + 1;
        nextFrame(*clients.back());  // established, and counted
    }
    WebSocketClient refused(web.port(), "/ws");
    EXPECT_EQ(refused.status(), 503);
    EXPECT_EQ(json::parse(refused.body())["error"], "cubeweb serves at most 32 clients at once");

    clients.back()->close();
    clients.pop_back();
    std::optional<WebSocketClient> next;
    for (auto end = std::chrono::steady_clock::now() + kDeadline; std::chrono::steady_clock::now() < end;) {
        next.emplace(web.port(), "/ws");
        if (next->status() == 101)
            break;
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(next->status(), 101);
}

TEST(WebSocket, RefusesAnUpgradeFromAnotherSiteOrPath)
{
    Cubeweb web;
    WebSocketClient foreign(web.port(), "/ws", {{"Origin", "http://evil.example"}});
    EXPECT_EQ(foreign.status(), 403);
    WebSocketClient elsewhere(web.port(), "/api/state");
    EXPECT_EQ(elsewhere.status(), 404);
    WebSocketClient same(web.port(), "/ws", {{"Origin", "http://" + web.host()}});
    EXPECT_EQ(same.status(), 101);
}

TEST(Api, AnswersStateAndEffects)
{
    Cubeweb web;
    const HttpResponse state = web.request("GET", "/api/state");
    ASSERT_EQ(state.status, 200);
    EXPECT_EQ(state.headers.at("content-type"), "application/json");
    const json parsed = json::parse(state.body);
    EXPECT_EQ(parsed["edge"], kEdge);
    EXPECT_EQ(parsed["brightness"], 1.0);
    EXPECT_EQ(parsed["outputs"], json::array());
    EXPECT_EQ(parsed["program"], false);

    const json effects = json::parse(web.request("GET", "/api/effects").body);
    EXPECT_EQ(effects["effects"].size(), 24u);
    EXPECT_EQ(effects["effects"][0]["name"], "rain");
}

TEST(Api, RefusesWhatItCannotDoWithTheRightCode)
{
    Cubeweb web;
    const std::string big(70 * 1024, ' ');
    struct Case {
        const char* method;
        const char* path;
        std::string body;
        HttpHeaders headers;
        int status;
    };
    const std::vector<Case> cases = {
        {"GET", "/api/nothing", "", {}, 404},
        {"GET", "/api/play", "", {}, 405},
        {"PUT", "/api/stop", "{}", {}, 405},
        {"POST", "/api/play", "{\"effect\": ", {}, 400},
        {"POST", "/api/play", "[1, 2]", {}, 400},
        {"POST", "/api/play", R"({"effect": "nonesuch"})", {}, 400},
        {"POST", "/api/play", R"({"effect": "rain", "settings": {"drops": 1e9}})", {}, 400},
        {"POST", "/api/brightness", R"({"brightness": 2})", {}, 400},
        {"POST", "/api/play", "{" + big + "}", {}, 413},
        {"POST", "/api/play", R"({"effect": "rain"})", {{"Origin", "http://evil.example"}}, 403},
        {"DELETE", "/api/recordings/show", "", {{"Origin", "null"}}, 403},
        {"POST", "/api/play", R"({"program": true})", {}, 409},
        {"POST", "/api/recordings/stop", "", {}, 409},
        {"DELETE", "/api/recordings/a%2Fb", "", {}, 400},
        // Decoded and folded before routing: /secret, a file path, which takes only GET.
        {"DELETE", "/api/recordings/..%2F..%2Fsecret", "", {}, 405},
        {"GET", "/api/recordings/missing.rec", "", {}, 404},
        {"POST", "/api/sounds", "{}", {}, 405},
        {"POST", "/api/play", R"({"effect": "rain", "sound": "../song.wav"})", {}, 400},
        {"POST", "/api/play", R"({"effect": "rain", "sound": "missing.wav"})", {}, 404},
        {"POST", "/index.html", "{}", {}, 405},
    };
    for (const Case& c : cases) {
        const HttpResponse response = web.request(c.method, c.path, c.body, c.headers);
        EXPECT_EQ(response.status, c.status) << c.method << " " << c.path << " " << c.body.substr(0, 40);
        EXPECT_FALSE(errorOf(response).empty()) << c.path;
    }
    const HttpResponse plain =
        testsupport::httpRequest(web.port(), "POST", "/api/play", {{"Content-Type", "text/plain"}}, "{}");
    EXPECT_EQ(plain.status, 415);
    EXPECT_EQ(errorOf(plain), "a body must be application/json");
    // Still serving after all of them, with nothing playing.
    EXPECT_TRUE(json::parse(web.request("GET", "/api/state").body)["playing"].is_null());
}

TEST(Api, PlaysAnEffectThatTheWebSocketShows)
{
    Cubeweb web;
    WebSocketClient client(web.port(), "/ws");
    nextFrame(client);
    const HttpResponse played =
        web.request("POST", "/api/play", R"({"effect": "fill", "colour": "#ff0000"})", {{"Origin", "http://" + web.host()}});
    ASSERT_EQ(played.status, 200) << played.body;
    EXPECT_EQ(json::parse(played.body)["playing"]["effect"], "fill");

    bool red = false;
    for (int frames = 0; frames < 500 && !red; ++frames) {
        const std::vector<uint8_t> frame = nextFrame(client);
        for (std::size_t i = kHeader; i < frame.size() && !red; i += 3)
            red = frame[i] == 255 && frame[i + 1] == 0 && frame[i + 2] == 0;
    }
    EXPECT_TRUE(red);
    EXPECT_EQ(web.request("POST", "/api/stop").status, 200);
    EXPECT_TRUE(json::parse(web.request("GET", "/api/state").body)["playing"].is_null());
}

TEST(Api, ListsTheSoundFilesOfTheRecordingsFolder)
{
    Cubeweb web;
    std::ofstream(web.recordings() + "/song.wav", std::ios::binary) << "RIFF";
    std::ofstream(web.recordings() + "/notes.txt") << "left out";
    const HttpResponse response = web.request("GET", "/api/sounds");
    ASSERT_EQ(response.status, 200);
    EXPECT_EQ(response.body, R"({"sounds":[{"bytes":4,"name":"song.wav"}]})");
}

TEST(Api, BrightnessGoesIntoTheState)
{
    Cubeweb web;
    WebSocketClient client(web.port(), "/ws");
    nextState(client);
    ASSERT_EQ(web.request("POST", "/api/brightness", R"({"brightness": 0.5})").status, 200);
    EXPECT_EQ(nextState(client)["brightness"], 0.5);
    EXPECT_EQ(json::parse(web.request("GET", "/api/state").body)["brightness"], 0.5);
}

TEST(Token, GuardsTheApiAndTheWebSocketButNotThePage)
{
    Cubeweb web({"--token", "s3cret"});
    EXPECT_NE(web.process().err().find("/?token=s3cret\n"), std::string::npos);
    EXPECT_EQ(web.request("GET", "/api/state").status, 401);
    EXPECT_EQ(web.request("GET", "/api/state", "", {{"Authorization", "Bearer wrong"}}).status, 401);
    EXPECT_EQ(web.request("GET", "/api/state?token=s3cret").status, 401);  // the API takes the header only
    EXPECT_EQ(web.request("GET", "/api/state", "", {{"Authorization", "Bearer s3cret"}}).status, 200);
    EXPECT_EQ(web.request("GET", "/").status, 200);

    EXPECT_EQ(WebSocketClient(web.port(), "/ws").status(), 401);
    EXPECT_EQ(WebSocketClient(web.port(), "/ws?token=nope").status(), 401);
    EXPECT_EQ(WebSocketClient(web.port(), "/ws?token=s3cret").status(), 101);
    EXPECT_EQ(WebSocketClient(web.port(), "/ws", {{"Authorization", "Bearer s3cret"}}).status(), 101);
}

TEST(Files, ServesThePageAndThreeAndNothingElse)
{
    Cubeweb web;
    const HttpResponse page = web.request("GET", "/");
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.headers.at("content-type"), "text/html; charset=utf-8");
    const HttpResponse three = web.request("GET", "/three/build/three.module.js");
    EXPECT_EQ(three.status, 200);
    EXPECT_NE(three.body.find("REVISION = '111'"), std::string::npos);
    EXPECT_EQ(web.request("GET", "/three/examples/jsm/controls/OrbitControls.js").status, 200);

    for (const char* path : {"/../CMakeLists.txt", "/%2e%2e/CMakeLists.txt", "/%2E%2E%2Fcubeweb.cpp",
                             "/three/../../../../etc/passwd", "/three/%2e%2e/%2e%2e/%2e%2e/etc/passwd",
                             "/..%2f..%2fetc%2fpasswd", "/missing.js", "/three/"}) {
        const HttpResponse response = web.request("GET", path);
        EXPECT_EQ(response.status, 404) << path;
        EXPECT_EQ(response.body.find("root:"), std::string::npos) << path;
    }
}

TEST(Files, ARecordingIsSavedUnderItsNameWithNothingThatEndsTheHeader)
{
    Cubeweb web;
    // A recording of no code at all: the header alone, for the edge-5 cube.
    const std::string empty("CUBEREC\0\1\0\5\0", 12);
    std::ofstream(web.recordings() + "/a\"b.rec", std::ios::binary) << empty;

    const HttpResponse response = web.request("GET", "/api/recordings/a%22b.rec");
    ASSERT_EQ(response.status, 200) << response.body;
    EXPECT_EQ(response.headers.at("content-disposition"), "attachment; filename=\"a_b.rec\"");
    EXPECT_EQ(response.body, empty);
}

// A raw connection to cubeweb that says what the test tells it to.
int connectTo(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot connect");
    return fd;
}

// Whether the server closes `fd` before the deadline.
bool closedByServer(int fd, std::chrono::seconds deadline)
{
    timeval timeout{static_cast<time_t>(deadline.count()), 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got == 0 || (got < 0 && errno == ECONNRESET))
            return true;
        if (got < 0)
            return false;
    }
}

TEST(Connections, SilentOrEndlessOnesAreClosedWithoutHoldingTheOthers)
{
    Cubeweb web;
    const int silent = connectTo(web.port());
    const int halfway = connectTo(web.port());
    ASSERT_EQ(::send(halfway, "GET /api/state HTTP/1.1\r\nHost: x\r\n", 35, 0), 35);
    const int endless = connectTo(web.port());
    const std::string line = "GET /" + std::string(8000, 'a') + " HTTP/1.1\r\n";
    ::send(endless, line.data(), line.size(), MSG_NOSIGNAL);

    EXPECT_EQ(web.request("GET", "/api/state").status, 200);
    EXPECT_TRUE(closedByServer(endless, 30s));
    EXPECT_TRUE(closedByServer(silent, 30s));
    EXPECT_TRUE(closedByServer(halfway, 30s));
    for (int fd : {silent, halfway, endless})
        ::close(fd);
    EXPECT_EQ(web.request("GET", "/api/state").status, 200);
}

// The program that cubeweb plays prints its own CUBE_CHANNEL, or "none".
const std::vector<std::string> kProgramsChannel = {
    "/bin/sh", "-c", "tr '\\0' '\\n' </proc/$$/environ | grep '^CUBE_CHANNEL=' || echo none"};

std::string programsLine(Cubeweb& web)
{
    const bool said = web.process().waitForOutput([](const std::string& out) { return out.ends_with('\n'); });
    return said ? web.process().out() : "nothing";
}

// --fast wins over the mode that cubeweb's environment names: its own
// receiver does not say that the environment names none, and the writers
// it starts run fast too.
TEST(CommandLine, FastReachesTheReceiverAndEveryWriterItStarts)
{
    std::vector<std::string> args{"--fast"};
    args.insert(args.end(), kProgramsChannel.begin(), kProgramsChannel.end());
    Cubeweb web(args, std::vector<std::string>{"PATH=/usr/bin:/bin", "CUBE_CHANNEL=slow"});
    EXPECT_EQ(programsLine(web), "CUBE_CHANNEL=fast\n");
    EXPECT_EQ(web.process().err().find("CUBE_CHANNEL"), std::string::npos) << web.process().err();
}

TEST(CommandLine, WithoutFastNoWriterItStartsIsGivenAMode)
{
    Cubeweb web(kProgramsChannel, std::vector<std::string>{"PATH=/usr/bin:/bin"});
    EXPECT_EQ(programsLine(web), "none\n");
}

TEST(CommandLine, FollowsTheToolkitsConventions)
{
    testsupport::Process help({testsupport::binary("cubeweb5"), "--help"}, {});
    EXPECT_EQ(help.wait().code, 0);
    EXPECT_NE(help.out().find("Usage: cubeweb5 [OPTION]... [PROGRAM [ARGUMENT]...]"), std::string::npos);

    testsupport::Process port({testsupport::binary("cubeweb5"), "--port", "70000"}, {});
    EXPECT_EQ(port.wait().code, 2);
    EXPECT_EQ(testsupport::splitLines(port.err()).size(), 1u);

    testsupport::Process taken({testsupport::binary("cubeweb5"), "--token", ""}, {});
    EXPECT_EQ(taken.wait().code, 2);
}

}  // namespace
