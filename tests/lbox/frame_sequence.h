#pragma once

// The frames that lbox_scenario shows through lFrameWriter, and that the
// tests expect on the receiver's side, on the cube of edge 5.

#include "lbox/lFrame.h"

namespace frames {

inline constexpr int kEdge = 5;
inline constexpr int kLeds = kEdge * kEdge * kEdge;

// A few lit LEDs, LEDs switched off, a frame equal to the one before last,
// frames that change every LED, some or none, and dark frames.
inline constexpr int kSequenceLength = 12;

inline storeColor colourOf(int i, int shade)
{
    return {static_cast<float>(i % 7 + 1) / 8.0f, static_cast<float>(shade) / 4.0f, 0.5f};
}

inline lFrame sequenceFrame(int k)
{
    lFrame frame(kEdge);
    const auto few = [&] {
        frame.set(1, 1, 1, {1, 0, 0});
        frame.set(2, 2, 2, {0, 1, 0});
        frame.set(3, 3, 3, {0, 0, 1});
    };
    const auto all = [&](int shade, int every) {
        for (int i = 0; i < kLeds; i += every)
            frame.set(i / (kEdge * kEdge), i / kEdge % kEdge, i % kEdge, colourOf(i, shade));
    };
    switch (k) {
    case 0: few(); break;                                   // unknown tables: written whole
    case 1: few(); frame.set(4, 4, 4, {1, 1, 1}); break;    // unknown too
    case 2: few(); break;                                   // the frame before last: nothing to write
    case 3: few(); break;                                   // (4, 4, 4) switched off: one write
    case 4: all(1, 1); break;                               // every LED changes: the difference
    case 5: frame.set(0, 4, 2, {1, 1, 0}); break;           // one lit LED: clear and write it
    case 6: all(2, 1); break;
    case 7: all(2, 2); break;                               // every other LED off
    case 8: all(2, 1); frame.set(0, 0, 0, {1, 1, 1}); break;
    default: break;                                         // dark: a clear alone, then nothing
    }
    return frame;
}

// Frame k of a run that shows one every tenth of a second: a green bottom
// layer that never changes, so that only a whole frame writes it, LED
// (0, 0, 0) with k in its red, and one white LED walking through the top.
inline constexpr int kNumberedLength = 30;

inline lFrame numberedFrame(int k)
{
    lFrame frame(kEdge);
    frame.box(0, 0, 0, kEdge - 1, kEdge - 1, 0, {0, 1, 0}, lFrame::Box::Solid);
    frame.set(0, 0, 0, {static_cast<float>(k + 1) / 64.0f, 0.0f, 1.0f});
    frame.set(k % kEdge, k / kEdge % kEdge, kEdge - 1, {1, 1, 1});
    return frame;
}

// The numbered frames through a writer that never forgets the receiver's
// tables except once, at frame kForgetAt; then refresh() twice over.
inline constexpr int kForgetAt = 6;
inline constexpr int kForgetLength = 12;

// Frames of other edges than the writer's 5: edge 3 lies in the cube's
// corner, edge 7 is cut to it, edge 0 is dark. The same calls drawn into a
// frame of edge 5 give what the receiver shows.
inline constexpr int kOtherEdges[] = {3, 7, 3, 0, 7};

inline void drawOtherEdge(int k, lFrame& frame)
{
    switch (k) {
    case 0:
    case 2:
        frame.set(0, 0, 0, {0, 1, 0});
        frame.set(2, 2, 2, {1, 0, 0});
        frame.set(2, 0, 1, {0, 0, 1});
        break;
    case 1:
        frame.fill({0.5f, 0.5f, 1});
        frame.set(4, 4, 4, {1, 0, 0});
        frame.set(5, 5, 5, {0, 1, 0});
        break;
    case 4:
        frame.box(3, 3, 3, 6, 6, 6, {1, 1, 0}, lFrame::Box::Solid);
        break;
    default: break;
    }
}

}  // namespace frames
