// What whole frames cost: the frame writer against the two plain ways of
// sending a picture, and every effect of cubefx, through the channel to a
// cubetrace of the cube's edge.
//
//   frame_bench [frames]
//   frame_bench --channel-modes
//
// - Writer: frames of a cube half lit (the 12-cube and the 16-cube), each
//   changing 1 LED, a tenth of the LEDs or all of them (a new colour, or
//   off, or on) against the frame before. The same frames go out three ways,
//   side by side in one run: through lFrameWriter; as "whole" (clear, then
//   write every lit LED); and as "every LED" (write all of them). For each:
//   LED writes per frame and the frame time, `frames` frames (default 200)
//   back to back, the animation below a cubetrace.
// - Effects: each effect of cubefx at edges 8 and 16. Its compute time per
//   frame (median of 300 frames drawn in this process), and, from a
//   cubetrace --record of cubefx --unpaced playing it for 3 seconds of
//   effect time, the LED writes per frame and the frames a second that the
//   channel carries.
// - Channel modes: plasma and fade at edge 16 through the channel as above,
//   with cubefx and cubetrace in the default mode and both in the fast mode
//   (CUBE_CHANNEL=fast), side by side; --channel-modes runs this part alone.
//
// The cubes of edge 8 and 16 need their tracers: build with both in
// CUBE_EDGES ("12;5;8;16").

#include "effects/lEffect.h"
#include "lbox/channel.h"
#include "lbox/pacing.h"
#include "record/recording.h"
#include "testkit/support.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::Process;
using testsupport::RunDir;

constexpr int kDefaultFrames = 200;
constexpr int kMaxFrames = 100000;
constexpr int kComputeFrames = 300;
constexpr double kEffectFps = 30.0;
constexpr double kEffectSeconds = 3.0;
constexpr uint32_t kSeed = 2026;
constexpr uint8_t kStaleStatus = 0;  // any code but idle: its reset shows a receiver is up
constexpr auto kStartDeadline = 30s;
constexpr auto kRunDeadline = 10min;
constexpr double kTenth = 0.1;
constexpr int kModesEdge = 16;
constexpr const char* kModesEffects[] = {"plasma", "fade"};
constexpr double kModesGoalFps = 60;  // plasma's, in the fast mode

enum class Way { Writer, Whole, Every };
constexpr const char* kWayNames[] = {"writer", "whole", "every"};

struct Change {
    const char* name;
    double share;  // of the LEDs; 0 for a single LED
};
constexpr Change kChanges[] = {{"1 LED", 0.0}, {"10 %", kTenth}, {"100 %", 1.0}};

// The animation side, run by the bench as a child below a cubetrace: sends
// `frames` frames one way and prints "writes-per-frame ms-per-frame", the
// median writes (the writer's first two frames, and two a second, go out
// whole) and the mean time.
int animate(int edge, double share, Way way, int frames)
{
    lBox* box = lBox::getInstance(static_cast<uint8_t>(edge), static_cast<uint8_t>(edge), static_cast<uint8_t>(edge));
    lFrameWriter writer(box, edge);
    lFrame frame(edge);
    lRandom random(kSeed);
    const int leds = edge * edge * edge;
    const auto anyColour = [&] { return lFrame::hsv(random.uniform(), 1, 1); };
    for (int i = 0; i < leds; ++i)
        if (random.chance(0.5f))
            frame.set(i / (edge * edge), i / edge % edge, i % edge, anyColour());
    const int changes = share == 0.0 ? 1 : static_cast<int>(share * leds);

    std::vector<int> writes;
    const Clock::time_point start = Clock::now();
    for (int k = 0; k < frames; ++k) {
        // Changes to distinct LEDs: a stride through the cube from a random
        // start, so that "all of them" is every LED.
        const int first = random.below(leds);
        for (int c = 0; c < changes; ++c) {
            const int i = (first + c) % leds;
            const bool off = random.chance(0.5f);
            frame.set(i / (edge * edge), i / edge % edge, i % edge, off ? lFrame::kOff : anyColour());
        }
        if (way == Way::Writer) {
            writes.push_back(writer.show(frame));
            continue;
        }
        if (way == Way::Whole)
            box->clear();
        writes.push_back(0);
        for (int x = 0, i = 0; x < edge; ++x)
            for (int y = 0; y < edge; ++y)
                for (int z = 0; z < edge; ++z, ++i) {
                    const storeColor c = frame.leds()[static_cast<std::size_t>(i)];
                    if (way == Way::Every || !lFrame::isOff(c)) {
                        box->autowrite(static_cast<uint8_t>(x), static_cast<uint8_t>(y), static_cast<uint8_t>(z),
                                       lFrame::isOff(c) ? lFrame::kUnlit : c);
                        ++writes.back();
                    }
                }
        box->releaseFrame(false);
    }
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::nth_element(writes.begin(), writes.begin() + frames / 2, writes.end());
    std::printf("%d %.3f\n", writes[static_cast<std::size_t>(frames / 2)], ms / frames);
    box->msSleep(100);
    return EXIT_SUCCESS;
}

