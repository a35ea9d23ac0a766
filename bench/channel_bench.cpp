// Measures the frame channel end to end: the real library in a child process
// writes full 12x12x12 frames, and the viewer's own receiver (the same code,
// polling every 10 microseconds) handles them in this process.
//
//   channel_bench [frames]
//
// Prints the time from the first write of a frame to its handled release,
// the LED writes per second that this gives, and the CPU each side used.

#include "channel.h"
#include "core1Read.h"
#include "lBox.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kDefaultFrames = 30;
constexpr int kMaxFrames = 1000;
constexpr int kWritesPerFrame = kCubeLeds;

// Lives in an anonymous shared mapping, seen by both processes.
struct Shared {
    // Set by the reader once its receiver runs; the writer waits for it.
    std::atomic<bool> readerReady;
    // Bumped by the receiver hook per handled release (release); the writer
    // waits for it (acquire) before timing the next frame.
    std::atomic<int> framesHandled;
    int64_t frameStartNs[kMaxFrames];
    int64_t frameDoneNs[kMaxFrames];
    double writerCpuSeconds;
};

Shared* shared = nullptr;

int64_t nowNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

double cpuSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void onRelease(const storeColor*)
{
    const int frame = shared->framesHandled.load(std::memory_order_relaxed);
    shared->frameDoneNs[frame] = nowNs();
    shared->framesHandled.store(frame + 1, std::memory_order_release);
}

[[noreturn]] void writeFrames(int frames)
{
    while (!shared->readerReady.load(std::memory_order_acquire)) {
        usleep(1000);
    }
    lBox* box = lBox::getInstance(kCubeEdge, kCubeEdge, kCubeEdge);
    const storeColor white{1.0f, 1.0f, 1.0f};
    for (int frame = 0; frame < frames; ++frame) {
        shared->frameStartNs[frame] = nowNs();
        for (uint8_t z = 0; z < kCubeEdge; ++z)
            for (uint8_t y = 0; y < kCubeEdge; ++y)
                for (uint8_t x = 0; x < kCubeEdge; ++x)
                    box->autowrite(x, y, z, white);
        box->releaseFrame(false);
        while (shared->framesHandled.load(std::memory_order_acquire) <= frame) {
            usleep(100);
        }
    }
    shared->writerCpuSeconds = cpuSeconds(RUSAGE_SELF);
    // Skips the library's one-second shutdown: nothing is left to send.
    _exit(0);
}

}  // namespace

int main(int argc, char** argv)
{
    const int frames = std::clamp(argc > 1 ? std::atoi(argv[1]) : kDefaultFrames, 1, kMaxFrames);

    void* map = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) {
        std::perror("mmap");
        return 1;
    }
    shared = new (map) Shared{};

    // The run directory: the channel file here, the writer one level below.
    char pattern[] = "/tmp/channel-bench-XXXXXX";
    if (!mkdtemp(pattern)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::filesystem::path root = pattern;
    std::filesystem::create_directory(root / "run");
    std::FILE* file = std::fopen((root / "shared_buffer.txt").c_str(), "wb");
    const std::vector<char> zeros(channel::kRecordSize, 0);
    std::fwrite(zeros.data(), 1, zeros.size(), file);
    std::fclose(file);

    const pid_t writer = fork();
    if (writer < 0) {
        std::perror("fork");
        return 1;
    }
    if (writer == 0) {
        if (chdir((root / "run").c_str()) != 0) {
            std::perror("chdir");
            _exit(1);
        }
        writeFrames(frames);
    }

    if (chdir(root.c_str()) != 0) {
        std::perror("chdir");
        return 1;
    }
    frameReleasedHook = onRelease;
    const double readerCpuBefore = cpuSeconds(RUSAGE_SELF);
    const int64_t start = nowNs();
    setupSharedMem();
    shared->readerReady.store(true, std::memory_order_release);

    int status = 0;
    waitpid(writer, &status, 0);
    const double wallSeconds = static_cast<double>(nowNs() - start) / 1e9;
    const double readerCpu = cpuSeconds(RUSAGE_SELF) - readerCpuBefore;
    std::filesystem::remove_all(root);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "the writer process failed\n");
        return 1;
    }

    std::vector<double> ms;
    for (int f = 0; f < frames; ++f)
        ms.push_back(static_cast<double>(shared->frameDoneNs[f] - shared->frameStartNs[f]) / 1e6);
    std::sort(ms.begin(), ms.end());
    const double median = ms[ms.size() / 2];

    std::printf("channel: %d frames of %d LED writes + release (edge %d), receiver polling every 10 us\n", frames,
                kWritesPerFrame, kCubeEdge);
    std::printf("frame handled in: median %.1f ms, min %.1f ms, max %.1f ms\n", median, ms.front(), ms.back());
    std::printf("LED writes per second: %.0f\n", kWritesPerFrame / (median / 1000.0));
    std::printf("CPU over %.1f s: receiver %.0f%% of a core, writer process (caller + pusher) %.0f%%\n", wallSeconds,
                100.0 * readerCpu / wallSeconds, 100.0 * shared->writerCpuSeconds / wallSeconds);
    return 0;
}
