// An Open Pixel Control stream cut at arbitrary places: each byte of the
// input says how many of the bytes after it come at once. Every message
// comes out whole and in order, and nothing is lost or taken twice.

#include "net/protocols.h"

#include <cstdlib>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    strip::OpcReader reader;
    std::size_t taken = 0;
    const auto take = [&](const strip::OpcReader::Message& message) {
        constexpr std::size_t kHeader = 4;
        taken += kHeader + message.data.size();
    };
    std::size_t fed = 0;
    for (std::size_t at = 0; at < size;) {
        const std::size_t chunk = std::min<std::size_t>(data[at], size - at - 1);
        reader.feed({data + at + 1, chunk}, take);
        fed += chunk;
        at += 1 + chunk;
    }
    if (taken + reader.waiting() != fed)
        std::abort();
    return 0;
}