std::unique_ptr<Process> startTracer(RunDir& dir, int edge, const std::vector<std::string>& options)
{
    uint8_t* record = dir.mapRecord();
    channel::storeStatus(record, kStaleStatus);
    std::vector<std::string> argv{testsupport::binary("cubetrace"), "--edge", std::to_string(edge)};
    argv.insert(argv.end(), options.begin(), options.end());
    auto tracer = std::make_unique<Process>(argv, Process::Options::in(dir.root()));
    const auto end = Clock::now() + kStartDeadline;
    while (channel::loadStatus(record) != channel::kStatusIdle) {
        if (!tracer->running() || Clock::now() > end) {
            std::fprintf(stderr, "frame_bench: cubetrace --edge %d did not serve: %s", edge, tracer->err().c_str());
            std::exit(EXIT_FAILURE);
        }
        std::this_thread::sleep_for(1ms);
    }
    return tracer;
}

// Runs `argv` in the run directory below a tracer of `edge` and returns its
// standard output.
std::string runBelowTracer(int edge, const std::vector<std::string>& argv, const std::vector<std::string>& tracerOptions)
{
    RunDir dir;
    const auto tracer = startTracer(dir, edge, tracerOptions);
    Process animation(argv, Process::Options::in(dir.runDir()));
    const testsupport::Exit exit = animation.wait(kRunDeadline);
    tracer->signal(SIGTERM);
    tracer->wait();
    if (exit.code != 0) {
        std::fprintf(stderr, "frame_bench: %s failed: %s", argv[0].c_str(), animation.err().c_str());
        std::exit(EXIT_FAILURE);
    }
    return animation.out();
}

void benchWriter(const std::string& self, int frames)
{
    std::printf("Frames of a half-lit cube, %d a run, back to back through the channel to cubetrace:\n"
                "LED writes per frame (median) and ms per frame (mean), three ways side by side\n\n",
                frames);
    std::printf("| edge | change | writer: writes | ms | whole: writes | ms | every LED: writes | ms |\n"
                "|---|---|---|---|---|---|---|---|\n");
    for (const int edge : {12, 16})
        for (const Change& change : kChanges) {
            std::printf("| %d | %s ", edge, change.name);
            for (const Way way : {Way::Writer, Way::Whole, Way::Every}) {
                const std::string out =
                    runBelowTracer(edge,
                                   {self, "--animate", std::to_string(edge), std::to_string(change.share),
                                    kWayNames[static_cast<int>(way)], std::to_string(frames)},
                                   {});
                double writes = 0, ms = 0;
                std::sscanf(out.c_str(), "%lf %lf", &writes, &ms);
                std::printf("| %.0f | %.2f ", writes, ms);
            }
            std::printf("|\n");
            std::fflush(stdout);
        }
}

