// The channel's fast mode against its default mode, beside the most that this
// machine allows: the real library in one process, the viewer's own receiver
// (built for edge 16) in another, meeting in a real channel file; each side's
// mode set in its own environment (CUBE_CHANNEL) before it starts.
//
//   fast_bench [frames]
//
// Measured, in one run:
// - the limit: two processes passing one byte of a shared mapping back and
//   forth, both looking without sleeping (with the pause hint); µs a
//   handshake, and that times the handshakes of a full-change frame
//   (ceil(N³/3) batches and the release) at 12³ and 16³;
// - full-change frames (every LED written, its colour new every frame,
//   released without keep) at 12³ and 16³, `frames` of each (default 20) in
//   every pairing of the writer's and the receiver's modes: back to back,
//   as an animation that computes nothing sends them, timed from the frame's
//   first write to the receiver taking up its release; also, within that,
//   from the receiver taking up the last batch to the program asking for
//   the release (the program's wake-up from its wait for the queue to
//   drain), and from that request to the release taken up (the pusher's
//   reaction and the receiver's). And the same frames each after a 30 ms
//   pause (one viewer tick), both sides in one mode; and back to back again
//   with both processes held to one core once they run (after the first
//   frame, every thread of both started), as when other programs take the
//   other cores: a side that spins shares its core with its partner;
// - the CPU a frame of both processes with a full-change frame every 25 ms
//   (40 fps) at 12³ and 16³, counted from their threads' schedstat;
// - idle CPU over 5 s (getrusage): a receiver with nothing connected and an
//   animation program in msSleep with nothing queued.
// The pairings alternate in rounds, so that a noisy machine weighs on all of
// them alike, and the run ends with how much of the machine other processes
// took meanwhile. Each run's first frame, which finds both loops quiet, is
// not counted.

#include "lbox/channel.h"
#include "lbox/lBox.h"
#include "lbox/pacing.h"
#include "testkit/support.h"
#include "viewer/core1Read.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <sched.h>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using pacing::Mode;

static_assert(kCubeEdge == 16, "one receiver takes the frames of both edges");
constexpr int kEdges[] = {12, 16};

struct Pairing {
    Mode writer;
    Mode receiver;
    const char* name;
};
constexpr Pairing kPairings[] = {
    {Mode::kDefault, Mode::kDefault, "default/default"},
    {Mode::kFast, Mode::kFast, "fast/fast"},
    {Mode::kFast, Mode::kDefault, "fast/default"},
    {Mode::kDefault, Mode::kFast, "default/fast"},
};
constexpr int kPairingCount = static_cast<int>(std::size(kPairings));
constexpr int kDefaultPairing = 0;
constexpr int kFastPairing = 1;

// kOneCore: back to back, both processes held to one core after the first
// frame.
enum class Cadence { kBackToBack, kAfterPause, kOneCore, kTicks };

constexpr int kDefaultFrames = 20;
constexpr int kMaxFrames = 400;  // counted, of one edge and pairing
constexpr int kRounds = 4;
constexpr int kWarmUpFrames = 1;
constexpr int kMaxRunFrames = kMaxFrames / kRounds + kWarmUpFrames;
constexpr unsigned long kFramePauseMs = 30;
constexpr auto kTick = std::chrono::milliseconds(25);  // 40 frames a second
constexpr int kTickFrames = 40;                         // a round
constexpr int kTickRounds = 2;
static_assert(kTickFrames <= kMaxRunFrames);
constexpr unsigned long kIdleMs = 5000;
constexpr int kColourLevels = 8;

constexpr int kLimitRounds = 25;
constexpr int kLimitHandshakes = 4000;  // a round
constexpr uint8_t kLimitCode = 1;
constexpr uint8_t kLimitIdle = 0;

constexpr useconds_t kWaitPollUs = 100;
constexpr double kNsPerMs = 1e6;
constexpr double kNsPerUs = 1e3;

// Goals printed beside the figures.
constexpr double kGoalSmallMs = 1.0;
constexpr double kGoalLimitFactor = 4.0;
constexpr double kGoalLargeMs = 2.0;
constexpr double kGoalSpeedUp = 8.0;
constexpr double kGoalIdlePoints = 0.5;

