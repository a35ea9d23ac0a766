// How long `cubeshow 12` takes, from its start to its end, while a viewer
// plays it on a private X server with software GL, beside the show's own
// time: its holds (40,920 ms), the time that its frames take through the
// channel when no viewer draws (measured with cubetrace, the receiver
// without a window) and the library's second of shutdown. Played by:
//   cubetrace             the show's own time
//   cubeview12_baseline   the viewer before its drawing was made cheaper
//                         (target viewer_baselines, from git history)
//   cubeview12            the viewer as built
// Rounds alternate the three, so that the machine's noise falls on all.
//
// Usage: show_bench [rounds, default 1]

#include "lbox/channel.h"
#include "testkit/support.h"
#include "testkit/xsession.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr long kHoldsMs = 40920;
constexpr long kShutdownMs = 1000;
constexpr auto kShowDeadline = 600s;
constexpr auto kStartDeadline = 60s;

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "show_bench: %s\n", what.c_str());
    std::exit(EXIT_FAILURE);
}

// Plays the show into `dir`, whose receiver is up, and returns its wall time.
long playShow(testsupport::RunDir& dir)
{
    const auto start = Clock::now();
    testsupport::Process show({testsupport::binary("cubeshow"), "12"},
                              testsupport::Process::Options::in(dir.runDir()));
    const testsupport::Exit exit = show.wait(kShowDeadline);
    const auto end = Clock::now();
    if (exit.code != 0)
        fail("cubeshow did not end cleanly: " + show.err());
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(end - start).count());
}

long withTracer()
{
    testsupport::RunDir dir;
    // A code that the receiver drops on start: once it reads idle, it is up.
    uint8_t* record = dir.mapRecord();
    channel::storeStatus(record, channel::kStatusClear);
    testsupport::Process tracer({testsupport::binary("cubetrace")}, testsupport::Process::Options::in(dir.root()));
    const auto end = Clock::now() + kStartDeadline;
    while (channel::loadStatus(record) != channel::kStatusIdle) {
        if (!tracer.running() || Clock::now() >= end)
            fail("cubetrace did not take up the channel: " + tracer.err());
        std::this_thread::sleep_for(1ms);
    }
    const long ms = playShow(dir);
    tracer.signal(SIGTERM);
    tracer.wait();
    return ms;
}

long withViewer(const xsession::XServer& x, const std::string& program)
{
    testsupport::RunDir dir;
    xsession::Viewer viewer(x, program, dir.root());
    // The window is up and drawn once before the show starts.
    x.waitForPicture([](const xsession::Image& image) { return !(image.at(400, 300) == xsession::Rgb{}); });
    return playShow(dir);
}

long median(std::vector<long> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 1;
    if (rounds < 1)
        fail("rounds must be 1 or more");
    const std::string current = testsupport::binary("cubeview12");
    const std::string baseline = current + "_baseline";
    const bool hasBaseline = std::filesystem::exists(baseline);
    xsession::XServer x;
    std::printf("cubeshow 12 under Xvfb (%s), software GL; %d round(s), median wall times\n", x.display().c_str(),
                rounds);

    std::vector<long> traced, before, after;
    for (int round = 0; round < rounds; ++round) {
        traced.push_back(withTracer());
        if (hasBaseline)
            before.push_back(withViewer(x, baseline));
        after.push_back(withViewer(x, current));
    }
    // The ratios set the show's wall time, its second of shutdown left out,
    // against its holds plus its channel time.
    const long own = median(traced);
    const long channelMs = own - kHoldsMs - kShutdownMs;
    const auto ratio = [&](long ms) { return double(ms - kShutdownMs) / double(kHoldsMs + channelMs); };
    std::printf("  with cubetrace:            %6ld ms = holds %ld + channel %ld + shutdown %ld\n", own, kHoldsMs,
                channelMs, kShutdownMs);
    if (hasBaseline) {
        const long b = median(before);
        std::printf("  with cubeview12_baseline:  %6ld ms  ratio %.3f\n", b, ratio(b));
    } else {
        std::printf("  no baseline viewer: build the target viewer_baselines\n");
    }
    const long c = median(after);
    std::printf("  with cubeview12:           %6ld ms  ratio %.3f\n", c, ratio(c));
    return 0;
}
