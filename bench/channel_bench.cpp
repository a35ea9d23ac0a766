// Times the frame channel end to end, and what its two polling loops cost
// when nothing is sent: the real library in one process, the viewer's own
// receiver in another, meeting in a real channel file.
//
//   channel_bench [frames]
//
// Every figure is printed twice, side by side from the same run:
//   plain  the channel as it was before it was paced: both loops at the
//          kernel's default timer slack, where a 10 us sleep lasts about
//          80 us, and a program that spins while its frame drains;
//   paced  the library and receiver as built.
// The baseline runs the very same code rather than a copy of the old loops:
// its processes start under a seccomp filter that refuses
// prctl(PR_SET_TIMERSLACK), so every slack change fails and every thread
// keeps the default; and its animation spins until the receiver has taken
// up the frame's writes before it calls releaseFrame, the way releaseFrame
// itself used to. The pacer's own bookkeeping (a clock read on a quiet pass)
// stays in the baseline, where it costs nanoseconds against a sleep of
// 80 us. The two alternate in rounds, so that a noisy machine weighs on both
// alike.
//
// Measured:
// - frames: the animation queues the full cube and releases it, timed from
//   its first write to the receiver taking up the release; LED writes per
//   second follow. Back to back; each after a 30 ms pause (one viewer
//   tick), so that both loops start it from the wide slack; and each after
//   such a pause and opened by a clear, timed from the clear.
// - first code after 100 ms of quiet: from a clear stored by the caller to
//   the receiver taking it up (the receiver's wake-up), and from an autowrite
//   to the receiver taking up its batch (the pusher's wake-up too). The
//   receiver answers 200 a few microseconds after taking a code up.
// - idle CPU over 5 s (getrusage): a receiver with nothing connected, and an
//   animation program in msSleep with nothing queued, side by side.

#include "lbox/channel.h"
#include "viewer/core1Read.h"
#include "lbox/lBox.h"
#include "testkit/support.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iterator>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <string>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

enum Polling { kPlain, kPaced, kPollings };
constexpr const char* kPollingName[kPollings] = {"plain", "paced"};
// Frames sent back to back; each after a pause of kFramePauseMs; and each
// after such a pause and opened by a clear, as animations draw them.
enum FrameKind { kBackToBack, kAfterPause, kClearedAfterPause, kFrameKinds };

constexpr int kDefaultFrames = 30;
constexpr int kMaxFrames = 300;  // of one kind per polling
constexpr int kRounds = 3;
constexpr int kWritesPerFrame = kCubeLeds;
constexpr unsigned long kFramePauseMs = 30;
constexpr unsigned long kQuietMs = 100;
// The codes sent after a quiet spell.
enum QuietCode { kQuietClear, kQuietWrite, kQuietCodes };
constexpr int kQuietTrialsPerRound = 8;
constexpr int kQuietTrials = kRounds * kQuietTrialsPerRound;
constexpr unsigned long kIdleMs = 5000;
constexpr useconds_t kWaitPollUs = 100;
constexpr double kNsPerMs = 1e6;

// Lives in an anonymous shared mapping, seen by every process of the run.
struct Shared {
    // Per traffic round, zeroed by the parent before it starts one.
    // Set by the receiver process once its receiver runs (release); the
    // animation waits for it (acquire) before it maps the channel.
    std::atomic<bool> readerReady;
    // Bumped by the receiver's hooks (release) after they stamped the time;
    // the animation waits for them (acquire), and the stamps are then there.
    std::atomic<int> framesHandled;
    std::atomic<int> codesSeen;
    // LED entries taken up, bumped by the receiver's hook; the animation only
    // waits for a count, so relaxed is enough.
    std::atomic<int> entriesSeen;
    int64_t lastCodeSeenNs;
    int64_t frameStartNs[kFrameKinds * kMaxFrames];
    int64_t frameDoneNs[kFrameKinds * kMaxFrames];
    int64_t quietStartNs[kQuietTrialsPerRound][kQuietCodes];
    int64_t quietSeenNs[kQuietTrialsPerRound][kQuietCodes];

    // Results, each written by one child before it exits and read by the
    // parent after waitpid.
    double frameMs[kPollings][kFrameKinds][kMaxFrames];
    double quietMs[kPollings][kQuietCodes][kQuietTrials];
    double idleReceiverShare[kPollings];
    double idleProgramShare[kPollings];
};

Shared* shared = nullptr;

int64_t nowNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

[[noreturn]] void fail(const char* what)
{
    std::perror(what);
    std::exit(EXIT_FAILURE);
}

// From here on this process and its children cannot change a thread's timer
// slack: the call fails with EPERM and the default stays.
void refuseSlackChanges()
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_prctl, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PR_SET_TIMERSLACK, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        fail("no_new_privs for the baseline");
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        fail("seccomp filter for the baseline");
}

void enterPolling(Polling polling)
{
    if (polling == kPlain)
        refuseSlackChanges();
}

