// What cubelisten costs between a lighting program and the channel, with the
// bench as both: it sends each protocol to cubelisten on 127.0.0.1 with the
// toolkit's own encoders, and answers the channel as a receiver does.
//
//   listen_bench [seconds]
//
// - Each protocol: a 12³ frame 40 times a second, 200 frames, each changing
//   3 LEDs (LED 0 0 0 carries the frame's number). The delay of a frame runs
//   from its last packet sent to its release code stored in the channel
//   (LED 0 0 0 carries the frame's number in its red, which tells which
//   frame a release shows);
//   the channel time from its first code to its release code, which is what
//   the changed LEDs need of the channel; the CPU is cubelisten's, per
//   frame sent.
// - Sustained: frames that change every LED, 40 a second for `seconds`
//   seconds (default 30), over E1.31 at edge 12 and at edge 16, and at edge
//   16 once more with the channel in the fast mode (CUBE_CHANNEL=fast for
//   cubelisten, and the bench's own receiving end fast too): frames sent and
//   shown, the ones cubelisten dropped, and the delay of the frames shown in
//   the first and in the last five seconds.

#include "lbox/channel.h"
#include "lbox/pacing.h"
#include "net/protocols.h"
#include "testkit/support.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::median;
using testsupport::Process;
using testsupport::RunDir;

constexpr int kFrames = 200;
constexpr auto kFramePause = 25ms;  // 40 frames a second
constexpr int kDefaultSeconds = 30;
constexpr int kMaxSeconds = 600;
constexpr auto kWindow = 5s;  // the first and the last of a sustained run
constexpr std::size_t kBytesPerPixel = 3;
constexpr unsigned kLedsPerUniverse = 170;
constexpr auto kStartDeadline = 30s;
constexpr auto kSettle = 500ms;
constexpr int kNumbers = 255;  // a frame's number, 1 to 255, and round again
constexpr double kGoalShownShare = 0.95;  // of the frames sent, in the fast mode

// The receiving end of the channel: answers every code at once, and notes
// when each release came and when the first code after the release before
// it came. For the delays it spins rather than sleeps between looks, so that
// no time it measures carries a wake-up of its own (what a receiver's own
// wake-up adds is the channel's business, not cubelisten's); for the
// sustained runs it polls as the viewer's receiver does, in the channel mode
// that cubelisten has, leaving a core to cubelisten.
class Answerer {
public:
    enum class Looks { Spinning, Paced };
    Answerer(uint8_t* record, Looks looks, pacing::Mode mode)
        : record_(record), looks_(looks), mode_(mode), thread_([this] { run(); })
    {
    }
    ~Answerer()
    {
        stop_.store(true, std::memory_order_relaxed);
        thread_.join();
    }

    struct Release {
        Clock::time_point firstCode;
        Clock::time_point at;
        uint8_t number;  // the red of LED 0 0 0 in the frame released
    };
    std::vector<Release> releases()
    {
        std::lock_guard hold(lock_);
        return releases_;
    }

private:
    void run()
    {
        pacing::Pacer pacer(pacing::Pacer::Start::kQuiet, mode_);
        std::optional<Clock::time_point> first;
        // stop_ is set by the bench's main thread: relaxed, it guards no data.
        while (!stop_.load(std::memory_order_relaxed)) {
            const uint8_t code = channel::loadStatus(record_);
            if (code != channel::kStatusIdle) {
                const Clock::time_point now = Clock::now();
                first = first.value_or(now);
                if (code == channel::kStatusReleaseNoKeep || code == channel::kStatusReleaseKeep) {
                    std::lock_guard hold(lock_);
                    releases_.push_back({*first, now, number_});
                    first.reset();
                } else if (code > channel::kStatusBatchBase) {
                    for (std::size_t k = 0; k < std::size_t{code} - channel::kStatusBatchBase; ++k) {
                        const queueEntry e = channel::unpackEntry(record_, k);
                        if (e.x == 0 && e.y == 0 && e.z == 0)
                            number_ = static_cast<uint8_t>(std::lround(e.color.r * kFullLevel));
                    }
                }
                channel::storeStatus(record_, channel::kStatusIdle);
            }
            if (looks_ == Looks::Paced)
                pacer.pause(code != channel::kStatusIdle);
        }
    }

