#pragma once

// A private X server for drawing without a screen: an Xvfb that this
// process starts, that only holders of its fresh cookie may use, and that
// ends with the process. Nothing is ever shown on the user's own display.
//
//   render::PrivateDisplay display;
//   display.start(800, 600);  // or the tool ends, saying why
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
    // this process's DISPLAY and XAUTHORITY at it. Fails (process::Failure)
    // saying why when the server cannot start: a tool that draws without a
    // screen can do nothing then, so this follows process's own convention.
    void start(int width, int height);
    // Removes the cookie file, which a connection no longer needs.
    void forgetCookie();
    // Ends the server and waits for it.
    void stop();

private:
    // Runs Xvfb, which writes its display number to `readyFd` when ready.
    void launch(const std::string& program, int width, int height, const std::string& cookiePath,
                const std::string& logPath, int readyFd);

    process::Child server_;
    std::optional<process::TemporaryDir> cookieDir_;
};

}  // namespace render
