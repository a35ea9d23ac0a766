// Plays a recording made by `cubetrace --record` back into the frame channel
// with its original timing, as a writer: like the library, it stores a code
// only while the record is idle.
//
//   cubereplay [--speed FACTOR] [--loop] [--fast] FILE
//
// Run it where an animation program would run: one directory below the
// viewer's, so that it opens "../shared_buffer.txt". The whole file is
// checked before anything is sent.

#include "lbox/channel.h"
#include "lbox/pacing.h"
#include "common/cli.h"
#include "common/process.h"
#include "common/writer.h"
#include "record/recording.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <charconv>
#include <string>
#include <string_view>

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kOpenFailure = "unable to open shared_buffer.txt Exiting";
constexpr std::size_t kHelpColumn = 14;  // where the options' descriptions start

const cli::Tool kTool{"cubereplay",
                     "Usage: cubereplay [OPTION]... FILE\n"
                     "Plays a recording made by cubetrace --record back into the frame channel,\n"
                     "with its original timing. Run it where an animation would run: one\n"
                     "directory below the viewer, which serves ../shared_buffer.txt. The whole\n"
                     "file is checked before anything is sent.\n"
                     "\n"
                     "  --speed F   play F times as fast (0.01 to 1000; default 1)\n"
                     "  --loop      start over at the end, until Ctrl-C\n" +
                     cli::fastHelp(kHelpColumn) +
                     "  --help      show this help and exit\n"
                     "  --version   show the version and exit\n"
                     "\n"
                     "Example:\n"
                     "  cubereplay --speed 2 ../show.rec\n"};

// Waits until the viewer has handed the record back, as the library waits
// for it (in the fast mode too); false when stopped first.
bool waitForIdle(uint8_t* record, const writer::Guard& guard)
{
    const auto idle = [record] { return channel::loadStatus(record) == channel::kStatusIdle; };
    pacing::waitUntil([&] { return idle() || guard.stopRequested(); });
    return idle();
}

// Plays the recording into the channel, as a writer, until its end (or,
// with `loop`, until stopped).
void play(const recording::Recording& show, double speed, bool loop, const writer::Guard& guard)
{
    uint8_t* record = channel::mapRecord(writer::kChannelPath, kOpenFailure);
    channel::storeStatus(record, channel::kStatusIdle);

    for (bool more = true; more;) {
        const Clock::time_point start = Clock::now();
        for (const recording::Item& item : show.items) {
            const auto due = std::chrono::microseconds(static_cast<uint64_t>(static_cast<double>(item.timeUs) / speed));
            guard.sleepUntil(start + due);
            if (!waitForIdle(record, guard)) {
                // Stopped while the viewer still holds an unread code of ours:
                // withdraw it, as the library does when it ends.
                channel::storeStatus(record, channel::kStatusIdle);
                return;
            }
            for (std::size_t k = 0; k < item.entryCount; ++k)
                channel::packEntry(record, k, item.entries[k]);
            channel::storeStatus(record, item.code);
        }
        more = loop && !guard.stopRequested();
    }
    // At the end of the file the last code stays in the record for the viewer
    // to handle; a stop that came just after it was stored withdraws it.
    if (guard.stopRequested())
        channel::storeStatus(record, channel::kStatusIdle);
}

// The receiver's edge as cubeplay tells it (cli::kEdgeVariable), or 0 when
// nothing says: run by hand, cubereplay cannot know the viewer's edge.
int receiverEdge()
{
    const char* told = std::getenv(cli::kEdgeVariable);
    const std::string_view text = told ? told : "";
    int edge = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), edge);
    return error == std::errc() && end == text.data() + text.size() && edge > 0 ? edge : 0;
}

// A recording made for another edge still plays, each LED where it was
// recorded: a smaller show fills a corner, a larger one loses the LEDs
// beyond the receiver's cube. Said rather than refused, as either may be
// meant, and said before anything is sent.
void warnOfOtherEdge(const std::string& path, int recorded)
{
    const int edge = receiverEdge();
    if (edge != 0 && edge != recorded)
        std::fprintf(stderr,
                     "%s: warning: %s was recorded on a cube of edge %d, and the receiver's is %d "
                     "(cubeplay --edge %d matches them)\n",
                     kTool.name.c_str(), path.c_str(), recorded, edge, recorded);
}

}  // namespace

int main(int argc, char** argv)
{
    return process::run(kTool.name, [&] {
        double speed = 1.0;
        bool loop = false;
        const char* path = nullptr;
        cli::Parser args(kTool, argc, argv);
        while (args.next()) {
            if (args.flag("--loop"))
                loop = true;
            else if (const char* factor = args.option("--speed"))
                speed = args.number("--speed", factor, recording::kMinSpeed, recording::kMaxSpeed);
            else if (cli::takeFast(args))
                ;
            else if (args.positional() && !path)
                path = args.current();
            else
                args.unexpected();
        }
        if (!path)
            args.fail("no recording given");

        recording::Recording show;
        std::string error;
        if (!recording::load(path, show, error))
            process::fail(error);
        warnOfOtherEdge(path, show.edge);
        const writer::Guard guard(kTool.name, static_cast<int>(show.edge), argc, argv);
        play(show, speed, loop, guard);
        return EXIT_SUCCESS;
    });
}
