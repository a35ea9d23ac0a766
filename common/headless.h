#pragma once

// What every receiver without a window does around the viewer's receiver
// code: one build per cube edge, found side by side; the stop signals; and
// the hooks through which it sees the codes and the frames. cubetrace and
// cubesend are built on it, once per cube edge like the viewer.
//
//   headless::serveEdge("cubesend", options.edge, argv);  // may exec a sibling
//   headless::blockSignals();                              // before any thread
//   headless::startReceiver(onFrame, onCode);
//   headless::waitForEnd();                                // a signal or finish()

#include "viewer/core1Read.h"

#include <string>

namespace headless {

// The build of `base` for `edge`: `base` itself serves the default edge,
// `base<N>` each other one.
std::string programForEdge(const std::string& base, int edge);

// When this build serves another edge than `edge`, replaces the process with
// the build for `edge`, found beside the running program, with the same
// arguments. Ends the process with a message when that cannot start.
void serveEdge(const std::string& base, int edge, char** argv);

// Blocks SIGINT, SIGTERM and the signal finish() sends in the calling thread,
// so in every thread started after it: only waitForEnd takes them.
void blockSignals();

// Installs the hooks (either may be null) and starts the receiver in the
// working directory, beside "shared_buffer.txt".
void startReceiver(FrameHook onFrame, CodeHook onCode);

// Returns once SIGINT or SIGTERM arrives or another thread calls finish().
void waitForEnd();

// Makes waitForEnd return; safe from any thread.
void finish();

}  // namespace headless
