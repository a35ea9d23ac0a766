#pragma once

// What every receiver without a window does around the viewer's receiver
// code: one build per cube edge, found side by side, and the hooks through
// which it sees the codes and the frames. cubetrace and cubesend are built
// on it, once per cube edge like the viewer.
//
//   headless::serveEdge("cubesend", options.edge, argv);  // may exec a sibling
//   signals::StopOnSignal stop;                            // before any thread
//   headless::startReceiver(onFrame, onCode);              // lambdas with their context
//   stop.wait();                                           // a signal or stop.request()

#include "viewer/core1Read.h"

#include <string_view>

namespace headless {

// The name a build speaks under: as it was started (`argv0`'s file name), so
// that `cubetrace --edge 5`, which hands over to cubetrace5, still speaks as
// cubetrace; without one, this build's own name (cli::programForEdge).
std::string ownName(std::string_view base, const char* argv0);

// When this build serves another edge than `edge`, replaces the process with
// the build for `edge`, found beside the running program, with the same
// arguments, argv[0] included. Fails when that cannot start.
void serveEdge(std::string_view base, int edge, char** argv);

// Maps "shared_buffer.txt" in the working directory, installs the hooks
// (either may be empty) and starts the receiver there. Fails, naming the
// file, when the channel file cannot serve.
void startReceiver(FrameHook onFrame, CodeHook onCode);

}  // namespace headless
