// What drawing costs the real viewer, for both cube edges, on a private X
// server with software GL, beside the baseline: the viewer as it drew before
// its drawing was made cheaper (cubeview<edge>_baseline, built from git
// history by the target viewer_baselines). Both run with the display probe
// preloaded, which logs every frame they draw:
//  - display time per frame: the spin is on, so that frames follow each other
//    as fast as the 30 ms tick allows; the median time spent in display, and
//    the median CPU time of the viewer (all threads, Mesa's included) meanwhile;
//  - page faults per frame while spinning;
//  - idle: nothing changes for a while; the viewer's CPU time as a share of
//    one core, the X server's, and the frames the viewer draws a second;
//  - the frame-rate line printed when the spin stops, beside the frames that
//    the probe saw drawn between the two presses of space.
// Rounds alternate the two builds, so that the machine's noise falls on both.
//
// Usage: display_bench [seconds per measurement, default 5] [rounds, default 2]

#include "testkit/support.h"
#include "testkit/xsession.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using testsupport::median;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using xsession::DrawnFrame;

constexpr int kDefaultSeconds = 5;
constexpr int kDefaultRounds = 2;
constexpr int kEdges[] = {12, 5};
// The viewer counts as settled once it has drawn nothing for a while, or
// after a few seconds if it keeps drawing.
constexpr auto kQuiet = 1s;
constexpr auto kSettleAtMost = 5s;
// Fields 14 and 15 of /proc/<pid>/stat: user and system time in clock ticks.
constexpr int kUserTimeField = 14;

// CPU seconds used so far by a process, all its threads included.
double cpuSeconds(pid_t pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // The command name may hold blanks; the fields after it are plain.
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int number = 3; number <= kUserTimeField + 1 && rest >> field; ++number)
        if (number >= kUserTimeField)
            ticks += std::stol(field);
    return double(ticks) / double(::sysconf(_SC_CLK_TCK));
}

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

std::vector<DrawnFrame> framesBetween(const std::vector<DrawnFrame>& frames, Clock::time_point from,
                                      Clock::time_point to)
{
    std::vector<DrawnFrame> between;
    std::copy_if(frames.begin(), frames.end(), std::back_inserter(between),
                 [&](const DrawnFrame& f) { return f.end >= from && f.end <= to; });
    return between;
}

