#include "common/leds.h"

#include "lbox/lFrame.h"
#include "viewer/unlit.h"

namespace leds {

bool lit(const storeColor& colour)
{
    return !lFrame::isOff(colour) && !isUnlitGrey(colour);
}

}  // namespace leds
