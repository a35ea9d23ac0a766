// What drawing costs the real viewer, for both cube edges, on a private X
// server with software GL:
//  - display time per frame: the spin is turned on for a while, so that
//    frames follow each other as fast as they can (at most one per 30 ms
//    timer tick); the viewer's own frame-rate line gives the frame count, its
//    CPU time over the same while gives the cost of one frame;
//  - idle CPU: with no input the viewer still redraws on every 30 ms tick;
//    its CPU time over a quiet while, as a share of one core.
//
// Usage: display_bench [seconds per measurement, default 5]

#include "support.h"
#include "xsession.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kDefaultSeconds = 5;
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

struct Usage {
    double viewer = 0;  // CPU seconds
    double server = 0;
    double wall = 0;
};

Usage measure(pid_t viewer, pid_t server, std::chrono::seconds span)
{
    const double v0 = cpuSeconds(viewer), s0 = cpuSeconds(server);
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(span);
    return {cpuSeconds(viewer) - v0, cpuSeconds(server) - s0,
            std::chrono::duration<double>(Clock::now() - t0).count()};
}

bool drawn(const xsession::Image& image)
{
    constexpr int kSomePixels = 1000;
    int lit = 0;
    for (int y = 0; y < xsession::Viewer::kHeight; ++y)
        for (int x = 0; x < xsession::Viewer::kWidth; ++x)
            lit += !(image.at(x, y) == xsession::Rgb{});
    return lit > kSomePixels;
}

void benchEdge(const xsession::XServer& x, pid_t serverPid, int edge, std::chrono::seconds span)
{
    testsupport::RunDir dir;
    xsession::Viewer viewer(x, testsupport::binary("cubeview" + std::to_string(edge)), dir.root());
    x.waitForPicture(drawn);
    const pid_t pid = viewer.process().pid();

    const Usage idle = measure(pid, serverPid, span);

    viewer.key({"space"});
    const Usage spinning = measure(pid, serverPid, span);
    viewer.key({"space"});
    const std::regex rateLine(R"(framerate: (\d+)\.(\d\d) fps\n)");
    std::smatch rate;
    std::string out;
    viewer.process().waitForOutput([&](const std::string& text) {
        out = text;
        return std::regex_search(out, rate, rateLine);
    });
    if (rate.empty()) {
        std::fprintf(stderr, "edge %d: no frame-rate line from the viewer\n", edge);
        std::exit(EXIT_FAILURE);
    }
    const double fps = std::stod(rate[1].str() + "." + rate[2].str());
    const double frames = fps * spinning.wall;

    std::printf("edge %2d: display %6.1f ms CPU per frame (%5.2f fps while spinning, %6.1f ms wall per frame)\n",
                edge, 1000.0 * spinning.viewer / frames, fps, 1000.0 / fps);
    std::printf("         idle: viewer %5.1f%% of one core, X server %5.1f%% (over %.1f s)\n",
                100.0 * idle.viewer / idle.wall, 100.0 * idle.server / idle.wall, idle.wall);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    const std::chrono::seconds span(argc > 1 ? std::atoi(argv[1]) : kDefaultSeconds);
    xsession::XServer x;
    std::printf("software GL on %s, window %dx%d, %lld s per measurement\n", x.display().c_str(),
                xsession::Viewer::kWidth, xsession::Viewer::kHeight, static_cast<long long>(span.count()));
    for (int edge : {12, 5})
        benchEdge(x, x.serverPid(), edge, span);
    return 0;
}
