#pragma once

// The viewer's arithmetic that needs no window: the walk that orders the
// drawing of the LEDs, the width of the projection, the frame-rate figure
// and the camera steps of a mouse drag.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>

namespace viewmath {

// Distance between neighbouring LEDs along each axis of the cube frame.
inline constexpr float kLedSpacing = 0.5f;

template <int N>
inline constexpr int kWalkSteps = N * N * N - 1;

using Led = std::array<uint8_t, 3>;    // x, y, z
using Move = std::array<float, 3>;     // dx, dy, dz in the cube frame

// The LED drawn first, at the origin of the cube frame.
template <int N>
constexpr uint8_t centre()
{
    return static_cast<uint8_t>(N / 2);
}

// Every LED but the centre one, layers from the bottom up (z), rows from near
// to far (y), left to right within a row (x).
template <int N>
constexpr std::array<Led, kWalkSteps<N>> walkLeds()
{
    constexpr uint8_t c = centre<N>();
    std::array<Led, kWalkSteps<N>> leds{};
    int k = 0;
    for (int z = 0; z < N; ++z)
        for (int y = 0; y < N; ++y)
            for (int x = 0; x < N; ++x) {
                if (x == c && y == c && z == c)
                    continue;
                leds[k++] = {static_cast<uint8_t>(x), static_cast<uint8_t>(y), static_cast<uint8_t>(z)};
            }
    return leds;
}

// Where an LED sits in the cube frame, with the centre LED at the origin.
template <int N>
constexpr Move ledPlace(const Led& led)
{
    constexpr int c = centre<N>();
    return {kLedSpacing * static_cast<float>(led[0] - c), kLedSpacing * static_cast<float>(led[1] - c),
            kLedSpacing * static_cast<float>(led[2] - c)};
}

// Step k moves from the LED drawn before (the centre LED for k = 0) to LED k
// of the walk. All places are multiples of kLedSpacing, so the differences,
// and their running sums while drawing, are exact.
template <int N>
constexpr std::array<Move, kWalkSteps<N>> walkMoves()
{
    constexpr auto leds = walkLeds<N>();
    std::array<Move, kWalkSteps<N>> moves{};
    Move from = ledPlace<N>({centre<N>(), centre<N>(), centre<N>()});
    for (int k = 0; k < kWalkSteps<N>; ++k) {
        const Move to = ledPlace<N>(leds[k]);
        moves[k] = {to[0] - from[0], to[1] - from[1], to[2] - from[2]};
        from = to;
    }
    return moves;
}

// Half the height of the view at the near plane: about 50 degrees of view.
inline constexpr float kFrustumHalfHeight = 0.23315f;

// Half the width of the view at the near plane for a window of the given
// size. X never reports a window without height, but a reshape to height 0
// must not divide by zero: such a window is taken as one pixel high.
inline float frustumHalfWidth(int width, int height)
{
    const float aspect = static_cast<float>(width) / static_cast<float>(std::max(height, 1));
    return aspect * kFrustumHalfHeight;
}

inline constexpr int64_t kMsPerSecond = 1000;
inline constexpr int64_t kRateScale = 100;  // the rate is kept in hundredths

// Frames per second in hundredths, truncated. No time has passed when the
// spin stops in the millisecond it started: no rate can be measured over
// that, so it reads 0 rather than dividing by zero.
inline int64_t frameRateHundredths(int64_t frames, int64_t elapsedMs)
{
    if (elapsedMs <= 0)
        return 0;
    return frames * kMsPerSecond * kRateScale / elapsedMs;
}

// Camera steps for one drag event of dx, dy pixels. Each widens the old value
// to double, adds the scaled step and stores the sum as a float.
inline constexpr double kDegreesPerPixel = 0.5;
inline constexpr double kDistancePerPixel = 0.1;
inline constexpr double kPanPerPixel = 0.01;
inline constexpr float kMaxElevation = 90.0f;

inline float turned(float degrees, int pixels)
{
    return static_cast<float>(static_cast<double>(degrees) + kDegreesPerPixel * pixels);
}

// The camera never tips over the poles.
inline float clampedElevation(float degrees)
{
    if (degrees < -kMaxElevation)
        return -kMaxElevation;
    if (degrees > kMaxElevation)
        return kMaxElevation;
    return degrees;
}

// The camera can reach the point it orbits but not pass through it.
inline float movedDistance(float distance, int dy)
{
    const double d = static_cast<double>(distance) + kDistancePerPixel * dy;
    return static_cast<float>(std::max(d, 0.0));
}

inline float radians(float degrees)
{
    return static_cast<float>(static_cast<double>(degrees) * std::numbers::pi / 180.0);
}

// Moves the scene by dx pixels along the screen's right and dy pixels along
// its down direction, both taken in world space for the camera's azimuth
// theta and elevation phi, so that the scene follows the pointer.
inline void panned(float pan[3], float thetaDegrees, float phiDegrees, int dx, int dy)
{
    const double theta = radians(thetaDegrees);
    const double phi = radians(phiDegrees);
    const float cosTheta = static_cast<float>(std::cos(theta));
    const float sinTheta = static_cast<float>(std::sin(theta));
    const float cosPhi = static_cast<float>(std::cos(phi));
    const float sinThetaSinPhi = static_cast<float>(std::sin(theta) * std::sin(phi));
    const float cosThetaSinPhi = static_cast<float>(std::cos(theta) * std::sin(phi));
    const float fdx = static_cast<float>(dx);
    const float fdy = static_cast<float>(dy);

    const float step[3] = {fdx * cosTheta - fdy * sinThetaSinPhi, -fdy * cosPhi,
                           fdx * sinTheta + fdy * cosThetaSinPhi};
    for (int axis = 0; axis < 3; ++axis)
        pan[axis] = static_cast<float>(static_cast<double>(pan[axis]) + kPanPerPixel * static_cast<double>(step[axis]));
}

}  // namespace viewmath
