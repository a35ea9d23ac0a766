// What cubesend costs on its way from the channel to the LEDs, with the bench
// as the animation writing the channel and as the controller on 127.0.0.1 or
// a pty:
//
//   cubesend_bench [frames] [rounds]
//
// - For DDP, E1.31, OPC and Adalight down a pty, one cubesend (edge 12,
//   --max-fps 1000) takes `frames` frames (default 200), 40 a second, each a
//   batch of three LEDs and a release. A frame's latency runs from the
//   release code stored in the record to the frame's last byte read by the
//   controller (cubesend sends from its own thread, so the bytes may leave
//   before the release is answered); the bench spins on both ends, so that neither time
//   carries a wake-up of its own. LED 0 0 0 carries the frame's number,
//   which tells the frame from the dark one at start and from a resend.
//   cubetrace answers the same traffic, as the receiver with nothing to send.
//   The CPU spans the pauses between frames, where the receiver polls.
// - The wall time of the demo cubefill 12 served by cubetrace alone, and
//   through cubesend --forward to a cubetrace, alternating `rounds` rounds
//   (default 3; 0 skips them); frame time is wall time over releases.

#include "lbox/channel.h"
#include "testkit/support.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::median;
using testsupport::Process;
using testsupport::RunDir;

constexpr int kEdge = 12;
constexpr std::size_t kLeds = kEdge * kEdge * kEdge;
constexpr std::size_t kFrameBytes = kLeds * 3;
constexpr int kDefaultFrames = 200, kMaxFrames = 10000;  // the frame number travels in two bytes
constexpr int kDefaultRounds = 3, kMaxRounds = 10;
constexpr const char* kMaxFps = "1000";
// 40 frames a second, cubesend's default rate: well past the 1 ms slot of
// --max-fps 1000 and the 5 ms after which a receiver's polling turns quiet,
// well short of the 1 s resend.
constexpr auto kFramePause = 25ms;
constexpr auto kStartDeadline = 30s;
// The dark frame goes at start, or with the resend a second later should a
// TCP connection still be on its way then.
constexpr auto kDarkFrameDeadline = 3s;
// Past the resend, so that a frame held back until then shows as a latency.
constexpr auto kFrameDeadline = 2s;
constexpr uint8_t kStaleStatus = 0;  // any code but idle: its reset shows a receiver is up
constexpr std::size_t kReadChunk = 65536;

constexpr std::size_t kDdpHeader = 10, kDdpOffsetAt = 4;
constexpr uint8_t kDdpPush = 0x01;
constexpr std::size_t kE131Header = 126, kE131UniverseAt = 113, kLedsPerUniverse = 170;
constexpr std::size_t kE131Universes = (kLeds + kLedsPerUniverse - 1) / kLedsPerUniverse;
constexpr unsigned kFirstUniverse = 1;
constexpr std::size_t kOpcHeader = 4, kAdalightHeader = 6;

constexpr const char* kFastBaud = "4000000";  // a pty takes any rate and ignores it
constexpr double kDefaultBaud = 115200, kBitsPerSerialByte = 10, kDefaultMaxFps = 40;

constexpr const char* kDemoArgument = "12";
constexpr auto kDemoDeadline = 3min;
constexpr auto kTraceSettle = 100ms;  // for the last code passed on to reach the trace

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "cubesend_bench: %s\n", what.c_str());
    std::exit(EXIT_FAILURE);
}

// Written into LED 0 0 0, pixel 0 of the default wiring: red the low byte,
// green the high one. The dark frame reads 0.
std::vector<queueEntry> numberedLeds(unsigned number)
{
    constexpr float kFull = 255;
    const storeColor numbered{static_cast<float>(number & 0xFF) / kFull, static_cast<float>(number >> 8) / kFull, 1};
    return {{0, 0, 0, numbered}, {1, 0, 0, {1, 0, 0}}, {2, 0, 0, {0, 1, 0}}};
}

unsigned frameNumber(const uint8_t* pixel)
{
    return pixel[0] | unsigned{pixel[1]} << 8;
}

unsigned be16(const uint8_t* at)
{
    return unsigned{at[0]} << 8 | at[1];
}

// One whole frame as the controller took it in.
struct Arrival {
    unsigned number = 0;
    int packets = 0;
    std::size_t bytes = 0;
};

enum class Kind { Ddp, E131, Opc, Adalight };

