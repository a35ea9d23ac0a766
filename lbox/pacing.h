#pragma once

// Pacing of the waits around the frame channel. The library's pusher, the
// viewer's receiver and the animation's own calls all sleep kPollIntervalUs
// between looks at what they wait for.
//
// How long such a sleep really lasts is up to the kernel's timer slack for
// the thread: at the default 50 us a 10 us sleep takes about 80 us, which
// makes every handshake slow; at 1 ns it takes about 30 us, but a thread that
// polls that often burns a good part of a core even when nothing is sent. So
// the slack of the two polling loops follows the traffic: tight while codes
// flow, wide once the channel has been quiet for kQuietAfter.
//
// Within one process a sleeper can also be rung awake, since both threads
// know when they hand the other one something: the program rings the pusher
// when it queues work, and the pusher rings the program when a wait of its
// may be over. So a wide slack almost always delays the first code after a
// silence only on the receiver's side, and the program sleeps through its
// waits instead of spinning, which on two cores would hold one of them away
// from the pusher and the receiver for the whole of a frame.
//
// Fast mode (CUBE_CHANNEL=fast in a side's environment) takes the sleep out
// of a handshake that follows another closely: a loop that has just moved
// the channel keeps looking without sleeping, with the processor's pause
// hint between looks, until kSpinWindow has passed without a move; then it
// sleeps as above. A frame then streams at the speed of the two processes
// passing the status byte, and a channel with nothing to carry costs what it
// costs in the default mode. Each side chooses for itself: a fast side with
// a default one still carries every code in order, only less quickly.
//
// A partner that takes more than kYieldAfter to answer is most likely off
// its CPU, waiting for one: the loop then offers its own CPU at every look
// (sched_yield), so that the partner, or the animation's thread that has
// just been rung awake, runs at once instead of at the end of the window.
// So on one CPU fast mode is still faster than the default: a handshake
// costs two switches of the CPU, not a sleep. Beside programs that keep
// every CPU busy, an offered CPU goes to them for a whole time slice; a loop
// that sees that sleeps between its looks for a while, as in the default
// mode, since the kernel wakes a sleeper at once where a spinner waits its
// turn.

#include <atomic>
#include <chrono>
#include <climits>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <linux/futex.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace ledcube::pacing {

inline constexpr useconds_t kPollIntervalUs = 10;
inline constexpr unsigned long kFlowingSlackNs = 1;
// A wake-up of a quiet loop costs a virtual machine some 10 to 20 us of CPU:
// at this slack an idle loop stays well under 2% of a core.
inline constexpr unsigned long kQuietSlackNs = 1'500'000;
// Well above kQuietSlackNs, so that a partner still waking from a wide sleep
// does not count as a silence.
inline constexpr std::chrono::nanoseconds kQuietAfter = std::chrono::milliseconds(5);
// How long a fast loop goes on looking after the channel last moved. Within a
// frame the other side moves again well inside a microsecond; the longest
// gaps a frame has are the program's wake-up between the queue draining and
// its asking for the release (3 to 27 us measured) and a receiver's own work
// on a release (a tracer hashes a 16-cube frame). The window covers those
// with room; windows from 25 to 200 us gave the same frame times, and the
// window costs a spinning side at most this much a frame once it is through.
inline constexpr std::chrono::nanoseconds kSpinWindow = std::chrono::microseconds(100);
static_assert(kSpinWindow < kQuietAfter, "a loop stops spinning before its slack widens");
// A partner on its CPU answers in well under a microsecond.
inline constexpr std::chrono::nanoseconds kYieldAfter = std::chrono::microseconds(5);
static_assert(kYieldAfter < kSpinWindow);
// An offered CPU that comes back this late went to some other program for a
// time slice (milliseconds; the partner's turn, or the animation's after it
// is rung, takes tens of microseconds): the machine is busy, and a loop that
// kept offering its CPU would lose a slice at every handshake. So it sleeps
// between looks, as in the default mode, for kCrowdedFor.
inline constexpr std::chrono::nanoseconds kCrowdedAfter = std::chrono::microseconds(500);
inline constexpr std::chrono::nanoseconds kCrowdedFor = std::chrono::milliseconds(100);

enum class Mode { kDefault, kFast };
inline constexpr const char* kModeVariable = "CUBE_CHANNEL";
// The values that name the two modes.
inline constexpr const char* kFastValue = "fast";
inline constexpr const char* kDefaultValue = "default";

// The value that names `mode`.
inline const char* modeValue(Mode mode)
{
    return mode == Mode::kFast ? kFastValue : kDefaultValue;
}

