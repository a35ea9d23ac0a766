#include "export/formats.h"

#include "common/leds.h"
#include "common/process.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

#if CUBE_ZSTD
#include <zstd.h>
#endif

namespace exporter {

namespace {

void putLe(std::vector<uint8_t>& out, std::size_t at, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out[at + static_cast<std::size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
}

// A count that goes into a field of 32 bits: one that does not fit is
// refused, never cut to its low bits.
void checkField32(uint64_t value, const std::string& what)
{
    if (value > UINT32_MAX)
        process::fail(what + " " + std::to_string(value) + " does not fit the FSEQ header's 32 bits (at most " +
                      std::to_string(UINT32_MAX) + ")");
}

std::string upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

}  // namespace

// An FSEQ file of version 2.0, little-endian:
//
//   0   4  identifier         "PSEQ"
//   4   2  channel data offset  where the frames begin (a multiple of 4)
//   6   1  minor version      0
//   7   1  major version      2
//   8   2  header length      32 + 8 × compression blocks + 6 × sparse ranges:
//                             where the variable headers begin
//   10  4  channel count      3 × N³
//   14  4  frame count
//   18  1  step time          milliseconds from one frame to the next
//   19  1  flags              0
//   20  1  compression type   0 none, 1 zstd (low 4 bits; the high 4 bits
//                             extend the block count, 0 here)
//   21  1  compression blocks the count, 255 at most
//   22  1  sparse ranges      0: every channel
//   23  1  reserved           0
//   24  8  unique id          the time made, in microseconds
//   32     compression blocks, 8 bytes each: the block's first frame (4),
//          its compressed length (4)
//   then   variable headers: length (2, its 4 header bytes included), code
//          (2, "sp": what made the file), a NUL-terminated string
//   then   zero bytes up to the channel data offset
//   then   the frames, channel count bytes each; compressed, each block of
//          whole frames a zstd frame of its own
namespace fseqLayout {
constexpr char kId[4] = {'P', 'S', 'E', 'Q'};
constexpr std::size_t kIdAt = 0;
constexpr std::size_t kDataOffset = 4;
constexpr std::size_t kMinor = 6;
constexpr std::size_t kMajor = 7;
constexpr std::size_t kHeaderLength = 8;
constexpr std::size_t kChannels = 10;
constexpr std::size_t kFrames = 14;
constexpr std::size_t kStep = 18;
constexpr std::size_t kCompression = 20;
constexpr std::size_t kBlocks = 21;
constexpr std::size_t kUniqueId = 24;
constexpr std::size_t kFixedSize = 32;
constexpr std::size_t kBlockSize = 8;
constexpr std::size_t kVariableHeaderSize = 4;
constexpr char kProducerCode[2] = {'s', 'p'};
constexpr uint8_t kMajorVersion = 2;
constexpr uint8_t kMinorVersion = 0;
constexpr uint8_t kZstd = 1;
constexpr std::size_t kMaxBlocks = 255;
constexpr std::size_t kAlignment = 4;
// A block holds about this much before compression, so that a player needs
// little memory to play one.
constexpr std::size_t kBlockBytes = 64 * 1024;
constexpr int kZstdLevel = 10;
}  // namespace fseqLayout

bool haveZstd()
{
    return CUBE_ZSTD;
}

FseqWriter::FseqWriter(const Sequence& sequence, Sink sink) : sequence_(sequence), sink_(std::move(sink))
{
    using namespace fseqLayout;
    // Before any frame is made: a compressed file's header comes last.
    checkField32(sequence_.channels, "the channel count");
    checkField32(sequence_.frames, "the frame count");
    if (!sequence_.zstd) {
        header();
        return;
    }
    if (!haveZstd())
        process::fail("this build writes no zstd (install libzstd-dev and build it again)");
    // Blocks of about kBlockBytes, and never more of them than the table holds.
    const std::size_t channels = std::max<std::size_t>(1, sequence_.channels);
    framesPerBlock_ = std::max({std::size_t{1}, kBlockBytes / channels, (sequence_.frames + kMaxBlocks - 1) / kMaxBlocks});
    raw_.reserve(framesPerBlock_ * sequence_.channels);
}

void FseqWriter::add(Bytes frame)
{
    ++added_;
    if (!sequence_.zstd) {
        sink_(frame);
        return;
    }
    raw_.insert(raw_.end(), frame.begin(), frame.end());
    if (raw_.size() >= framesPerBlock_ * sequence_.channels)
        compressBlock();
}

void FseqWriter::finish()
{
    if (!sequence_.zstd)
        return;
    if (!raw_.empty())
        compressBlock();
    header();
    for (const std::vector<uint8_t>& block : blocks_)
        sink_(block);
}

void FseqWriter::compressBlock()
{
#if CUBE_ZSTD
    std::vector<uint8_t> packed(ZSTD_compressBound(raw_.size()));
    const std::size_t size = ZSTD_compress(packed.data(), packed.size(), raw_.data(), raw_.size(), fseqLayout::kZstdLevel);
    if (ZSTD_isError(size))
        process::fail(std::string("cannot compress with zstd: ") + ZSTD_getErrorName(size));
    packed.resize(size);
    checkField32(size, "a compressed block's length");
    firstFrames_.push_back(added_ - raw_.size() / sequence_.channels);
    blocks_.push_back(std::move(packed));
#endif
    raw_.clear();
}

void FseqWriter::header()
{
    using namespace fseqLayout;
    const std::string producer = sequence_.producer + '\0';
    const std::size_t variablesAt = kFixedSize + kBlockSize * blocks_.size();
    const std::size_t variablesEnd = variablesAt + kVariableHeaderSize + producer.size();
    const std::size_t dataAt = (variablesEnd + kAlignment - 1) / kAlignment * kAlignment;
    std::vector<uint8_t> out(dataAt, 0);
    std::memcpy(&out[kIdAt], kId, sizeof kId);
    putLe(out, kDataOffset, dataAt, 2);
    out[kMinor] = kMinorVersion;
    out[kMajor] = kMajorVersion;
    putLe(out, kHeaderLength, variablesAt, 2);
    putLe(out, kChannels, sequence_.channels, 4);
    putLe(out, kFrames, sequence_.frames, 4);
    out[kStep] = static_cast<uint8_t>(sequence_.stepMs);
    out[kCompression] = sequence_.zstd ? kZstd : 0;
    out[kBlocks] = static_cast<uint8_t>(blocks_.size());
    putLe(out, kUniqueId, sequence_.uniqueId, 8);
    for (std::size_t b = 0; b < blocks_.size(); ++b) {
        putLe(out, kFixedSize + kBlockSize * b, firstFrames_[b], 4);
        putLe(out, kFixedSize + kBlockSize * b + 4, blocks_[b].size(), 4);
    }
    putLe(out, variablesAt, kVariableHeaderSize + producer.size(), 2);
    std::memcpy(&out[variablesAt + 2], kProducerCode, sizeof kProducerCode);
    std::memcpy(&out[variablesAt + kVariableHeaderSize], producer.data(), producer.size());
    sink_(out);
}

namespace {

constexpr int kBitsPerByte = 8;

}  // namespace

std::size_t monoFrameBytes(int edge)
{
    const std::size_t row = static_cast<std::size_t>((edge + kBitsPerByte - 1) / kBitsPerByte);
    return row * static_cast<std::size_t>(edge * edge);
}

Frame monoFrame(const storeColor* shown, int edge)
{
    const std::size_t rowBytes = static_cast<std::size_t>((edge + kBitsPerByte - 1) / kBitsPerByte);
    Frame frame(monoFrameBytes(edge), 0);
    for (int z = 0; z < edge; ++z)
        for (int y = 0; y < edge; ++y)
            for (int x = 0; x < edge; ++x) {
                if (!leds::lit(shown[(x * edge + y) * edge + z]))
                    continue;
                const int row = z * edge + y;
                frame[static_cast<std::size_t>(row) * rowBytes + static_cast<std::size_t>(x / kBitsPerByte)] |=
                    static_cast<uint8_t>(1 << (x % kBitsPerByte));
            }
    return frame;
}

std::size_t tableBytes(const Header& header)
{
    const std::size_t frameBytes = header.frames.empty() ? 0 : header.frames.front().size();
    return header.frames.size() * frameBytes + header.steps.size() * sizeof(Step);
}

namespace {

constexpr std::size_t kBytesPerLine = 16;

// The header's text is written with the default names, cube_... and
// CUBE_..., and renamed for another prefix at the end.
std::string renamed(std::string text, const std::string& prefix)
{
    const std::string up = upper(prefix);
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"cube_", prefix + "_"}, {"CUBE_", up + "_"}})
        for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
            text.replace(at, from.size(), to);
    return text;
}