// The receiving end of one target. poll() reads what has come without
// waiting and returns a frame once its last byte is in.
class Controller {
public:
    explicit Controller(Kind kind) : kind_(kind)
    {
        if (kind == Kind::Opc) {
            listener_ = loopback(SOCK_STREAM);
        } else if (kind != Kind::Adalight) {
            fd_ = loopback(SOCK_DGRAM);
        } else {
            // The slave stays open here too, so that the master never reads
            // as hung up while cubesend has it closed.
            fd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            char name[128];
            if (fd_ < 0 || ::grantpt(fd_) != 0 || ::unlockpt(fd_) != 0 || ::ptsname_r(fd_, name, sizeof name) != 0 ||
                (slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0)
                fail("no pty: " + std::string(std::strerror(errno)));
            device_ = name;
        }
    }
    ~Controller()
    {
        for (int fd : {fd_, listener_, slave_})
            if (fd >= 0)
                ::close(fd);
    }
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    std::string target() const
    {
        const std::string address = "127.0.0.1:" + std::to_string(port_);
        switch (kind_) {
        case Kind::Ddp: return "ddp://" + address;
        case Kind::E131: return "e131://" + address + "/" + std::to_string(kFirstUniverse);
        case Kind::Opc: return "opc://" + address;
        case Kind::Adalight: break;
        }
        return "serial:" + device_ + "?baud=" + kFastBaud + "&framing=adalight";
    }

    std::optional<Arrival> poll()
    {
        if (fd_ < 0 && listener_ >= 0)
            fd_ = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd_ < 0)
            return std::nullopt;
        const ssize_t got = ::read(fd_, chunk_.data(), chunk_.size());
        if (got == 0 && listener_ >= 0) {  // the connection is gone: wait for the next
            ::close(std::exchange(fd_, -1));
            pending_.clear();
        }
        if (got <= 0)
            return std::nullopt;
        const auto size = static_cast<std::size_t>(got);
        switch (kind_) {
        case Kind::Ddp: return takeDdp(size);
        case Kind::E131: return takeE131(size);
        case Kind::Opc: return takeMessage(size, kOpcHeader);
        case Kind::Adalight: break;
        }
        return takeMessage(size, kAdalightHeader);
    }

private:
    int loopback(int type)
    {
        const int fd = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // port 0: the kernel chooses
        socklen_t size = sizeof address;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
            (type == SOCK_STREAM && ::listen(fd, 1) != 0))
            fail("no socket on 127.0.0.1: " + std::string(std::strerror(errno)));
        port_ = ntohs(address.sin_port);
        return fd;
    }

    // Each datagram a packet; the one with the push flag ends the frame.
    std::optional<Arrival> takeDdp(std::size_t size)
    {
        if (size <= kDdpHeader)
            return std::nullopt;
        count(size);
        if (be16(&chunk_[kDdpOffsetAt]) == 0 && be16(&chunk_[kDdpOffsetAt + 2]) == 0)
            frame_.number = frameNumber(&chunk_[kDdpHeader]);
        if (!(chunk_[0] & kDdpPush))
            return std::nullopt;
        return std::exchange(frame_, {});
    }

    // Whole once every universe has come, in whatever order.
    std::optional<Arrival> takeE131(std::size_t size)
    {
        if (size <= kE131Header)
            return std::nullopt;
        const std::size_t index = be16(&chunk_[kE131UniverseAt]) - kFirstUniverse;
        if (index >= kE131Universes)
            return std::nullopt;
        count(size);
        seen_[index] = true;
        if (index == 0)
            frame_.number = frameNumber(&chunk_[kE131Header]);
        if (std::find(seen_.begin(), seen_.end(), false) != seen_.end())
            return std::nullopt;
        seen_.fill(false);
        return std::exchange(frame_, {});
    }

    // A stream of one message a frame, a header and the pixels; the newest
    // whole one, should a read end two.
    std::optional<Arrival> takeMessage(std::size_t size, std::size_t header)
    {
        pending_.insert(pending_.end(), chunk_.begin(), chunk_.begin() + static_cast<long>(size));
        const std::size_t message = header + kFrameBytes;
        std::optional<Arrival> whole;
        while (pending_.size() >= message) {
            whole = Arrival{frameNumber(&pending_[header]), 1, message};
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(message));
        }
        return whole;
    }

    void count(std::size_t size)
    {
        ++frame_.packets;
        frame_.bytes += size;
    }

    Kind kind_;
    int fd_ = -1, listener_ = -1, slave_ = -1;
    uint16_t port_ = 0;
    std::string device_;
    std::array<uint8_t, kReadChunk> chunk_{};
    Arrival frame_;                         // datagrams: the frame so far
    std::array<bool, kE131Universes> seen_{};
    std::vector<uint8_t> pending_;          // streams: bytes short of a message
};

