// cubeexport as a real process: its files read back by readers of the
// formats' own (an FSEQ reader, libzstd, a C compiler), frame by frame,
// against a small show whose frames the test knows; and its refusals.

#include "tests/record/recording_file.h"
#include "testkit/support.h"

#include <gtest/gtest.h>

#if CUBE_ZSTD
#include <zstd.h>
#endif

#include <filesystem>
#include <fstream>

namespace {

using namespace std::chrono_literals;
using testsupport::Process;
using testsupport::RecordingFile;
using testsupport::RunDir;
using Bytes = std::vector<uint8_t>;

struct Led {
    uint8_t x, y, z;
    storeColor colour;
};
using Frame = std::vector<Led>;

constexpr storeColor kRed{1, 0, 0}, kGreen{0, 1, 0}, kBlue{0, 0, 1}, kYellow{1, 1, 0};

// Frames A, B, A, C released at 0, 40, 100 and 130 ms, each drawn whole on
// a cleared frame; the last holds kHoldMs. Sampled every 25 ms: A A B B A A
// C C C C.
struct Show {
    uint8_t edge;
    std::vector<Frame> frames;
    std::vector<uint64_t> releasesMs{0, 40, 100, 130};
    std::vector<int> order{0, 1, 0, 2};
    std::vector<int> sampled{0, 0, 1, 1, 0, 0, 2, 2, 2, 2};
};
constexpr const char* kHoldMs = "100";
constexpr const char* kStepMs = "25";

Show showFor(uint8_t edge)
{
    const uint8_t top = edge - 1;
    return {edge,
            {{{0, 0, 0, kRed}, {top, 0, 0, kGreen}},
             {{1, 2, 3, kBlue}, {top, top, top, kYellow}},
             {{top, 1, 0, kYellow}, {0, top, 2, kRed}, {2, 1, 0, kGreen}}}};
}

// 3 bytes a pixel; pixel p is LED x + N(y + Nz), or with a serpentine
// wiring every odd row (counting y and z together) runs backwards.
Bytes pixels(const Show& show, const Frame& frame, bool serpentine)
{
    const int n = show.edge;
    Bytes bytes(static_cast<std::size_t>(n * n * n * 3), 0);
    for (const Led& led : frame) {
        const int row = led.y + n * led.z;
        const int x = serpentine && row % 2 ? n - 1 - led.x : led.x;
        uint8_t* p = &bytes[static_cast<std::size_t>((row * n + x) * 3)];
        p[0] = static_cast<uint8_t>(led.colour.r * 255);
        p[1] = static_cast<uint8_t>(led.colour.g * 255);
        p[2] = static_cast<uint8_t>(led.colour.b * 255);
    }
    return bytes;
}

// For each layer, each row, ceil(N / 8) bytes, bit x % 8 of byte x / 8.
Bytes monoBits(const Show& show, const Frame& frame)
{
    const int n = show.edge, rowBytes = (n + 7) / 8;
    Bytes bytes(static_cast<std::size_t>(n * n * rowBytes), 0);
    for (const Led& led : frame)
        bytes[static_cast<std::size_t>((led.z * n + led.y) * rowBytes + led.x / 8)] |= uint8_t(1 << (led.x % 8));
    return bytes;
}

uint64_t le(const Bytes& bytes, std::size_t at, int size)
{
    uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = value << 8 | bytes.at(at + static_cast<std::size_t>(i));
    return value;
}

// An FSEQ 2.0 file read as its published description lays it out.
struct Fseq {
    uint64_t dataOffset, minor, major, headerLength, channels, frameCount, stepMs, flags, compression, blocks,
        sparse;
    std::string producer;
    std::vector<Bytes> frames;
};

Fseq readFseq(const Bytes& file)
{
    Fseq f{le(file, 4, 2), file.at(6),         file.at(7),  le(file, 8, 2), le(file, 10, 4), le(file, 14, 4),
           file.at(18),    file.at(19),        file.at(20), file.at(21),    file.at(22),     {},
           {}};
    EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "PSEQ");
    for (std::size_t at = f.headerLength; at + 4 <= f.dataOffset && le(file, at, 2) >= 4; at += le(file, at, 2))
        if (std::string(&file[at + 2], &file[at + 4]) == "sp")
            f.producer = reinterpret_cast<const char*>(&file[at + 4]);
    Bytes data(file.begin() + static_cast<std::ptrdiff_t>(f.dataOffset), file.end());
#if CUBE_ZSTD
    if (f.compression == 1) {
        Bytes raw;
        std::size_t at = 0;
        for (std::size_t b = 0; b < f.blocks; ++b) {
            const std::size_t length = le(file, 32 + 8 * b + 4, 4);
            Bytes block(static_cast<std::size_t>(ZSTD_getFrameContentSize(&data.at(at), length)));
            EXPECT_EQ(ZSTD_decompress(block.data(), block.size(), &data[at], length), block.size());
            EXPECT_EQ(le(file, 32 + 8 * b, 4), raw.size() / f.channels) << "block " << b << "'s first frame";
            raw.insert(raw.end(), block.begin(), block.end());
            at += length;
        }
        data = raw;
    }
#endif
    for (std::size_t at = 0; at + f.channels <= data.size(); at += f.channels)
        f.frames.emplace_back(data.begin() + static_cast<std::ptrdiff_t>(at),
                              data.begin() + static_cast<std::ptrdiff_t>(at + f.channels));
    return f;
}