// Waits for the viewer's first frame, then until it settles.
void settle(const xsession::FrameLog& log)
{
    const auto deadline = Clock::now() + 60s;
    while (log.frames().empty() && Clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    const auto end = Clock::now() + kSettleAtMost;
    while (Clock::now() < end) {
        const auto frames = log.frames();
        if (!frames.empty() && Clock::now() - frames.back().end >= kQuiet)
            return;
        std::this_thread::sleep_for(50ms);
    }
}

// What one round measured of one build.
struct Round {
    std::vector<DrawnFrame> spun;
    double idleCore = 0;
    double idleServerCore = 0;
    double idleFps = 0;
    double printedFps = 0;
    double drawnFps = 0;
};

Round measure(const xsession::XServer& x, const std::string& program, std::chrono::seconds span)
{
    testsupport::RunDir dir;
    const xsession::FrameLog log(dir.root());
    xsession::Viewer viewer(x, program, dir.root(), log.environment());
    settle(log);
    const pid_t pid = viewer.process().pid();
    Round round;

    const double viewerBefore = cpuSeconds(pid), serverBefore = cpuSeconds(x.serverPid());
    const auto idleFrom = Clock::now();
    std::this_thread::sleep_for(span);
    const auto idleTo = Clock::now();
    const double idleSpan = seconds(idleTo - idleFrom);
    round.idleCore = (cpuSeconds(pid) - viewerBefore) / idleSpan;
    round.idleServerCore = (cpuSeconds(x.serverPid()) - serverBefore) / idleSpan;
    round.idleFps = double(framesBetween(log.frames(), idleFrom, idleTo).size()) / idleSpan;

    const auto pressed = Clock::now();
    viewer.key({"space"});
    const auto spinFrom = Clock::now();
    std::this_thread::sleep_for(span);
    const auto spinTo = Clock::now();
    viewer.key({"space"});
    const auto released = Clock::now();

    std::optional<long> rate;
    viewer.process().waitForOutput([&](const std::string& text) { return (rate = testsupport::printedRate(text)).has_value(); });
    if (!rate) {
        std::fprintf(stderr, "%s: no frame-rate line\n", program.c_str());
        std::exit(EXIT_FAILURE);
    }
    round.printedFps = double(*rate) / 100;
    const auto frames = log.frames();
    round.spun = framesBetween(frames, spinFrom, spinTo);
    round.drawnFps = double(framesBetween(frames, pressed, released).size()) / seconds(released - pressed);
    return round;
}

double mean(const std::vector<double>& values)
{
    double sum = 0;
    for (double v : values)
        sum += v;
    return values.empty() ? 0 : sum / double(values.size());
}

struct Figures {
    double displayMs = 0;
    double cpuMs = 0;
    double faults = 0;
    double idleCore = 0;
    double idleServerCore = 0;
    double idleFps = 0;
    std::string rates;
};

Figures summarise(const std::vector<Round>& rounds)
{
    std::vector<double> wall, cpu, faults, idle, server, idleFps;
    Figures f;
    char rate[64];
    for (const Round& r : rounds) {
        for (const DrawnFrame& frame : r.spun) {
            wall.push_back(double(frame.wall.count()) / 1000.0);
            cpu.push_back(double(frame.cpu.count()) / 1000.0);
            faults.push_back(double(frame.faults));
        }
        idle.push_back(r.idleCore);
        server.push_back(r.idleServerCore);
        idleFps.push_back(r.idleFps);
        std::snprintf(rate, sizeof rate, "%s%.2f/%.1f", f.rates.empty() ? "" : " ", r.printedFps, r.drawnFps);
        f.rates += rate;
    }
    f.displayMs = median(wall);
    f.cpuMs = median(cpu);
    f.faults = mean(faults);
    f.idleCore = median(idle);
    f.idleServerCore = median(server);
    f.idleFps = median(idleFps);
    return f;
}

void printRow(const char* what, const char* format, double baseline, double current, bool hasBaseline)
{
    char base[32] = "-", now[32], ratio[32] = "-";
    if (hasBaseline)
        std::snprintf(base, sizeof base, format, baseline);
    std::snprintf(now, sizeof now, format, current);
    if (hasBaseline && baseline > 0)
        std::snprintf(ratio, sizeof ratio, "%.3f", current / baseline);
    std::printf("  %-34s %12s %12s %10s\n", what, base, now, ratio);
}

}  // namespace

int main(int argc, char** argv)
{
    const std::chrono::seconds span(argc > 1 ? std::atoi(argv[1]) : kDefaultSeconds);
    const int rounds = argc > 2 ? std::atoi(argv[2]) : kDefaultRounds;
    xsession::XServer x;
    std::printf("software GL under Xvfb (%s), window %dx%d; %lld s per measurement, %d rounds\n",
                x.display().c_str(), xsession::Viewer::kWidth, xsession::Viewer::kHeight,
                static_cast<long long>(span.count()), rounds);

    for (int edge : kEdges) {
        const std::string current = testsupport::binary("cubeview" + std::to_string(edge));
        const std::string baseline = current + "_baseline";
        const bool hasBaseline = std::filesystem::exists(baseline);
        std::vector<Round> before, after;
        for (int round = 0; round < rounds; ++round) {
            if (hasBaseline)
                before.push_back(measure(x, baseline, span));
            after.push_back(measure(x, current, span));
        }
        const Figures b = hasBaseline ? summarise(before) : Figures{};
        const Figures c = summarise(after);

        std::printf("\nedge %d%s\n", edge, hasBaseline ? "" : " (no baseline: build the target viewer_baselines)");
        std::printf("  %-34s %12s %12s %10s\n", "", "baseline", "current", "ratio");
        printRow("display, ms per frame (median)", "%.1f", b.displayMs, c.displayMs, hasBaseline);
        printRow("CPU, ms per frame (median)", "%.1f", b.cpuMs, c.cpuMs, hasBaseline);
        printRow("page faults per frame (mean)", "%.2f", b.faults, c.faults, hasBaseline);
        printRow("idle: viewer, % of one core", "%.1f", 100 * b.idleCore, 100 * c.idleCore, hasBaseline);
        printRow("idle: X server, % of one core", "%.1f", 100 * b.idleServerCore, 100 * c.idleServerCore,
                 hasBaseline);
        printRow("idle: frames drawn a second", "%.1f", b.idleFps, c.idleFps, hasBaseline);
        std::printf("  %-34s\n    baseline %s\n    current  %s\n", "spin: fps on the rate line / drawn",
                    hasBaseline ? b.rates.c_str() : "-", c.rates.c_str());
        std::fflush(stdout);
    }
    return 0;
}
