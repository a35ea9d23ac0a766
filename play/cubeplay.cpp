// cubeplay: plays an animation program on the cube viewer, from wherever the
// toolkit is installed. It lays out a run directory
//
//   RUN/shared_buffer.txt   the channel: 46 zero bytes, made fresh
//   RUN/anim/               the animation's working directory, with links to
//                           the helpers launch, app5 and app12
//
// starts the receiver in RUN (the viewer for the edge, or cubetrace without
// a display), waits until the receiver has marked the record idle, and only
// then runs the animation in RUN/anim. With --send, cubesend serves RUN and
// lights a real cube, and the receiver on screen serves RUN/screen, where
// cubesend passes every code on. Once the animation has ended a viewer
// stays open until the user quits it, and cubetrace is stopped. Ctrl-C, or a
// receiver that ends first, stops everything that cubeplay started.

#include "common/cli.h"
#include "common/process.h"
#include "common/rundir.h"
#include "common/signals.h"
#include "lbox/channel.h"
#include "play/xdisplay.h"
#include "record/recording.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr const char* kScreenDir = "screen";
constexpr int kStatusSignalBase = 128;
constexpr long kPollNs = 10'000'000;         // while waiting for the receiver
constexpr long kIdlePollNs = 200'000'000;    // a safety net under SIGCHLD
// How long the tracer may take to answer an ended animation's last code.
constexpr auto kLastCodeGrace = std::chrono::seconds(1);
constexpr std::size_t kHelpColumn = 15;  // where the options' descriptions start

const cli::Tool kTool{
    "cubeplay",
    "Usage: cubeplay [OPTION]... PROGRAM [ARGUMENT]...\n"
    "Plays an animation program on the cube viewer. It makes a run directory\n"
    "with a fresh channel file, shared_buffer.txt, and the animation directory\n"
    "anim/ below it; starts the viewer for the cube edge there; waits until the\n"
    "viewer serves the channel; then runs PROGRAM in anim/. The viewer stays\n"
    "open when the animation ends, until you quit it (Escape or q). Without a\n"
    "display, or with --headless, cubetrace prints each frame instead. Ctrl-C\n"
    "stops everything that cubeplay started. PROGRAM finds the edge in CUBE_EDGE;\n"
    "cubefx and cubelisten take it as their default --edge.\n"
    "\n"
    "PROGRAM is a path, or the name of one of the toolkit's programs (cubeshow,\n"
    "cubefill, cubereplay) or of a program on PATH. An ARGUMENT written as a path\n"
    "(show.rec, ../shows, ./data) that names a file or directory from here reaches\n"
    "PROGRAM as an absolute path, as PROGRAM runs in anim/; any other goes as it is.\n"
    "\n"
    "  --edge N     the cube edge: " +
        cli::builtEdges() +
        " (default 12)\n"
        "  --headless   print each frame with cubetrace instead of opening a window\n"
        "  --record FILE\n"
        "               record every code to FILE for cubereplay and cuberender\n"
        "               (cubetrace --record; implies --headless), quietly: one\n"
        "               line at the end says how many frames it holds\n"
        "  --dir DIR    lay out the run in DIR (default: a new temporary directory,\n"
        "               removed at the end)\n"
        "  --send TARGET\n"
        "               light a real cube too: cubesend sends every frame to TARGET\n"
        "               (see cubesend --help; repeat for more targets)\n"
        "  --send-option OPTION\n"
        "               pass OPTION on to cubesend, such as --gamma=2.2\n" +
        cli::fastHelp(kHelpColumn) +
        "  --help       show this help and exit\n"
        "  --version    show the version and exit\n"
        "\n"
        "Examples:\n"
        "  cubeplay cubeshow 12\n"
        "  cubeplay --edge 5 cubefill\n"
        "  cubeplay --record show.rec cubeshow 12\n"
        "  cubeplay --edge 12 ./my_animation\n"
        "  cubeplay --send e131://192.168.1.50 --send-option --gamma=2.2 cubeshow 12\n"};

struct Options {
    int edge = cli::kDefaultEdge;
    bool headless = false;
    std::optional<fs::path> record;
    std::string recordName;  // as given, for messages
    std::optional<fs::path> dir;
    std::vector<std::string> program;
    std::vector<std::string> sendArgs;  // cubesend's options and targets
    bool sends = false;                 // a target was given
};