class ExportTest : public ::testing::Test {
protected:
    std::string record(const Show& show)
    {
        const std::string path = dir.root() + "/show.rec";
        RecordingFile file(path, show.edge);
        for (std::size_t r = 0; r < show.order.size(); ++r) {
            const uint64_t ms = show.releasesMs[r];
            file.add(ms, channel::kStatusClear);
            for (const Led& led : show.frames[static_cast<std::size_t>(show.order[r])])
                file.add(ms, channel::kStatusBatchBase + 1, {{led.x, led.y, led.z, led.colour}});
            file.add(ms, channel::kStatusReleaseNoKeep);
        }
        return path;
    }

    testsupport::Exit run(const std::vector<std::string>& args, const std::string& program = "cubeexport")
    {
        std::vector<std::string> argv{program.find('/') == std::string::npos ? testsupport::binary(program) : program};
        argv.insert(argv.end(), args.begin(), args.end());
        process = std::make_unique<Process>(argv, Process::Options::in(dir.root()));
        return process->wait(60s);
    }

    Bytes bytesOf(const std::string& name) const
    {
        const std::string text = testsupport::readFile(dir.root() + "/" + name);
        return Bytes(text.begin(), text.end());
    }

    RunDir dir;
    std::unique_ptr<Process> process;
};

TEST_F(ExportTest, SequencesHoldTheFrameOnShowAtEveryStep)
{
    const Show show = showFor(5);
    const std::string recording = record(show);
    struct Case {
        std::vector<std::string> options;
        bool serpentine, zstd;
    };
    const Case cases[] = {{{}, false, false}, {{"--serpentine"}, true, false}, {{"--compress", "zstd"}, false, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.serpentine ? "serpentine" : c.zstd ? "zstd" : "plain");
#if !CUBE_ZSTD
        if (c.zstd)
            continue;
#endif
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"--hold", kHoldMs, "--step", kStepMs, recording, "show.fseq"});
        ASSERT_EQ(run(args).code, 0) << process->err();
        EXPECT_EQ(process->err(), "cubeexport: show.fseq: 10 frames of 375 bytes, one every 25 ms, 0.23 s\n");
        const Fseq f = readFseq(bytesOf("show.fseq"));
        EXPECT_EQ(f.dataOffset % 4, 0u);
        EXPECT_EQ(std::vector<uint64_t>({f.minor, f.major, f.channels, f.frameCount, f.stepMs, f.flags,
                                         f.compression, f.sparse}),
                  std::vector<uint64_t>({0, 2, 375, 10, 25, 0, c.zstd ? 1u : 0u, 0}));
        EXPECT_EQ(f.headerLength, 32 + 8 * f.blocks);
        EXPECT_EQ(f.producer, "ledcube " CUBE_VERSION);
        ASSERT_EQ(f.frames.size(), show.sampled.size());
        for (std::size_t k = 0; k < f.frames.size(); ++k)
            EXPECT_EQ(f.frames[k], pixels(show, show.frames[static_cast<std::size_t>(show.sampled[k])], c.serpentine))
                << "frame " << k;
    }

    // The same frames raw.
    ASSERT_EQ(run({"--hold", kHoldMs, recording, "show.bin"}).code, 0) << process->err();
    Bytes expected;
    for (const int frame : show.sampled) {
        const Bytes one = pixels(show, show.frames[static_cast<std::size_t>(frame)], false);
        expected.insert(expected.end(), one.begin(), one.end());
    }
    EXPECT_EQ(bytesOf("show.bin"), expected);
}