// Lives in an anonymous shared mapping, seen by every process of the run.
struct Shared {
    // Per run, zeroed by the parent before it starts one.
    // Set by the receiver process once its receiver runs (release); the
    // animation waits for it (acquire) before it maps the channel.
    std::atomic<bool> readerReady;
    // Bumped by the receiver's release hook (release) after it stamped the
    // frame; the animation waits for it (acquire), and the stamps are there.
    std::atomic<int> framesHandled;
    // LEDs a frame writes, set by the parent; the entries of the frame
    // taken up so far, the receiver thread's own. Counting them, rather than
    // reading the clock at every batch, finds the last batch of a frame.
    int frameLeds;
    int entriesTaken;
    // Stamped by the animation program: its first write, its last write
    // queued, and releaseFrame returned (the release asked for).
    int64_t frameStartNs[kMaxRunFrames];
    int64_t queuedNs[kMaxRunFrames];
    int64_t requestNs[kMaxRunFrames];
    // Stamped by the receiver thread.
    int64_t lastBatchTakenNs[kMaxRunFrames];
    int64_t frameDoneNs[kMaxRunFrames];
    // Written by the animation program of a run at 40 fps before it exits.
    double programCpuUs;
    double receiverCpuUs;
    // Each written by one idle child before it exits.
    double idleReceiverShare[2];
    double idleProgramShare[2];

    // The two ends of the limit's handshake; only that byte moves.
    alignas(64) std::atomic<uint8_t> ball;
    std::atomic<bool> partnerReady;
};

Shared* shared = nullptr;

int64_t nowNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

[[noreturn]] void fail(const char* what)
{
    std::perror(what);
    std::exit(EXIT_FAILURE);
}

// Before the process's first Pacer: pacing::processMode reads it once.
void enterMode(Mode mode)
{
    if (setenv(pacing::kModeVariable, pacing::modeValue(mode), 1) != 0)
        fail("setenv");
}

int modeIndex(Mode mode)
{
    return mode == Mode::kFast ? 1 : 0;
}

void changeDirectory(const std::string& dir)
{
    if (chdir(dir.c_str()) != 0)
        fail(dir.c_str());
}

// Holds every thread of this process and of its parent, the receiver, to
// the first core that this thread may run on.
void keepBothToOneCore()
{
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0)
        fail("sched_getaffinity");
    int first = 0;
    while (!CPU_ISSET(first, &allowed))
        ++first;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(first, &one);
    for (const pid_t process : {getpid(), getppid()})
        for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(process) + "/task"))
            if (sched_setaffinity(std::stoi(task.path().filename()), sizeof one, &one) != 0)
                fail("sched_setaffinity");
}

void awaitAbove(const std::atomic<int>& counter, int value)
{
    while (counter.load(std::memory_order_acquire) <= value)
        usleep(kWaitPollUs);
}

void onRelease(const storeColor*)
{
    const int frame = shared->framesHandled.load(std::memory_order_relaxed);
    shared->frameDoneNs[frame] = nowNs();
    shared->framesHandled.store(frame + 1, std::memory_order_release);
}

void onCode(uint8_t code, const uint8_t*)
{
    if (code == channel::kStatusReleaseNoKeep) {
        shared->entriesTaken = 0;
    } else if (code > channel::kStatusBatchBase) {
        shared->entriesTaken += code - channel::kStatusBatchBase;
        if (shared->entriesTaken == shared->frameLeds)
            shared->lastBatchTakenNs[shared->framesHandled.load(std::memory_order_relaxed)] = nowNs();
    }
}

// Every LED of the cube of `edge`, all in one colour that the next frame
// changes, and the release; stamped.
void sendFullFrame(lBox* box, int edge, int frame)
{
    const float level = static_cast<float>(frame % kColourLevels + 1) / kColourLevels;
    const storeColor colour{level, 1.0f - level, 0.5f};
    shared->frameStartNs[frame] = nowNs();
    for (uint8_t x = 0; x < edge; ++x)
        for (uint8_t y = 0; y < edge; ++y)
            for (uint8_t z = 0; z < edge; ++z)
                box->autowrite(x, y, z, colour);
    shared->queuedNs[frame] = nowNs();
    box->releaseFrame(false);
    shared->requestNs[frame] = nowNs();
}

