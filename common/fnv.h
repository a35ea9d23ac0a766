#pragma once

// FNV-1a, 32 bits: the hash by which cubetrace names a frame and the effects
// player gives each effect its own chance. Both are seen outside (in traces
// and in every effect's frames), so it never changes.

#include <cstdint>
#include <span>
#include <string_view>

namespace ledcube::fnv {

inline constexpr uint32_t kOffsetBasis = 0x811c9dc5u;
inline constexpr uint32_t kPrime = 0x01000193u;

inline uint32_t hash(std::span<const unsigned char> bytes)
{
    uint32_t hash = kOffsetBasis;
    for (const unsigned char byte : bytes)
        hash = (hash ^ byte) * kPrime;
    return hash;
}

inline uint32_t hash(std::string_view text)
{
    return hash({reinterpret_cast<const unsigned char*>(text.data()), text.size()});
}

}  // namespace ledcube::fnv

namespace fnv = ledcube::fnv;