// How a mono frame's bytes lie in the cube, and the loop of the usual
// single-colour cube: shift registers hold a layer, transistors switch the
// layers on in turn.
std::string monoLayout(int edge)
{
    const int rowBytes = (edge + kBitsPerByte - 1) / kBitsPerByte;
    std::string text = " * A frame is one bit an LED, set when the LED is lit: for each layer z from the\n"
                       " * bottom up, for each row y from the front to the back, CUBE_ROW_BYTES byte(s);\n"
                       " * bit i of a row's byte j is LED x = 8j + i, bit 0 the left end (x = 0).\n"
                       " *\n"
                       " *   bytes      layer z   row y\n";
    char line[96];
    const auto row = [&](int z, int y) {
        const int first = (z * edge + y) * rowBytes;
        const std::string bytes =
            rowBytes == 1 ? std::to_string(first) : std::to_string(first) + ".." + std::to_string(first + rowBytes - 1);
        std::snprintf(line, sizeof line, " *   %-10s %-9d %d\n", bytes.c_str(), z, y);
        text += line;
    };
    const int last = edge - 1;
    row(0, 0);
    row(0, 1);
    text += " *   ...\n";
    row(0, last);
    row(1, 0);
    text += " *   ...\n";
    row(last, last);
    return text +
           " *\n"
           " * On the usual single-colour cube, shift registers hold one layer, a row's\n"
           " * bytes a register, and transistors switch the layers on one at a time, so\n"
           " * fast that the whole cube seems lit: layer z is the CUBE_LAYER_BYTES bytes\n"
           " * from z * CUBE_LAYER_BYTES. The loop that plays the show:\n"
           " *\n"
           " *   for (;;)\n"
           " *       for (uint16_t s = 0; s < CUBE_STEP_COUNT; ++s) {\n"
           " *           const uint8_t* frame = cube_frames[pgm_read_word(&cube_steps[s].frame)];\n"
           " *           const uint32_t start = millis();\n"
           " *           do\n"
           " *               for (uint8_t z = 0; z < CUBE_EDGE; ++z) {\n"
           " *                   for (uint16_t i = 0; i < CUBE_LAYER_BYTES; ++i)\n"
           " *                       send(pgm_read_byte(&frame[z * CUBE_LAYER_BYTES + i]));  // to the registers\n"
           " *                   showLayer(z);  // latch, switch layer z on for about a millisecond\n"
           " *               }\n"
           " *           while (millis() - start < pgm_read_word(&cube_steps[s].ms));\n"
           " *       }\n";
}

