#include "play/xdisplay.h"

#if CUBE_CHECK_DISPLAY
#include <X11/Xlib.h>
#endif

namespace xdisplay {

bool opens()
{
#if CUBE_CHECK_DISPLAY
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return false;
    XCloseDisplay(display);
#endif
    return true;
}

}  // namespace xdisplay
