#pragma once

// The viewer's unlit grey, and the tests that tell an LED from it. They do
// not depend on the cube's edge, so programs built for every edge share them.

#include "lbox/lBox.h"
#include "lbox/lFrame.h"

#include <cmath>

// The viewer's unlit grey: the whole-frame writer (lFrame.h) sends an LED
// that is off in this very colour.
inline constexpr storeColor kUnlit = lFrame::kUnlit;
inline constexpr float kUnlitLevel = kUnlit.r;
inline constexpr double kLitTolerance = 0.0001;

// An LED counts as lit when every component is clearly away from the unlit
// grey; a NaN component fails the test.
inline bool isLit(const storeColor& c)
{
    return std::fabs(c.r - kUnlitLevel) > kLitTolerance && std::fabs(c.g - kUnlitLevel) > kLitTolerance &&
           std::fabs(c.b - kUnlitLevel) > kLitTolerance;
}

// An LED shows the unlit grey when every component is within the tolerance of
// it; a NaN component is not grey. Between the two tests lie colours such as
// (0.3, 1, 1): not grey, but not carried over by a release with keep either.
inline bool isUnlitGrey(const storeColor& c)
{
    return std::fabs(c.r - kUnlitLevel) <= kLitTolerance && std::fabs(c.g - kUnlitLevel) <= kLitTolerance &&
           std::fabs(c.b - kUnlitLevel) <= kLitTolerance;
}
