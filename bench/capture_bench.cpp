// The live input's delay and cost, through ALSA's file plugin over the null
// device, set up in a private home as the tests do. The plugin gives its
// input file's samples as fast as they are asked for; the capture paces
// itself to the wall clock, so a sample enters the input at the moment the
// capture opened plus its place in the file.
//
//   capture_bench [clicks]
//
// - Clicks (a millisecond at full scale) in silence, one every 0.37 s,
//   `clicks` of them (default 40): when each entered the input, when the
//   capture made it available (a watcher looks at the newest samples every
//   millisecond) and when a 40 fps loop's window first showed it. The
//   median and the largest of each delay, in milliseconds.
// - The capture thread's CPU in the seconds after, with the 40 fps loop
//   alone, in microseconds per frame and in percent of a core.

#include "sound/sources.h"
#include "testkit/sounds.h"
#include "testkit/support.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::median;

constexpr int kRate = 44100;
constexpr int kDefaultClicks = 40;
constexpr int kMaxClicks = 10000;
constexpr double kClickSpacing = 0.37;  // seconds: no multiple of a frame or a block
constexpr double kLead = 0.5;           // seconds of silence before the first click
constexpr double kCpuSeconds = 4.0;     // of the loop alone, after the clicks
constexpr double kTail = kCpuSeconds + 1.0;
constexpr int kClickSamples = kRate / 1000;
constexpr int16_t kClickLevel = 30000;
constexpr float kLoud = 0.5f;
constexpr auto kFrame = 25ms;  // 40 fps
constexpr std::size_t kFrameWindow = 2048;
constexpr std::size_t kWatchWindow = 512;  // 12 ms: longer than a block and a look
constexpr auto kWatchPause = 1ms;

double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// When each click first showed in the windows that `look` takes: a window
// with a loud sample after one without.
class ClickTimes {
public:
    void look(sound::Source& source, std::vector<float>& window)
    {
        source.window(0.0, window);
        const bool loud = std::any_of(window.begin(), window.end(), [](float s) { return std::abs(s) > kLoud; });
        if (loud && !wasLoud_)
            times.push_back(Clock::now());
        wasLoud_ = loud;
    }
    std::vector<Clock::time_point> times;

private:
    bool wasLoud_ = false;
};

testsupport::Sound clicks(int count)
{
    testsupport::Sound sound =
        testsupport::silence(kLead + kClickSpacing * count + kTail, kRate);
    for (int i = 0; i < count; ++i) {
        const auto at = static_cast<std::size_t>(std::lround((kLead + kClickSpacing * i) * kRate));
        std::fill_n(sound.samples.begin() + static_cast<long>(at), kClickSamples, kClickLevel);
    }
    return sound;
}

// When click `i` enters the input, after the capture opened.
Clock::duration clickEntered(std::size_t i)
{
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(kLead + kClickSpacing * static_cast<double>(i)));
}

// The capture thread's CPU time so far, in microseconds, found by its name.
double captureThreadUs()
{
    const testsupport::CpuTime time = testsupport::cpuTime(getpid());
    for (const auto& [tid, us] : time.threadUs) {
        std::string name;
        std::getline(std::ifstream("/proc/self/task/" + tid + "/comm"), name);
        if (name == "capture")
            return us;
    }
    return 0;
}

void printDelays(const char* what, const std::vector<double>& delays)
{
    std::printf("  %-34s median %6.2f ms   largest %6.2f ms\n", what, median(delays),
                delays.empty() ? 0.0 : *std::max_element(delays.begin(), delays.end()));
}

}  // namespace

int main(int argc, char** argv)
{
    const int count = testsupport::benchCount(argc, argv, "clicks", kDefaultClicks, kMaxClicks);
    const testsupport::AlsaHome home(clicks(count));
    home.enter();

    const Clock::time_point opened = Clock::now();
    const auto source = sound::openCapture("default", "capture_bench",
                                           [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
    ClickTimes available, shown;
    std::atomic<bool> done{false};  // set by main at the end, read by the watcher: only the flag passes
    std::thread watcher([&] {
        std::vector<float> window(kWatchWindow);
        while (!done.load(std::memory_order_relaxed)) {
            available.look(*source, window);
            std::this_thread::sleep_for(kWatchPause);
        }
    });
    std::vector<float> window(kFrameWindow);
    const double seconds = kLead + kClickSpacing * count;
    int frames = 0;
    for (; std::chrono::duration<double>(Clock::now() - opened).count() < seconds; ++frames) {
        std::this_thread::sleep_until(opened + frames * kFrame);
        shown.look(*source, window);
    }
    done.store(true, std::memory_order_relaxed);
    watcher.join();

    const double cpuBefore = captureThreadUs();
    const int cpuFrames = static_cast<int>(kCpuSeconds / std::chrono::duration<double>(kFrame).count());
    for (int frame = 0; frame < cpuFrames; ++frame) {
        std::this_thread::sleep_until(opened + (frames + frame) * kFrame);
        source->window(0.0, window);
    }
    const double cpuUs = captureThreadUs() - cpuBefore;

    std::vector<double> toAvailable, toShown, availableToShown;
    const std::size_t heard = std::min({available.times.size(), shown.times.size(), static_cast<std::size_t>(count)});
    for (std::size_t i = 0; i < heard; ++i) {
        const Clock::time_point entered = opened + clickEntered(i);
        toAvailable.push_back(ms(available.times[i] - entered));
        toShown.push_back(ms(shown.times[i] - entered));
        availableToShown.push_back(ms(shown.times[i] - available.times[i]));
    }
    std::printf("capture through ALSA's file plugin at %d Hz: %d clicks, %zu available, %zu shown, %d frames\n", kRate,
                count, available.times.size(), shown.times.size(), frames);
    printDelays("entered -> available", toAvailable);
    printDelays("available -> shown at 40 fps", availableToShown);
    printDelays("entered -> shown at 40 fps", toShown);
    std::printf("  capture thread CPU: %.1f us a frame, %.2f%% of a core\n", cpuUs / cpuFrames,
                100.0 * cpuUs / (kCpuSeconds * 1e6));
    return 0;
}