    static constexpr float kFullLevel = 255.0f;
    uint8_t* record_;
    Looks looks_;
    pacing::Mode mode_;
    uint8_t number_ = 0;  // the answering thread's own
    std::mutex lock_;
    std::vector<Release> releases_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// utime + stime so far.
double cpuSeconds(pid_t pid)
{
    return testsupport::cpuTime(pid).statUs / 1e6;
}

// The options of a child started in `dir` with this process's environment
// but for the channel mode, which is `mode`.
Process::Options inMode(const std::string& dir, pacing::Mode mode)
{
    Process::Options options = Process::Options::in(dir);
    options.env = testsupport::environmentWithMode(pacing::modeValue(mode));
    return options;
}

// cubelisten in the run directory of `dir`, with one source on a free port,
// and the channel's other end, both in the channel mode `mode`.
struct Listening {
    Listening(RunDir& dir, const std::string& source, int edge, Answerer::Looks looks,
              pacing::Mode mode = pacing::Mode::kDefault)
        : answerer(dir.mapRecord(), looks, mode),
          process({testsupport::binary("cubelisten"), "--edge", std::to_string(edge), source + "://127.0.0.1:0"},
                  inMode(dir.runDir(), mode))
    {
        const auto end = Clock::now() + kStartDeadline;
        std::vector<uint16_t> ports;
        while ((ports = testsupport::listenPorts(process.err())).empty()) {
            if (Clock::now() > end || !process.running()) {
                std::fprintf(stderr, "listen_bench: cubelisten did not start: %s\n", process.err().c_str());
                std::exit(EXIT_FAILURE);
            }
            std::this_thread::sleep_for(5ms);
        }
        port = ports.front();
        std::this_thread::sleep_for(kSettle);  // its first frames, whole, go out
    }

    Answerer answerer;
    Process process;
    uint16_t port = 0;
};

class Sender {
public:
    explicit Sender(const std::string& protocol) : protocol_(protocol)
    {
        if (protocol == "e131")
            encoder_ = std::make_unique<strip::E131Encoder>(1, kLedsPerUniverse, strip::E131Encoder::Cid{}, "bench");
        else if (protocol == "artnet")
            encoder_ = std::make_unique<strip::ArtNetEncoder>(0, kLedsPerUniverse);
        else if (protocol == "ddp")
            encoder_ = std::make_unique<strip::DdpEncoder>();
        else
            encoder_ = std::make_unique<strip::OpcEncoder>(0);
    }
    ~Sender()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }

    void connect(uint16_t port)
    {
        to_.sin_family = AF_INET;
        to_.sin_port = htons(port);
        to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        fd_ = ::socket(AF_INET, (protocol_ == "opc" ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&to_), sizeof to_) != 0) {
            std::perror("listen_bench: connect");
            std::exit(EXIT_FAILURE);
        }
    }

    // Sends a frame; returns when its last packet left.
    Clock::time_point send(const std::vector<uint8_t>& rgb)
    {
        encoder_->encode(rgb, packets_);
        for (const strip::Packet& packet : packets_)
            if (::send(fd_, packet.data(), packet.size(), MSG_NOSIGNAL) < 0)
                std::perror("listen_bench: send");
        return Clock::now();
    }

private:
    std::string protocol_;
    std::unique_ptr<strip::Encoder> encoder_;
    std::vector<strip::Packet> packets_;
    sockaddr_in to_{};
    int fd_ = -1;
};

double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// The frames sent: when each one's last packet left, and its number.
struct Sent {
    Clock::time_point at;
    uint8_t number;
};

// The delay of each frame shown between `from` and `to`: each release goes
// with the last frame sent before it that has its number, once. A release
// whose frame was shown already is the writer's refresh of a held picture.
std::vector<double> delaysMs(const std::vector<Sent>& sent, const std::vector<Answerer::Release>& releases,
                             Clock::time_point from, Clock::time_point to)
{
    std::vector<double> delays;
    std::vector<bool> shown(sent.size(), false);
    for (const Answerer::Release& release : releases) {
        auto frame = std::upper_bound(sent.begin(), sent.end(), release.at,
                                      [](Clock::time_point at, const Sent& s) { return at < s.at; });
        while (frame != sent.begin() && (frame - 1)->number != release.number)
            --frame;
        if (frame == sent.begin())
            continue;
        const auto index = static_cast<std::size_t>(frame - 1 - sent.begin());
        if (shown[index] || sent[index].at < from || sent[index].at >= to)
            continue;
        shown[index] = true;
        delays.push_back(ms(release.at - sent[index].at));
    }
    return delays;
}

