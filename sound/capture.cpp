#include "sound/sources.h"

#include <alsa/asoundlib.h>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <pthread.h>
#include <stop_token>
#include <thread>

namespace ledcube::sound {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Rates a device gives without converting, the first preferred; failing
// both, ALSA converts to the first.
constexpr int kRates[] = {44100, 48000};
constexpr int kChannelCounts[] = {1, 2};
constexpr unsigned kLatencyUs = 20000;   // ALSA's buffer: small, so that little waits in it
constexpr int kBlocksPerSecond = 200;    // reads of 5 ms
constexpr int kWaitMs = 20;              // for a block, before looking at stop again
constexpr auto kRetry = 1s;
constexpr Encoding kEncoding = Encoding::S16le;
constexpr snd_pcm_format_t kAlsaFormat = SND_PCM_FORMAT_S16_LE;

// The time `frames` frames at `rate` take to play.
Clock::duration playTime(uint64_t frames, int rate)
{
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(static_cast<double>(frames) / rate));
}

void ignoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

// The newest samples of a live input, one second of them, in a ring.
class Capture final : public Source {
public:
    Capture(const std::string& device, const std::string& program, const Notice& notice)
        : device_(device), program_(program), notice_(notice)
    {
        quietAlsa();
        if (tryOpen(kRates))
            rate_ = openRate_;
        ring_.assign(std::bit_ceil(static_cast<std::size_t>(rate_)), 0.0f);
        thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
        pthread_setname_np(thread_.native_handle(), "capture");
    }

    int rate() const override { return rate_; }
    bool endedBefore(double) override { return false; }
    bool live() const override { return true; }

    void window(double, std::span<float> window) override
    {
        std::fill(window.begin(), window.end(), 0.0f);
        const std::lock_guard lock(ringMutex_);
        const uint64_t count = std::min<uint64_t>({written_, window.size(), ring_.size()});
        for (uint64_t i = 1; i <= count; ++i)
            window[window.size() - i] = ring_[(written_ - i) % ring_.size()];
    }

private:
    void run(std::stop_token stop)
    {
        while (!stop.stop_requested()) {
            if (pcm_) {
                captureUntilFailure(stop);
                continue;
            }
            pauseUntil(stop, Clock::now() + kRetry);
            if (!stop.stop_requested())
                tryOpen(std::span(&rate_, 1));  // the rate that window() is heard at stays
        }
    }

    // Opens the device at one of `rates`; says so when it fails, and again
    // when it comes back after a failure.
    bool tryOpen(std::span<const int> rates)
    {
        snd_pcm_t* pcm = nullptr;
        int error = snd_pcm_open(&pcm, device_.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
        if (error >= 0) {
            pcm_.reset(pcm);
            error = configure(rates);
        }
        if (error < 0) {
            pcm_.reset();
            fail(error);
            return false;
        }
        if (failing_)
            notice_(program_ + ": capturing sound from '" + device_ + "' again");
        failing_ = false;
        return true;
    }

    int configure(std::span<const int> rates)
    {
        int error = 0;
        for (const int resample : {0, 1})
            for (const int rate : rates)
                for (const int channels : kChannelCounts) {
                    error = snd_pcm_set_params(pcm_.get(), kAlsaFormat, SND_PCM_ACCESS_RW_INTERLEAVED,
                                               static_cast<unsigned>(channels), static_cast<unsigned>(rate),
                                               resample, kLatencyUs);
                    if (error >= 0) {
                        openRate_ = rate;
                        channels_ = channels;
                        return 0;
                    }
                }
        return error;
    }

    void fail(int error)
    {
        if (!failing_)
            notice_(program_ + ": cannot capture sound from '" + device_ + "': " + snd_strerror(error) +
                    "; trying again every second");
        failing_ = true;
        const std::lock_guard lock(ringMutex_);
        std::fill(ring_.begin(), ring_.end(), 0.0f);
    }

    // Reads blocks as they come, never ahead of the wall clock: a device
    // that gives samples as fast as they are asked for (ALSA's file plugin
    // over its null device) is heard at the rate it would play.
    void captureUntilFailure(std::stop_token stop)
    {
        const std::size_t blockFrames = static_cast<std::size_t>(openRate_ / kBlocksPerSecond);
        const std::size_t frameBytes = static_cast<std::size_t>(bytesPerSample(kEncoding) * channels_);
        std::vector<unsigned char> block(blockFrames * frameBytes);
        std::vector<float> samples, mono;
        const Clock::time_point start = Clock::now();
        uint64_t frames = 0;
        while (!stop.stop_requested()) {
            pauseUntil(stop, start + playTime(frames, openRate_));
            // The file plugin leaves the block as it was once its file has ended.
            std::fill(block.begin(), block.end(), 0);
            const snd_pcm_sframes_t got = snd_pcm_readi(pcm_.get(), block.data(), blockFrames);
            if (got == -EAGAIN) {
                snd_pcm_wait(pcm_.get(), kWaitMs);
            } else if (got < 0 && snd_pcm_recover(pcm_.get(), static_cast<int>(got), 1) < 0) {
                pcm_.reset();
                fail(static_cast<int>(got));
                return;
            } else if (got > 0) {
                decode(kEncoding, std::span(block).first(static_cast<std::size_t>(got) * frameBytes), samples);
                mono.clear();
                mixDown(samples, channels_, mono);
                store(mono);
                frames += static_cast<uint64_t>(got);
            }
        }
    }

    void store(std::span<const float> mono)
    {
        const std::lock_guard lock(ringMutex_);
        for (const float sample : mono)
            ring_[written_++ % ring_.size()] = sample;
    }

    void pauseUntil(std::stop_token stop, Clock::time_point until)
    {
        std::unique_lock lock(wakeMutex_);
        wake_.wait_until(lock, stop, until, [] { return false; });
    }

    std::string device_;
    std::string program_;
    Notice notice_;
    int rate_ = kRates[0];  // set before the thread starts
    int openRate_ = kRates[0];  // of the device open now, and its channels: the thread's own
    int channels_ = 1;
    std::unique_ptr<snd_pcm_t, int (*)(snd_pcm_t*)> pcm_{nullptr, snd_pcm_close};
    bool failing_ = false;  // a failure has been told, its recovery not yet

    std::mutex ringMutex_;  // between the capture thread and window()
    std::vector<float> ring_;
    uint64_t written_ = 0;  // samples stored since the start

    std::mutex wakeMutex_;  // wakes the capture thread's pauses when it is stopped
    std::condition_variable_any wake_;
    std::jthread thread_;  // last, so that it stops before the rest goes
};

}  // namespace

std::unique_ptr<Source> openCapture(const std::string& device, const std::string& program, const Notice& notice)
{
    return std::make_unique<Capture>(device, program, notice);
}

void quietAlsa()
{
    snd_lib_error_set_handler(ignoreAlsaError);
}

}  // namespace ledcube::sound