void changeDirectory(const std::string& dir)
{
    if (chdir(dir.c_str()) != 0)
        fail(dir.c_str());
}

void onRelease(const storeColor*)
{
    const int frame = shared->framesHandled.load(std::memory_order_relaxed);
    shared->frameDoneNs[frame] = nowNs();
    shared->framesHandled.store(frame + 1, std::memory_order_release);
}

void onCode(uint8_t code, const uint8_t*)
{
    shared->lastCodeSeenNs = nowNs();
    if (code > channel::kStatusBatchBase)
        shared->entriesSeen.fetch_add(code - channel::kStatusBatchBase, std::memory_order_relaxed);
    shared->codesSeen.fetch_add(1, std::memory_order_release);
}

void awaitAbove(const std::atomic<int>& counter, int value)
{
    while (counter.load(std::memory_order_acquire) <= value)
        usleep(kWaitPollUs);
}

// Frames number `first` on, `count` of them, each after `pauseMs`.
void writeFrames(lBox* box, Polling polling, int first, int count, unsigned long pauseMs, bool cleared)
{
    const storeColor white{1.0f, 1.0f, 1.0f};
    for (int frame = first; frame < first + count; ++frame) {
        box->msSleep(pauseMs);
        shared->frameStartNs[frame] = nowNs();
        if (cleared)
            box->clear();
        const int entriesBefore = shared->entriesSeen.load(std::memory_order_relaxed);
        for (uint8_t x = 0; x < kCubeEdge; ++x)
            for (uint8_t y = 0; y < kCubeEdge; ++y)
                for (uint8_t z = 0; z < kCubeEdge; ++z)
                    box->autowrite(x, y, z, white);
        if (polling == kPlain)
            while (shared->entriesSeen.load(std::memory_order_relaxed) < entriesBefore + kWritesPerFrame) {
            }
        box->releaseFrame(false);
        awaitAbove(shared->framesHandled, frame);
    }
}

// One code after a quiet spell, sent by `send`.
void sendAfterQuiet(lBox* box, int trial, QuietCode code, auto&& send)
{
    box->msSleep(kQuietMs);
    const int seen = shared->codesSeen.load(std::memory_order_acquire);
    shared->quietStartNs[trial][code] = nowNs();
    send();
    awaitAbove(shared->codesSeen, seen);
    shared->quietSeenNs[trial][code] = shared->lastCodeSeenNs;
}

void writeTraffic(Polling polling, int frames)
{
    while (!shared->readerReady.load(std::memory_order_acquire))
        usleep(kWaitPollUs);
    lBox* box = lBox::getInstance(kCubeEdge, kCubeEdge, kCubeEdge);
    writeFrames(box, polling, kBackToBack * frames, frames, 0, false);
    writeFrames(box, polling, kAfterPause * frames, frames, kFramePauseMs, false);
    writeFrames(box, polling, kClearedAfterPause * frames, frames, kFramePauseMs, true);
    for (int trial = 0; trial < kQuietTrialsPerRound; ++trial) {
        sendAfterQuiet(box, trial, kQuietClear, [box] { box->clear(); });
        sendAfterQuiet(box, trial, kQuietWrite, [box] { box->autowrite(0, 0, 0, {1.0f, 0.0f, 0.0f}); });
    }
}

double elapsedMs(int64_t from, int64_t to)
{
    return static_cast<double>(to - from) / kNsPerMs;
}

// One round of one polling: a receiver process and, one level below it, an
// animation program that sends `frames` frames of each kind and then the
// codes after quiet.
void runTraffic(Polling polling, int round, int frames)
{
    const testsupport::RunDir dir;
    shared->readerReady.store(false);
    shared->framesHandled.store(0);
    shared->codesSeen.store(0);
    shared->entriesSeen.store(0);

    const pid_t reader = testsupport::forkChild([&] {
        enterPolling(polling);
        const pid_t writer = testsupport::forkChild([&] {
            changeDirectory(dir.runDir());
            writeTraffic(polling, frames);
        });
        changeDirectory(dir.root());
        frameReleasedHook = onRelease;
        codeReceivedHook = onCode;
        setupSharedMem();
        shared->readerReady.store(true, std::memory_order_release);
        testsupport::awaitChild(writer, "animation program");

        for (int kind = 0; kind < kFrameKinds; ++kind)
            for (int f = 0; f < frames; ++f) {
                const int frame = kind * frames + f;
                shared->frameMs[polling][kind][round * frames + f] =
                    elapsedMs(shared->frameStartNs[frame], shared->frameDoneNs[frame]);
            }
        for (int code = 0; code < kQuietCodes; ++code)
            for (int trial = 0; trial < kQuietTrialsPerRound; ++trial)
                shared->quietMs[polling][code][round * kQuietTrialsPerRound + trial] =
                    elapsedMs(shared->quietStartNs[trial][code], shared->quietSeenNs[trial][code]);
    });
    testsupport::awaitChild(reader, "receiver process");
}