// The mode that CUBE_CHANNEL's `value` names: "fast", or "default" and the
// empty string (as when unset, nullptr) for the default; anything else names none.
inline bool parseMode(const char* value, Mode& mode)
{
    if (value == nullptr || *value == '\0' || std::strcmp(value, kDefaultValue) == 0) {
        mode = Mode::kDefault;
        return true;
    }
    if (std::strcmp(value, kFastValue) == 0) {
        mode = Mode::kFast;
        return true;
    }
    return false;
}

// This process's mode, read from its environment at the first call. A value
// that names no mode is said once on standard error and the default plays:
// a program is not stopped over its speed.
inline Mode processMode()
{
    static const Mode mode = [] {
        const char* value = std::getenv(kModeVariable);
        Mode named = Mode::kDefault;
        if (!parseMode(value, named))
            std::fprintf(stderr, "%s: %s=%s names no channel mode (fast or default); the default mode is used\n",
                         program_invocation_short_name, kModeVariable, value);
        return named;
    }();
    return mode;
}

// The processor's hint that this thread is spinning, which lets a sibling
// hyperthread run and keeps the loop from flooding the memory system.
inline void relax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
    asm volatile("yield");
#endif
}

// A refused change leaves the slack as it was, which costs only speed or idle
// CPU, never a code: so the result is not checked.
inline void setSlack(unsigned long ns)
{
    prctl(PR_SET_TIMERSLACK, ns, 0, 0, 0);
}

// A sleep of one thread that another thread of the process can cut short.
// One thread sleeps on a bell; any thread may ring it.
class Doorbell {
public:
    static constexpr timespec kPollInterval{0, kPollIntervalUs * 1000L};

    // Sleeps `interval` under the thread's slack, unless done() already
    // holds or the bell is rung meanwhile. A ring that lands between done()
    // and the sleep is not lost: the sleep then returns at once.
    template <class Done>
    void sleepUnless(Done done, const timespec& interval = kPollInterval)
    {
        state.exchange(kAsleep, std::memory_order_seq_cst);
        if (!done())
            futex(FUTEX_WAIT_PRIVATE, kAsleep, &interval);
        state.exchange(kAwake, std::memory_order_seq_cst);
    }

    // Called after the work that may end the sleeper's wait has been stored.
    // Costs one uncontended exchange unless somebody sleeps on the bell.
    void ring()
    {
        if (state.exchange(kAwake, std::memory_order_seq_cst) == kAsleep)
            futex(FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
    }

private:
    static constexpr uint32_t kAwake = 0;
    static constexpr uint32_t kAsleep = 1;

    // An interrupted or refused wait only ends a sleep early, which costs a
    // pass of the sleeper's loop and nothing else: so the result is not checked.
    void futex(int op, uint32_t value, const timespec* timeout)
    {
        syscall(SYS_futex, &state, op, value, timeout, nullptr, 0);
    }

    // The sleeper swaps in kAsleep before its last look at done() and kAwake
    // after the sleep; a ringer swaps in kAwake after storing its work. All
    // three are read-modify-writes of one word, so they fall in one order:
    // a ringer either comes after the sleeper's kAsleep and wakes it (the
    // futex wait also returns at once if the word is no longer kAsleep), or
    // comes before it, and then the sleeper's exchange reads from the
    // ringer's release sequence and done() sees the work. A ringer after
    // the closing kAwake is read by the next sleep's kAsleep in the same way.
    std::atomic<uint32_t> state{kAwake};
    static_assert(std::atomic<uint32_t>::is_always_lock_free && sizeof(state) == sizeof(uint32_t),
                  "the futex word is the atomic itself");
};

// One per polling thread, created and used on that thread only: the timer
// slack belongs to the calling thread.
//
// The looks that a fast loop makes between sleeps are the same acquire loads
// as every other look (channel::loadStatus and the library's counters): a
// look that finds the partner's code pairs with the release store that put
// it there, so the entries behind it are seen whole however often one looks.
// Spinning changes how soon a store is seen, never what it carries.
class Pacer {
public:
    enum class Start { kQuiet, kFlowing };

    // A new polling thread has seen no traffic yet; a wait that has just
    // begun expects its answer soon.
    explicit Pacer(Start start = Start::kQuiet, Mode mode = processMode())
        : flowing(start == Start::kFlowing), fast(mode == Mode::kFast)
    {
        setSlack(flowing ? kFlowingSlackNs : kQuietSlackNs);
    }

