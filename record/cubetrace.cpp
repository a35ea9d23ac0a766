// cubetrace: the viewer's frame receiver without a window. Started where the
// viewer would run, beside "shared_buffer.txt", it answers the channel like
// the viewer and prints one line for every frame release:
//
//   <release number> <ms since start> <lit LEDs on show> <FNV-1a of the table>
//
// and with --leds every lit LED of that frame, "  x y z r g b", x slowest.
// With --record FILE it also writes every code it receives, with its entries
// and its time, to FILE (the format of record/recording.h) for cubereplay.
// It ends on SIGINT or SIGTERM, or right after printing the release given by
// --count; that last release may then stay unanswered in the record, which
// the next receiver to start resets anyway.

#include "common/cli.h"
#include "common/headless.h"
#include "record/recording.h"

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <string>
#include <unistd.h>

namespace {

constexpr uint32_t kFnvOffsetBasis = 0x811c9dc5u;
constexpr uint32_t kFnvPrime = 0x01000193u;

using Clock = std::chrono::steady_clock;

struct Options {
    int edge = kCubeEdge;
    bool leds = false;
    unsigned long count = 0;  // 0: until a signal
    const char* recordPath = nullptr;
};

// Set by main before the receiver starts, then used by the receiver thread
// alone (the thread's start publishes it).
struct Trace {
    Options options;
    Clock::time_point start;
    unsigned long releases = 0;
    std::FILE* recordFile = nullptr;
    recording::Writer recorder;
};
Trace trace;

cli::Tool tool()
{
    return {"cubetrace",
            "Usage: cubetrace [OPTION]...\n"
            "Serves the frame channel like the viewer, but without a window: run it where\n"
            "the viewer would run, beside shared_buffer.txt. For every frame release it\n"
            "prints the release number, the milliseconds since start, the number of lit\n"
            "LEDs and a hash of the frame. It ends on Ctrl-C.\n"
            "\n"
            "  --edge N        serve a cube of edge N: " +
                cli::builtEdges() +
                " (default 12)\n"
                "  --leds          also list every lit LED of a frame: x y z r g b\n"
                "  --count N       end after N frame releases\n"
                "  --record FILE   write every code received, with its time, to FILE\n"
                "                  (cubereplay plays it back)\n"
                "  --help          show this help and exit\n"
                "  --version       show the version and exit\n"
                "\n"
                "Example:\n"
                "  cubetrace --edge 5 --record fill.rec\n"};
}

Options parseOptions(int argc, char** argv)
{
    Options options;
    cli::Parser args(tool(), argc, argv);
    while (args.next()) {
        if (args.flag("--leds"))
            options.leds = true;
        else if (const char* edge = args.option("--edge"))
            options.edge = args.edge("--edge", edge);
        else if (const char* path = args.option("--record"))
            options.recordPath = path;
        else if (const char* count = args.option("--count"))
            options.count = args.count("--count", count, 1, ULONG_MAX);
        else
            args.unexpected();
    }
    return options;
}

uint32_t fnv1a(const storeColor* table)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(table);
    uint32_t hash = kFnvOffsetBasis;
    for (std::size_t i = 0; i < sizeof(storeColor) * kCubeLeds; ++i) {
        hash ^= bytes[i];
        hash *= kFnvPrime;
    }
    return hash;
}

int litCount(const storeColor* table)
{
    int lit = 0;
    for (int i = 0; i < kCubeLeds; ++i)
        lit += isLit(table[i]);
    return lit;
}

void printLitLeds(const storeColor* table)
{
    for (int x = 0; x < kCubeEdge; ++x)
        for (int y = 0; y < kCubeEdge; ++y)
            for (int z = 0; z < kCubeEdge; ++z) {
                const storeColor& c = table[ledIndex(x, y, z)];
                if (isLit(c))
                    std::printf("  %d %d %d %g %g %g\n", x, y, z, c.r, c.g, c.b);
            }
}

[[noreturn]] void recordingFailed()
{
    std::perror(("cubetrace: unable to write the recording " + std::string(trace.options.recordPath)).c_str());
    std::_Exit(EXIT_FAILURE);
}

// Runs on the receiver thread for every code, before the receiver acts on it.
// The file lock keeps main from flushing half an item at the end.
void recordCode(uint8_t code, const uint8_t* record)
{
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - trace.start).count();
    flockfile(trace.recordFile);
    const bool written = trace.recorder.add(static_cast<uint64_t>(us), code, record);
    funlockfile(trace.recordFile);
    if (!written)
        recordingFailed();
}

// Runs on the receiver thread after each exchange, before the release is
// answered, so no frame is missed however fast they come.
void printRelease(const storeColor* shown)
{
    const unsigned long count = trace.options.count;
    if (count != 0 && trace.releases == count)
        return;  // main is on its way out
    ++trace.releases;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - trace.start).count();

    // One release's lines go out whole: main takes the stream lock too before
    // it flushes and ends the process.
    flockfile(stdout);
    std::printf("%lu %lld %d %08" PRIx32 "\n", trace.releases, static_cast<long long>(ms), litCount(shown),
                fnv1a(shown));
    if (trace.options.leds)
        printLitLeds(shown);
    std::fflush(stdout);
    funlockfile(stdout);

    if (trace.releases == count)
        headless::finish();
}

}  // namespace

int main(int argc, char** argv)
{
    trace.start = Clock::now();
    trace.options = parseOptions(argc, argv);
    headless::serveEdge("cubetrace", trace.options.edge, argv);
    headless::blockSignals();

    if (trace.options.recordPath) {
        trace.recordFile = std::fopen(trace.options.recordPath, "wb");
        if (!trace.recordFile || !trace.recorder.start(trace.recordFile, kCubeEdge))
            recordingFailed();
    }
    headless::startReceiver(printRelease, trace.recordFile ? recordCode : nullptr);
    headless::waitForEnd();

    // The receiver thread still runs: hold the stream so that no release is
    // cut in half, and end without running static destructors under it.
    flockfile(stdout);
    std::fflush(stdout);
    if (trace.recordFile) {
        flockfile(trace.recordFile);
        if (std::fflush(trace.recordFile) != 0)
            recordingFailed();
    }
    _exit(EXIT_SUCCESS);
}
