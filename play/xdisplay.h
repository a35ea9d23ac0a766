#pragma once

// Whether the X display that DISPLAY names lets this process in, as it must
// let in the viewer that cubeplay would start there. Apart from cubeplay's
// own code, as the X headers define names such as Status and None.

namespace xdisplay {

// True when the display opens, or when this build has no viewer to check for.
bool opens();

}  // namespace xdisplay
