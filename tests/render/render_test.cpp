// cuberender as a real process, with DISPLAY unset: its PNG frames against
// the viewer's window, pixel for pixel, at both edges; the timing of its GIF
// and video; and its refusals, which leave no file behind.

#include "tests/record/recording_file.h"
#include "testkit/support.h"
#include "testkit/xsession.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <sstream>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using testsupport::filesIn;
using testsupport::Process;
using testsupport::RecordingFile;
using testsupport::RunDir;
using xsession::Image;
using xsession::Viewer;
using xsession::windowOf;
using xsession::XServer;

struct Step {
    uint64_t ms = 0;
    uint8_t code = channel::kStatusIdle;
    std::vector<queueEntry> leds;
};

constexpr storeColor kRed{1, 0, 0}, kGreen{0, 1, 0}, kBlue{0, 0, 1}, kWhite{1, 1, 1}, kYellow{1, 1, 0},
    kCyan{0, 1, 1};

// Five distinct frames, 24 ms apart: rounding each to whole hundredths of a
// second would lose 4 ms a frame, so only a carried rounding keeps time.
std::vector<Step> shortShow(uint8_t edge)
{
    const uint8_t top = edge - 1, c = edge / 2;
    return {
        {0, 255, {{0, 0, 0, kRed}, {top, 0, 0, kGreen}, {1, 1, top, kBlue}}},
        {1000, channel::kStatusReleaseNoKeep, {}},
        {1010, 253, {{top, top, top, kWhite}}},
        {1024, channel::kStatusReleaseKeep, {}},
        {1030, channel::kStatusClear, {}},
        {1040, 253, {{c, c, c, kYellow}}},
        {1048, channel::kStatusReleaseNoKeep, {}},
        {1060, 254, {{c, 0, top, kRed}, {0, top, top, kCyan}}},
        {1072, channel::kStatusReleaseKeep, {}},
        {1080, 253, {{top, 0, top, kCyan}}},
        {1096, channel::kStatusReleaseNoKeep, {}},
    };
}
constexpr int kShortShowFrames = 5;
constexpr double kShortShowMs = 96 + 1000;  // first release to last, then the default hold

bool isRelease(uint8_t code)
{
    return code == channel::kStatusReleaseKeep || code == channel::kStatusReleaseNoKeep;
}

Image readPng(const std::string& path)
{
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str()))
        return {};
    png.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, rgb.data(), 0, nullptr))
        return {};
    Image image(static_cast<int>(png.width), static_cast<int>(png.height));
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const uint8_t* p = &rgb[(std::size_t(y) * png.width + x) * 3];
            image.at(x, y) = {p[0], p[1], p[2]};
        }
    return image;
}

class RenderTest : public ::testing::Test {
protected:
    std::string recordShortShow(uint8_t edge)
    {
        const std::string path = dir.root() + "/show.rec";
        RecordingFile file(path, edge);
        for (const Step& step : shortShow(edge))
            file.add(step.ms, step.code, step.leds);
        return path;
    }

    // This test's environment without DISPLAY, PATH replaced when given.
    static std::vector<std::string> environment(const std::string& path = "")
    {
        std::vector<std::string> env;
        for (char** var = environ; *var; ++var) {
            const std::string entry = *var;
            if (!entry.starts_with("DISPLAY=") && !(entry.starts_with("PATH=") && !path.empty()))
                env.push_back(entry);
        }
        if (!path.empty())
            env.push_back("PATH=" + path);
        return env;
    }

    testsupport::Exit render(const std::vector<std::string>& args, const std::string& path = "",
                             bool errOnTerminal = false)
    {
        std::vector<std::string> argv{testsupport::binary("cuberender")};
        argv.insert(argv.end(), args.begin(), args.end());
        Process::Options options = Process::Options::in(out);
        options.env = environment(path);
        options.errOnTerminal = errOnTerminal;
        process = std::make_unique<Process>(argv, options);
        return process->wait(120s);
    }

    // Standard output of a program from PATH run to its end.
    std::string outputOf(std::vector<std::string> argv) const
    {
        argv[0] = xsession::findProgram(argv[0]);
        Process program(argv, Process::Options::in(out));
        EXPECT_EQ(program.wait(60s).code, 0) << argv[0] << ": " << program.err();
        return program.out();
    }

