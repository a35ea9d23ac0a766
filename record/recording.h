#pragma once

// Recordings of the frame channel: every code a receiver handled, with its LED
// entries and the time it arrived, so that a show can be played back.
//
// File layout (all integers little-endian):
//
//   header, 12 bytes
//     0   8  magic "CUBEREC\0"
//     8   2  format version (kVersion)
//     10  1  cube edge N the recording was made for (1 to 255)
//     11  1  reserved, 0
//   then one item per code, until the end of the file:
//     varint  microseconds since the previous item (since the start for the
//             first); LEB128: 7 bits a byte, low bits first, high bit = more
//     1       status code: 72, 251, 252, 253, 254 or 255
//     15 * n  the n LED entries a batch announces (n = code - 252), each in
//             the channel record's own entry layout (x, y, z, r, g, b)
//
// A reader rejects a file with another magic or version, a truncated item, a
// code that no writer sends, an entry outside the cube, or a time beyond
// kMaxTimeUs.

#include "lbox/channel.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace recording {

inline constexpr char kMagic[8] = {'C', 'U', 'B', 'E', 'R', 'E', 'C', '\0'};
inline constexpr uint16_t kVersion = 1;
inline constexpr std::size_t kHeaderSize = 12;
// About twelve days: far beyond any show, and small enough to scale safely.
inline constexpr uint64_t kMaxTimeUs = uint64_t{1} << 40;
// How fast a recording may be played back, against the pace recorded
// (cubereplay, cuberender and cubeexport take it as --speed).
inline constexpr double kMinSpeed = 0.01;
inline constexpr double kMaxSpeed = 1000.0;

struct Item {
    uint64_t timeUs = 0;  // since the start of the recording
    uint8_t code = channel::kStatusIdle;
    uint8_t entryCount = 0;
    std::array<queueEntry, channel::kMaxEntries> entries{};
};

struct Recording {
    uint8_t edge = 0;
    std::vector<Item> items;
};

// Number of LED entries that a code the writer sends carries, or -1 for a
// code that no writer sends.
int entriesOf(uint8_t code);

// Whether the code releases a frame to show, keeping the unlit LEDs or not.
inline bool isRelease(uint8_t code)
{
    return code == channel::kStatusReleaseKeep || code == channel::kStatusReleaseNoKeep;
}

// Appends items to an open file as they happen.
class Writer {
public:
    // Writes the header; false (with errno set) when the file refuses it.
    bool start(std::FILE* file, uint8_t edge);
    // Records `code`, read from `record`, with the entries it announces.
    bool add(uint64_t timeUs, uint8_t code, const uint8_t* record);

private:
    std::FILE* file_ = nullptr;
    uint64_t lastUs_ = 0;
};

// Parses a whole recording. On failure returns false and says why in `error`.
bool parse(const std::vector<uint8_t>& bytes, Recording& out, std::string& error);
// Reads and parses the file at `path`; `error` then says why, naming the
// file: "cannot read PATH: REASON" or "PATH: REASON".
bool load(const std::string& path, Recording& out, std::string& error);

}  // namespace recording