std::string rgbLayout()
{
    return " * A frame is 3 bytes an LED (red, green, blue) for each pixel of the strip in\n"
           " * its order (cubeexport's --wiring, --serpentine or --layout), the colours as\n"
           " * cubesend sends them (--gamma, --brightness); an unlit LED is 0, 0, 0. The\n"
           " * loop that plays the show on the strip:\n"
           " *\n"
           " *   for (;;)\n"
           " *       for (uint16_t s = 0; s < CUBE_STEP_COUNT; ++s) {\n"
           " *           const uint8_t* frame = cube_frames[pgm_read_word(&cube_steps[s].frame)];\n"
           " *           for (uint16_t i = 0; i < CUBE_FRAME_BYTES; ++i)\n"
           " *               send(pgm_read_byte(&frame[i]));  // to the strip's driver\n"
           " *           show();\n"
           " *           delay(pgm_read_word(&cube_steps[s].ms));\n"
           " *       }\n";
}

// A file name as the opening comment can hold it: no line break, no end of
// the comment.
std::string commentSafe(std::string text)
{
    for (char& c : text)
        if (static_cast<unsigned char>(c) < ' ')
            c = '?';
    for (std::size_t at = text.find("*/"); at != std::string::npos; at = text.find("*/", at))
        text.replace(at, 2, "* /");
    return text;
}

