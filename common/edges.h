#pragma once

// The cube edges that the toolkit serves: a cube from kMinEdge to kMaxEdge
// LEDs along each side, kDefaultEdge unless told otherwise. The root
// CMakeLists.txt reads the three numbers from the lines below, so each keeps
// the form "inline constexpr int kNameEdge = N;".

namespace ledcube::cli {

inline constexpr int kMinEdge = 3;
inline constexpr int kMaxEdge = 16;
inline constexpr int kDefaultEdge = 12;

}  // namespace ledcube::cli

namespace cli = ledcube::cli;
