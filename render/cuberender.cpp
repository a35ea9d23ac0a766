// Renders a recording made by `cubetrace --record` into pictures that move:
// an animated GIF, numbered PNG frames or a video. Each frame is drawn by the
// viewer's own scene code, so it is what the viewer's window shows for the
// same frame, camera and window size, pixel for pixel.
//
//   cuberender [OPTION]... RECORDING OUTPUT
//
// It draws in a window on a private X server of its own (Xvfb), so it needs
// no screen and never opens a window on the user's. Like the viewer it is
// built once per cube edge; a recording of another edge goes to the build
// for that edge.

#include "common/cli.h"
#include "common/headless.h"
#include "common/process.h"
#include "common/progress.h"
#include "common/signals.h"
#include "record/recording.h"
#include "record/timeline.h"
#include "render/display.h"
#include "render/outputs.h"
#include "viewer/scene.h"

#include <GL/freeglut.h>

#include <algorithm>
#include <cmath>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr const char* kBase = "cuberender";
constexpr unsigned long kDefaultFps = 30;
constexpr int kDefaultWidth = 800;
constexpr int kDefaultHeight = 600;
constexpr int kMinSide = 16;
constexpr int kMaxSide = 4096;
constexpr double kMaxTheta = 1e6;
constexpr double kMaxPhi = 90.0;
constexpr double kMaxDistance = 1000.0;
constexpr double kUsPerMs = 1000.0;
constexpr double kUsPerSecond = 1e6;
// Pictures kept for frames that come back: enough for a show's worth at
// 800 × 600, a bounded share of memory at any size.
constexpr std::size_t kCacheBytes = std::size_t{256} << 20;
constexpr int kSignalStatusBase = 128;
constexpr std::size_t kBytesPerPixel = 3;  // r, g, b

cli::Tool tool(const std::string& name)
{
    return {name,
            "Usage: " + name +
                " [OPTION]... RECORDING OUTPUT\n"
                      "Renders a recording made by cubetrace --record as the viewer draws it, without a\n"
                      "screen: OUTPUT ending in .gif makes an animated GIF, .png one numbered PNG per\n"
                      "frame (show.png: show-0001.png, ...), .mp4 or .webm a video (needs ffmpeg).\n"
                      "Each frame lasts until the next release, as recorded. It draws on a private\n"
                      "X server (Xvfb) that it starts and stops itself.\n"
                      "\n"
                      "  --speed F       play F times as fast (0.01 to 1000; default 1)\n"
                      "  --hold MS       show the last frame MS milliseconds (default 1000)\n"
                      "  --theta DEG     camera azimuth, as a left drag sets it (default 0)\n"
                      "  --phi DEG       camera elevation, -90 to 90 (default 25)\n"
                      "  --dist D        camera distance, as a right drag sets it (default 8)\n"
                      "  --spin LEVEL    spin the cube at the viewer's speed LEVEL, 0 to 2\n"
                      "  --fps N         frames a second of the spin and of a video (1 to 60;\n"
                      "                  default 30)\n"
                      "  --size WxH      picture size in pixels (default 800x600)\n"
                      "  --text WHICH    overlay: prompt (as the viewer starts), help or none\n"
                      "  --progress-fd FD\n"
                      "                  write a line \"DONE TOTAL\" to descriptor FD as frames\n"
                      "                  are made, for a program that runs this one\n"
                      "  --help          show this help and exit\n"
                      "  --version       show the version and exit\n"
                      "\n"
                      "Examples:\n"
                      "  cuberender show.rec show.gif\n"
                      "  cuberender --spin 1 --size 640x480 show.rec show.mp4\n"};
}

struct Options {
    double speed = 1.0;
    unsigned long holdMs = timeline::kDefaultHoldMs;
    View view;
    int fps = static_cast<int>(kDefaultFps);
    int progressFd = -1;  // -1: no progress lines
    int width = kDefaultWidth;
    int height = kDefaultHeight;
    const char* recording = nullptr;
    const char* output = nullptr;
};

void parseSize(const cli::Parser& args, const char* value, Options& options)
{
    int width = 0, height = 0, end = 0;
    if (std::sscanf(value, "%5dx%5d%n", &width, &height, &end) != 2 || value[end] != '\0' || value[0] < '0' ||
        value[0] > '9' || width < kMinSide || width > kMaxSide || height < kMinSide || height > kMaxSide)
        args.fail("--size takes WIDTHxHEIGHT, each from " + std::to_string(kMinSide) + " to " +
                  std::to_string(kMaxSide) + ", not " + cli::quoted(value));
    options.width = width;
    options.height = height;
}

