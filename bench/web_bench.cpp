// What cubeweb costs on its way from the channel to the page's WebSockets,
// with the bench as the animation writing the channel and as the browsers:
//
//   web_bench [frames]
//
// For each built edge of 12 and 16, a real cubeweb (--port 0, in a fresh run
// directory) takes `frames` frames (default 100), 40 a second at most, each
// a full change: every LED a new colour, in batches of three and a release,
// as a writer sends them through the handshake. LED 0 0 0 carries the
// frame's number, red the low byte and green the high one, which tells each
// frame's message from the others. A message's delay runs from the release
// code stored in the record to the whole message read by a client; each
// client reads on a thread of its own. Runs: 1 client, 8 clients, and 2
// clients of which one never reads (its receive buffer made small, so that
// it stalls at once), where the delay is the reading one's. The CPU is
// cubeweb's utime + stime from /proc over the run, pauses included, over the
// frames; cubetrace answering the same traffic is the receiver alone.

#include "lbox/channel.h"
#include "testkit/support.h"
#include "testkit/websocket.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::median;
using testsupport::Process;
using testsupport::RunDir;
using testsupport::WebSocketClient;

constexpr int kDefaultFrames = 100, kMaxFrames = 10000;  // the frame number travels in two bytes
constexpr std::array kEdges{12, 16};
constexpr int kManyClients = 8;
// Past the 5 ms after which a receiver's polling turns quiet and longer than
// a frame takes to write, so that each frame goes out on its own.
constexpr auto kFramePause = 25ms;
constexpr auto kStartDeadline = 30s;
constexpr auto kFrameDeadline = 2s;  // a frame normally takes milliseconds
constexpr auto kReadSlice = 100ms;   // how soon a reader sees that the run ended
constexpr int kStalledReceiveBuffer = 4096;
constexpr int kBufferBookkeeping = 2;  // the kernel doubles SO_RCVBUF for its own use
constexpr const char* kTcpWriteMemory = "/proc/sys/net/ipv4/tcp_wmem";
constexpr auto kDrainQuiet = 500ms;  // nothing more for so long: the queue is empty
constexpr std::size_t kEntriesPerBatch = 3;

// The binary message: version, edge, the frame's number in 32 bits, then R,
// G, B for every LED (docs/web.md draws it).
constexpr uint8_t kFormatVersion = 1;
constexpr std::size_t kVersionAt = 0, kEdgeAt = 1, kPixelsAt = 6;
constexpr std::size_t kBytesPerLed = 3;
constexpr float kFull = 255;

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "web_bench: %s\n", what.c_str());
    std::exit(EXIT_FAILURE);
}

