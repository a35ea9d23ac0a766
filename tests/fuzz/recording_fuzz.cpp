// Arbitrary bytes as a recording: each is either rejected with a reason or
// accepted, and then holds only codes a writer sends and LEDs inside the cube.

#include "record/recording.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::vector<uint8_t> bytes(data, data + size);
    recording::Recording show;
    std::string error;
    if (!recording::parse(bytes, show, error)) {
        if (error.empty())
            std::abort();
        return 0;
    }
    uint64_t lastUs = 0;
    for (const recording::Item& item : show.items) {
        if (recording::entriesOf(item.code) != item.entryCount || item.timeUs < lastUs)
            std::abort();
        for (std::size_t k = 0; k < item.entryCount; ++k) {
            const queueEntry& e = item.entries[k];
            if (e.x >= show.edge || e.y >= show.edge || e.z >= show.edge)
                std::abort();
        }
        lastUs = item.timeUs;
    }
    return 0;
}
