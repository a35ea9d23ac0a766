// cubesend: the receiver that lights real LEDs. Started where the viewer
// would run, beside "shared_buffer.txt", it serves the channel with the
// viewer's own receiver code and sends every frame released to LED
// controllers over DDP, E1.31 or Open Pixel Control, or down a serial port
// (net/targets.h names them). With --forward it also passes every code on
// to a viewer in another directory, which then shows what the cube shows.
//
// Three threads: the receiver answers the channel and puts each frame on
// show in the mailbox `newest`; the sender takes the newest frame there at
// each of its slots (at most --max-fps a second, and once a second when no
// release comes) and sends it to every target; main waits for the end.

#include "lbox/channel.h"
#include "common/cli.h"
#include "common/headless.h"
#include "common/mailbox.h"
#include "common/mapping.h"
#include "common/process.h"
#include "common/signals.h"
#include "net/targets.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kDefaultMaxFps = 40;
constexpr double kMaxMaxFps = 1000;
// E1.31 receivers give up on a source after 2.5 s without data, so the frame
// on show goes again once a second while nothing new comes.
constexpr auto kResendAfter = std::chrono::seconds(1);
// How often the forwarding end looks whether the viewer there has answered.
constexpr auto kForwardPoll = std::chrono::microseconds(10);

struct Options {
    int edge = kCubeEdge;
    std::vector<strip::Destination> targets;
    strip::Mapping mapping;
    double maxFps = kDefaultMaxFps;
    const char* forwardDir = nullptr;
};

cli::Tool tool(const std::string& name)
{
    std::string help =
        "Usage: " + name + " [OPTION]... TARGET...\n"
        "Serves the frame channel like the viewer, but lights a real cube: run it where\n"
        "the viewer would run, beside shared_buffer.txt. Every frame released goes to\n"
        "each TARGET, at most --max-fps a second, and again every second while no new\n"
        "one comes.\n"
        "\n"
        "Targets:\n"
        "  ddp://HOST[:PORT]               DDP over UDP (port 4048)\n"
        "  e131://HOST[:PORT][/UNIVERSE]   E1.31 (sACN) over unicast UDP (port 5568),\n"
        "                                  from UNIVERSE on (default 1)\n"
        "  artnet://HOST[:PORT][/UNIVERSE] Art-Net over unicast UDP (port 6454), from\n"
        "                                  the Port-Address UNIVERSE on (default 0)\n"
        "  opc://HOST[:PORT][/CHANNEL]     Open Pixel Control over TCP (port 7890,\n"
        "                                  channel 0)\n"
        "  serial:DEVICE[?baud=N&framing=adalight|tpm2]\n"
        "                                  a serial port, 8N1 (115200 baud, adalight)\n"
        "\n"
        "Options:\n"
        "  --edge N                serve a cube of edge N: ";
    help += cli::builtEdges() + " (default " + std::to_string(kCubeEdge) + ")";
    help += "\n";
    help += strip::Mapping::help(strip::Mapping::Use::sending);
    help += "  --max-fps F             at most F frames a second (default 40)\n"
            "  --forward DIR           also pass every code on to the viewer serving DIR\n"
            "  --help                  show this help and exit\n"
            "  --version               show the version and exit\n"
            "\n"
            "Example:\n"
            "  cubesend --gamma 2.2 --forward screen e131://192.168.1.50\n";
    return {name, help};
}

Options parseOptions(const std::string& name, int argc, char** argv)
{
    Options options;
    cli::Parser args(tool(name), argc, argv);
    while (args.next()) {
        if (const char* edge = args.option("--edge")) {
            options.edge = args.edge("--edge", edge);
        } else if (options.mapping.take(args)) {
        } else if (const char* fps = args.option("--max-fps")) {
            options.maxFps = args.number("--max-fps", fps, 0, kMaxMaxFps);
            if (options.maxFps == 0)
                args.fail("--max-fps takes a number above 0, not " + cli::quoted(fps));
        } else if (const char* dir = args.option("--forward")) {
            options.forwardDir = dir;
        } else if (args.positional()) {
            std::string error;
            auto target = strip::parseTarget(args.current(), error);
            if (!target)
                args.fail("target " + cli::quoted(args.current()) + " " + error);
            options.targets.push_back(*target);
        } else {
            args.unexpected();
        }
    }
    if (options.targets.empty())
        args.fail("no TARGET given");
    options.mapping.check(args);
    strip::checkUniverses(args, options.targets, "target", options.edge, options.mapping.ledsPerUniverse);
    return options;
}

// A frame on show: the receiver thread puts one in the mailbox at each
// release, and the sender thread takes the newest at its next slot.
using Table = std::array<storeColor, kCubeLeds>;

Table unlitTable()
{
    Table table;
    table.fill(kUnlit);
    return table;
}

// The viewer that --forward passes every code on to, through its record.
class Forward {
public:
    explicit Forward(uint8_t* record) : record_(record) {}

    // On the receiver thread for every code, before the receiver acts on it:
    // the animation waits while the viewer there is still busy with the last
    // one, so that viewer paces it as if it drove it directly.
    void pass(uint8_t code, const uint8_t* record)
    {
        while (channel::loadStatus(record_) != channel::kStatusIdle)
            std::this_thread::sleep_for(kForwardPoll);
        std::memcpy(record_ + 1, record + 1, channel::kRecordSize - 1);
        channel::storeStatus(record_, code);
    }

private:
    uint8_t* record_;
};