// A C program that includes the header, whose names begin with `prefix`,
// and prints each step: its frame's bytes in hex, then its milliseconds.
std::string player(const std::string& prefix)
{
    std::string up = prefix;
    for (char& c : up)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return "#include \"show.h\"\n"
           "#include <stdio.h>\n"
           "int main(void)\n"
           "{\n"
           "    unsigned s, i;\n"
           "    for (s = 0; s < " + up + "_STEP_COUNT; ++s) {\n"
           "        for (i = 0; i < " + up + "_FRAME_BYTES; ++i)\n"
           "            printf(\"%02x\", " + prefix + "_frames[" + prefix + "_steps[s].frame][i]);\n"
           "        printf(\" %u\\n\", (unsigned)" + prefix + "_steps[s].ms);\n"
           "    }\n"
           "    return " + up + "_EDGE == 0;\n"
           "}\n";
}

std::string hex(const Bytes& bytes)
{
    std::string text;
    char two[3];
    for (const uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        text += two;
    }
    return text;
}

TEST_F(ExportTest, HeaderCompilesAsCAndCppAndPlaysTheShow)
{
    const std::string durations[] = {"40", "60", "30", "100"};
    struct Case {
        int edge;
        std::string format, prefix = "cube";
    };
    std::vector<Case> cases{{5, "mono"}, {5, "rgb", "my_show"}};
#ifdef CUBE_TEST_EDGE8
    cases.push_back({8, "mono"});
#endif
    for (const auto& [edge, format, prefix] : cases) {
        SCOPED_TRACE(std::to_string(edge) + " " + format);
        std::ofstream(dir.root() + "/play.c") << player(prefix);
        const Show show = showFor(static_cast<uint8_t>(edge));
        ASSERT_EQ(run({"--hold", kHoldMs, "--format", format, "--name", prefix, record(show), "show.h"}).code, 0)
            << process->err();
        std::string expected;
        for (std::size_t s = 0; s < show.order.size(); ++s) {
            const Frame& frame = show.frames[static_cast<std::size_t>(show.order[s])];
            expected += hex(format == "mono" ? monoBits(show, frame) : pixels(show, frame, false)) +
                        " " + durations[s] + "\n";
        }
        for (const std::string compiler : {"cc -std=c99", "c++ -x c++ -std=c++20"}) {
            SCOPED_TRACE(compiler);
            ASSERT_EQ(run({"-c", compiler + " -Wall -Wextra -Werror -pedantic -o play play.c"}, "/bin/sh").code, 0)
                << process->err();
            ASSERT_EQ(run({}, dir.root() + "/play").code, 0);
            EXPECT_EQ(process->out(), expected);
        }
    }
}

TEST_F(ExportTest, TablesPastTheFlashOfAnAvrAreWrittenWithAWarning)
{
    // Seven frames of 5184 bytes: 36 KiB of tables.
    Show show = showFor(12);
    show.frames.clear();
    show.order.clear();
    show.releasesMs.clear();
    for (uint8_t k = 0; k < 7; ++k) {
        show.frames.push_back({{k, k, k, kRed}});
        show.order.push_back(k);
        show.releasesMs.push_back(k * 10u);
    }
    ASSERT_EQ(run({record(show), "show.h"}).code, 0);
    EXPECT_EQ(process->err(), "cubeexport: show.h: 7 distinct frames in 7 steps, 1.06 s; the tables take 36316 bytes\n"
                              "cubeexport: warning: the tables pass the 32 KiB of flash of the usual AVR boards\n");
    EXPECT_TRUE(std::filesystem::exists(dir.root() + "/show.h"));
}

