#include "lbox/lBox.h"

#include "lbox/channel.h"
#include "lbox/pacing.h"

#include <chrono>
#include <iostream>
#include <thread>
#include <unistd.h>

namespace {

constexpr const char* kChannelPath = "../shared_buffer.txt";
constexpr const char* kOpenFailure = "unable to open shared_buffer.txt Exiting";
constexpr useconds_t kShutdownGraceUs = 1000000;
// How much of that grace the pusher gives the receiver to take the last codes,
// leaving the rest for the closing line.
constexpr auto kLastCodesLimit = std::chrono::milliseconds(500);
constexpr useconds_t kUsPerMs = 1000;
constexpr unsigned long kMsPerSecond = 1000;
constexpr uint32_t kMaxBatch = channel::kMaxEntries;

// The process has one lBox, so one pair of bells: the program rings the
// pusher's when it hands it work, and the pusher rings the program's when one
// of the program's waits may be over.
pacing::Doorbell pusherBell;
pacing::Doorbell programBell;

uint8_t releaseCode(bool keep)
{
    return keep ? channel::kStatusReleaseKeep : channel::kStatusReleaseNoKeep;
}

// Runs on the pusher once the program has ended. A release it asked for still
// goes out, and the code in the record is left for the receiver to answer,
// within kLastCodesLimit: on a busy machine the receiver may not have looked
// yet, and storing idle over its code would lose the program's last frame.
// Writes that were never released are dropped all the same. `release` is the
// code of the release still to send, or the idle code when there is none.
void deliverLastCodes(uint8_t* record, uint8_t release)
{
    const auto deadline = std::chrono::steady_clock::now() + kLastCodesLimit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (channel::loadStatus(record) == channel::kStatusIdle) {
            if (release == channel::kStatusIdle)
                return;
            channel::storeStatus(record, release);
            release = channel::kStatusIdle;
        }
        usleep(pacing::kPollIntervalUs);
    }
}

}  // namespace

lBox::lBox(uint8_t x, uint8_t y, uint8_t z)
{
    channel = channel::mapRecord(kChannelPath, kOpenFailure);
    sizeX = x;
    sizeY = y;
    sizeZ = z;
    pendingCount.store(0);
    readIndex = 0;
    releaseRequested.store(false);
    running.store(true);
    queueResetRequested.store(false);
    keepOnRelease.store(false);
    releaseUnsent.store(false);
    writeIndex = 0;
    channel::storeStatus(channel, channel::kStatusIdle);

    static std::thread core1([this] { pushSharedMem(); });
    core1.detach();
}

lBox::~lBox()
{
    running.store(false, std::memory_order_relaxed);
    usleep(kShutdownGraceUs);
}

void lBox::autowrite(uint8_t x, uint8_t y, uint8_t z, storeColor color)
{
    // A reset must finish before writeIndex moves again, and a full ring must
    // not overwrite a slot that the pusher has not copied yet.
    pacing::waitUntil(
        [this] {
            return !queueResetRequested.load(std::memory_order_acquire) &&
                   pendingCount.load(std::memory_order_acquire) < static_cast<int32_t>(kQueueSize);
        },
        programBell);
    lastEntry = {x, y, z, color};
    queue[writeIndex] = lastEntry;
    ++writeIndex;  // wraps from 65,535 to 0
    pendingCount.fetch_add(1, std::memory_order_release);
    pusherBell.ring();
}

int lBox::write(uint8_t, uint8_t, uint8_t, storeColor)
{
    return -1;
}

uint8_t lBox::getSize(uint8_t axis)
{
    switch (axis) {
    case 1:
        return sizeY;
    case 2:
        return sizeZ;
    default:
        return sizeX;
    }
}

// Waits until every write queued so far and every requested release has its
// code in the channel.
void lBox::waitUntilSent()
{
    pacing::waitUntil(
        [this] {
            return pendingCount.load(std::memory_order_acquire) == 0 &&
                   !releaseUnsent.load(std::memory_order_acquire);
        },
        programBell);
}

