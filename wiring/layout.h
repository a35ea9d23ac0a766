#pragma once

// How a strip's pixels lie in bytes, wherever they go: a controller, a
// lighting program's packets or a file.

#include <cstddef>

namespace strip {

inline constexpr std::size_t kBytesPerPixel = 3;  // R, G, B

// A DMX universe carries 512 slots: 170 whole pixels.
inline constexpr unsigned kMaxLedsPerUniverse = 170;

}  // namespace strip
