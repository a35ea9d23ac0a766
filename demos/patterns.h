#pragma once

// Drawing routines shared by the demos. Each takes the borrowed cube handle
// first, queues its writes with autowrite and returns nothing; the coordinates
// that the show's routines write lie in 0 to kShowTop on every axis, so they
// draw on a cube of edge kShowEdge (z upright, z = 0 at the bottom).

#include "lbox/lBox.h"

#include <cstdint>

inline constexpr uint8_t kShowEdge = 12;
inline constexpr uint8_t kShowTop = kShowEdge - 1;

inline constexpr storeColor kBlue{0.0f, 0.0f, 1.0f};
inline constexpr storeColor kPurple{0.7f, 0.0f, 0.5f};
inline constexpr storeColor kRed{1.0f, 0.0f, 0.0f};
inline constexpr storeColor kGreen{0.0f, 1.0f, 0.0f};

// One write per LED of the box, bounds inclusive: z outermost, x innermost.
void fillBox(lBox* box, uint8_t x0, uint8_t x1, uint8_t y0, uint8_t y1, uint8_t z0, uint8_t z1,
             storeColor color);

// Twelve red rows, one per x, each a full run of y; the rows alternate between
// the bottom two layers, row 0 at `startLevel` (0 or 1).
void drawZigzag(lBox* box, uint8_t startLevel);

// The twelve edges of the cube in blue (144 writes, 128 LEDs), released
// without keep and held 500 ms.
void drawControl(lBox* box);

// A blue column ten layers high beside a purple one `height` layers high,
// released without keep, held 600 ms, then both frames blanked.
void one(lBox* box, uint8_t height);

// `clear`, release without keep, hold `ms`: shows a blank frame.
void blankStep(lBox* box, unsigned long ms);

// Two blank steps of 15 ms. The viewer swaps its two tables on every release,
// so afterwards both are blank and a following keep carries nothing over.
void clearPallets(lBox* box);
