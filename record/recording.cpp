#include "record/recording.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace recording {

namespace {

constexpr std::size_t kVersionOffset = 8;
constexpr std::size_t kEdgeOffset = 10;
constexpr uint8_t kVarintMore = 0x80;
constexpr uint8_t kVarintBits = 0x7f;
constexpr unsigned kVarintShift = 7;
constexpr unsigned kMaxVarintBytes = 10;  // enough for 64 bits

// Reads the items of a recording front to back, refusing to read past its end.
class Cursor {
public:
    explicit Cursor(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}

    bool atEnd() const { return pos_ == bytes_.size(); }
    std::size_t offset() const { return pos_; }

    bool byte(uint8_t& out)
    {
        if (pos_ >= bytes_.size())
            return false;
        out = bytes_[pos_++];
        return true;
    }

    bool varint(uint64_t& out)
    {
        out = 0;
        for (unsigned i = 0; i < kMaxVarintBytes; ++i) {
            uint8_t b = 0;
            if (!byte(b))
                return false;
            out |= static_cast<uint64_t>(b & kVarintBits) << (kVarintShift * i);
            if (!(b & kVarintMore))
                return true;
        }
        return false;
    }

    const uint8_t* take(std::size_t n)
    {
        if (bytes_.size() - pos_ < n)
            return nullptr;
        const uint8_t* at = bytes_.data() + pos_;
        pos_ += n;
        return at;
    }

private:
    const std::vector<uint8_t>& bytes_;
    std::size_t pos_ = 0;
};

bool fail(std::string& error, const std::string& why)
{
    error = why;
    return false;
}

}  // namespace

int entriesOf(uint8_t code)
{
    switch (code) {
    case channel::kStatusClear:
    case channel::kStatusReleaseKeep:
    case channel::kStatusReleaseNoKeep:
        return 0;
    case channel::kStatusBatchBase + 1:
    case channel::kStatusBatchBase + 2:
    case channel::kStatusBatchBase + 3:
        return code - channel::kStatusBatchBase;
    default:
        return -1;
    }
}

bool Writer::start(std::FILE* file, uint8_t edge)
{
    file_ = file;
    lastUs_ = 0;
    uint8_t header[kHeaderSize] = {};
    std::memcpy(header, kMagic, sizeof kMagic);
    header[kVersionOffset] = static_cast<uint8_t>(kVersion);
    header[kVersionOffset + 1] = static_cast<uint8_t>(kVersion >> 8);
    header[kEdgeOffset] = edge;
    return std::fwrite(header, 1, kHeaderSize, file_) == kHeaderSize;
}

bool Writer::add(uint64_t timeUs, uint8_t code, const uint8_t* record)
{
    uint8_t item[kMaxVarintBytes + 1 + channel::kRecordSize - 1];
    std::size_t size = 0;
    uint64_t delta = timeUs >= lastUs_ ? timeUs - lastUs_ : 0;
    lastUs_ = timeUs;
    do {
        uint8_t b = delta & kVarintBits;
        delta >>= kVarintShift;
        item[size++] = delta ? (b | kVarintMore) : b;
    } while (delta);

    item[size++] = code;
    // A code no writer sends is kept with no entries: the recording shows
    // what arrived, and a player refuses it.
    const int count = entriesOf(code);
    for (int k = 0; k < count; ++k) {
        std::memcpy(item + size, record + channel::kEntryOffset[k], channel::kEntrySize);
        size += channel::kEntrySize;
    }
    return std::fwrite(item, 1, size, file_) == size;
}

bool parse(const std::vector<uint8_t>& bytes, Recording& out, std::string& error)
{
    out = {};
    if (bytes.size() < kHeaderSize || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0)
        return fail(error, "not a cube recording (no CUBEREC header)");
    const unsigned version = bytes[kVersionOffset] | (bytes[kVersionOffset + 1] << 8);
    if (version != kVersion)
        return fail(error, "recording format version " + std::to_string(version) + " is not supported (this is " +
                               std::to_string(kVersion) + ")");
    out.edge = bytes[kEdgeOffset];
    if (out.edge == 0)
        return fail(error, "the header names a cube edge of 0");

    Cursor cursor(bytes);
    cursor.take(kHeaderSize);
    uint64_t timeUs = 0;
    while (!cursor.atEnd()) {
        const std::string where = " at byte " + std::to_string(cursor.offset());
        Item item;
        uint64_t delta = 0;
        if (!cursor.varint(delta) || !cursor.byte(item.code))
            return fail(error, "truncated item" + where);
        const int count = entriesOf(item.code);
        if (count < 0)
            return fail(error, "code " + std::to_string(item.code) + " is never sent by a writer" + where);
        if (delta > kMaxTimeUs - timeUs)
            return fail(error, "time stamp beyond " + std::to_string(kMaxTimeUs) + " microseconds" + where);
        timeUs += delta;
        item.timeUs = timeUs;
        item.entryCount = static_cast<uint8_t>(count);
        for (int k = 0; k < count; ++k) {
            const uint8_t* entry = cursor.take(channel::kEntrySize);
            if (!entry)
                return fail(error, "truncated LED entry" + where);
            item.entries[k] = channel::readEntry(entry);
            const queueEntry& e = item.entries[k];
            if (e.x >= out.edge || e.y >= out.edge || e.z >= out.edge)
                return fail(error, "LED (" + std::to_string(e.x) + ", " + std::to_string(e.y) + ", " +
                                       std::to_string(e.z) + ") lies outside the cube of edge " +
                                       std::to_string(out.edge) + where);
        }
        out.items.push_back(item);
    }
    return true;
}

bool load(const std::string& path, Recording& out, std::string& error)
{
    std::ifstream file(path, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (!file.is_open() || file.bad())
        return fail(error, "cannot read " + path + ": " + std::strerror(errno));
    if (parse(bytes, out, error))
        return true;
    error = path + ": " + error;
    return false;
}

}  // namespace recording