// Both processes' CPU a frame over the frames at 40 fps, from their
// threads' schedstat; the receiver is this program's parent.
void writeTicks(lBox* box, int edge, int count)
{
    const pid_t receiver = getppid();
    const testsupport::CpuTime programBefore = testsupport::cpuTime(getpid());
    const testsupport::CpuTime receiverBefore = testsupport::cpuTime(receiver);
    const auto start = std::chrono::steady_clock::now();
    for (int frame = 0; frame < count; ++frame) {
        std::this_thread::sleep_until(start + kTick * frame);
        sendFullFrame(box, edge, frame);
    }
    // A whole last tick, so that what a loop spends after its frame counts.
    std::this_thread::sleep_until(start + kTick * count);
    shared->programCpuUs = testsupport::cpuShare(programBefore, testsupport::cpuTime(getpid()), count).schedUs;
    shared->receiverCpuUs = testsupport::cpuShare(receiverBefore, testsupport::cpuTime(receiver), count).schedUs;
}

void writeFrames(int edge, int count, Cadence cadence)
{
    while (!shared->readerReady.load(std::memory_order_acquire))
        usleep(kWaitPollUs);
    lBox* box = lBox::getInstance(static_cast<uint8_t>(edge), static_cast<uint8_t>(edge), static_cast<uint8_t>(edge));
    if (cadence == Cadence::kTicks) {
        writeTicks(box, edge, count);
    } else {
        for (int frame = 0; frame < count; ++frame) {
            if (cadence == Cadence::kAfterPause) {
                awaitAbove(shared->framesHandled, frame - 1);
                box->msSleep(kFramePauseMs);
            }
            if (cadence == Cadence::kOneCore && frame == kWarmUpFrames) {
                awaitAbove(shared->framesHandled, frame - 1);
                keepBothToOneCore();
            }
            sendFullFrame(box, edge, frame);
        }
    }
    awaitAbove(shared->framesHandled, count - 1);
}

// Frames' times: the whole frame (ms), and within it the writes queued,
// from the last batch taken up to the release asked for, and from then to
// the release taken up (µs).
struct FrameTimes {
    std::vector<double> frameMs, queueUs, wakeUs, releaseUs;
};

// One run: a receiver process and, one level below it, an animation program
// that sends `count` frames, the first of them not counted.
void runFrames(const Pairing& pairing, int edge, int count, Cadence cadence, FrameTimes& times)
{
    const testsupport::RunDir dir;
    shared->readerReady.store(false);
    shared->framesHandled.store(0);
    shared->frameLeds = edge * edge * edge;
    shared->entriesTaken = 0;
    const pid_t reader = testsupport::forkChild([&] {
        const pid_t writer = testsupport::forkChild([&] {
            enterMode(pairing.writer);
            changeDirectory(dir.runDir());
            writeFrames(edge, count, cadence);
        });
        enterMode(pairing.receiver);
        changeDirectory(dir.root());
        frameReleasedHook = onRelease;
        codeReceivedHook = onCode;
        setupSharedMem();
        shared->readerReady.store(true, std::memory_order_release);
        testsupport::awaitChild(writer, "animation program");
    });
    testsupport::awaitChild(reader, "receiver process");
    for (int frame = kWarmUpFrames; frame < count; ++frame) {
        times.frameMs.push_back(static_cast<double>(shared->frameDoneNs[frame] - shared->frameStartNs[frame]) /
                                kNsPerMs);
        times.queueUs.push_back(static_cast<double>(shared->queuedNs[frame] - shared->frameStartNs[frame]) /
                                kNsPerUs);
        times.wakeUs.push_back(static_cast<double>(shared->requestNs[frame] - shared->lastBatchTakenNs[frame]) /
                               kNsPerUs);
        times.releaseUs.push_back(static_cast<double>(shared->frameDoneNs[frame] - shared->requestNs[frame]) /
                                  kNsPerUs);
    }
}