double medianDrawMs(const lEffectInfo& info, int edge)
{
    std::unique_ptr<lEffect> effect = info.make();
    lEffectContext context;
    context.edge = edge;
    context.random = lRandom(kSeed);
    effect->start(std::move(context));
    lFrame frame(edge);
    std::vector<double> ms;
    for (int k = 0; k < kComputeFrames; ++k) {
        const Clock::time_point start = Clock::now();
        effect->draw(frame, static_cast<double>(k) / kEffectFps);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::nth_element(ms.begin(), ms.begin() + kComputeFrames / 2, ms.end());
    return ms[kComputeFrames / 2];
}

struct ThroughChannel {
    double writesPerFrame = 0;
    double fps = 0;
};

// cubefx --unpaced playing `effect` at `edge` below a cubetrace --record,
// both in this process's environment; the recording goes to `files`.
ThroughChannel effectThroughChannel(const std::string& effect, int edge, const RunDir& files)
{
    const std::string path = files.root() + "/" + effect + std::to_string(edge) + ".rec";
    runBelowTracer(edge,
                   {testsupport::binary("cubefx"), "--edge", std::to_string(edge), "--duration",
                    std::to_string(kEffectSeconds), "--unpaced", "--seed", std::to_string(kSeed), effect},
                   {"--record", path});
    recording::Recording recorded;
    std::string error;
    if (!recording::load(path, recorded, error)) {
        std::fprintf(stderr, "frame_bench: %s\n", error.c_str());
        std::exit(EXIT_FAILURE);
    }
    long writes = 0;
    std::vector<uint64_t> releasedUs;
    for (const recording::Item& item : recorded.items) {
        writes += item.entryCount;
        if (item.code == channel::kStatusReleaseNoKeep)
            releasedUs.push_back(item.timeUs);
    }
    // The last release is the dark cube at the end, outside the effect.
    releasedUs.pop_back();
    const double frames = static_cast<double>(releasedUs.size());
    return {static_cast<double>(writes) / frames,
            (frames - 1) / (static_cast<double>(releasedUs.back() - releasedUs.front()) / 1e6)};
}

void benchEffects()
{
    std::printf("\nEvery effect: compute ms per frame (median of %d, in this process), and through the channel to\n"
                "cubetrace (cubefx --unpaced, %.0f s of effect time): LED writes per frame, frames a second\n\n",
                kComputeFrames, kEffectSeconds);
    std::printf("| effect | 8: compute ms | writes | fps | 16: compute ms | writes | fps |\n|---|---|---|---|---|---|---|\n");
    const RunDir files;
    for (const lEffectInfo& info : lBuiltInEffects()) {
        std::printf("| %s ", info.name.c_str());
        for (const int edge : {8, 16}) {
            const ThroughChannel figures = effectThroughChannel(info.name, edge, files);
            std::printf("| %.3f | %.0f | %.1f ", medianDrawMs(info, edge), figures.writesPerFrame, figures.fps);
        }
        std::printf("|\n");
        std::fflush(stdout);
    }
}

// The children's mode, set in this process's environment, which they
// inherit; this process itself never reads it.
ThroughChannel effectInMode(const std::string& effect, const char* mode, const RunDir& files)
{
    if (setenv(pacing::kModeVariable, mode, 1) != 0) {
        std::perror("frame_bench: setenv");
        std::exit(EXIT_FAILURE);
    }
    const ThroughChannel figures = effectThroughChannel(effect, kModesEdge, files);
    unsetenv(pacing::kModeVariable);
    return figures;
}

void benchChannelModes()
{
    std::printf("\nChannel modes: cubefx --unpaced at edge %d through the channel to cubetrace (%.0f s of effect\n"
                "time), both in the default mode and both with CUBE_CHANNEL=fast: frames a second\n\n",
                kModesEdge, kEffectSeconds);
    std::printf("| effect | writes | default fps | fast fps | fast/default |\n|---|---|---|---|---|\n");
    const RunDir files;
    double goalFps = 0;
    for (const char* effect : kModesEffects) {
        const ThroughChannel slow = effectInMode(effect, pacing::kDefaultValue, files);
        const ThroughChannel fast = effectInMode(effect, pacing::kFastValue, files);
        std::printf("| %s | %.0f | %.1f | %.1f | %.1fx |\n", effect, fast.writesPerFrame, slow.fps, fast.fps,
                    fast.fps / slow.fps);
        std::fflush(stdout);
        if (effect == kModesEffects[0])
            goalFps = fast.fps;
    }
    std::printf("\nGoal: %s at %d in the fast mode, %.0f fps or more: %.1f, %s\n", kModesEffects[0], kModesEdge,
                kModesGoalFps, goalFps, goalFps >= kModesGoalFps ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 6 && std::strcmp(argv[1], "--animate") == 0) {
        const std::string way = argv[4];
        const auto found = std::find(std::begin(kWayNames), std::end(kWayNames), way);
        return animate(std::atoi(argv[2]), std::atof(argv[3]), static_cast<Way>(found - std::begin(kWayNames)),
                       std::atoi(argv[5]));
    }
    if (argc == 2 && std::strcmp(argv[1], "--channel-modes") == 0) {
        benchChannelModes();
        return EXIT_SUCCESS;
    }
    const int frames = testsupport::benchCount(argc, argv, "frames", kDefaultFrames, kMaxFrames);
    benchWriter(testsupport::binary("frame_bench"), frames);
    benchEffects();
    benchChannelModes();
    return EXIT_SUCCESS;
}
