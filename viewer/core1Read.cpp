#include "viewer/core1Read.h"

#include "lbox/channel.h"
#include "lbox/pacing.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>

namespace {

// 1 exactly while the table on show is cube_color_front. Only the receiver
// thread touches it once the thread runs.
uint8_t isFront = 0;

void applyEntry(const uint8_t* record, std::size_t slot)
{
    const queueEntry entry = channel::unpackEntry(record, slot);
    // Each coordinate on its own: a check on the flat index alone would let
    // an entry with y or z of kCubeEdge or more land on another LED.
    if (entry.x >= kCubeEdge || entry.y >= kCubeEdge || entry.z >= kCubeEdge)
        return;
    ptFutureColorTable[ledIndex(entry.x, entry.y, entry.z)] = entry.color;
}

// LEDs lit in the frame on show replace whatever the new frame holds there.
void carryOver()
{
    const storeColor* shown = ptCurrColorTable.load(std::memory_order_relaxed);
    for (int i = 0; i < kCubeLeds; ++i) {
        if (isLit(shown[i]))
            ptFutureColorTable[i] = shown[i];
    }
}

// Exchanges the two table pointers; no colour is copied, so the next frame is
// built on top of the frame before last.
void exchangeTables()
{
    semaphoreIsCritical.store(1, std::memory_order_release);
    storeColor* const shown = isFront ? cube_color_back : cube_color_front;
    ptCurrColorTable.store(shown, std::memory_order_release);
    ptFutureColorTable = isFront ? cube_color_front : cube_color_back;
    isFront ^= 1;
    semaphoreIsCritical.store(0, std::memory_order_release);
    loadNextFrame.store(1, std::memory_order_release);

    if (frameReleasedHook)
        frameReleasedHook(shown);
}

}  // namespace

void resetReceiver()
{
    std::fill_n(cube_color_back, kCubeLeds, kUnlit);
    std::fill_n(cube_color_front, kCubeLeds, kUnlit);
    isFront = 0;
    semaphoreIsCritical.store(0, std::memory_order_relaxed);
    loadNextFrame.store(0, std::memory_order_relaxed);
    ptCurrColorTable.store(cube_color_back, std::memory_order_relaxed);
    ptFutureColorTable = cube_color_front;
}

void setupSharedMem()
{
    serveRecord(channel::mapRecord(channel::kFileName, "unable to open shared_mem.txt Exiting"));
}

void serveRecord(uint8_t* record)
{
    static pthread_t core1;

    // Whatever an earlier run left in the record is dropped unhandled.
    channel::storeStatus(record, channel::kStatusIdle);
    // Everything set here is published to the receiver thread by its start.
    resetReceiver();

    const int error = pthread_create(&core1, nullptr, readBuffer, record);
    if (error != 0) {
        errno = error;
        std::perror("unable to start the receiver thread Exiting");
        std::exit(EXIT_FAILURE);
    }
}

void* readBuffer(void* map)
{
    uint8_t* record = static_cast<uint8_t*>(map);
    pacing::Pacer pacer;
    for (;;) {
        // Any code but idle is handled by this pass; one that lands just
        // after this look is handled too, and counts from the next pass on.
        const bool moved = channel::loadStatus(record) != channel::kStatusIdle;
        handleRecord(record);
        pacer.pause(moved);
    }
}

void handleRecord(uint8_t* record)
{
    const uint8_t status = channel::loadStatus(record);
    if (status == channel::kStatusIdle)
        return;
    if (codeReceivedHook)
        codeReceivedHook(status, record);
    // The named codes come first: 251 would otherwise read as three entries.
    switch (status) {
    case channel::kStatusReleaseNoKeep:
        exchangeTables();
        break;
    case channel::kStatusReleaseKeep:
        carryOver();
        exchangeTables();
        break;
    case channel::kStatusClear:
        std::fill_n(ptFutureColorTable, kCubeLeds, kUnlit);
        break;
    default:
        // A batch of 1 to 3 entries; any other code counts by its low bits,
        // and entries past that count are stale bytes of an earlier batch.
        for (std::size_t slot = 0; slot < (status & channel::kEntryCountMask); ++slot)
            applyEntry(record, slot);
        break;
    }
    channel::storeStatus(record, channel::kStatusIdle);
}