Options parseOptions(int argc, char** argv)
{
    Options options;
    cli::Parser args(kTool, argc, argv);
    while (args.next()) {
        if (args.flag("--headless")) {
            options.headless = true;
        } else if (const char* edge = args.option("--edge")) {
            options.edge = args.edge("--edge", edge);
        } else if (const char* file = args.option("--record")) {
            // cubetrace runs in the run directory: the name must not depend on it.
            options.record = fs::absolute(file);
            options.recordName = file;
            options.headless = true;
        } else if (const char* dir = args.option("--dir")) {
            options.dir = dir;
        } else if (const char* target = args.option("--send")) {
            options.sendArgs.push_back(target);
            options.sends = true;
        } else if (const char* option = args.option("--send-option")) {
            options.sendArgs.push_back(option);
        } else if (cli::takeFast(args)) {
        } else if (args.positional()) {
            options.program = args.rest();
            break;
        } else {
            args.unexpected();
        }
    }
    if (options.program.empty())
        args.fail("no animation program given");
    if (!options.sends && !options.sendArgs.empty())
        args.fail("--send-option is for cubesend, which runs only with --send TARGET");
    return options;
}

bool executable(const fs::path& path)
{
    return rundir::whyNotRunnable(path).empty();
}

void layOutRun(const fs::path& run, const Options& options, const fs::path& helpers)
{
    rundir::layOut(run, helpers);
    if (!options.sends)
        return;
    std::error_code error;
    fs::create_directories(run / kScreenDir, error);
    if (error)
        process::fail("cannot make the run directory " + run.string() + ": " + error.message());
    rundir::makeChannelFile(run / kScreenDir);
}

struct Receiver {
    std::vector<std::string> argv;
    bool window;  // a viewer, which stays open once the animation has ended
    bool quiet;   // its standard output goes nowhere
};

// The viewer for the edge when there is a screen to show it on, else the
// tracer, which prints every frame.
Receiver receiverFor(const Options& options, const fs::path& programs)
{
    const char* display = std::getenv("DISPLAY");
    const fs::path viewer = programs / cli::viewerForEdge(options.edge);
    if (!options.headless) {
        if (!display || !*display) {
            std::fputs("cubeplay: no display (DISPLAY is not set): printing each frame with cubetrace "
                       "instead of showing it.\n",
                       stderr);
        } else if (!executable(viewer)) {
            std::fputs("cubeplay: this toolkit was built without its viewers: printing each frame with "
                       "cubetrace instead of showing it.\n",
                       stderr);
        } else if (!xdisplay::opens()) {
            // The viewer would only end, saying that it failed to open the display.
            process::fail("cannot open the display " + cli::quoted(display) +
                          " that DISPLAY names; use --headless to print each frame instead");
        } else {
            return {{viewer}, true, false};
        }
    }
    std::vector<std::string> tracer{programs / cli::programForEdge("cubetrace", options.edge)};
    if (options.record) {
        // A recording is quiet: sayRecorded tells of it at the end.
        tracer.push_back("--record");
        tracer.push_back(*options.record);
        return {tracer, false, true};
    }
    std::fputs("Columns: release number, ms since start, lit LEDs, frame hash.\n", stderr);
    return {tracer, false, false};
}

// The stop signals, and a child's end.
sigset_t handledSignals()
{
    sigset_t set = signals::stopSignals();
    sigaddset(&set, SIGCHLD);
    return set;
}

// Starts argv in `dir`; a quiet one's standard output goes nowhere.
process::Child start(const std::vector<std::string>& argv, const fs::path& dir, bool quiet = false)
{
    process::Child::Setup setup{.dir = dir};
    if (quiet && (setup.out = ::open("/dev/null", O_WRONLY | O_CLOEXEC)) < 0)
        process::fail(process::because("cannot open /dev/null"));
    process::Child child;
    child.start(argv, setup);
    if (setup.out >= 0)
        ::close(setup.out);
    return child;
}

// Waits up to `ns` for one of the handled signals; 0 when none came.
int awaitSignal(long ns)
{
    const sigset_t handled = handledSignals();
    const timespec timeout{0, ns};
    const int signal = ::sigtimedwait(&handled, nullptr, &timeout);
    return signal < 0 ? 0 : signal;
}

// The receiver stores idle once it serves the channel; the file starts at 0.
bool receiverServes(int channelFile)
{
    uint8_t status = 0;
    return ::pread(channelFile, &status, 1, 0) == 1 && status == channel::kStatusIdle;
}