    // Ends a pass of the loop: sleeps the poll interval, with the slack set by
    // whether this pass moved the channel (stored or handled a code, or found
    // new work). Costs a system call only when the traffic starts or stops,
    // and a clock read at most while it flows. A fast loop returns at once
    // instead while its window is open. Says whether it slept.
    bool pause(bool moved)
    {
        if (spins(moved))
            return false;
        usleep(kPollIntervalUs);
        return true;
    }

    // The same for a loop that can be rung: while quiet it sleeps on `bell`,
    // unless workArrived() already holds.
    template <class Done>
    bool pause(bool moved, Doorbell& bell, Done workArrived)
    {
        if (spins(moved))
            return false;
        if (flowing)
            usleep(kPollIntervalUs);
        else
            bell.sleepUnless(workArrived);
        return true;
    }

    Pacer(const Pacer&) = delete;
    Pacer& operator=(const Pacer&) = delete;

private:
    // Follows the traffic, and in fast mode says whether to look again at
    // once (after the pause hint, or after offering the CPU once the partner
    // is slow): while the first look that found nothing since the last move
    // lies less than kSpinWindow back. (In a loop that look comes right
    // after the move; so no clock is read on a move.)
    bool spins(bool moved)
    {
        const std::chrono::nanoseconds quiet = follow(moved);
        if (!fast || quiet >= kSpinWindow)
            return false;
        if (quiet < kYieldAfter) {
            relax();
            return true;
        }
        using Clock = std::chrono::steady_clock;
        const Clock::duration offered = Clock::now().time_since_epoch();
        if (offered.count() < crowdedUntil.load(std::memory_order_relaxed))
            return false;
        sched_yield();
        const Clock::duration back = Clock::now().time_since_epoch();
        if (back - offered < kCrowdedAfter)
            return true;
        crowdedUntil.store((back + kCrowdedFor).count(), std::memory_order_relaxed);
        return false;
    }

    // Sets the slack by the traffic and returns how long the channel has been
    // quiet: zero on a move, and at least kQuietAfter once the slack is wide.
    std::chrono::nanoseconds follow(bool moved)
    {
        if (moved) {
            countingQuiet = false;
            if (!flowing) {
                flowing = true;
                setSlack(kFlowingSlackNs);
            }
            return {};
        }
        if (!flowing)
            return kQuietAfter;
        const auto now = std::chrono::steady_clock::now();
        if (!countingQuiet) {
            countingQuiet = true;
            quietSince = now;
        } else if (now - quietSince >= kQuietAfter) {
            flowing = false;
            setSlack(kQuietSlackNs);
        }
        return now - quietSince;
    }

    bool flowing = false;
    const bool fast;
    // Until when (on the steady clock) every fast loop of the process sleeps
    // instead of offering its CPU, the machine being busy: a fact about the
    // machine, so one for all the loops, and one that outlives the pacer of
    // a single wait. Any polling thread that finds its offered CPU taken
    // stores it, every fast loop reads it; relaxed, as it is only a hint
    // about the machine and orders no other data.
    static inline std::atomic<std::chrono::steady_clock::rep> crowdedUntil{0};
    // While flowing: whether the last pass moved nothing, and if so when the
    // current run of such passes began.
    bool countingQuiet = false;
    std::chrono::steady_clock::time_point quietSince;
};

// Keeps the calling thread's own slack over one wait of the program's
// thread, and puts it back afterwards.
class OwnSlack {
public:
    // prctl's int result would cut off slacks above about 2 s.
    OwnSlack() : own(syscall(SYS_prctl, PR_GET_TIMERSLACK, 0, 0, 0, 0)) {}
    ~OwnSlack()
    {
        if (own > 0)
            setSlack(static_cast<unsigned long>(own));
    }

    OwnSlack(const OwnSlack&) = delete;
    OwnSlack& operator=(const OwnSlack&) = delete;

private:
    const long own;
};

// A wait of the program's thread that `bell`'s ringer ends: it rings once
// done() may hold. The wide slack only bounds a wait that nobody ends.
template <class Done>
void waitUntil(Done done, Doorbell& bell)
{
    if (done())
        return;
    const OwnSlack own;
    setSlack(kQuietSlackNs);
    while (!done())
        bell.sleepUnless(done);
}

// A wait of the program's thread on another process, which cannot ring: it
// polls like a channel loop that has just moved (in fast mode without
// sleeping for kSpinWindow), tight at first and wide once it has lasted
// kQuietAfter, so that waiting on a partner that is gone costs little.
template <class Done>
void waitUntil(Done done)
{
    if (done())
        return;
    const OwnSlack own;
    Pacer pacer(Pacer::Start::kFlowing);
    while (!done())
        pacer.pause(false);
}

}  // namespace ledcube::pacing

namespace pacing = ledcube::pacing;
