// cubetrace: the viewer's frame receiver without a window. Started where the
// viewer would run, beside "shared_buffer.txt", it answers the channel like
// the viewer and prints one line for every frame release:
//
//   <release number> <ms since start> <lit LEDs on show> <FNV-1a of the table>
//
// and with --leds every lit LED of that frame, "  x y z r g b", x slowest.
// An LED is lit as every tool counts it (leds::lit): neither dark nor the
// unlit grey.
// With --record FILE it also writes every code it receives, with its entries
// and its time, to FILE (the format of record/recording.h) for cubereplay.
// It ends on a stop signal (Ctrl-C, SIGTERM, SIGHUP), or right after
// printing the release given by --count; that last release may then stay
// unanswered in the record, which the next receiver to start resets anyway.

#include "common/cli.h"
#include "common/fnv.h"
#include "common/headless.h"
#include "common/leds.h"
#include "common/process.h"
#include "common/signals.h"
#include "record/recording.h"

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kHelpColumn = 18;  // where the options' descriptions start

struct Options {
    int edge = kCubeEdge;
    bool leds = false;
    unsigned long count = 0;  // 0: until a signal
    const char* recordPath = nullptr;
};

cli::Tool tool(const std::string& name)
{
    return {name,
            "Usage: " + name +
                " [OPTION]...\n"
                "Serves the frame channel like the viewer, but without a window: run it where\n"
                "the viewer would run, beside shared_buffer.txt. For every frame release it\n"
                "prints the release number, the milliseconds since start, the number of lit\n"
                "LEDs and a hash of the frame. It ends on Ctrl-C.\n"
                "\n"
                "  --edge N        serve a cube of edge N: " +
                cli::builtEdges() + " (default " + std::to_string(kCubeEdge) +
                ")\n"
                "  --leds          also list every lit LED of a frame: x y z r g b\n"
                "  --count N       end after N frame releases\n"
                "  --record FILE   write every code received, with its time, to FILE\n"
                "                  (cubereplay plays it back)\n" +
                cli::fastHelp(kHelpColumn) +
                "  --help          show this help and exit\n"
                "  --version       show the version and exit\n"
                "\n"
                "Example:\n"
                "  cubetrace --edge 5 --record fill.rec\n"};
}

Options parseOptions(const std::string& name, int argc, char** argv)
{
    Options options;
    cli::Parser args(tool(name), argc, argv);
    while (args.next()) {
        if (args.flag("--leds"))
            options.leds = true;
        else if (const char* edge = args.option("--edge"))
            options.edge = args.edge("--edge", edge);
        else if (const char* path = args.option("--record"))
            options.recordPath = path;
        else if (const char* count = args.option("--count"))
            options.count = args.count("--count", count, 1, ULONG_MAX);
        else if (cli::takeFast(args))
            ;
        else
            args.unexpected();
    }
    return options;
}

uint32_t fnv1a(const storeColor* table)
{
    return fnv::hash({reinterpret_cast<const unsigned char*>(table), sizeof(storeColor) * kCubeLeds});
}

int litCount(const storeColor* table)
{
    int lit = 0;
    for (int i = 0; i < kCubeLeds; ++i)
        lit += leds::lit(table[i]);
    return lit;
}

void printLitLeds(const storeColor* table)
{
    for (int x = 0; x < kCubeEdge; ++x)
        for (int y = 0; y < kCubeEdge; ++y)
            for (int z = 0; z < kCubeEdge; ++z) {
                const storeColor& c = table[ledIndex(x, y, z)];
                if (leds::lit(c))
                    std::printf("  %d %d %d %g %g %g\n", x, y, z, c.r, c.g, c.b);
            }
}

// What the tracer sees: made before the receiver starts, then used by the
// receiver thread alone (the thread's start publishes it), until main takes
// the streams' locks to end the process.
class Tracer {
public:
    Tracer(const Options& options, signals::StopOnSignal& stop) : options_(options), stop_(stop)
    {
        if (!options_.recordPath)
            return;
        recordFile_ = std::fopen(options_.recordPath, "wb");
        if (!recordFile_ || !recorder_.start(recordFile_, kCubeEdge))
            process::fail(recordingFailure());
    }

    bool recording() const { return recordFile_ != nullptr; }

    // Runs on the receiver thread for every code, before the receiver acts on
    // it. The file lock keeps main from flushing half an item at the end.
    void recordCode(uint8_t code, const uint8_t* record)
    {
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start_).count();
        flockfile(recordFile_);
        const bool written = recorder_.add(static_cast<uint64_t>(us), code, record);
        funlockfile(recordFile_);
        if (!written && !failure_) {
            failure_ = recordingFailure();
            stop_.request();
        }
    }

    // Runs on the receiver thread after each exchange, before the release is
    // answered, so no frame is missed however fast they come.
    void printRelease(const storeColor* shown)
    {
        const unsigned long count = options_.count;
        if (count != 0 && releases_ == count)
            return;  // main is on its way out
        ++releases_;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_).count();

        // One release's lines go out whole: main takes the stream lock too
        // before it flushes and ends the process.
        flockfile(stdout);
        std::printf("%lu %lld %d %08" PRIx32 "\n", releases_, static_cast<long long>(ms), litCount(shown),
                    fnv1a(shown));
        if (options_.leds)
            printLitLeds(shown);
        std::fflush(stdout);
        funlockfile(stdout);

        if (releases_ == count)
            stop_.request();
    }

    // On the main thread once the receiver is to end. The receiver thread
    // still runs: the streams stay locked, so that no release or item is cut
    // in half, and the process must end without running static destructors.
    int end()
    {
        flockfile(stdout);
        std::fflush(stdout);
        if (recordFile_) {
            flockfile(recordFile_);
            if (!failure_ && std::fflush(recordFile_) != 0)
                failure_ = recordingFailure();
        }
        if (failure_)
            process::fail(*failure_);
        return EXIT_SUCCESS;
    }

private:
    std::string recordingFailure() const
    {
        return process::because(std::string("unable to write the recording ") + options_.recordPath);
    }

    Options options_;
    signals::StopOnSignal& stop_;
    Clock::time_point start_ = Clock::now();
    unsigned long releases_ = 0;
    std::FILE* recordFile_ = nullptr;
    recording::Writer recorder_;
    // Set by the receiver thread, read by main once the stop it then asks
    // for has ended the wait, which orders the two.
    std::optional<std::string> failure_;
};

}  // namespace

int main(int argc, char** argv)
{
    // The receiver thread still runs when the process ends, so main owns the
    // tracer and the stop that it asks for, and ends with _exit before
    // either is destroyed.
    std::optional<signals::StopOnSignal> stop;
    std::optional<Tracer> tracer;
    const std::string name = headless::ownName("cubetrace", argv[0]);
    _exit(process::run(name, [&] {
        const Options options = parseOptions(name, argc, argv);
        headless::serveEdge("cubetrace", options.edge, argv);
        stop.emplace();

        Tracer& trace = tracer.emplace(options, *stop);
        CodeHook recordCode;
        if (trace.recording())
            recordCode = [&trace](uint8_t code, const uint8_t* record) { trace.recordCode(code, record); };
        headless::startReceiver([&trace](const storeColor* shown) { trace.printRelease(shown); }, recordCode);
        stop->wait();
        return trace.end();
    }));
}
