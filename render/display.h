#pragma once

// A private X server for drawing without a screen: an Xvfb that this
// process starts, that only holders of its fresh cookie may use, and that
// ends with the process. Nothing is ever shown on the user's own display.
//
//   render::PrivateDisplay display;
//   if (!display.start(800, 600, error)) ...
//   // DISPLAY and XAUTHORITY of this process now name it: glutInit, draw
//   display.forgetCookie();   // once connected
//   display.stop();           // or let the destructor do it

#include "common/process.h"

#include <optional>
#include <string>

namespace render {

class PrivateDisplay {
public:
    PrivateDisplay() = default;
    ~PrivateDisplay();
    PrivateDisplay(const PrivateDisplay&) = delete;
    PrivateDisplay& operator=(const PrivateDisplay&) = delete;

    // Starts Xvfb with one 24-bit screen of width × height pixels and points
    // this process's DISPLAY and XAUTHORITY at it. False, with `error`
    // saying why, when the server cannot start.
    bool start(int width, int height, std::string& error);
    // Removes the cookie file, which a connection no longer needs.
    void forgetCookie();
    // Ends the server and waits for it.
    void stop();

private:
    process::Child server_;
    std::optional<process::TemporaryDir> cookieDir_;
};

}  // namespace render
