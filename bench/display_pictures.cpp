// Whether the viewer draws the very pictures that the baseline drew (the
// viewer before its drawing was made cheaper, cubeview<edge>_baseline, built
// from git history by the target viewer_baselines). Both builds of each edge are taken through the same
// states on a private X server, and their windows compared pixel by pixel:
//   launch   every LED unlit, the prompt line
//   leds     a frame of a few LEDs in assorted colours
//   help     the help text over it
//   camera   turned, panned and moved nearer by mouse drags
//   spin     the spin at its top speed, exactly twelve frames in (30 degrees)
//   stopped  the spin stopped again
// The screenshots are saved as PPM files for a look.
//
// Usage: display_pictures [directory for the screenshots, default a new one in /tmp]

#include "lbox/channel.h"
#include "testkit/support.h"
#include "testkit/xsession.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using xsession::Image;
using xsession::Viewer;
using xsession::windowOf;

constexpr int kEdges[] = {12, 5};
constexpr auto kDeadline = 120s;
constexpr int kSpinFrames = 12;

struct State {
    std::string name;
    Image window;
};

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "display_pictures: %s\n", what.c_str());
    std::exit(EXIT_FAILURE);
}

// The window once it holds still in a picture that `changed` accepts: alike
// in two screenshots taken several frames apart, so that a viewer which
// spins or has yet to draw the change cannot pass.
Image settledWindow(const xsession::XServer& x, const xsession::FrameLog& log,
                    const std::function<bool(const Image&)>& changed, const std::string& what)
{
    constexpr auto kShortest = 500ms;
    constexpr int kFrames = 4;
    const auto end = std::chrono::steady_clock::now() + kDeadline;
    Image last = windowOf(x.screenshot());
    for (;;) {
        std::chrono::microseconds longest{};
        for (const xsession::DrawnFrame& frame : log.frames())
            longest = std::max(longest, frame.wall);
        std::this_thread::sleep_for(std::max<std::chrono::microseconds>(kShortest, kFrames * longest));
        Image now = windowOf(x.screenshot());
        if (now == last && changed(now))
            return now;
        if (std::chrono::steady_clock::now() >= end)
            fail(what + " did not settle");
        last = std::move(now);
    }
}

char processState(pid_t pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::size_t after = stat.rfind(')');
    return after == std::string::npos || after + 2 >= stat.size() ? '?' : stat[after + 2];
}

// Lets a viewer that the bench has stopped draw exactly one frame, after
// which the probe stops it again with that frame on the screen.
void drawOneFrame(Viewer& viewer, const xsession::FrameLog& log)
{
    const std::size_t before = log.frames().size();
    viewer.process().signal(xsession::FrameLog::kStopAfterFrameSignal);
    viewer.process().signal(SIGCONT);
    const auto end = std::chrono::steady_clock::now() + kDeadline;
    while (log.frames().size() == before || processState(viewer.process().pid()) != 'T') {
        if (std::chrono::steady_clock::now() >= end)
            fail("no frame drawn in single steps");
        std::this_thread::sleep_for(5ms);
    }
}