double largest(const std::vector<double>& values)
{
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

double microseconds(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

// Frame `number` at `edge`: every LED a colour of its own that changes from
// one frame to the next, and LED 0 0 0 the number.
std::vector<queueEntry> fullChange(int edge, unsigned number)
{
    std::vector<queueEntry> leds;
    for (int z = 0; z < edge; ++z)
        for (int y = 0; y < edge; ++y)
            for (int x = 0; x < edge; ++x) {
                const auto i = static_cast<unsigned>(x + edge * (y + edge * z));
                leds.push_back({static_cast<uint8_t>(x), static_cast<uint8_t>(y), static_cast<uint8_t>(z),
                                {static_cast<float>((number + i) % 256) / kFull,
                                 static_cast<float>((3 * number + i) % 256) / kFull, 1}});
            }
    leds[0].color = {static_cast<float>(number & 0xFF) / kFull, static_cast<float>(number >> 8) / kFull, 1};
    return leds;
}

// The frame number that a frame message of `edge` carries, or nothing for
// any other message.
std::optional<unsigned> numberOf(const WebSocketClient::Message& message, int edge)
{
    const std::size_t leds = static_cast<std::size_t>(edge) * edge * edge;
    const auto& bytes = message.payload;
    if (message.opcode != testsupport::websocket::Opcode::binary || bytes.size() != kPixelsAt + kBytesPerLed * leds ||
        bytes[kVersionAt] != kFormatVersion || bytes[kEdgeAt] != edge)
        return std::nullopt;
    return bytes[kPixelsAt] | unsigned{bytes[kPixelsAt + 1]} << 8;
}

// Hands `code` to the receiver and spins until it has answered.
void handOver(uint8_t* record, uint8_t code)
{
    channel::storeStatus(record, code);
    const Clock::time_point stored = Clock::now();
    while (channel::loadStatus(record) != channel::kStatusIdle) {
        if (Clock::now() - stored > kFrameDeadline)
            fail("no answer to code " + std::to_string(code));
        std::this_thread::yield();  // the receiver shares two cores with the clients
    }
}

// When each client's message of each frame came.
class Arrivals {
public:
    Arrivals(int clients, int frames) : when_(static_cast<std::size_t>(clients), Row(static_cast<std::size_t>(frames) + 1)) {}

    void arrived(int client, unsigned number, Clock::time_point at)
    {
        {
            std::lock_guard hold(lock_);
            Row& row = when_[static_cast<std::size_t>(client)];
            if (number < row.size() && !row[number])
                row[number] = at;
        }
        changed_.notify_all();
    }
    // Waits until every client in `clients` has frame `number`, or `until`.
    bool waitFor(const std::vector<int>& clients, unsigned number, Clock::time_point until)
    {
        std::unique_lock hold(lock_);
        return changed_.wait_until(hold, until, [&] {
            return std::all_of(clients.begin(), clients.end(),
                               [&](int c) { return when_[static_cast<std::size_t>(c)][number].has_value(); });
        });
    }
    std::optional<Clock::time_point> at(int client, unsigned number)
    {
        std::lock_guard hold(lock_);
        return when_[static_cast<std::size_t>(client)][number];
    }

private:
    using Row = std::vector<std::optional<Clock::time_point>>;
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Row> when_;
};

// A client that reads every message on a thread of its own.
class Reader {
public:
    Reader(WebSocketClient& client, int index, int edge, Arrivals& arrivals)
        : thread_([this, &client, index, edge, &arrivals] {
              while (!stop_.load(std::memory_order_relaxed)) {
                  const auto message = client.read(kReadSlice);
                  if (message && message->opcode == testsupport::websocket::Opcode::close)
                      return;
                  if (const auto number = message ? numberOf(*message, edge) : std::nullopt)
                      arrivals.arrived(index, *number, Clock::now());
              }
          })
    {
    }
    ~Reader()
    {
        stop_.store(true, std::memory_order_relaxed);
        thread_.join();
    }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

private:
    // Written by the bench's thread at the end, read by the reader between
    // messages: relaxed, as it only asks the loop to end and the join
    // orders the rest.
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A receiver in `dir`'s root, once it answers the channel there; cubeweb
// lays out the run itself, so the record is mapped only then. cubeweb's
// port goes to `port`.
std::unique_ptr<Process> startReceiver(RunDir& dir, const std::vector<std::string>& argv, uint16_t* port)
{
    auto process = std::make_unique<Process>(argv, Process::Options::in(dir.root()));
    if (port) {
        const std::string line = "cubeweb: http://127.0.0.1:";
        if (!process->waitForError("/\n", kStartDeadline))
            fail(argv[0] + " printed no address: " + process->err());
        const std::string err = process->err();
        const auto at = err.find(line);
        if (at == std::string::npos)
            fail(argv[0] + " printed no address on 127.0.0.1: " + err);
        *port = static_cast<uint16_t>(std::stoul(err.substr(at + line.size())));
    } else {
        channel::storeStatus(dir.mapRecord(), 0);  // a stale code, which the receiver resets
    }
    if (!dir.waitServed(*process, kStartDeadline))
        fail(argv[0] + " did not take up the channel: " + process->err());
    return process;
}

struct Run {
    std::string name;
    int edge = 0;
    int clients = 0;              // connected; with one stalled, client 0 never reads
    std::vector<double> delayUs;  // every reading client's, every frame
    int missed = 0;               // messages of a reading client that never came
    int stalledGot = -1;          // the frames the stalled client read once it read again
    unsigned written = 0;         // with one stalled: the frames that filled its way first, and the run's
    std::vector<double> writeUs;  // a frame's batches, from the first to the release answered
    testsupport::CpuShare cpu;  // a frame; the busiest thread is the receiver's polling
};

// Writes `frames` frames into `record`, each timed from its release to
// every reading client's message.
void writeFrames(uint8_t* record, int edge, unsigned first, unsigned last, const std::vector<int>& reading,
                 Arrivals* arrivals, Run& run)
{
    for (unsigned number = first; number <= last; ++number) {
        std::this_thread::sleep_for(kFramePause);
        const std::vector<queueEntry> leds = fullChange(edge, number);
        const Clock::time_point start = Clock::now();
        for (std::size_t first = 0; first < leds.size(); first += kEntriesPerBatch) {
            const std::size_t count = std::min(kEntriesPerBatch, leds.size() - first);
            for (std::size_t slot = 0; slot < count; ++slot)
                channel::packEntry(record, slot, leds[first + slot]);
            handOver(record, static_cast<uint8_t>(channel::kStatusBatchBase + count));
        }
        const Clock::time_point posted = Clock::now();
        handOver(record, channel::kStatusReleaseNoKeep);
        run.writeUs.push_back(microseconds(Clock::now() - start));
        if (!arrivals)
            continue;
        arrivals->waitFor(reading, number, posted + kFrameDeadline);
        for (int client : reading) {
            if (const auto at = arrivals->at(client, number))
                run.delayUs.push_back(microseconds(*at - posted));
            else
                ++run.missed;
        }
    }
}

std::size_t messageBytes(int edge)
{
    return kPixelsAt + kBytesPerLed * static_cast<std::size_t>(edge) * edge * edge;
}

// Enough frames to fill the largest send buffer that the kernel grows a TCP
// socket to (tcp_wmem's last field) and the stalled client's receive buffer.
unsigned framesToFill(int edge)
{
    std::istringstream wmem(testsupport::readFile(kTcpWriteMemory));
    std::size_t least = 0, initial = 0, most = 0;
    wmem >> least >> initial >> most;
    if (most == 0)
        fail(std::string("cannot read ") + kTcpWriteMemory);
    return static_cast<unsigned>((most + kStalledReceiveBuffer * kBufferBookkeeping) / messageBytes(edge)) + 1;
}

// The frames that reach a client that starts reading now, to the last.
int drain(WebSocketClient& client, int edge)
{
    int frames = 0;
    while (const auto message = client.read(kDrainQuiet))
        if (numberOf(*message, edge))
            ++frames;
    return frames;
}

// `clients` clients of cubeweb; with `stalled`, the first never reads.
Run measureWeb(int edge, int clients, bool stalled, int frames)
{
    Run run;
    run.name = stalled ? "1 stalled + 1" : std::to_string(clients) + (clients == 1 ? " client" : " clients");
    run.edge = edge;
    run.clients = clients;
    RunDir dir;
    uint16_t port = 0;
    const auto web = startReceiver(dir,
                                   {testsupport::binary("cubeweb"), "--edge", std::to_string(edge), "--port", "0",
                                    "--dir", dir.root(), "--recordings", dir.root() + "/recordings"},
                                   &port);
    const std::string origin = "http://127.0.0.1:" + std::to_string(port);
    std::vector<std::unique_ptr<WebSocketClient>> sockets;
    std::vector<int> reading;
    for (int c = 0; c < clients; ++c) {
        const bool stalls = stalled && c == 0;
        sockets.push_back(std::make_unique<WebSocketClient>(port, "/ws", testsupport::HttpHeaders{{"Origin", origin}},
                                                            WebSocketClient::Options{stalls ? kStalledReceiveBuffer : 0}));
        if (!sockets.back()->open())
            fail("the WebSocket was refused: " + std::to_string(sockets.back()->status()) + " " + sockets.back()->body());
        if (!stalls)
            reading.push_back(c);
    }
    // A stalled client's way fills first, the kernel's buffers at both ends,
    // before cubeweb meets it at all; the run measures only what follows.
    const unsigned fill = stalled ? framesToFill(edge) : 0;
    const unsigned last = fill + static_cast<unsigned>(frames);
    Arrivals arrivals(clients, static_cast<int>(last));
    std::vector<std::unique_ptr<Reader>> readers;
    for (int c : reading)
        readers.push_back(std::make_unique<Reader>(*sockets[static_cast<std::size_t>(c)], c, edge, arrivals));

    uint8_t* record = dir.mapRecord();
    Run filling;
    writeFrames(record, edge, 1, fill, {}, nullptr, filling);
    const testsupport::CpuTime before = testsupport::cpuTime(web->pid());
    writeFrames(record, edge, fill + 1, last, reading, &arrivals, run);
    run.written = last;
    run.cpu = testsupport::cpuShare(before, testsupport::cpuTime(web->pid()), frames);
    readers.clear();
    if (stalled)
        run.stalledGot = drain(*sockets.front(), edge);
    if (!web->running())
        fail("cubeweb ended during the run: " + web->err());
    return run;
}

Run measureTrace(int edge, int frames)
{
    Run run;
    run.name = "cubetrace";
    run.edge = edge;
    RunDir dir;
    const auto trace =
        startReceiver(dir, {testsupport::binary("cubetrace"), "--edge", std::to_string(edge)}, nullptr);
    const testsupport::CpuTime before = testsupport::cpuTime(trace->pid());
    writeFrames(dir.mapRecord(), edge, 1, static_cast<unsigned>(frames), {}, nullptr, run);
    run.cpu = testsupport::cpuShare(before, testsupport::cpuTime(trace->pid()), frames);
    return run;
}

void print(const Run& r)
{
    const std::size_t bytes = messageBytes(r.edge);
    std::printf("  %4d³ %-14s %8.2f", r.edge, r.name.c_str(), median(r.writeUs) / 1e3);
    if (r.clients == 0)
        std::printf(" %8s %9s %9s %7s", "-", "-", "-", "-");
    else
        std::printf(" %8zu %9.0f %9.0f %7d", bytes, median(r.delayUs), largest(r.delayUs), r.missed);
    std::printf(" %9.0f %9.0f %9.0f\n", r.cpu.statUs, r.cpu.busiestUs, r.cpu.othersUs());
    if (r.stalledGot >= 0)
        std::printf("  %5s the stalled client, reading at last, got %d frame messages of the %u written\n", "",
                    r.stalledGot, r.written);
}

bool built(int edge)
{
    const std::string suffix = edge == kEdges[0] ? "" : std::to_string(edge);
    return std::filesystem::exists(testsupport::binary("cubeweb" + suffix)) &&
           std::filesystem::exists(testsupport::binary("cubetrace" + suffix));
}

}  // namespace

int main(int argc, char** argv)
{
    const int frames = std::clamp(argc > 1 ? std::atoi(argv[1]) : kDefaultFrames, 1, kMaxFrames);
    std::vector<Run> runs;
    for (int edge : kEdges) {
        if (!built(edge)) {
            std::printf("edge %d: not built (CUBE_EDGES), skipped\n", edge);
            continue;
        }
        runs.push_back(measureTrace(edge, frames));
        runs.push_back(measureWeb(edge, 1, false, frames));
        runs.push_back(measureWeb(edge, kManyClients, false, frames));
        runs.push_back(measureWeb(edge, 2, true, frames));
    }
    std::printf("cubeweb: %d full-change frames a run, 3 LEDs a batch and a release, after a %lld ms pause\n",
                frames, static_cast<long long>(kFramePause.count()));
    std::printf("write = a frame's batches and release, answered (ms, median); delay = release posted -> the\n"
                "  frame's whole message read by a client (us), over every reading client and frame\n"
                "CPU a frame (us), pauses included: utime+stime from /proc stat (%ld ticks a second); each thread's\n"
                "  schedstat: the busiest (the receiver's polling) and the others (server, sender)\n",
                ::sysconf(_SC_CLK_TCK));
    std::printf("  %5s %-14s %8s %8s %9s %9s %7s %9s %9s %9s\n", "edge", "clients", "write", "message", "median",
                "largest", "missed", "CPU stat", "receiver", "others");
    for (const Run& r : runs)
        print(r);
    return 0;
}