class Sender {
public:
    Sender(const std::string& name, const Options& options, strip::Wiring wiring,
           std::vector<std::unique_ptr<strip::Target>> targets, Mailbox<Table>& newest)
        : name_(name),
          wiring_(std::move(wiring)),
          colour_(options.mapping.colour),
          slot_(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / options.maxFps))),
          targets_(std::move(targets)),
          newest_(newest),
          frame_(unlitTable()),
          rgb_(wiring_.size() * strip::kBytesPerPixel)
    {
    }

    [[noreturn]] void run()
    {
        Clock::time_point lastSent = Clock::now();
        sendFrame(lastSent);  // the cube starts dark, as the viewer starts unlit
        for (;;) {
            // Nothing new by the resend time: the frame on show goes again.
            if (newest_.take(frame_, lastSent + kResendAfter) && Clock::now() < lastSent + slot_) {
                // Too soon after the last frame: the one on show when the
                // slot comes goes out, and the ones between are skipped.
                std::this_thread::sleep_until(lastSent + slot_);
                newest_.take(frame_, Clock::time_point{});
            }
            lastSent = Clock::now();
            sendFrame(lastSent);
        }
    }

private:
    void sendFrame(Clock::time_point now)
    {
        strip::toPixels(frame_.data(), wiring_, colour_, rgb_.data());
        for (const auto& target : targets_) {
            target->encoder->encode(rgb_, target->packets);
            if (const auto said = target->report.update(target->name, target->link->send(target->packets), now))
                std::fprintf(stderr, "%s: %s\n", name_.c_str(), said->c_str());
        }
    }

    std::string name_;
    strip::Wiring wiring_;
    strip::ColourCorrection colour_;
    Clock::duration slot_;
    std::vector<std::unique_ptr<strip::Target>> targets_;
    Mailbox<Table>& newest_;
    Table frame_;
    std::vector<uint8_t> rgb_;
};

// The viewer's record in DIR, mapped as a writer maps it.
uint8_t* openForward(const char* dir)
{
    namespace fs = std::filesystem;
    const fs::path path = fs::path(dir) / channel::kFileName;
    struct stat there {}, here {};
    if (stat(path.c_str(), &there) == 0 && stat(channel::kFileName, &here) == 0 && there.st_dev == here.st_dev &&
        there.st_ino == here.st_ino)
        process::fail(std::string("--forward ") + dir + " is the channel that cubesend serves itself");
    std::string error;
    uint8_t* record = channel::tryMapRecord(path.c_str(), error);
    if (!record)
        process::fail(error + " (--forward)");
    return record;
}

// What the receiver and sender threads use. They still run when the process
// ends, so main owns it and ends with _exit before it is destroyed.
struct Service {
    Mailbox<Table> newest{unlitTable()};
    std::optional<Sender> sender;
    std::optional<Forward> forward;
};

// Serves the channel until a stop signal.
int serve(const std::string& name, int argc, char** argv, Service& service)
{
    const Options options = parseOptions(name, argc, argv);
    headless::serveEdge("cubesend", options.edge, argv);

    // Everything that can refuse to start does so before the channel is
    // touched: the layout, the names of the hosts, the forwarding record.
    strip::Wiring wiring = options.mapping.wiring(kCubeEdge);
    const strip::FrameShape shape{static_cast<std::size_t>(kCubeLeds), options.mapping.ledsPerUniverse};
    std::vector<std::unique_ptr<strip::Target>> targets;
    for (const strip::Destination& destination : options.targets) {
        std::string error;
        auto target = strip::openTarget(destination, shape, error);
        if (!target)
            process::fail(error);
        targets.push_back(std::move(target));
    }
    if (options.forwardDir)
        service.forward.emplace(openForward(options.forwardDir));

    // A controller that closes its connection must not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    signals::StopOnSignal stop;
    CodeHook passOn;
    if (service.forward)
        passOn = [&forward = *service.forward](uint8_t code, const uint8_t* record) { forward.pass(code, record); };
    headless::startReceiver(
        [&newest = service.newest](const storeColor* shown) {
            newest.put([&](Table& table) { std::copy_n(shown, kCubeLeds, table.begin()); });
        },
        passOn);
    // Only once the channel serves: a cube is lit by no tool that refused to
    // start. On standard error, like the reports: under cubeplay standard
    // output belongs to the receiver that shows the frames.
    for (const strip::Destination& destination : options.targets)
        std::fprintf(stderr, "%s: %s: %s\n", name.c_str(), destination.text.c_str(),
                     strip::describe(destination, shape).c_str());
    Sender& sender = service.sender.emplace(name, options, std::move(wiring), std::move(targets), service.newest);
    std::thread([&sender] { sender.run(); }).detach();
    stop.wait();
    return EXIT_SUCCESS;
}

}  // namespace

int main(int argc, char** argv)
{
    Service service;
    const std::string name = headless::ownName("cubesend", argv[0]);
    _exit(process::run(name, [&] { return serve(name, argc, argv, service); }));
}