void lBox::releaseFrame(bool keep)
{
    // The previous release must have gone out with its own keep value first.
    waitUntilSent();
    keepOnRelease.store(keep, std::memory_order_relaxed);
    releaseUnsent.store(true, std::memory_order_relaxed);
    releaseRequested.store(true, std::memory_order_release);
    pusherBell.ring();
}

void lBox::clear()
{
    waitUntilSent();
    // The pusher has nothing left to send now, so once the reader has handled
    // the last code the record is ours until the clear is answered.
    pacing::waitUntil([this] { return channel::loadStatus(channel) == channel::kStatusIdle; });
    channel::storeStatus(channel, channel::kStatusClear);
}

void lBox::clearSystem()
{
    pacing::waitUntil([this] { return pendingCount.load(std::memory_order_acquire) == 0; }, programBell);
    queueResetRequested.store(true, std::memory_order_release);
    pusherBell.ring();
}

void lBox::msSleep(unsigned long ms)
{
    // usleep's count is 32 bits wide, so long pauses go in whole seconds.
    for (; ms >= kMsPerSecond; ms -= kMsPerSecond)
        usleep(kMsPerSecond * kUsPerMs);
    if (ms != 0)
        usleep(static_cast<useconds_t>(ms * kUsPerMs));
}

void lBox::sendBatch(uint32_t count)
{
    for (uint32_t k = 0; k < count; ++k) {
        channel::packEntry(channel, k, queue[readIndex]);
        ++readIndex;  // wraps from 65,535 to 0
    }
    channel::storeStatus(channel, static_cast<uint8_t>(channel::kStatusBatchBase + count));
    // Only now are the writes sent: their slots are free and a clear may follow.
    const int32_t before = pendingCount.fetch_sub(static_cast<int32_t>(count), std::memory_order_release);
    if (before == static_cast<int32_t>(count) || before >= static_cast<int32_t>(kQueueSize))
        programBell.ring();  // the queue has drained, or has room again
}

void lBox::pushSharedMem()
{
    bool releaseDue = false;
    // The count at the previous pass: a quiet pusher that finds more has
    // traffic coming, even while the record still holds a code of the
    // program's own, such as a clear.
    int32_t pendingBefore = 0;
    pacing::Pacer pacer;
    while (running.load(std::memory_order_relaxed)) {
        // The count is read before the status byte: a write queued after a
        // clear then guarantees that this pass sees the clear's code, not the
        // idle byte before it. The request is read after the count, so a write
        // queued after releaseFrame is never taken for one of its frame.
        const int32_t pending = pendingCount.load(std::memory_order_acquire);
        const bool requested = releaseRequested.load(std::memory_order_acquire);
        const bool idle = channel::loadStatus(channel) == channel::kStatusIdle;

        if (idle && releaseDue) {
            channel::storeStatus(channel, releaseCode(keepOnRelease.load(std::memory_order_relaxed)));
            releaseDue = false;
            releaseUnsent.store(false, std::memory_order_release);
            programBell.ring();
            pacer.pause(true);
        } else if (queueResetRequested.load(std::memory_order_acquire)) {
            writeIndex = 0;
            readIndex = 0;
            queueResetRequested.store(false, std::memory_order_release);
            programBell.ring();
        } else if (idle && pending > 0 && !requested && !releaseDue) {
            sendBatch(pending > static_cast<int32_t>(kMaxBatch) ? kMaxBatch
                                                                : static_cast<uint32_t>(pending));
            pacer.pause(true);
        } else if (requested) {
            releaseRequested.store(false, std::memory_order_relaxed);
            releaseDue = true;
        } else {
            pacer.pause(pending > pendingBefore, pusherBell, [this, pending] {
                return pendingCount.load(std::memory_order_acquire) != pending ||
                       releaseRequested.load(std::memory_order_acquire) ||
                       queueResetRequested.load(std::memory_order_acquire);
            });
        }
        pendingBefore = pending;
    }

    const bool releaseLeft = releaseDue || releaseRequested.load(std::memory_order_acquire);
    deliverLastCodes(channel, releaseLeft ? releaseCode(keepOnRelease.load(std::memory_order_relaxed))
                                          : channel::kStatusIdle);
    channel::storeStatus(channel, channel::kStatusIdle);
    std::cout << "Exiting_ core1Run:" << running.load() << std::endl;
}
