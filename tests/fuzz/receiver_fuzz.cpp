// Feeds arbitrary records through the receiver's record handling into the
// colour tables. The input is cut into 46-byte records (the last one padded
// with zeros); each is handled as if the writer had just stored it.

#include "lbox/channel.h"
#include "viewer/core1Read.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    resetReceiver();
    std::array<uint8_t, channel::kRecordSize> record{};
    for (std::size_t offset = 0; offset < size; offset += channel::kRecordSize) {
        record.fill(0);
        std::memcpy(record.data(), data + offset, std::min(channel::kRecordSize, size - offset));
        handleRecord(record.data());

        // Every code is answered, and the two tables stay two distinct tables.
        const storeColor* shown = ptCurrColorTable.load();
        if (record[0] != channel::kStatusIdle || shown == ptFutureColorTable ||
            (shown != cube_color_back && shown != cube_color_front) ||
            (ptFutureColorTable != cube_color_back && ptFutureColorTable != cube_color_front))
            std::abort();
    }
    return 0;
}