// Starts a receiver in `dir` and waits until it serves the channel there.
// Returns the status to end with when a stop signal comes first, or when
// the receiver ends first.
std::optional<int> startServing(std::vector<process::Child>& serving, const std::vector<std::string>& argv,
                                const fs::path& dir, bool quiet = false)
{
    const fs::path channelPath = dir / channel::kFileName;
    const int channelFile = ::open(channelPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (channelFile < 0)
        process::fail(process::because("cannot read the channel file " + channelPath.string()));
    serving.push_back(start(argv, dir, quiet));
    process::Child& receiver = serving.back();
    std::optional<int> end;
    while (!end && !receiverServes(channelFile)) {
        if (const int signal = awaitSignal(kPollNs); signals::isStopSignal(signal)) {
            end = kStatusSignalBase + signal;
        } else if (!receiver.running()) {
            std::fprintf(stderr, "cubeplay: %s ended before it served the channel\n", receiver.name().c_str());
            end = *receiver.status() ? *receiver.status() : EXIT_FAILURE;
        }
    }
    ::close(channelFile);
    return end;
}

// An animation may end with its last code still in the record: cubereplay
// leaves the last release there for the receiver. The tracer gets a short
// while to answer it before it is stopped, so that it prints and records the
// last frame too. A stop signal ends the wait.
void letTracerAnswer(const fs::path& run)
{
    const int channelFile = ::open((run / channel::kFileName).c_str(), O_RDONLY | O_CLOEXEC);
    if (channelFile < 0)
        return;
    const auto deadline = std::chrono::steady_clock::now() + kLastCodeGrace;
    while (!receiverServes(channelFile) && std::chrono::steady_clock::now() < deadline &&
           !signals::isStopSignal(awaitSignal(kPollNs))) {
    }
    ::close(channelFile);
}

std::vector<process::Child*> all(std::vector<process::Child>& children)
{
    std::vector<process::Child*> pointers;
    for (process::Child& child : children)
        pointers.push_back(&child);
    return pointers;
}

int play(const Options& options)
{
    const fs::path programs = process::programDir();
    std::vector<std::string> animation = options.program;
    animation[0] = rundir::resolveProgram(animation[0], programs);
    for (std::size_t i = 1; i < animation.size(); ++i)
        animation[i] = rundir::passedOn(animation[i]);
    const Receiver chosen = receiverFor(options, programs);
    // Made here, removed when cubeplay ends, however it ends.
    std::optional<process::TemporaryDir> temporary;
    if (!options.dir)
        temporary.emplace("cubeplay");
    const fs::path run = options.dir ? fs::absolute(*options.dir) : temporary->path();
    layOutRun(run, options, rundir::helperDir(programs));

    // The screen's receiver first, then cubesend in front of it: the
    // animation starts only once the whole chain serves.
    std::vector<process::Child> serving;
    serving.reserve(2);
    std::optional<int> end = startServing(serving, chosen.argv, options.sends ? run / kScreenDir : run, chosen.quiet);
    if (!end && options.sends) {
        std::vector<std::string> sender{programs / cli::programForEdge("cubesend", options.edge), "--forward",
                                        run / kScreenDir};
        sender.insert(sender.end(), options.sendArgs.begin(), options.sendArgs.end());
        end = startServing(serving, sender, run);
    }
    if (end) {
        process::stopAll(all(serving));
        return *end;
    }

    process::Child player = start(animation, run / rundir::kAnimDir);
    std::vector<process::Child*> everyone = all(serving);
    everyone.push_back(&player);
    bool told = false;
    for (;;) {
        if (const int signal = awaitSignal(kIdlePollNs); signals::isStopSignal(signal)) {
            process::stopAll(everyone);
            return kStatusSignalBase + signal;
        }
        const bool playing = player.running();
        for (process::Child& receiver : serving) {
            if (receiver.running())
                continue;
            if (playing) {
                std::fprintf(stderr, "cubeplay: %s has ended; stopping the animation\n", receiver.name().c_str());
                process::stopAll(everyone);
                return *receiver.status();
            }
            process::stopAll(everyone);
            return *player.status();
        }
        if (playing)
            continue;
        if (!chosen.window) {
            letTracerAnswer(run);
            process::stopAll(everyone);
            return *player.status();
        }
        if (!told) {
            std::fputs("cubeplay: the animation has ended; the viewer stays open until you quit it "
                       "(Escape or q).\n",
                       stderr);
            told = true;
        }
    }
}

// The one line of a recording, once the tracer has ended: "cubeplay:
// recorded 300 frames to show.rec". Nothing when it cannot be read, which
// the tracer has said already.
void sayRecorded(const Options& options)
{
    recording::Recording show;
    std::string error;
    if (!recording::load(*options.record, show, error))
        return;
    const auto frames = std::count_if(show.items.begin(), show.items.end(),
                                      [](const recording::Item& item) { return recording::isRelease(item.code); });
    std::fprintf(stderr, "cubeplay: recorded %td frame%s to %s\n", frames, frames == 1 ? "" : "s",
                 options.recordName.c_str());
}

int playAndTell(const Options& options)
{
    const int status = play(options);
    if (options.record)
        sayRecorded(options);
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    return process::run(kTool.name, [&] {
        const Options options = parseOptions(argc, argv);
        // Taken by sigtimedwait alone; the programs started get a clear mask.
        const sigset_t handled = handledSignals();
        ::sigprocmask(SIG_BLOCK, &handled, nullptr);
        // An animation that takes the cube's edge (cubefx, cubelisten) draws
        // for the viewer's unless told otherwise.
        ::setenv(cli::kEdgeVariable, std::to_string(options.edge).c_str(), 1);
        return playAndTell(options);
    });
}
