// What the sound analysis costs cubefx a frame, in this process.
//
//   analysis_bench [frames]
//
// - analyse(): a mix of kicks, a bass tone and a sweep at 44.1, 48 and
//   96 kHz, heard as 12 and 16 bands, `frames` frames (default 3000) at
//   60 fps of sound time; the median and the slowest tenth of the
//   microseconds per frame, the window's copy not counted. Silence too,
//   where the gate spares the FFT.
// - The FFT's plan: the time to plan a 2048-point real FFT with FFTW's
//   ESTIMATE and with MEASURE, and the median time each plan takes to run.

#include "sound/analysis.h"
#include "testkit/sounds.h"
#include "testkit/support.h"

#include <fftw3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::median;

constexpr int kDefaultFrames = 3000;
constexpr int kMaxFrames = 1000000;
constexpr double kFps = 60;
constexpr double kSampleScale = 32768.0;
constexpr int kPlanSize = 2048;
constexpr int kPlanRuns = 2000;
constexpr double kSlowestTenth = 0.9;

double microseconds(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

double slowestTenth(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(kSlowestTenth * static_cast<double>(values.size() - 1))];
}

// Loops the mix so that any number of frames has sound to hear.
std::vector<float> mix(int rate, bool silent)
{
    constexpr double kSeconds = 8;
    const testsupport::Sound parts[] = {testsupport::kicks(120, kSeconds, rate),
                                        testsupport::tone(110, kSeconds, rate, 1, 0.2),
                                        testsupport::sweep(40, 15000, kSeconds, rate)};
    std::vector<float> samples(parts[0].samples.size(), 0.0f);
    if (silent)
        return samples;
    for (const auto& part : parts)
        for (std::size_t i = 0; i < samples.size(); ++i)
            samples[i] += static_cast<float>(part.samples[i] / kSampleScale / 2);
    return samples;
}

// Microseconds of analyse() for each of `frames` frames.
std::vector<double> timeFrames(int rate, int bands, int frames, bool silent)
{
    const std::vector<float> samples = mix(rate, silent);
    sound::Analyser analyser(rate, bands);
    std::vector<float> window(analyser.windowSize());
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(frames));
    for (int k = 0; k < frames; ++k) {
        const double time = k / kFps;
        const auto end = static_cast<std::size_t>(time * rate) % (samples.size() - window.size()) + window.size();
        std::copy(samples.begin() + static_cast<long>(end - window.size()), samples.begin() + static_cast<long>(end),
                  window.begin());
        const Clock::time_point start = Clock::now();
        const lSound& heard = analyser.analyse(window, time);
        us.push_back(microseconds(Clock::now() - start));
        if (heard.bands.empty())
            std::abort();  // keeps the call from being optimised away
    }
    return us;
}

void benchAnalyse(int frames)
{
    std::printf("analyse(), %d frames at %.0f fps of sound (us a frame)\n", frames, kFps);
    std::printf("%-10s %-6s %-8s %10s %12s\n", "rate", "bands", "sound", "median", "slowest 10%");
    for (const int rate : {44100, 48000, 96000})
        for (const int bands : {12, 16})
            for (const bool silent : {false, true}) {
                const std::vector<double> us = timeFrames(rate, bands, frames, silent);
                std::printf("%-10d %-6d %-8s %10.1f %12.1f\n", rate, bands, silent ? "silence" : "mix", median(us),
                            slowestTenth(us));
            }
}

void benchPlans()
{
    std::printf("\n%d-point real FFT (fftwf)\n%-10s %12s %12s\n", kPlanSize, "plan", "planned in", "run (us)");
    float* in = fftwf_alloc_real(kPlanSize);
    fftwf_complex* out = fftwf_alloc_complex(kPlanSize / 2 + 1);
    for (const auto& [name, flag] : {std::pair{"estimate", FFTW_ESTIMATE}, std::pair{"measure", FFTW_MEASURE}}) {
        const Clock::time_point start = Clock::now();
        fftwf_plan plan = fftwf_plan_dft_r2c_1d(kPlanSize, in, out, flag);
        const double plannedUs = microseconds(Clock::now() - start);
        std::fill(in, in + kPlanSize, 0.25f);
        std::vector<double> us;
        for (int run = 0; run < kPlanRuns; ++run) {
            const Clock::time_point at = Clock::now();
            fftwf_execute(plan);
            us.push_back(microseconds(Clock::now() - at));
        }
        std::printf("%-10s %9.0f us %12.2f\n", name, plannedUs, median(us));
        fftwf_destroy_plan(plan);
    }
    fftwf_free(out);
    fftwf_free(in);
}

}  // namespace

int main(int argc, char** argv)
{
    const int frames = testsupport::benchCount(argc, argv, "frames", kDefaultFrames, kMaxFrames);
    benchAnalyse(frames);
    benchPlans();
    return EXIT_SUCCESS;
}
