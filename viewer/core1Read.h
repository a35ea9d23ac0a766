#pragma once

// The viewer's end of the frame channel: the receiver thread and the colour
// tables it shares with the drawing thread.

#include "lbox/lBox.h"
#include "viewer/unlit.h"

#include <atomic>
#include <cstdint>
#include <functional>

#ifndef CUBE_RECEIVER_EDGE
#error "CUBE_RECEIVER_EDGE (the cube's edge in LEDs) must be defined by the build"
#endif

inline constexpr int kCubeEdge = CUBE_RECEIVER_EDGE;
inline constexpr int kCubeLeds = kCubeEdge * kCubeEdge * kCubeEdge;
static_assert(kCubeEdge >= 3 && kCubeEdge <= 255);

// Element [x][y][z] of a colour table: x slowest, z fastest.
constexpr int ledIndex(int x, int y, int z)
{
    return (x * kCubeEdge + y) * kCubeEdge + z;
}

// Shared by the receiver thread and the drawing thread; defined here once for
// every program that runs the receiver. resetReceiver fills both with kUnlit.
inline storeColor cube_color_back[kCubeLeds];
inline storeColor cube_color_front[kCubeLeds];
// The frame on show. Receiver thread writes it during an exchange (release),
// the frame pick-up reads it (acquire) once semaphoreIsCritical reads 0.
inline std::atomic<storeColor*> ptCurrColorTable{};
// The frame being built; the receiver thread's alone after start-up.
inline storeColor* ptFutureColorTable{};
// 1 while the receiver thread exchanges the pointers; written by the receiver
// thread, read by the pick-up, which waits for 0. The pointer is atomic by
// itself, so the flag guards no data of its own: release/acquire is plenty.
inline std::atomic<uint8_t> semaphoreIsCritical{};
// Set by the receiver thread after each exchange (release), read by the
// pick-up (acquire); main clears it once at start-up.
inline std::atomic<uint8_t> loadNextFrame{};

// Optional hook run on the receiver thread after each table exchange and
// before the release is answered, with the table now on show. The viewer
// counts releases with it; a tracing tool uses it to see every frame exactly.
// A hook carries its own context: a lambda that holds what it works on.
// Install it before setupSharedMem: the thread's start publishes it.
using FrameHook = std::function<void(const storeColor* shown)>;
inline FrameHook frameReleasedHook;

// Optional hook run on the receiver thread for every code other than idle,
// before it is acted on, with the record holding it. A recorder uses it.
using CodeHook = std::function<void(uint8_t code, const uint8_t* record)>;
inline CodeHook codeReceivedHook;

// Maps "shared_buffer.txt" in the working directory, resets the record to
// idle and starts the receiver thread. Any failure ends the process.
void setupSharedMem();
// setupSharedMem's work on a record that the caller has mapped: a receiver
// without a window maps it itself, to tell its failures in its own words.
void serveRecord(uint8_t* record);
// The receiver thread: answers every record for ever.
void* readBuffer(void* map);
// Both tables unlit, cube_color_back on show, flags down: the state the
// receiver starts from. setupSharedMem calls it before starting the thread.
void resetReceiver();
// One pass of the receiver: acts on the code in the record, if any, and
// answers it with idle. readBuffer runs it every 10 microseconds.
void handleRecord(uint8_t* record);
