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

// The camera as the viewer starts.
inline constexpr float kStartDistance = 8.0f;
inline constexpr float kStartElevation = 25.0f;
inline constexpr float kStartAzimuth = 0.0f;

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

// A picture as a program other than the viewer takes it: the camera as the
// viewer's drags set it, the spin and the overlay.
struct View {
    float azimuth = kStartAzimuth;      // cam_theta
    float elevation = kStartElevation;  // cam_phi, -90 to 90
    float distance = kStartDistance;    // cam_dist, 0 or more
    int spinLevel = -1;                 // a speed level, or -1: no spin
    bool overlay = true;                // the prompt (or help) line at all
    bool help = false;                  // the help text instead of the prompt
};
void setView(const View& view);

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