std::string define(const std::string& name, std::size_t value)
{
    return "#define " + name + " " + std::to_string(value) + "\n";
}

}  // namespace

std::string cHeader(const Header& h)
{
    const std::size_t frameBytes = h.frames.empty() ? 0 : h.frames.front().size();
    std::string text =
        " *\n"
        " * CUBE_FRAME_COUNT frames of CUBE_FRAME_BYTES bytes, each stored once, and the\n"
        " * show as CUBE_STEP_COUNT steps: step s shows frame cube_steps[s].frame for\n"
        " * cube_steps[s].ms milliseconds.\n"
        " *\n" +
        (h.mono ? monoLayout(h.edge) : rgbLayout()) +
        " *\n"
        " * On AVR the tables lie in flash (PROGMEM), where pgm_read_byte and\n"
        " * pgm_read_word read them; elsewhere read them as they are. The header holds\n"
        " * the tables themselves: include it in one source file.\n"
        " */\n"
        "#ifndef CUBE_SHOW_H\n"
        "#define CUBE_SHOW_H\n"
        "\n"
        "#include <stdint.h>\n"
        "\n"
        "#if defined(__AVR__)\n"
        "#include <avr/pgmspace.h>\n"
        "#define CUBE_PROGMEM PROGMEM\n"
        "#else\n"
        "#define CUBE_PROGMEM\n"
        "#endif\n"
        "\n" +
        define("CUBE_EDGE", static_cast<std::size_t>(h.edge)) + define("CUBE_FRAME_BYTES", frameBytes) +
        define("CUBE_FRAME_COUNT", h.frames.size()) + define("CUBE_STEP_COUNT", h.steps.size());
    if (h.mono) {
        const std::size_t rowBytes = monoFrameBytes(h.edge) / static_cast<std::size_t>(h.edge * h.edge);
        text += define("CUBE_ROW_BYTES", rowBytes) + define("CUBE_LAYER_BYTES", rowBytes * static_cast<std::size_t>(h.edge));
    }
    text += "\n"
            "const uint8_t cube_frames[CUBE_FRAME_COUNT][CUBE_FRAME_BYTES] CUBE_PROGMEM = {\n";
    char hex[8];
    for (std::size_t f = 0; f < h.frames.size(); ++f) {
        text += "    {";
        for (std::size_t i = 0; i < h.frames[f].size(); ++i) {
            if (i % kBytesPerLine == 0)
                text += "\n        ";
            std::snprintf(hex, sizeof hex, "0x%02x,", h.frames[f][i]);
            text += hex;
            text += i + 1 < h.frames[f].size() && (i + 1) % kBytesPerLine != 0 ? " " : "";
        }
        text += "\n    },  /* frame " + std::to_string(f) + " */\n";
    }
    text += "};\n"
            "\n"
            "const struct {\n"
            "    uint16_t frame;\n"
            "    uint16_t ms;\n"
            "} cube_steps[CUBE_STEP_COUNT] CUBE_PROGMEM = {\n";
    for (const Step& step : h.steps)
        text += "    {" + std::to_string(step.frame) + ", " + std::to_string(step.ms) + "},\n";
    text += "};\n"
            "\n"
            "#endif\n";
    return "/* " + commentSafe(h.source) + " for an LED cube of edge " + std::to_string(h.edge) + ", made by " +
           commentSafe(h.producer) + ".\n" + renamed(text, h.prefix);
}

}  // namespace exporter
