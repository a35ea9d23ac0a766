#pragma once

// The viewer's picture: the cube as small upright cylinders over a grey
// floor, lit by one light, with the help text laid over it. The viewer draws
// it into its window; cuberender draws it, with the very same code, into a
// window of its own on a private X server and reads the pixels back.
//
//   setupScene();                 // once, with the GL context current
//   reshape(width, height);       // whenever the window's size changes
//   ptCurrLocalColorTable = table;
//   drawScene();                  // into the back buffer; the caller swaps

#include "viewer/core1Read.h"

#include <cstdint>
#include <iterator>

// Spin step in tenths of a degree per drawn frame, by speed level.
inline constexpr uint32_t kSpeedSteps[] = {1, 10, 25};
inline constexpr uint8_t kTopSpeedLevel = std::size(kSpeedSteps) - 1;

// The camera, the spin and the overlay, used only on the drawing thread.
extern float cam_dist;
extern float cam_phi;
extern float cam_theta;
extern float cam_pan[3];
extern int anim;
extern uint32_t gSpeed;
extern int64_t ani_counter;
extern int help;
// Whether the overlay is drawn at all: the viewer always draws it, a
// rendering may leave it out.
extern bool overlay;
extern int win_width;
extern int win_height;

// The table that drawScene draws.
extern const storeColor* ptCurrLocalColorTable;

// Tells malloc to keep memory that freeglut and Mesa free on every frame.
void keepFreedMemory();
// The GL state every frame relies on, and the LED cylinder compiled once.
void setupScene();
// The projection for a window of width × height pixels.
void reshape(int width, int height);
// Draws the whole picture into the back buffer. A spinning scene turns one
// step further on every call.
void drawScene();
// Draws the overlay; drawScene calls it last.
void print_help();
