#pragma once

// The frame channel: a 46-byte record at the start of "shared_buffer.txt",
// mapped shared by the animation program (writer) and the viewer (reader).
//
//   offset  width  field
//   0       1      status byte (kStatus* below)
//   1       15     LED entry 1
//   16      15     LED entry 2
//   31      15     LED entry 3
//
// An LED entry, unaligned and without gaps:
//
//   0  x (u8)   1  y (u8)   2  z (u8)
//   3  red      7  green    11 blue    (IEEE-754 single, little-endian)
//
// The status byte is the whole handshake: the writer fills the entries and
// then stores a code only while the byte reads kStatusIdle; the reader acts
// on the code and stores kStatusIdle back as its last step.

#include "lbox/lBox.h"

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace ledcube::channel {

static_assert(std::endian::native == std::endian::little,
              "the record's floats are little-endian and copied as they lie in memory");

inline constexpr std::size_t kRecordSize = 46;
inline constexpr std::size_t kEntrySize = 15;
inline constexpr std::size_t kMaxEntries = 3;
inline constexpr std::size_t kEntryOffset[kMaxEntries] = {1, 16, 31};
inline constexpr std::size_t kColorOffset = 3;   // within an entry
inline constexpr std::size_t kColorBytes = 12;   // r, g, b

inline constexpr uint8_t kStatusIdle = 200;
inline constexpr uint8_t kStatusClear = 72;
inline constexpr uint8_t kStatusReleaseKeep = 251;
inline constexpr uint8_t kStatusReleaseNoKeep = 252;
// A batch of n entries (1 to 3) is announced by kStatusBatchBase + n.
inline constexpr uint8_t kStatusBatchBase = 252;
// The reader takes the entry count of any other code from its two low bits.
inline constexpr uint8_t kEntryCountMask = 3;

inline constexpr const char* kFileName = "shared_buffer.txt";

static_assert(kEntryOffset[2] + kEntrySize == kRecordSize);
static_assert(kColorOffset + kColorBytes == kEntrySize);
static_assert(sizeof(storeColor) == kColorBytes);

// The status byte lives in memory shared with another process, so every access
// goes through here as a single-byte atomic: acquire on every load, release on
// every store, which orders the entry bytes against the code announcing them.
inline uint8_t loadStatus(uint8_t* record)
{
    return std::atomic_ref<uint8_t>(record[0]).load(std::memory_order_acquire);
}

inline void storeStatus(uint8_t* record, uint8_t code)
{
    std::atomic_ref<uint8_t>(record[0]).store(code, std::memory_order_release);
}

// One entry in the layout above, at `entry`; also the layout of recordings.
inline void writeEntry(uint8_t* entry, const queueEntry& led)
{
    entry[0] = led.x;
    entry[1] = led.y;
    entry[2] = led.z;
    std::memcpy(entry + kColorOffset, &led.color, kColorBytes);
}

inline queueEntry readEntry(const uint8_t* entry)
{
    queueEntry led{entry[0], entry[1], entry[2], {}};
    std::memcpy(&led.color, entry + kColorOffset, kColorBytes);
    return led;
}

// Entry `slot` (0 to 2) of the record.
inline void packEntry(uint8_t* record, std::size_t slot, const queueEntry& led)
{
    writeEntry(record + kEntryOffset[slot], led);
}

inline queueEntry unpackEntry(const uint8_t* record, std::size_t slot)
{
    return readEntry(record + kEntryOffset[slot]);
}

// Opens `path` read-write (never creating it) and maps the record shared.
// Any failure ends the process with status 1 after saying what went wrong;
// `openFailure` is the perror prefix for a file that cannot be opened.
uint8_t* mapRecord(const char* path, const char* openFailure);
// The same, for a program that says its failures itself: nullptr, with
// `error` naming the file and what is wrong with it.
uint8_t* tryMapRecord(const char* path, std::string& error);

}  // namespace ledcube::channel

// The toolkit's own names live under ledcube::, apart from the names of a
// program that links the installed libraries; the toolkit calls them short.
namespace channel = ledcube::channel;