    // The frames' delays as an independent decoder reads them, in hundredths
    // of a second.
    std::vector<int> gifDelays(const std::string& path) const
    {
        std::vector<int> delays;
        for (const std::string& line : testsupport::splitLines(outputOf({"identify", "-format", "%T\n", path})))
            delays.push_back(std::stoi(line));
        return delays;
    }

    RunDir dir;
    const std::string out = [this] {
        const std::string path = dir.root() + "/out";
        std::filesystem::create_directory(path);
        return path;
    }();
    std::unique_ptr<Process> process;
};

class RenderPixelsTest : public RenderTest, public ::testing::WithParamInterface<int> {};

TEST_P(RenderPixelsTest, PngFramesEqualTheViewerWindow)
{
    const uint8_t edge = static_cast<uint8_t>(GetParam());
    const std::string recording = recordShortShow(edge);
    ASSERT_EQ(render({recording, "show.png"}).code, 0) << process->err();
    std::vector<std::string> expectedFiles;
    for (int k = 1; k <= kShortShowFrames; ++k)
        expectedFiles.push_back("show-000" + std::to_string(k) + ".png");
    ASSERT_EQ(filesIn(out), expectedFiles);

    XServer x;
    Viewer viewer(x, testsupport::binary("cubeview" + std::to_string(edge)), dir.root());
    xsession::Writer writer(dir);
    int frame = 0;
    for (const Step& step : shortShow(edge)) {
        ASSERT_TRUE(writer.send(step.code, step.leds));
        if (!isRelease(step.code))
            continue;
        const std::string png = out + "/" + expectedFiles[frame++];
        const Image rendered = readPng(png);
        const Image shown = windowOf(x.waitForPicture([&](const Image& s) { return windowOf(s) == rendered; }));
        if (!(shown == rendered)) {
            shown.savePpm(png + ".viewer.ppm");
            ADD_FAILURE() << "frame " << frame << " differs from the viewer's window: see " << png << ".viewer.ppm";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(BothEdges, RenderPixelsTest, ::testing::Values(12, 5));

TEST_F(RenderTest, GifAndVideoLastAsLongAsTheRecording)
{
    const std::string recording = recordShortShow(5);
    const auto totalMs = [](const std::vector<int>& delays) { return 10 * std::accumulate(delays.begin(), delays.end(), 0); };

    ASSERT_EQ(render({"--size", "200x150", recording, "show.gif"}).code, 0) << process->err();
    const std::vector<int> still = gifDelays(out + "/show.gif");
    EXPECT_EQ(still.size(), std::size_t(kShortShowFrames));
    EXPECT_NEAR(totalMs(still), kShortShowMs, 10);

    // Spinning, a picture every 1/30 s until the hold ends.
    constexpr int kFps = 30;
    ASSERT_EQ(render({"--size", "200x150", "--spin", "2", recording, "spin.gif"}).code, 0) << process->err();
    const std::vector<int> spin = gifDelays(out + "/spin.gif");
    EXPECT_EQ(spin.size(), std::size_t(std::ceil(kShortShowMs * kFps / 1000)));
    EXPECT_NEAR(totalMs(spin), kShortShowMs, 10);

    // A video of an odd size is padded to even for its encoder.
    ASSERT_EQ(render({"--size", "201x151", recording, "show.mp4"}).code, 0) << process->err();
    EXPECT_EQ(outputOf({"ffprobe", "-v", "error", "-count_frames", "-show_entries",
                        "stream=width,height,nb_read_frames", "-of", "csv=p=0", out + "/show.mp4"}),
              "202,152," + std::to_string(std::lround(kShortShowMs * kFps / 1000)) + "\n");
    EXPECT_EQ(filesIn(out), (std::vector<std::string>{"show.gif", "show.mp4", "spin.gif"}));
}

TEST_F(RenderTest, RefusalsSayWhyAndLeaveNoFile)
{
    const std::string recording = recordShortShow(12);
    const std::string bad = dir.root() + "/bad.rec";
    std::ofstream(bad) << "RIFF, not a recording";
    const std::string silent = dir.root() + "/silent.rec";
    RecordingFile(silent, 12).add(0, 253, {{1, 2, 3, kRed}});
    // Xvfb, and no ffmpeg.
    const std::string bin = dir.root() + "/bin";
    std::filesystem::create_directory(bin);
    std::filesystem::create_symlink(xsession::findProgram("Xvfb"), bin + "/Xvfb");

    struct Refusal {
        std::vector<std::string> args;
        std::string path;
        int code;
        std::string message;
    };
    const Refusal refusals[] = {
        {{bad, "show.gif"}, "", 1, "cuberender: " + bad + ": not a cube recording (no CUBEREC header)\n"},
        {{silent, "show.gif"}, "", 1,
         "cuberender: " + silent + ": no frame is ever released in it, so there is nothing to show\n"},
        {{recording, "show.bmp"}, "", 2,
         "cuberender: cannot tell what to make of 'show.bmp': name a .gif, .png, .mp4 or .webm file (try "
         "'cuberender --help')\n"},
        {{"--size", "800x0", recording, "show.gif"}, "", 2,
         "cuberender: --size takes WIDTHxHEIGHT, each from 16 to 4096, not '800x0' (try 'cuberender --help')\n"},
        {{recording, "show.mp4"}, bin, 1,
         "cuberender: cannot make show.mp4: the program 'ffmpeg' is not installed (on Debian: apt-get install "
         "ffmpeg)\n"},
    };
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(refusal.args.back());
        EXPECT_EQ(render(refusal.args, refusal.path).code, refusal.code);
        EXPECT_EQ(process->err(), refusal.message);
        EXPECT_EQ(filesIn(out), std::vector<std::string>{});
    }

    ASSERT_EQ(render({"--help"}).code, 0);
    EXPECT_TRUE(process->out().starts_with("Usage: cuberender [OPTION]... RECORDING OUTPUT\n"));
    ASSERT_EQ(render({"--version"}).code, 0);
    EXPECT_EQ(process->out(), "cuberender (ledcube) " CUBE_VERSION "\n");
}

// The last "N of M frames" that the progress line showed, as {N, M}.
std::pair<int, int> lastProgress(const std::string& err)
{
    std::pair<int, int> last{-1, -1};
    std::istringstream lines(err);
    for (std::string part; std::getline(lines, part, '\r');) {
        int done = 0, total = 0;
        if (std::sscanf(part.c_str(), "\033[Kcuberender: %d of %d frames,", &done, &total) == 2)
            last = {done, total};
    }
    return last;
}

// Three releases, the second showing again what the first did: two
// pictures, counted alike by the progress line and the summary.
TEST_F(RenderTest, ProgressAndSummaryCountTheSameFrames)
{
    const std::string recording = dir.root() + "/repeat.rec";
    RecordingFile(recording, 5)
        .add(0, 253, {{1, 1, 1, kRed}})
        .add(0, channel::kStatusReleaseNoKeep)
        .add(100, channel::kStatusReleaseKeep)
        .add(150, 253, {{2, 2, 2, kBlue}})
        .add(200, channel::kStatusReleaseNoKeep);
    struct Case {
        std::vector<std::string> options;
        int frames;
        int drawn;
    };
    // Spinning at 10 frames a second over 0.3 s: pictures at 0, 100 and 200 ms.
    const Case cases[] = {{{}, 2, 2}, {{"--spin", "1", "--fps", "10"}, 3, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options.empty() ? "still" : "spinning");
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"--size", "64x48", "--hold", "100", recording, "count.gif"});
        ASSERT_EQ(render(args, "", true).code, 0) << process->err();
        const std::string err = process->err();
        EXPECT_EQ(lastProgress(err), std::make_pair(c.frames, c.frames)) << err;
        const std::string summary = "cuberender: count.gif: " + std::to_string(c.frames) + " frames (" +
                                    std::to_string(c.drawn) + " drawn), 0.30 s\n";
        EXPECT_TRUE(err.ends_with(summary)) << err;
    }
}

// A disk that fills up while the GIF is written: /dev/full takes no byte. The
// device is written in place, so the link to it stays as it was.
TEST_F(RenderTest, FullDiskIsSaidOnce)
{
    const std::string recording = recordShortShow(5);
    std::filesystem::create_symlink("/dev/full", out + "/full.gif");
    EXPECT_EQ(render({"--size", "64x48", recording, "full.gif"}).code, 1);
    EXPECT_EQ(process->err(), "cuberender: cannot write full.gif: No space left on device\n");
    EXPECT_EQ(filesIn(out), std::vector<std::string>{"full.gif"});
    EXPECT_TRUE(std::filesystem::is_symlink(out + "/full.gif"));
}

}  // namespace
