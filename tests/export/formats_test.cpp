// The FSEQ writer's header fields of 32 bits, written directly: a count at
// their limit fits, one past it is refused and nothing is written.

#include "common/process.h"
#include "export/formats.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

constexpr std::size_t kFramesAt = 14, kChannelsAt = 10;
constexpr uint64_t kMax32 = UINT32_MAX;

struct Written {
    std::vector<uint8_t> bytes;
    exporter::Sink sink()
    {
        return [this](exporter::Bytes part) { bytes.insert(bytes.end(), part.begin(), part.end()); };
    }
    uint64_t le32(std::size_t at) const
    {
        return bytes.at(at) | bytes.at(at + 1) << 8 | bytes.at(at + 2) << 16 | uint64_t{bytes.at(at + 3)} << 24;
    }
};

exporter::Sequence sequence(uint64_t channels, uint64_t frames, bool zstd = false)
{
    exporter::Sequence made;
    made.channels = channels;
    made.frames = frames;
    made.stepMs = 25;
    made.zstd = zstd;
    made.producer = "formats_test";
    return made;
}

// The failure that making the writer ends with, or "" when it is made.
std::string refusal(const exporter::Sequence& sequence, Written& written)
{
    try {
        exporter::FseqWriter writer(sequence, written.sink());
    } catch (const process::Failure& failure) {
        EXPECT_EQ(failure.status, EXIT_FAILURE);
        return failure.what;
    }
    return "";
}

TEST(FseqHeader, CountsAtTheLimitOf32BitsAreWrittenWhole)
{
    Written written;
    ASSERT_EQ(refusal(sequence(kMax32, kMax32), written), "");
    EXPECT_EQ(written.le32(kFramesAt), kMax32);
    EXPECT_EQ(written.le32(kChannelsAt), kMax32);
}

TEST(FseqHeader, AFrameCountPast32BitsIsRefusedNotWrapped)
{
    for (const bool zstd : {false, exporter::haveZstd()}) {
        SCOPED_TRACE(zstd ? "zstd" : "plain");
        Written written;
        EXPECT_EQ(refusal(sequence(432, kMax32 + 1, zstd), written),
                  "the frame count 4294967296 does not fit the FSEQ header's 32 bits (at most 4294967295)");
        EXPECT_TRUE(written.bytes.empty());
    }
}

TEST(FseqHeader, AChannelCountPast32BitsIsRefusedNotWrapped)
{
    Written written;
    EXPECT_EQ(refusal(sequence(kMax32 + 3, 1), written),
              "the channel count 4294967298 does not fit the FSEQ header's 32 bits (at most 4294967295)");
    EXPECT_TRUE(written.bytes.empty());
}

}  // namespace