// Share of a core that this process uses over kIdleMs of `wait`.
double idleShare(auto&& wait)
{
    const double cpuBefore = cpuSeconds();
    const int64_t start = nowNs();
    wait();
    return (cpuSeconds() - cpuBefore) / (static_cast<double>(nowNs() - start) / 1e9);
}

// A receiver that nobody writes to and a program that sends nothing, side by
// side, each with a channel file of its own.
void runIdle(Polling polling)
{
    const testsupport::RunDir receiverDir;
    const testsupport::RunDir programDir;
    const pid_t receiver = testsupport::forkChild([&] {
        enterPolling(polling);
        changeDirectory(receiverDir.root());
        setupSharedMem();
        shared->idleReceiverShare[polling] =
            idleShare([] { std::this_thread::sleep_for(std::chrono::milliseconds(kIdleMs)); });
    });
    const pid_t program = testsupport::forkChild([&] {
        enterPolling(polling);
        changeDirectory(programDir.runDir());
        lBox* box = lBox::getInstance(kCubeEdge, kCubeEdge, kCubeEdge);
        shared->idleProgramShare[polling] = idleShare([box] { box->msSleep(kIdleMs); });
    });
    testsupport::awaitChild(receiver, "idle receiver");
    testsupport::awaitChild(program, "idle program");
}

double median(const double* values, int count)
{
    std::vector<double> sorted(values, values + count);
    std::sort(sorted.begin(), sorted.end());
    return sorted[sorted.size() / 2];
}

double largest(const double* values, int count)
{
    return *std::max_element(values, values + count);
}

void printRow(const char* label, double plain, double paced, const char* format, bool ratio)
{
    std::printf("  %-42s", label);
    std::printf(format, plain);
    std::printf(format, paced);
    if (ratio)
        std::printf("  %6.1fx", plain / paced);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv)
{
    const int asked = argc > 1 ? std::atoi(argv[1]) : kDefaultFrames;
    const int framesPerRound = std::clamp(asked / kRounds, 1, kMaxFrames / kRounds);
    const int frames = framesPerRound * kRounds;

    void* map = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED)
        fail("mmap");
    shared = new (map) Shared{};

    for (int round = 0; round < kRounds; ++round)
        for (Polling polling : {kPlain, kPaced})
            runTraffic(polling, round, framesPerRound);
    for (Polling polling : {kPlain, kPaced})
        runIdle(polling);

    std::printf("channel: edge %d, frames of %d LED writes + release, %d of each kind per polling\n", kCubeEdge,
                kWritesPerFrame, frames);
    std::printf("plain = default timer slack (slack changes refused), program spins while its frame drains;"
                " paced = as built\n");
    std::printf("  %-42s%10s%10s  %7s\n", "", kPollingName[kPlain], kPollingName[kPaced], "ratio");
    const std::string afterPause = "after a " + std::to_string(kFramePauseMs) + " ms pause";
    const std::string clearedAfterPause = "opened by a clear " + afterPause;
    const char* kindName[kFrameKinds] = {"back to back", afterPause.c_str(), clearedAfterPause.c_str()};
    for (int kind = 0; kind < kFrameKinds; ++kind) {
        const double plain = median(shared->frameMs[kPlain][kind], frames);
        const double paced = median(shared->frameMs[kPaced][kind], frames);
        std::printf("frames %s:\n", kindName[kind]);
        printRow("frame handled in, median (ms)", plain, paced, "%10.1f", true);
        printRow("LED writes per second", kWritesPerFrame * 1000.0 / plain, kWritesPerFrame * 1000.0 / paced,
                 "%10.0f", false);
    }
    std::printf("first code after %lu ms quiet, %d of each (ms):\n", kQuietMs, kQuietTrials);
    const char* quietName[kQuietCodes] = {"clear stored -> taken up by receiver",
                                          "autowrite -> batch taken up by receiver"};
    for (int code = 0; code < kQuietCodes; ++code) {
        const double* plain = shared->quietMs[kPlain][code];
        const double* paced = shared->quietMs[kPaced][code];
        std::printf("  %s\n", quietName[code]);
        printRow("  median", median(plain, kQuietTrials), median(paced, kQuietTrials), "%10.2f", false);
        printRow("  largest", largest(plain, kQuietTrials), largest(paced, kQuietTrials), "%10.2f", false);
    }
    std::printf("idle CPU over %lu s (%% of a core):\n", kIdleMs / 1000);
    printRow("receiver, nothing connected", 100 * shared->idleReceiverShare[kPlain],
             100 * shared->idleReceiverShare[kPaced], "%10.1f", true);
    printRow("program in msSleep, nothing queued", 100 * shared->idleProgramShare[kPlain],
             100 * shared->idleProgramShare[kPaced], "%10.1f", true);
    return 0;
}