void benchProtocols()
{
    std::printf("Each protocol: a 12-cube frame of 3 changed LEDs, 40 a second, %d frames, to cubelisten,\n"
                "which shows it through the channel; delay from a frame's last packet sent to its release\n"
                "code stored, channel time from its first code to its release code (ms)\n\n",
                kFrames);
    std::printf("| source | delay median | delay largest | channel time median | CPU a frame |\n|---|---|---|---|---|\n");
    constexpr int kEdge = 12;
    const std::size_t bytes = kEdge * kEdge * kEdge * kBytesPerPixel;
    for (const std::string protocol : {"e131", "artnet", "ddp", "opc"}) {
        RunDir dir;
        Listening listening(dir, protocol, kEdge, Answerer::Looks::Spinning);
        Sender sender(protocol);
        sender.connect(listening.port);
        std::vector<uint8_t> rgb(bytes, 0);
        std::vector<Sent> sent;
        const std::size_t before = listening.answerer.releases().size();
        const double cpuBefore = cpuSeconds(listening.process.pid());
        for (int k = 0; k < kFrames; ++k) {
            rgb[0] = static_cast<uint8_t>(k % kNumbers + 1);
            rgb[3 * (1 + k % 100)] = static_cast<uint8_t>(k);
            rgb[3 * (200 + k % 100) + 1] = static_cast<uint8_t>(255 - k);
            sent.push_back({sender.send(rgb), rgb[0]});
            std::this_thread::sleep_until(sent.back().at + kFramePause);
        }
        std::this_thread::sleep_for(kSettle);
        const double cpu = cpuSeconds(listening.process.pid()) - cpuBefore;
        std::vector<Answerer::Release> releases = listening.answerer.releases();
        releases.erase(releases.begin(), releases.begin() + static_cast<long>(before));
        const std::vector<double> delays = delaysMs(sent, releases, sent.front().at, Clock::time_point::max());
        std::vector<double> channel;
        for (const Answerer::Release& r : releases)
            channel.push_back(ms(r.at - r.firstCode));
        std::printf("| %s | %.2f | %.2f | %.2f | %.0f µs |\n", protocol.c_str(), median(delays),
                    delays.empty() ? 0 : *std::max_element(delays.begin(), delays.end()), median(channel),
                    cpu / kFrames * 1e6);
        std::fflush(stdout);
    }
}

void benchSustained(int seconds)
{
    std::printf("\nSustained: frames that change every LED, 40 a second for %d s, over E1.31\n\n", seconds);
    std::printf("| edge | channel | frames sent | shown | dropped | shown %% | delay median, first 5 s | last 5 s |\n"
                "|---|---|---|---|---|---|---|---|\n");
    struct Run {
        int edge;
        pacing::Mode mode;
    };
    double fastShown = 0;
    for (const Run run : {Run{12, pacing::Mode::kDefault}, Run{16, pacing::Mode::kDefault}, Run{16, pacing::Mode::kFast}}) {
        const int edge = run.edge;
        RunDir dir;
        Listening listening(dir, "e131", edge, Answerer::Looks::Paced, run.mode);
        const std::size_t bytes = static_cast<std::size_t>(edge * edge * edge) * kBytesPerPixel;
        Sender sender("e131");
        sender.connect(listening.port);
        std::vector<uint8_t> rgb(bytes);
        std::vector<Sent> sent;
        const std::size_t before = listening.answerer.releases().size();
        const Clock::time_point start = Clock::now();
        const Clock::time_point end = start + std::chrono::seconds(seconds);
        for (int k = 0; Clock::now() < end; ++k) {
            // Every LED a new colour, none of them black; LED 0 0 0 (pixel 0)
            // the frame's number.
            for (std::size_t i = 0; i < bytes; ++i)
                rgb[i] = static_cast<uint8_t>(1 + (i + static_cast<std::size_t>(k)) % kNumbers);
            sent.push_back({sender.send(rgb), rgb[0]});
            std::this_thread::sleep_until(start + kFramePause * (k + 1));
        }
        std::this_thread::sleep_for(kSettle);
        std::vector<Answerer::Release> releases = listening.answerer.releases();
        releases.erase(releases.begin(), releases.begin() + static_cast<long>(before));
        // A frame is shown when a release follows it before the next one;
        // releases after the last frame are the writer's refreshes.
        const std::size_t shown = delaysMs(sent, releases, start, end).size();
        const double first = median(delaysMs(sent, releases, start, start + kWindow));
        const double last = median(delaysMs(sent, releases, end - kWindow, end));
        const double shownShare = static_cast<double>(shown) / static_cast<double>(sent.size());
        std::printf("| %d | %s | %zu | %zu | %zu | %.1f | %.1f ms | %.1f ms |\n", edge, pacing::modeValue(run.mode),
                    sent.size(), shown, sent.size() - shown, 100 * shownShare, first, last);
        std::fflush(stdout);
        if (run.mode == pacing::Mode::kFast)
            fastShown = shownShare;
    }
    std::printf("\nGoal: at 16 in the fast mode, %.0f %% of the frames shown or more: %.1f %%, %s\n",
                100 * kGoalShownShare, 100 * fastShown, fastShown >= kGoalShownShare ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv)
{
    const int seconds = testsupport::benchCount(argc, argv, "seconds", kDefaultSeconds, kMaxSeconds);
    benchProtocols();
    benchSustained(seconds);
    return EXIT_SUCCESS;
}