// A receiver started in `dir`'s root, returned once it has reset a stale
// code, so that nothing written afterwards meets a channel nobody answers.
std::unique_ptr<Process> startServing(RunDir& dir, const std::vector<std::string>& argv)
{
    uint8_t* record = dir.mapRecord();
    channel::storeStatus(record, kStaleStatus);
    auto process = std::make_unique<Process>(argv, Process::Options::in(dir.root()));
    if (!dir.waitServed(*process, kStartDeadline))
        fail(argv[0] + " did not take up the channel: " + process->err());
    return process;
}

struct Figures {
    std::string name;
    Arrival arrival;  // the last frame's
    std::vector<double> answeredUs, latencyUs;
    int missed = 0;
    testsupport::CpuShare cpu;  // a frame; the busiest thread is the receiver's polling, the others send
};

double microseconds(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

// One frame: the LEDs, then the release, answered and, with a controller,
// delivered.
void sendFrame(uint8_t* record, Controller* controller, unsigned number, Figures& figures)
{
    const std::vector<queueEntry> leds = numberedLeds(number);
    for (std::size_t slot = 0; slot < leds.size(); ++slot)
        channel::packEntry(record, slot, leds[slot]);
    channel::storeStatus(record, static_cast<uint8_t>(channel::kStatusBatchBase + leds.size()));
    const Clock::time_point batched = Clock::now();
    while (channel::loadStatus(record) != channel::kStatusIdle)
        if (Clock::now() - batched > kFrameDeadline)
            fail("no answer to a batch");

    const Clock::time_point posted = Clock::now();
    channel::storeStatus(record, channel::kStatusReleaseNoKeep);
    std::optional<Clock::time_point> answered, delivered;
    while (!answered || (controller && !delivered)) {
        if (!answered && channel::loadStatus(record) == channel::kStatusIdle)
            answered = Clock::now();
        if (controller)
            if (const std::optional<Arrival> arrival = controller->poll(); arrival && arrival->number == number) {
                delivered = Clock::now();
                figures.arrival = *arrival;
            }
        if (Clock::now() - posted > kFrameDeadline) {
            ++figures.missed;
            return;
        }
    }
    figures.answeredUs.push_back(microseconds(*answered - posted));
    if (controller)
        figures.latencyUs.push_back(microseconds(*delivered - posted));
}

// `argv` serving a fresh run directory, the bench writing its channel and,
// unless null, reading its controller; cubesend's start-up line goes to
// `described`.
Figures measure(const std::string& name, Controller* controller, const std::vector<std::string>& argv, int frames,
                std::string& described)
{
    RunDir dir;
    const auto receiver = startServing(dir, argv);
    const auto end = Clock::now() + kDarkFrameDeadline;
    for (std::optional<Arrival> dark; controller && (!dark || dark->number != 0);) {
        dark = controller->poll();
        if (Clock::now() > end)
            fail("no dark frame at " + controller->target() + ": " + receiver->err());
    }
    if (controller)
        described += "  " + receiver->out().substr(0, receiver->out().find('\n') + 1);

    Figures figures;
    figures.name = name;
    uint8_t* record = dir.mapRecord();
    const testsupport::CpuTime before = testsupport::cpuTime(receiver->pid());
    for (int frame = 1; frame <= frames; ++frame) {
        std::this_thread::sleep_for(kFramePause);
        sendFrame(record, controller, static_cast<unsigned>(frame), figures);
    }
    figures.cpu = testsupport::cpuShare(before, testsupport::cpuTime(receiver->pid()), frames);
    if (!receiver->running())
        fail(argv[0] + " ended during the run: " + receiver->err());
    return figures;
}

void printFigures(const Figures& f)
{
    std::printf("  %-9s", f.name.c_str());
    if (f.latencyUs.empty())  // cubetrace, or no frame came at all
        std::printf(" %8s %8s %10.1f %10s %10s", "-", "-", median(f.answeredUs), "-", "-");
    else
        std::printf(" %8d %8zu %10.1f %10.1f %10.1f", f.arrival.packets, f.arrival.bytes, median(f.answeredUs),
                    median(f.latencyUs), *std::max_element(f.latencyUs.begin(), f.latencyUs.end()));
    std::printf(" %7d %9.0f %9.0f %9.0f %9.0f\n", f.missed, f.cpu.statUs, f.cpu.schedUs, f.cpu.busiestUs,
                f.cpu.othersUs());
}

struct DemoRun {
    double seconds = 0;
    std::size_t releases = 0;
};

// cubefill 12 in `dir`'s run directory; `trace` counts the releases it shows.
DemoRun playDemo(RunDir& dir, Process& trace)
{
    const Clock::time_point start = Clock::now();
    Process demo({testsupport::binary("cubefill"), kDemoArgument}, Process::Options::in(dir.runDir()));
    const testsupport::Exit exit = demo.wait(kDemoDeadline);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (exit.code != 0)
        fail("cubefill failed: " + demo.err());
    std::this_thread::sleep_for(kTraceSettle);
    const std::string out = trace.out();
    const auto releases = static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n'));
    if (releases == 0)
        fail("cubetrace saw no release of cubefill");
    return {seconds, releases};
}

DemoRun demoAlone()
{
    RunDir dir;
    const auto trace = startServing(dir, {testsupport::binary("cubetrace")});
    return playDemo(dir, *trace);
}

DemoRun demoForwarded()
{
    RunDir screen;
    const auto trace = startServing(screen, {testsupport::binary("cubetrace")});
    const Controller ddp(Kind::Ddp);  // never read: the kernel drops what overflows it
    RunDir dir;
    const auto send = startServing(dir, {testsupport::binary("cubesend"), "--forward", screen.root(), ddp.target()});
    return playDemo(dir, *trace);
}

// Prints the medians of `runs` and returns the frame time's.
double printDemo(const char* name, const std::vector<DemoRun>& runs)
{
    std::vector<double> seconds, releases, frameMs;
    for (const DemoRun& run : runs) {
        seconds.push_back(run.seconds);
        releases.push_back(static_cast<double>(run.releases));
        frameMs.push_back(run.seconds * 1e3 / static_cast<double>(run.releases));
    }
    std::printf("  %-40s %9.2f %9.0f %12.2f\n", name, median(seconds), median(releases), median(frameMs));
    return median(frameMs);
}

}  // namespace

