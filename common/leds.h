#pragma once

// When the toolkit's tools count an LED of a frame on show as lit, for what
// they print (cubetrace) and export (cubeexport's mono header): when the
// frame writer would send it as lit, some component above 0 (lFrame::isOff),
// and it is not the viewer's unlit grey, which shows an LED that is off.
//
// The receiver's own rule for a release with keep (isLit, viewer/unlit.h),
// which carries an LED over only when all three components are clear of the
// grey, belongs to the channel and stays as it is: a colour such as
// (1, 0.3, 0) is lit here, and not carried over there.

#include "lbox/lBox.h"

namespace leds {

bool lit(const storeColor& colour);

}  // namespace leds
