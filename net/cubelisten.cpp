// cubelisten: shows on the cube what lighting programs send, over E1.31
// (sACN), Art-Net, DDP or Open Pixel Control.
//
//   cubelisten [OPTION]... SOURCE...
//
// It is an animation program: it runs one directory below a receiver (the
// viewer, cubetrace or cubesend) and shows every frame that it receives
// through an lFrameWriter. Two threads: the network thread reads every
// source and makes whole frames; main shows the newest of them, and the
// ones that came between are dropped, never queued.

#include "common/cli.h"
#include "common/mapping.h"
#include "common/process.h"
#include "common/writer.h"
#include "lbox/lFrame.h"
#include "net/listen.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using cli::kMaxEdge;
using cli::kMinEdge;
using input::kDefaultTimeout;
using input::kMaxOpcIdle;
using input::kMaxTimeout;
using input::kMinOpcIdle;
using input::kMinTimeout;
// How often main looks up from waiting: for the loss timeout, the stats
// line, a stop, and the writer's whole frames while a picture is held.
constexpr auto kTick = 100ms;
constexpr auto kStatsEvery = 1s;
constexpr const char* kName = "cubelisten";
constexpr std::size_t kHelpColumn = 26;  // where the options' descriptions start

struct Options {
    int edge = cli::animationEdge(kMinEdge, kMaxEdge);
    std::vector<strip::Destination> sources;
    strip::Mapping mapping;
    double timeout = kDefaultTimeout;
    bool blankOnLoss = false;
    bool multicast = true;
    bool stats = false;
    double opcIdle = static_cast<double>(input::kDefaultOpcIdle.count());
    std::vector<input::Allowed> allowed;
};

cli::Tool tool(const std::string& name)
{
    return {name,
            "Usage: " + name +
                " [OPTION]... SOURCE...\n"
                "Shows on the cube what lighting programs send. It is an animation program:\n"
                "run it one directory below the viewer, cubetrace or cubesend, as cubeplay\n"
                "does: cubeplay --edge 8 " +
                name +
                " e131. The newest whole frame from any source\n"
                "is shown; frames that come faster than the channel carries them are\n"
                "dropped, never queued.\n"
                "\n"
                "Sources, each optionally followed by ://[ADDRESS][:PORT][/FIRST]:\n"
                "  e131     E1.31 (sACN) over UDP, port 5568; FIRST the first universe (1)\n"
                "  artnet   Art-Net over UDP, port 6454; FIRST the first Port-Address (0)\n"
                "  ddp      DDP over UDP, port 4048; RGB of 8 bits (data type 0x0B, or 0 unsaid)\n"
                "           for destination ids 1 to 245 and 255 (every display)\n"
                "  opc      Open Pixel Control over TCP, port 7890; FIRST the channel\n"
                "           (default 0: every channel)\n"
                "ADDRESS is the local address to listen on (default: every interface); port 0\n"
                "takes a free port, which the line that names the source at start tells.\n"
                "\n"
                "Options:\n"
                "  --edge N                the cube's edge, 3 to 16, as the viewer's (default 12,\n"
                "                          or the viewer's edge under cubeplay)\n" +
                strip::Mapping::help(strip::Mapping::Use::listening) +
                "  --timeout S             say so when no frame has come for S seconds (default\n"
                "                          2.5); the frame on show stays\n"
                "  --blank-on-loss         ... and put the cube out then\n"
                "  --allow ADDRESS[/PREFIX]\n"
                "                          use only these senders (repeat for more)\n"
                "  --no-multicast          join no E1.31 multicast group\n"
                "  --opc-idle S            when all " + std::to_string(input::kMaxOpcClients) +
                " OPC client places are taken, a new client\n"
                "                          takes that of one silent for S seconds (default " +
                std::to_string(input::kDefaultOpcIdle.count()) + ")\n"
                "  --stats                 a line a second on standard error: frames and packets,\n"
                "                          and why packets were ignored\n" +
                cli::fastHelp(kHelpColumn) +
                "  --help                  show this help and exit\n"
                "  --version               show the version and exit\n"
                "\n"
                "Examples:\n"
                "  cubeplay --edge 8 " +
                name +
                " e131\n"
                "  " +
                name + " --wiring yxz --serpentine --allow 192.168.1.0/24 artnet\n"};
}

Options parseOptions(const std::string& name, int argc, char** argv)
{
    Options options;
    cli::Parser args(tool(name), argc, argv);
    while (args.next()) {
        if (const char* v = args.option("--edge")) {
            options.edge = static_cast<int>(args.count("--edge", v, kMinEdge, kMaxEdge));
        } else if (options.mapping.take(args)) {
        } else if (const char* v = args.option("--timeout")) {
            options.timeout = args.number("--timeout", v, kMinTimeout, kMaxTimeout);
        } else if (args.flag("--blank-on-loss")) {
            options.blankOnLoss = true;
        } else if (args.flag("--no-multicast")) {
            options.multicast = false;
        } else if (const char* v = args.option("--opc-idle")) {
            options.opcIdle = args.number("--opc-idle", v, kMinOpcIdle, kMaxOpcIdle);
        } else if (args.flag("--stats")) {
            options.stats = true;
        } else if (cli::takeFast(args)) {
        } else if (const char* v = args.option("--allow")) {
            input::Allowed allowed;
            if (!input::parseAllowed(v, allowed))
                args.fail("--allow takes an IPv4 or IPv6 address with an optional /PREFIX, not " + cli::quoted(v));
            options.allowed.push_back(allowed);
        } else if (args.positional()) {
            std::string error;
            const auto source = strip::parseSource(args.current(), error);
            if (!source)
                args.fail("source " + cli::quoted(args.current()) + " " + error);
            options.sources.push_back(*source);
        } else {
            args.unexpected();
        }
    }
    if (options.sources.empty())
        args.fail("no SOURCE given");
    options.mapping.check(args);
    strip::checkUniverses(args, options.sources, "source", options.edge, options.mapping.ledsPerUniverse);
    return options;
}