// µs a handshake of two processes that look without sleeping: this one
// stores a code, a child answers with idle.
double limitUs()
{
    shared->ball.store(kLimitIdle);
    shared->partnerReady.store(false);
    const pid_t partner = testsupport::forkChild([] {
        shared->partnerReady.store(true, std::memory_order_release);
        for (int k = 0; k < kLimitRounds * kLimitHandshakes; ++k) {
            while (shared->ball.load(std::memory_order_acquire) != kLimitCode)
                pacing::relax();
            shared->ball.store(kLimitIdle, std::memory_order_release);
        }
    });
    while (!shared->partnerReady.load(std::memory_order_acquire))
        usleep(kWaitPollUs);
    std::vector<double> rounds;
    for (int round = 0; round < kLimitRounds; ++round) {
        const int64_t start = nowNs();
        for (int k = 0; k < kLimitHandshakes; ++k) {
            shared->ball.store(kLimitCode, std::memory_order_release);
            while (shared->ball.load(std::memory_order_acquire) != kLimitIdle)
                pacing::relax();
        }
        rounds.push_back(static_cast<double>(nowNs() - start) / kNsPerUs / kLimitHandshakes);
    }
    testsupport::awaitChild(partner, "handshake partner");
    return testsupport::median(rounds);
}

double cpuSeconds(int who = RUSAGE_SELF)
{
    rusage usage{};
    getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Share of a core that this process uses over kIdleMs of `wait`.
double idleShare(auto&& wait)
{
    const double cpuBefore = cpuSeconds();
    const int64_t start = nowNs();
    wait();
    return (cpuSeconds() - cpuBefore) / (static_cast<double>(nowNs() - start) / 1e9);
}

// A receiver that nobody writes to and a program that sends nothing, in each
// mode, all four at once, each with a channel file of its own.
void runIdle()
{
    std::vector<std::unique_ptr<testsupport::RunDir>> dirs;
    std::vector<pid_t> children;
    for (const Mode mode : {Mode::kDefault, Mode::kFast}) {
        const testsupport::RunDir& receiverDir = *dirs.emplace_back(std::make_unique<testsupport::RunDir>());
        const testsupport::RunDir& programDir = *dirs.emplace_back(std::make_unique<testsupport::RunDir>());
        children.push_back(testsupport::forkChild([&] {
            enterMode(mode);
            changeDirectory(receiverDir.root());
            setupSharedMem();
            shared->idleReceiverShare[modeIndex(mode)] =
                idleShare([] { std::this_thread::sleep_for(std::chrono::milliseconds(kIdleMs)); });
        }));
        children.push_back(testsupport::forkChild([&] {
            enterMode(mode);
            changeDirectory(programDir.runDir());
            lBox* box = lBox::getInstance(kCubeEdge, kCubeEdge, kCubeEdge);
            shared->idleProgramShare[modeIndex(mode)] = idleShare([box] { box->msSleep(kIdleMs); });
        }));
    }
    for (const pid_t child : children)
        testsupport::awaitChild(child, "idle process");
}

// The machine's idle time so far, all cores, from /proc/stat's first line
// (in clock ticks). The kernel measures idle time as the cores enter and
// leave it, where the busy fields are sampled at each tick and miss threads
// that run briefly between ticks, as the channel's loops do.
double machineIdleSeconds()
{
    std::ifstream stat("/proc/stat");
    std::string cpu;
    double user = 0, nice = 0, system = 0, idle = 0, iowait = 0;
    stat >> cpu >> user >> nice >> system >> idle >> iowait;
    return (idle + iowait) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// This bench's own CPU time so far, its waited-for children's included.
double benchSeconds()
{
    return cpuSeconds(RUSAGE_SELF) + cpuSeconds(RUSAGE_CHILDREN);
}

double largest(const std::vector<double>& values)
{
    return *std::max_element(values.begin(), values.end());
}

// The handshakes of a frame that writes every LED: its batches of up to
// three entries and the release.
int frameHandshakes(int edge)
{
    const int leds = edge * edge * edge;
    const int batch = static_cast<int>(channel::kMaxEntries);
    return (leds + batch - 1) / batch + 1;
}

const char* verdict(bool met)
{
    return met ? "met" : "MISSED";
}

struct Results {
    double limitUs = 0;
    FrameTimes backToBack[std::size(kEdges)][kPairingCount];
    FrameTimes afterPause[std::size(kEdges)][2];
    FrameTimes oneCore[std::size(kEdges)][2];
    // Cores that other processes kept busy, on average over the run.
    double othersCores = 0;
    // At 40 fps, per edge, by mode (the pairings' first two).
    struct Ticks {
        FrameTimes times[2];
        double programCpuUs[2][kTickRounds] = {};
        double receiverCpuUs[2][kTickRounds] = {};
    } ticks[std::size(kEdges)];
};

void measure(int framesPerRound, Results& results)
{
    const double idleBefore = machineIdleSeconds();
    const double benchBefore = benchSeconds();
    const int64_t start = nowNs();
    results.limitUs = limitUs();
    for (int round = 0; round < kRounds; ++round)
        for (std::size_t e = 0; e < std::size(kEdges); ++e) {
            for (int p = 0; p < kPairingCount; ++p)
                runFrames(kPairings[p], kEdges[e], framesPerRound + kWarmUpFrames, Cadence::kBackToBack,
                          results.backToBack[e][p]);
            for (const int p : {kDefaultPairing, kFastPairing})
                runFrames(kPairings[p], kEdges[e], framesPerRound + kWarmUpFrames, Cadence::kAfterPause,
                          results.afterPause[e][p]);
            for (const int p : {kDefaultPairing, kFastPairing})
                runFrames(kPairings[p], kEdges[e], framesPerRound + kWarmUpFrames, Cadence::kOneCore,
                          results.oneCore[e][p]);
        }
    for (int round = 0; round < kTickRounds; ++round)
        for (std::size_t e = 0; e < std::size(kEdges); ++e)
            for (const int p : {kDefaultPairing, kFastPairing}) {
                Results::Ticks& ticks = results.ticks[e];
                runFrames(kPairings[p], kEdges[e], kTickFrames, Cadence::kTicks, ticks.times[p]);
                ticks.programCpuUs[p][round] = shared->programCpuUs;
                ticks.receiverCpuUs[p][round] = shared->receiverCpuUs;
            }
    runIdle();
    const double seconds = static_cast<double>(nowNs() - start) / 1e9;
    const double busy = seconds * static_cast<double>(sysconf(_SC_NPROCESSORS_ONLN)) -
                        (machineIdleSeconds() - idleBefore);
    results.othersCores = (busy - (benchSeconds() - benchBefore)) / seconds;
}

void printLimit(const Results& results)
{
    std::printf("Limit: two processes passing one byte, both looking without sleeping: %.3f µs a handshake "
                "(median of %d rounds of %d)\n",
                results.limitUs, kLimitRounds, kLimitHandshakes);
    for (const int edge : kEdges)
        std::printf("  a full-change %d³ frame, %d handshakes: %.3f ms\n", edge, frameHandshakes(edge),
                    results.limitUs * frameHandshakes(edge) / 1e3);
}

double limitMs(const Results& results, int edge)
{
    return results.limitUs * frameHandshakes(edge) / 1e3;
}

// The program's wake-up from its wait for the queue to drain, over every
// back-to-back frame of both edges with both sides fast, whose receiver
// takes the last batch up at once. On two cores it is either the kernel's
// wake-up alone, or that after a spinning side's window, when both cores
// were held by the spinning pusher and receiver.
void printWakeUps(const Results& results)
{
    std::vector<double> us;
    for (std::size_t e = 0; e < std::size(kEdges); ++e) {
        const std::vector<double>& wake = results.backToBack[e][kFastPairing].wakeUs;
        us.insert(us.end(), wake.begin(), wake.end());
    }
    std::sort(us.begin(), us.end());
    const auto at = [&](double share) { return us[static_cast<std::size_t>(share * static_cast<double>(us.size() - 1))]; };
    constexpr double kQuarter = 0.25, kHalf = 0.5, kThreeQuarters = 0.75, kNine = 0.9;
    std::printf("\nProgram's wake-up, last batch taken up -> release asked for, fast/fast, all %zu frames (µs):\n"
                "  least %.1f, quarter %.1f, median %.1f, three quarters %.1f, nine tenths %.1f, largest %.1f\n",
                us.size(), us.front(), at(kQuarter), at(kHalf), at(kThreeQuarters), at(kNine), us.back());
}

void printBackToBack(const Results& results, int frames)
{
    std::printf("\nFull-change frames back to back, %d of each (writer/receiver mode): ms from the first write\n"
                "to the release taken up; within it (µs, medians), the writes queued, from the last batch taken\n"
                "up to the release asked for (the program's wake-up; below zero where a default receiver takes\n"
                "the batch up late), and from then to the release taken up\n\n",
                frames);
    std::printf("| edge | writer/receiver | median ms | largest ms | default/this | this/limit | queued µs | "
                "batch -> request µs | request -> release µs |\n|---|---|---|---|---|---|---|---|---|\n");
    for (std::size_t e = 0; e < std::size(kEdges); ++e) {
        const double defaultMs = testsupport::median(results.backToBack[e][kDefaultPairing].frameMs);
        for (int p = 0; p < kPairingCount; ++p) {
            const FrameTimes& t = results.backToBack[e][p];
            const double ms = testsupport::median(t.frameMs);
            std::printf("| %d | %s | %.3f | %.3f | %.1fx | %.1fx | %.1f | %.1f | %.1f |\n", kEdges[e],
                        kPairings[p].name, ms, largest(t.frameMs), defaultMs / ms, ms / limitMs(results, kEdges[e]),
                        testsupport::median(t.queueUs), testsupport::median(t.wakeUs),
                        testsupport::median(t.releaseUs));
        }
    }
    const double small = testsupport::median(results.backToBack[0][kFastPairing].frameMs);
    const double large = testsupport::median(results.backToBack[1][kFastPairing].frameMs);
    const double smallSpeedUp = testsupport::median(results.backToBack[0][kDefaultPairing].frameMs) / small;
    const double largeSpeedUp = testsupport::median(results.backToBack[1][kDefaultPairing].frameMs) / large;
    printWakeUps(results);
    std::printf("\nGoals (fast/fast, medians):\n");
    std::printf("  12³ frame <= %.0f ms: %.3f ms, %s\n", kGoalSmallMs, small, verdict(small <= kGoalSmallMs));
    std::printf("  12³ frame within %.0fx the limit: %.1fx, %s\n", kGoalLimitFactor, small / limitMs(results, 12),
                verdict(small <= kGoalLimitFactor * limitMs(results, 12)));
    std::printf("  16³ frame <= %.0f ms: %.3f ms, %s\n", kGoalLargeMs, large, verdict(large <= kGoalLargeMs));
    std::printf("  at least %.0fx faster than default: 12³ %.1fx, %s; 16³ %.1fx, %s\n", kGoalSpeedUp, smallSpeedUp,
                verdict(smallSpeedUp >= kGoalSpeedUp), largeSpeedUp, verdict(largeSpeedUp >= kGoalSpeedUp));
}

// Default against fast, both sides in one mode, from `times`.
void printModes(const FrameTimes (&times)[std::size(kEdges)][2])
{
    std::printf("| edge | default median | largest | fast median | largest | default/fast |\n"
                "|---|---|---|---|---|---|\n");
    for (std::size_t e = 0; e < std::size(kEdges); ++e) {
        const std::vector<double>& slow = times[e][kDefaultPairing].frameMs;
        const std::vector<double>& fast = times[e][kFastPairing].frameMs;
        std::printf("| %d | %.3f | %.3f | %.3f | %.3f | %.1fx |\n", kEdges[e], testsupport::median(slow),
                    largest(slow), testsupport::median(fast), largest(fast),
                    testsupport::median(slow) / testsupport::median(fast));
    }
}

void printAfterPause(const Results& results, int frames)
{
    std::printf("\nFull-change frames each after a %lu ms pause, %d of each: ms from the first write to the\n"
                "release taken up\n\n",
                kFramePauseMs, frames);
    printModes(results.afterPause);
}

void printOneCore(const Results& results, int frames)
{
    std::printf("\nFull-change frames back to back with both processes held to one core once they run, %d of\n"
                "each: ms from the first write to the release taken up\n\n",
                frames);
    printModes(results.oneCore);
}

void printTicks(const Results& results)
{
    std::printf("\nA full-change frame every %lld ms, %d frames in each of %d rounds: CPU a frame (µs, schedstat,\n"
                "median of the rounds), and the frame time (a default frame that takes longer than the %lld ms\n"
                "delays the next one, so its CPU a frame is that of frames back to back)\n\n",
                static_cast<long long>(kTick.count()), kTickFrames, kTickRounds,
                static_cast<long long>(kTick.count()));
    std::printf("| edge | process | default | fast | fast - default |\n|---|---|---|---|---|\n");
    for (std::size_t e = 0; e < std::size(kEdges); ++e) {
        const Results::Ticks& ticks = results.ticks[e];
        const auto row = [&](const char* name, const double (&cpu)[2][kTickRounds]) {
            const auto rounds = [](const double(&values)[kTickRounds]) {
                return testsupport::median(std::vector<double>(std::begin(values), std::end(values)));
            };
            const double slow = rounds(cpu[kDefaultPairing]);
            const double fast = rounds(cpu[kFastPairing]);
            std::printf("| %d | %s | %.0f | %.0f | %+.0f |\n", kEdges[e], name, slow, fast, fast - slow);
        };
        row("animation program (with its pusher)", ticks.programCpuUs);
        row("receiver", ticks.receiverCpuUs);
        const double slowMs = testsupport::median(ticks.times[kDefaultPairing].frameMs);
        const double fastMs = testsupport::median(ticks.times[kFastPairing].frameMs);
        std::printf("| %d | frame time, median ms | %.3f | %.3f | %+.3f |\n", kEdges[e], slowMs, fastMs,
                    fastMs - slowMs);
    }
}

void printIdle()
{
    std::printf("\nIdle CPU over %lu s, %% of a core\n\n", kIdleMs / 1000);
    std::printf("| process | default | fast | fast - default | goal <= %.1f points |\n|---|---|---|---|---|\n",
                kGoalIdlePoints);
    const auto row = [](const char* name, const double (&share)[2]) {
        const double points = 100 * (share[1] - share[0]);
        std::printf("| %s | %.2f | %.2f | %+.2f | %s |\n", name, 100 * share[0], 100 * share[1], points,
                    verdict(points <= kGoalIdlePoints));
    };
    row("receiver, nothing connected", shared->idleReceiverShare);
    row("program in msSleep, nothing queued", shared->idleProgramShare);
}

}  // namespace

int main(int argc, char** argv)
{
    const int asked = testsupport::benchCount(argc, argv, "frames", kDefaultFrames, kMaxFrames);
    const int framesPerRound = std::max(1, asked / kRounds);
    const int frames = framesPerRound * kRounds;

    void* map = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED)
        fail("mmap");
    shared = new (map) Shared{};

    Results results;
    measure(framesPerRound, results);
    std::printf("fast_bench: the library against a receiver of edge %d; CUBE_CHANNEL set per side, %d rounds, "
                "kSpinWindow %lld µs\n\n",
                kCubeEdge, kRounds, static_cast<long long>(pacing::kSpinWindow.count() / 1000));
    printLimit(results);
    printBackToBack(results, frames);
    printAfterPause(results, frames);
    printOneCore(results, frames);
    printTicks(results);
    printIdle();
    std::printf("\nMeanwhile other processes kept %.2f of the machine's %ld cores busy, on average\n",
                results.othersCores, sysconf(_SC_NPROCESSORS_ONLN));
    return EXIT_SUCCESS;
}