std::vector<State> takeStates(const xsession::XServer& x, const std::string& program)
{
    testsupport::RunDir dir;
    const xsession::FrameLog log(dir.root());
    Viewer viewer(x, program, dir.root(), log.environment());
    std::vector<State> states;
    // Each state changes the picture; the first is the first one drawn.
    const auto differs = [&](const Image& i) {
        return states.empty() ? !(i == Image(Viewer::kWidth, Viewer::kHeight)) : !(i == states.back().window);
    };
    const auto take = [&](const std::string& name) {
        states.push_back({name, settledWindow(x, log, differs, name)});
    };
    take("launch");

    // Full, partial and out-of-range intensities, near and far, high and low.
    const std::vector<queueEntry> leds{
        {1, 0, 2, {1.0f, 0.0f, 0.0f}}, {2, 0, 2, {0.0f, 1.0f, 0.0f}},  {0, 1, 2, {0.0f, 0.0f, 1.0f}},
        {4, 0, 4, {1.0f, 1.0f, 1.0f}}, {3, 0, 0, {1.0f, 0.5f, 0.0f}},  {2, 2, 2, {0.2f, 0.9f, 0.7f}},
        {0, 0, 0, {1.0f, 0.0f, 1.0f}}, {4, 4, 4, {0.0f, 1.0f, 1.0f}},  {1, 1, 0, {0.9f, 0.9f, 0.1f}},
        {3, 3, 1, {2.0f, -1.0f, 0.5f}}, {0, 4, 3, {0.6f, 0.3f, 0.05f}}, {4, 2, 0, {0.1f, 0.1f, 0.1f}},
    };
    xsession::Writer writer(dir);
    for (const queueEntry& led : leds)
        if (!writer.light(led.x, led.y, led.z, led.color))
            fail("the viewer did not take a record");
    if (!writer.release())
        fail("the viewer did not take the release");
    take("leds");

    viewer.key({"F1"});
    take("help");

    for (const char* button : {"1", "2", "3"})
        x.xdotool({"mousemove", "400", "300", "mousedown", button, "mousemove", "430", "280", "mouseup", button});
    take("camera");

    // Stopped, the viewer takes the keys in one go; then it draws one frame
    // at a time until the twelfth spun one.
    viewer.process().signal(SIGSTOP);
    viewer.key({"space", "a", "a"});
    x.xdotool({"getmouselocation"});  // a round trip: the keys are queued
    const Image still = states.back().window;
    do
        drawOneFrame(viewer, log);
    while (windowOf(x.screenshot()) == still);
    for (int frame = 1; frame < kSpinFrames; ++frame)
        drawOneFrame(viewer, log);
    states.push_back({"spin", windowOf(x.screenshot())});
    viewer.process().signal(SIGCONT);

    viewer.key({"space"});
    if (!viewer.process().waitForOutput([](const std::string& out) { return !out.empty(); }, kDeadline))
        fail("the spin did not stop");
    take("stopped");
    return states;
}

long differingPixels(const Image& a, const Image& b)
{
    long differ = 0;
    for (int y = 0; y < Viewer::kHeight; ++y)
        for (int x = 0; x < Viewer::kWidth; ++x)
            differ += !(a.at(x, y) == b.at(x, y));
    return differ;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string out;
    if (argc > 1) {
        out = argv[1];
        std::filesystem::create_directories(out);
    } else {
        char pattern[] = "/tmp/cube-pictures-XXXXXX";
        if (!::mkdtemp(pattern))
            fail("cannot make a directory for the screenshots");
        out = pattern;
    }
    xsession::XServer x;
    std::printf("software GL under Xvfb (%s); screenshots in %s\n", x.display().c_str(), out.c_str());

    int unlike = 0;
    for (int edge : kEdges) {
        const std::string current = testsupport::binary("cubeview" + std::to_string(edge));
        const std::string baseline = current + "_baseline";
        if (!std::filesystem::exists(baseline))
            fail("no baseline viewer: build the target viewer_baselines");
        const std::vector<State> before = takeStates(x, baseline);
        const std::vector<State> after = takeStates(x, current);
        for (std::size_t i = 0; i < after.size(); ++i) {
            const std::string stem = out + "/edge" + std::to_string(edge) + "-" + after[i].name;
            before[i].window.savePpm(stem + "-baseline.ppm");
            after[i].window.savePpm(stem + "-current.ppm");
            const long differ = differingPixels(before[i].window, after[i].window);
            unlike += differ != 0;
            std::printf("edge %2d %-8s %s\n", edge, after[i].name.c_str(),
                        differ ? (std::to_string(differ) + " pixels differ").c_str() : "identical");
        }
        std::fflush(stdout);
    }
    std::printf("%s\n", unlike ? "PICTURES DIFFER" : "all pictures identical");
    return unlike ? EXIT_FAILURE : EXIT_SUCCESS;
}