TEST_F(ExportTest, RefusalsSayWhyAndLeaveNoFile)
{
    const std::string recording = record(showFor(5));
    std::ofstream(dir.root() + "/bad.rec") << "RIFF, not a recording";
    struct Refusal {
        std::vector<std::string> args;
        int code;
        std::string message;
    };
    const Refusal refusals[] = {
        {{"bad.rec", "show.fseq"}, 1, "cubeexport: bad.rec: not a cube recording (no CUBEREC header)\n"},
        {{recording, "show.gif"}, 2,
         "cubeexport: cannot tell what to make of 'show.gif': name a .fseq, .bin or .h file (try 'cubeexport "
         "--help')\n"},
        {{"--format", "mono", recording, "show.fseq"}, 2,
         "cubeexport: --format does not apply to a .fseq file (try 'cubeexport --help')\n"},
        {{"--step=10", recording, "show.h"}, 2, "cubeexport: --step does not apply to a .h file (try 'cubeexport --help')\n"},
        {{"--format", "mono", "--gamma", "2", recording, "show.h"}, 2,
         "cubeexport: --gamma does not apply to a mono header: its layout is the cube's own (try 'cubeexport --help')\n"},
        {{"--step", "256", recording, "show.bin"}, 2,
         "cubeexport: --step takes a whole number from 1 to 255, not '256' (try 'cubeexport --help')\n"},
        {{recording, "missing/show.fseq"}, 1,
         "cubeexport: cannot make missing/show.fseq: No such file or directory\n"},
    };
    const auto files = [&] { return testsupport::filesIn(dir.root()); };
    const std::vector<std::string> before = files();
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(refusal.args.back());
        EXPECT_EQ(run(refusal.args).code, refusal.code);
        EXPECT_EQ(process->err(), refusal.message);
        EXPECT_EQ(files(), before);
    }

    ASSERT_EQ(run({"--help"}).code, 0);
    EXPECT_TRUE(process->out().starts_with("Usage: cubeexport [OPTION]... RECORDING OUTPUT\n"));
    ASSERT_EQ(run({"--version"}).code, 0);
    EXPECT_EQ(process->out(), "cubeexport (ledcube) " CUBE_VERSION "\n");
}

// A mono header lights the LEDs that every tool counts as lit: however dim,
// an LED that is on; neither the unlit grey nor dark.
TEST_F(ExportTest, MonoHeaderLightsWhatTheToolsCountAsLit)
{
    const Led dim{1, 2, 3, {0.0006f, 0.0f, 0.0f}};
    const Show show{5, {{dim, {2, 2, 2, {0.3f, 0.3f, 0.3f}}, {3, 3, 3, {0.0f, 0.0f, 0.0f}}}}, {0}, {0}, {0}};
    std::ofstream(dir.root() + "/play.c") << player("cube");
    ASSERT_EQ(run({"--hold", kHoldMs, "--format", "mono", record(show), "show.h"}).code, 0) << process->err();
    ASSERT_EQ(run({"-c", "cc -std=c99 -o play play.c"}, "/bin/sh").code, 0) << process->err();
    ASSERT_EQ(run({}, dir.root() + "/play").code, 0);
    EXPECT_EQ(process->out(), hex(monoBits(show, {dim})) + " 100\n");
}

// A disk that fills up while the file is written: /dev/full takes no byte.
// A device is written in place, so the link to it stays as it was.
TEST_F(ExportTest, FullDiskIsSaidOnceForEveryFormat)
{
    const std::string recording = record(showFor(5));
    for (const std::string name : {"full.fseq", "full.bin", "full.h"}) {
        SCOPED_TRACE(name);
        std::filesystem::create_symlink("/dev/full", dir.root() + "/" + name);
        EXPECT_EQ(run({recording, name}).code, 1);
        EXPECT_EQ(process->err(), "cubeexport: cannot write " + name + ": No space left on device\n");
        EXPECT_TRUE(std::filesystem::is_symlink(dir.root() + "/" + name));
    }
}

TEST_F(ExportTest, ASequenceWhoseFrameCountPasses32BitsIsRefusedAndLeavesNoFile)
{
    // A release 42949673 ms after the first, played a hundred times slower:
    // 4294967300 ms, then the default hold of a second; at --step 1 that is
    // 4294968300 frames, which the header's 32 bits cannot count.
    const std::string path = dir.root() + "/long.rec";
    RecordingFile(path, 5)
        .add(0, channel::kStatusReleaseNoKeep)
        .add(42949673, channel::kStatusReleaseNoKeep)
        .close();
    for (const std::vector<std::string>& compress : {std::vector<std::string>{}, {"--compress", "zstd"}}) {
        if (!compress.empty() && !CUBE_ZSTD)
            continue;
        std::vector<std::string> args = compress;
        args.insert(args.end(), {"--speed", "0.01", "--step", "1", path, "long.fseq"});
        EXPECT_EQ(run(args).code, 1);
        EXPECT_EQ(process->err(),
                  "cubeexport: the frame count 4294968300 does not fit the FSEQ header's 32 bits (at most 4294967295)\n");
        EXPECT_FALSE(std::filesystem::exists(dir.root() + "/long.fseq"));
    }
}

}  // namespace
