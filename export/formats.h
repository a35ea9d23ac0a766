#pragma once

// The files that cubeexport writes for cubes that play on their own: FSEQ
// for sequence players, raw frames, and a C header for a microcontroller's
// flash. Sequences stream out through a sink as their frames come, so a long
// show never lies in memory whole; a header is built whole, as a
// microcontroller's flash holds little anyway.

#include "lbox/lBox.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace exporter {

using Frame = std::vector<uint8_t>;
using Bytes = std::span<const uint8_t>;
// Where a file's bytes go, in order.
using Sink = std::function<void(Bytes)>;

// A sequence file of version 2.0: `frames` frames of `channels` bytes, one
// every `stepMs`, compressed with zstd in blocks of whole frames when `zstd`.
struct Sequence {
    std::size_t channels = 0;
    std::size_t frames = 0;
    unsigned stepMs = 0;
    bool zstd = false;
    std::string producer;  // what made the file, in the `sp` variable header
    uint64_t uniqueId = 0;
};

// Whether this build can write zstd blocks.
bool haveZstd();

class FseqWriter {
public:
    // Uncompressed, the header goes to the sink at once and each frame as it
    // comes; compressed, the blocks wait in memory for the header's table.
    FseqWriter(const Sequence& sequence, Sink sink);
    // Each of the sequence's frames, `channels` bytes, in order.
    void add(Bytes frame);
    // After the last frame. Fails (process::Failure) when zstd fails.
    void finish();

private:
    void header();
    void compressBlock();

    Sequence sequence_;
    Sink sink_;
    std::size_t added_ = 0;
    std::size_t framesPerBlock_ = 0;
    std::vector<uint8_t> raw_;  // the block being filled
    std::vector<std::vector<uint8_t>> blocks_;
    std::vector<std::size_t> firstFrames_;
};

// One bit an LED, set when it is lit (leds::lit): for each layer from the
// bottom up, for each row from front to back, ceil(N / 8) bytes, bit i of
// byte j LED x = 8j + i. `shown` is the frame on show, in the receiver's
// order: LED (x, y, z) at (x * N + y) * N + z.
Frame monoFrame(const storeColor* shown, int edge);
std::size_t monoFrameBytes(int edge);

// The show as steps: step s shows frame `frame` for `ms` milliseconds.
struct Step {
    uint16_t frame;
    uint16_t ms;
};

struct Header {
    int edge = 0;
    bool mono = false;
    std::string prefix = "cube";  // of every name: cube_frames, CUBE_EDGE...
    std::string source;           // the recording, for the opening comment
    std::string producer;
    std::vector<Frame> frames;    // distinct
    std::vector<Step> steps;
};
// A header that compiles as C99 and as C++, its tables in program memory on
// AVR, opening with a comment that draws the frame's layout and shows the
// loop that plays it.
std::string cHeader(const Header& header);
// Bytes of flash the header's tables take.
std::size_t tableBytes(const Header& header);

}  // namespace exporter