// Shows the newest frame, says when frames stop coming and come again, and
// prints the stats line.
class Show {
public:
    Show(const std::string& name, const Options& options, const writer::Guard& guard,
         const input::Listener& listener, input::Latest& latest, strip::StripReader reader)
        : name_(name),
          options_(options),
          guard_(guard),
          listener_(listener),
          latest_(latest),
          reader_(std::move(reader)),
          box_(lBox::getInstance(static_cast<uint8_t>(options.edge), static_cast<uint8_t>(options.edge),
                                 static_cast<uint8_t>(options.edge))),
          writer_(box_, options.edge),
          frame_(options.edge),
          timeout_(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.timeout)))
    {
    }

    void run()
    {
        Clock::time_point nextStats = Clock::now() + kStatsEvery;
        input::Heard heard;
        while (!guard_.stopRequested()) {
            Clock::time_point now = Clock::now();
            if (latest_.take(heard, now + kTick)) {
                now = Clock::now();
                if (lost_)
                    std::fprintf(stderr, "%s: frames come again (%s)\n", name_.c_str(), listener_.describe(heard.source).c_str());
                lost_ = false;
                reader_.read(heard.pixels, frame_);
                writer_.show(frame_);
                ++shown_;
                lastFrame_ = now;
            } else if (lastFrame_ != Clock::time_point{} && !lost_ && now - lastFrame_ > timeout_) {
                lost_ = true;
                std::fprintf(stderr, "%s: no frame for %g s; %s\n", name_.c_str(), options_.timeout,
                             options_.blankOnLoss ? "the cube is dark until frames come again"
                                                  : "the last one stays until frames come again");
                if (options_.blankOnLoss) {
                    frame_.clear();
                    writer_.show(frame_);
                }
            } else {
                writer_.refresh();
            }
            if (options_.stats && now >= nextStats) {
                printStats();
                nextStats += kStatsEvery;
            }
        }
    }

    // The cube dark; the library still sends this last frame as it ends.
    void end()
    {
        frame_.clear();
        writer_.show(frame_);
    }

private:
    void printStats() const
    {
        uint64_t received = 0;
        std::string sources;
        for (std::size_t i = 0; i < listener_.size(); ++i) {
            const input::Counts& c = listener_.counts(i);
            const uint64_t frames = c.frames.load(std::memory_order_relaxed);
            received += frames;
            sources += "; " + options_.sources[i].text + ": " + std::to_string(frames) + " frames, " +
                       std::to_string(c.packets.load(std::memory_order_relaxed)) + " packets, " +
                       std::to_string(c.malformed.load(std::memory_order_relaxed)) + " malformed, " +
                       std::to_string(c.refused.load(std::memory_order_relaxed)) + " refused, " +
                       input::ignoredText(c);
        }
        std::fprintf(stderr, "%s: frames %llu received, %llu shown, %llu dropped%s\n", name_.c_str(),
                     static_cast<unsigned long long>(received), static_cast<unsigned long long>(shown_),
                     static_cast<unsigned long long>(latest_.dropped()), sources.c_str());
    }

    std::string name_;
    const Options& options_;
    const writer::Guard& guard_;
    const input::Listener& listener_;
    input::Latest& latest_;
    strip::StripReader reader_;
    lBox* box_;
    lFrameWriter writer_;
    lFrame frame_;
    Clock::duration timeout_;
    Clock::time_point lastFrame_{};
    bool lost_ = false;
    uint64_t shown_ = 0;
};

int listenAndShow(const std::string& name, int argc, char** argv)
{
    const Options options = parseOptions(name, argc, argv);
    // Everything that can refuse to start does so before the channel is
    // touched: the layout, and every address and port.
    strip::StripReader reader(options.mapping.wiring(options.edge), options.mapping.colour);
    const std::size_t leds = static_cast<std::size_t>(options.edge * options.edge * options.edge);
    input::Latest latest(input::Heard{std::vector<uint8_t>(leds * strip::kBytesPerPixel)});
    input::Settings settings;
    settings.leds = leds;
    settings.ledsPerUniverse = options.mapping.ledsPerUniverse;
    settings.multicast = options.multicast;
    settings.allowed = options.allowed;
    settings.opcIdle = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.opcIdle));
    settings.name = name;
    input::Listener listener(options.sources, settings, latest);
    const writer::Guard guard(name, options.edge, argc, argv);
    for (std::size_t i = 0; i < listener.size(); ++i)
        std::fprintf(stderr, "%s: %s\n", name.c_str(), listener.describe(i).c_str());

    Show show(name, options, guard, listener, latest, std::move(reader));
    // Set by main once a stop is asked for, read by the network thread.
    std::atomic<bool> stop{false};
    std::thread network([&] { listener.run(stop); });
    show.run();
    stop.store(true, std::memory_order_relaxed);
    network.join();
    show.end();
    return EXIT_SUCCESS;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string name = cli::programName(argv[0], kName);
    return process::run(name, [&] { return listenAndShow(name, argc, argv); });
}