Options parseOptions(const std::string& name, int argc, char** argv)
{
    Options options;
    cli::Parser args(tool(name), argc, argv);
    while (args.next()) {
        if (const char* v = args.option("--speed"))
            options.speed = args.number("--speed", v, recording::kMinSpeed, recording::kMaxSpeed);
        else if (const char* v = args.option("--hold"))
            options.holdMs = args.count("--hold", v, 0, timeline::kMaxHoldMs);
        else if (const char* v = args.option("--theta"))
            options.view.azimuth = static_cast<float>(args.number("--theta", v, -kMaxTheta, kMaxTheta));
        else if (const char* v = args.option("--phi"))
            options.view.elevation = static_cast<float>(args.number("--phi", v, -kMaxPhi, kMaxPhi));
        else if (const char* v = args.option("--dist"))
            options.view.distance = static_cast<float>(args.number("--dist", v, 0.0, kMaxDistance));
        else if (const char* v = args.option("--spin"))
            options.view.spinLevel = static_cast<int>(args.count("--spin", v, 0, kTopSpeedLevel));
        else if (const char* v = args.option("--fps"))
            options.fps = static_cast<int>(args.count("--fps", v, render::kMinFps, render::kMaxFps));
        else if (const char* v = args.option("--size"))
            parseSize(args, v, options);
        else if (const char* v = args.option("--progress-fd"))
            options.progressFd = static_cast<int>(args.count("--progress-fd", v, 0, INT_MAX));
        else if (const char* v = args.option("--text")) {
            const std::string which = v;
            if (which != "prompt" && which != "help" && which != "none")
                args.fail("--text takes prompt, help or none, not " + cli::quoted(which));
            options.view.overlay = which != "none";
            options.view.help = which == "help";
        } else if (args.positional() && !options.recording)
            options.recording = args.current();
        else if (args.positional() && !options.output)
            options.output = args.current();
        else
            args.unexpected();
    }
    if (!options.recording)
        args.fail("no recording given");
    if (!options.output)
        args.fail("no output file given");
    if (!render::formatOf(options.output))
        args.fail("cannot tell what to make of " + cli::quoted(options.output) +
                  ": name a .gif, .png, .mp4 or .webm file");
    return options;
}

using Table = std::vector<storeColor>;

bool sameTable(const Table& a, const storeColor* b)
{
    return !a.empty() && std::memcmp(a.data(), b, sizeof(storeColor) * kCubeLeds) == 0;
}

// The pictures drawn so far, by the frame they show: shows come back to
// their frames (blinks, the dark cube between scenes), and each costs a full
// draw in software GL. The least recently used go first.
class PictureCache {
public:
    explicit PictureCache(std::size_t pictureBytes) : capacity_(std::max<std::size_t>(1, kCacheBytes / pictureBytes)) {}

    const render::Picture* find(const storeColor* table)
    {
        for (auto it = entries_.begin(); it != entries_.end(); ++it)
            if (sameTable(it->table, table)) {
                entries_.splice(entries_.begin(), entries_, it);
                return &entries_.front().picture;
            }
        return nullptr;
    }
    const render::Picture& add(const storeColor* table, render::Picture picture)
    {
        if (entries_.size() == capacity_)
            entries_.pop_back();
        entries_.push_front({Table(table, table + kCubeLeds), std::move(picture)});
        return entries_.front().picture;
    }

private:
    struct Entry {
        Table table;
        render::Picture picture;
    };
    std::size_t capacity_;
    std::list<Entry> entries_;
};

// The viewer's window on the private display, at the picture's size. It
// closes before the display goes, however the rendering ends.
class Window {
public:
    Window(char** argv, const Options& options)
    {
        keepFreedMemory();
        // Only the program's name: the options are ours, not the window system's.
        int glutArgc = 1;
        glutInit(&glutArgc, argv);
        glutInitWindowSize(options.width, options.height);
        glutInitDisplayMode(GLUT_DOUBLE | GLUT_DEPTH);
        glutCreateWindow(kBase);
        setupScene();
        reshape(options.width, options.height);
        setView(options.view);
    }
    ~Window() { glutExit(); }
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;
};

render::Picture draw(const storeColor* table, int width, int height)
{
    ptCurrLocalColorTable = table;
    drawScene();
    const std::size_t rowBytes = std::size_t(width) * kBytesPerPixel;
    render::Picture picture{width, height, std::vector<uint8_t>(rowBytes * height)};
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, width, height, GL_RGB, GL_UNSIGNED_BYTE, picture.rgb.data());
    // GL reads rows from the bottom up; a picture's rows go from the top.
    for (int y = 0; y < height / 2; ++y) {
        const auto top = picture.rgb.begin() + std::ptrdiff_t(y * rowBytes);
        const auto bottom = picture.rgb.begin() + std::ptrdiff_t((height - 1 - y) * rowBytes);
        std::swap_ranges(top, top + std::ptrdiff_t(rowBytes), bottom);
    }
    return picture;
}

// When spinning picture n shows: n / fps seconds from the first release.
uint64_t spinFrameUs(std::size_t n, int fps)
{
    return static_cast<uint64_t>(std::llround(static_cast<double>(n) * kUsPerSecond / fps));
}

// The pictures of a spinning show: one every 1/fps second until the hold
// ends, and one at least.
std::size_t spinFrameCount(const timeline::Timing& timing, int fps)
{
    std::size_t count = 0;
    while (spinFrameUs(count, fps) < std::max<uint64_t>(timing.endUs(), 1))
        ++count;
    return count;
}

