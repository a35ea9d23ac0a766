#pragma once

// What the built-in effects share when they colour LEDs: a full turn, the
// reference cube that settings are given for, colours scaled by a level,
// and palettes that glide without a jump. Internal to the effects' library;
// inline, since most of it runs once an LED.

#include "effects/lEffect.h"

#include <cmath>
#include <numbers>

namespace ledcube::effects {

constexpr double kTurn = 2 * std::numbers::pi;
constexpr double kSecondsPerMinute = 60.0;
// Lengths, sizes and speeds given in LEDs are meant for a cube of this edge
// and scale with the cube's.
constexpr double kReferenceEdge = 8.0;
// How near a palette's end must come to its start to run round and round.
constexpr float kWrapTolerance = 0.02f;
constexpr float kPaletteEnd = 0.999f;

// A length, size or speed given for the reference cube, on a cube of `edge`.
inline double perEdge(double onReference, int edge)
{
    return onReference * edge / kReferenceEdge;
}

// `colour` with each component times `level`.
inline storeColor scaled(storeColor colour, float level)
{
    return {colour.r * level, colour.g * level, colour.b * level};
}

inline bool wrapsSmoothly(const lPalette& palette)
{
    const storeColor start = palette.at(0.0f);
    const storeColor end = palette.at(kPaletteEnd);
    return std::fabs(start.r - end.r) < kWrapTolerance && std::fabs(start.g - end.g) < kWrapTolerance &&
           std::fabs(start.b - end.b) < kWrapTolerance;
}

// A palette whose end is not its start is run forth and back instead of
// round, so that a colour that glides never jumps.
inline float glide(float position, bool wraps)
{
    if (wraps)
        return position;
    const float p = position - 2.0f * std::floor(position / 2.0f);
    return p <= 1.0f ? p : 2.0f - p;
}

}  // namespace ledcube::effects

namespace effects = ledcube::effects;
