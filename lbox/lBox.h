#pragma once

#include <atomic>
#include <cstdint>

// One LED colour: 0.0 is off, 1.0 full intensity. Passed on unchecked.
struct storeColor {
    float r;
    float g;
    float b;
};

// One queued LED write.
struct queueEntry {
    uint8_t x;
    uint8_t y;
    uint8_t z;
    storeColor color;
};

// Handle through which an animation program drives the cube. A process has
// one instance; a background thread (the pusher) streams the queued writes,
// frame releases and clears through the mapped channel record to the viewer.
//
// Every method is meant for one caller thread.
class lBox {
public:
    static constexpr uint32_t kQueueSize = 65536;

    static lBox* getInstance(uint8_t x, uint8_t y, uint8_t z)
    {
        // A function-local static: created once, thread-safely, torn down at exit.
        static lBox instance(x, y, z);
        return &instance;
    }

    // Queues one LED write and returns at once (it waits only while a queue
    // reset is under way or all kQueueSize slots hold unsent writes).
    void autowrite(uint8_t x, uint8_t y, uint8_t z, storeColor color);
    // Kept for older programs: does nothing.
    int write(uint8_t x, uint8_t y, uint8_t z, storeColor color);
    // The size given at creation for axis 0, 1 or 2; any other axis gives x.
    uint8_t getSize(uint8_t axis);
    // Ends the frame: the viewer shows it, carrying over the LEDs lit in the
    // frame on show first when keep is true.
    void releaseFrame(bool keep);
    // Sets every LED of the frame being built to unlit.
    void clear();
    // Starts the command queue over at slot 0.
    void clearSystem();
    void msSleep(unsigned long ms);

    // Body of the pusher thread.
    void pushSharedMem();

    lBox(const lBox&) = delete;
    lBox& operator=(const lBox&) = delete;

private:
    lBox(uint8_t x, uint8_t y, uint8_t z);
    ~lBox();

    void waitUntilSent();
    void sendBatch(uint32_t count);

    // Caller sets it in the constructor and clears it in the destructor; the
    // pusher polls it. Relaxed is enough: it carries no other data.
    std::atomic<bool> running;
    // Caller sets it once the frame's writes have gone out; the pusher takes it
    // up. Release/acquire, so the pusher sees keepOnRelease and the writes
    // queued before the request as they were then.
    std::atomic<bool> releaseRequested;
    // Caller sets it (release, after its last writeIndex change); the pusher
    // resets both indices and clears it (release), which autowrite acquires
    // before it touches writeIndex again.
    std::atomic<bool> queueResetRequested;
    uint8_t* channel;
    queueEntry lastEntry;
    queueEntry queue[kQueueSize];
    uint16_t writeIndex;
    // Writes queued but not yet sent: the caller adds (release, after filling
    // the slot), the pusher subtracts (release) only after the batch's code is
    // stored. So a caller that reads 0 (acquire) knows every code of its
    // writes is in the channel, and a freed slot has really been copied.
    std::atomic<int32_t> pendingCount;
    uint16_t readIndex;
    uint8_t sizeX;
    uint8_t sizeY;
    uint8_t sizeZ;
    // Caller stores it before raising the request; the pusher reads it when it
    // stores the release code. releaseUnsent keeps a later call from changing
    // it before then, so relaxed is enough under that flag's acquire/release.
    std::atomic<bool> keepOnRelease;
    // Caller sets it with releaseRequested; the pusher clears it (release)
    // after storing the release code. A caller that reads false (acquire) may
    // store the next keep value or a clear: nothing of an earlier release is
    // left to send.
    std::atomic<bool> releaseUnsent;
};