// Moves `player` on to the next release that changes what is on show from
// `last`, which then holds it; false at the end of the show.
bool nextChange(timeline::Player& player, Table& last)
{
    while (player.next()) {
        if (sameTable(last, player.shown()))
            continue;
        last.assign(player.shown(), player.shown() + kCubeLeds);
        return true;
    }
    return false;
}

// The pictures of a still show: one for each release that changes what is
// on show. A pass through the receiver alone costs little beside drawing.
std::size_t stillFrameCount(const recording::Recording& show)
{
    timeline::Player player(show);
    Table last;
    std::size_t count = 0;
    while (nextChange(player, last))
        ++count;
    return count;
}

// Draws the frames and hands them to the output; false when a signal
// stopped it. A file that cannot be written ends the tool. The progress
// line counts the pictures handed on, against the count made beforehand.
class Renderer {
public:
    Renderer(const std::string& name, const Options& options, const signals::StopOnSignal& stop,
             render::Output& output, std::size_t frames)
        : options_(options),
          stop_(stop),
          output_(output),
          cache_(std::size_t(options.width) * options.height * kBytesPerPixel),
          progress_(name, "frames", frames, options.progressFd)
    {
    }

    // Each distinct frame is drawn once and shown until the next release.
    bool still(timeline::Player& player, const timeline::Timing& timing)
    {
        Table last;
        while (nextChange(player, last)) {
            const storeColor* table = player.shown();
            const render::Picture* picture = cache_.find(table);
            if (!picture)
                picture = &cache_.add(table, drawn(table));
            if (!add(*picture, timing.outputUs(player.timeUs())))
                return false;
        }
        progress_.clear();
        return output_.finish(timing.endUs()) || fail();
    }

    // A picture every 1/fps second, each turned one spin step further,
    // showing the frame on show at that moment.
    bool spinning(timeline::Player& player, const timeline::Timing& timing)
    {
        Table shown;
        std::size_t frame = 0;
        const auto drawUntil = [&](uint64_t untilUs) {
            for (; spinFrameUs(frame, options_.fps) < untilUs; ++frame) {
                if (!add(drawn(shown.data()), spinFrameUs(frame, options_.fps)))
                    return false;
            }
            return true;
        };
        while (player.next()) {
            if (!shown.empty() && !drawUntil(timing.outputUs(player.timeUs())))
                return false;
            shown.assign(player.shown(), player.shown() + kCubeLeds);
        }
        // At least one picture, however short the show.
        if (!drawUntil(std::max<uint64_t>(timing.endUs(), 1)))
            return false;
        progress_.clear();
        return output_.finish(timing.endUs()) || fail();
    }

    std::size_t drawCount() const { return draws_; }
    std::size_t frameCount() const { return frames_; }

private:
    render::Picture drawn(const storeColor* table)
    {
        ++draws_;
        return draw(table, options_.width, options_.height);
    }
    bool add(const render::Picture& picture, uint64_t startUs)
    {
        if (stop_.requested())
            return false;
        ++frames_;
        progress_.update(frames_);
        return output_.add(picture, startUs) || fail();
    }
    [[noreturn]] bool fail() const { process::fail(output_.error()); }

    const Options& options_;
    const signals::StopOnSignal& stop_;
    render::Output& output_;
    PictureCache cache_;
    cli::Progress progress_;
    std::size_t draws_ = 0;
    std::size_t frames_ = 0;
};

int renderRecording(const std::string& name, int argc, char** argv)
{
    const Options options = parseOptions(name, argc, argv);

    const recording::Recording show = timeline::loadShow(kBase, options.recording, argv);
    const timeline::Timing timing =
        timeline::timingOf(show, options.speed, options.holdMs * static_cast<uint64_t>(kUsPerMs));

    const signals::StopOnSignal stop;
    // A video encoder that fails closes its pipe: that is reported, not fatal.
    std::signal(SIGPIPE, SIG_IGN);

    render::PrivateDisplay display;
    display.start(options.width, options.height);
    const Window window(argv, options);
    display.forgetCookie();

    const bool spin = options.view.spinLevel >= 0;
    const std::size_t frames = spin ? spinFrameCount(timing, options.fps) : stillFrameCount(show);
    std::string error;
    std::unique_ptr<render::Output> output = render::openOutput(
        {.path = options.output, .width = options.width, .height = options.height, .fps = options.fps,
         .frames = frames},
        error);
    if (!output)
        process::fail(error);

    timeline::Player player(show);
    Renderer renderer(name, options, stop, *output, frames);
    if (!(spin ? renderer.spinning(player, timing) : renderer.still(player, timing))) {
        output->abandon();
        return kSignalStatusBase + stop.signal();
    }
    std::fprintf(stderr, "%s: %s: %zu frames (%zu drawn), %.2f s\n", name.c_str(),
                 options.output, renderer.frameCount(), renderer.drawCount(),
                 static_cast<double>(timing.endUs()) / kUsPerSecond);
    return EXIT_SUCCESS;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string name = headless::ownName(kBase, argv[0]);
    return process::run(name, [&] { return renderRecording(name, argc, argv); });
}