int main(int argc, char** argv)
{
    const int frames = std::clamp(argc > 1 ? std::atoi(argv[1]) : kDefaultFrames, 1, kMaxFrames);
    const int rounds = std::clamp(argc > 2 ? std::atoi(argv[2]) : kDefaultRounds, 0, kMaxRounds);

    std::vector<Figures> all;
    std::string described;
    const std::pair<const char*, Kind> targets[] = {
        {"ddp", Kind::Ddp}, {"e131", Kind::E131}, {"opc", Kind::Opc}, {"serial", Kind::Adalight}};
    for (const auto& [name, kind] : targets) {
        Controller controller(kind);
        all.push_back(measure(name, &controller,
                              {testsupport::binary("cubesend"), "--edge", std::to_string(kEdge), "--max-fps", kMaxFps,
                               controller.target()},
                              frames, described));
    }
    all.push_back(measure("cubetrace", nullptr, {testsupport::binary("cubetrace")}, frames, described));

    std::printf("cubesend, edge %d, --max-fps %s: %d frames each, 3 LEDs and a release after a %lld ms pause\n%s",
                kEdge, kMaxFps, frames, static_cast<long long>(kFramePause.count()), described.c_str());
    std::printf("answered = release posted -> status back to %d; latency = release posted -> the frame's"
                " last byte read (us)\n",
                channel::kStatusIdle);
    std::printf("CPU per frame (us), pauses included: utime+stime from /proc stat (%ld ticks a second); each"
                " thread's schedstat: all,\n  the busiest (the receiver's polling) and the others (the sending)\n",
                ::sysconf(_SC_CLK_TCK));
    std::printf("  %-9s %8s %8s %10s %10s %10s %7s %9s %9s %9s %9s\n", "", "packets", "bytes", "answered",
                "latency", "largest", "missed", "CPU stat", "sched", "receiver", "others");
    for (const Figures& f : all)
        printFigures(f);
    const double adalightBytes = kAdalightHeader + kFrameBytes;
    std::printf("serial ran down a pty at baud=%s, which a pty ignores: at the default %.0f baud a frame of %.0f"
                " bytes takes %.0f ms,\n  so a real line carries at most %.1f frames a second, short of the default"
                " --max-fps %.0f\n",
                kFastBaud, kDefaultBaud, adalightBytes, 1e3 * adalightBytes * kBitsPerSerialByte / kDefaultBaud,
                kDefaultBaud / kBitsPerSerialByte / adalightBytes, kDefaultMaxFps);
    std::fflush(stdout);
    if (rounds == 0)
        return 0;

    // Alternating, so that a noisy machine weighs on both alike.
    std::vector<DemoRun> alone, forwarded;
    for (int round = 0; round < rounds; ++round) {
        alone.push_back(demoAlone());
        forwarded.push_back(demoForwarded());
    }
    std::printf("\ncubefill %s, %d rounds of each, alternating; medians:\n", kDemoArgument, rounds);
    std::printf("  %-40s %9s %9s %12s\n", "", "wall (s)", "releases", "frame (ms)");
    const double aloneMs = printDemo("cubetrace alone", alone);
    const double forwardedMs = printDemo("cubesend --forward to cubetrace, + ddp", forwarded);
    std::printf("  frame time forwarded / alone: %.3fx\n", forwardedMs / aloneMs);
    return 0;
}
