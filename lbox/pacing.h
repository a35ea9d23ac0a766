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

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <ctime>
#include <linux/futex.h>
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
class Pacer {
public:
    enum class Start { kQuiet, kFlowing };

    // A new polling thread has seen no traffic yet; a wait that has just
    // begun expects its answer soon.
    explicit Pacer(Start start = Start::kQuiet) : flowing(start == Start::kFlowing)
    {
        setSlack(flowing ? kFlowingSlackNs : kQuietSlackNs);
    }

    // Ends a pass of the loop: sleeps the poll interval, with the slack set by
    // whether this pass moved the channel (stored or handled a code, or found
    // new work). Costs a system call only when the traffic starts or stops,
    // and a clock read at most while it flows.
    void pause(bool moved)
    {
        follow(moved);
        usleep(kPollIntervalUs);
    }

    // The same for a loop that can be rung: while quiet it sleeps on `bell`,
    // unless workArrived() already holds.
    template <class Done>
    void pause(bool moved, Doorbell& bell, Done workArrived)
    {
        follow(moved);
        if (flowing)
            usleep(kPollIntervalUs);
        else
            bell.sleepUnless(workArrived);
    }

    Pacer(const Pacer&) = delete;
    Pacer& operator=(const Pacer&) = delete;

private:
    void follow(bool moved)
    {
        if (moved) {
            countingQuiet = false;
            if (!flowing) {
                flowing = true;
                setSlack(kFlowingSlackNs);
            }
        } else if (flowing) {
            const auto now = std::chrono::steady_clock::now();
            if (!countingQuiet) {
                countingQuiet = true;
                quietSince = now;
            } else if (now - quietSince >= kQuietAfter) {
                flowing = false;
                setSlack(kQuietSlackNs);
            }
        }
    }

    bool flowing = false;
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
// polls like a channel loop that has just moved, tight at first and wide once
// it has lasted kQuietAfter, so that waiting on a partner that is gone costs
// little.
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
