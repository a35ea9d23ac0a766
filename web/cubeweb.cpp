// cubeweb: the cube live in a web page, on this machine or a phone beside the
// cube, and the JSON API through which the page and other programs choose
// what it plays. It is a receiver, like cubetrace and cubesend: it lays out
// a run directory as cubeplay does (or serves the channel in --dir DIR),
// serves the channel there with the viewer's own receiver code, and sends
// every frame it shows to the page's WebSockets and, with targets, to a real
// cube. The writers it starts (cubefx, cubelisten, cubereplay, PROGRAM) run
// in the run directory's anim/, one at a time.
//
// Threads: the receiver answers the channel and hands each frame on show to
// Live, which wakes the server's loop, and to the sender; the main thread
// runs the loop, which serves the page and the API and starts and stops the
// writers; StopOnSignal's thread ends the loop on Ctrl-C.

#include "common/cli.h"
#include "common/headless.h"
#include "common/process.h"
#include "common/rundir.h"
#include "common/signals.h"
#include "lbox/channel.h"
#include "net/sending.h"
#include "web/api.h"
#include "web/control.h"
#include "web/gate.h"
#include "web/live.h"
#include "web/recordings.h"
#include "web/server.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int kDefaultPort = 8080;
constexpr int kMaxPort = 65535;
constexpr const char* kDefaultBind = "127.0.0.1";
constexpr const char* kRecordingsBelowData = "ledcube/recordings";
constexpr std::size_t kHelpColumn = 26;  // where the options' descriptions start

struct Options {
    int edge = kCubeEdge;
    int port = kDefaultPort;
    std::string bind = kDefaultBind;
    std::string token;
    bool open = false;
    std::optional<fs::path> dir;
    std::optional<fs::path> recordings;
    strip::SendOptions send;
    std::vector<std::string> program;
};

cli::Tool tool(const std::string& name)
{
    std::string help =
        "Usage: " + name + " [OPTION]... [PROGRAM [ARGUMENT]...]\n"
        "Shows the cube live in a web page and steers what it plays: open the address\n"
        "it prints, on this machine or on a phone. It serves the frame channel like\n"
        "the viewer, in a run directory of its own as cubeplay lays one out, and\n"
        "plays PROGRAM there when one is given; the page plays effects, playlists,\n"
        "recordings and what lighting programs send. Ctrl-C stops it.\n"
        "\n"
        "Options:\n"
        "  --edge N                serve a cube of edge N: ";
    help += cli::builtEdges() + " (default " + std::to_string(kCubeEdge) + ")\n";
    help +=
        "  --port PORT             serve on PORT (default 8080; 0 takes a free one)\n"
        "  --bind ADDRESS          serve on ADDRESS (default 127.0.0.1, this machine\n"
        "                          alone); any other needs a token, made at random\n"
        "                          when --token does not give one\n"
        "  --token TOKEN           every API call and the WebSocket need TOKEN\n"
        "  --open                  open the page in the user's browser\n"
        "  --dir DIR               lay out the run in DIR, so that a writer started by\n"
        "                          hand in DIR/anim plays too (default: a new temporary\n"
        "                          directory, removed at the end)\n"
        "  --recordings DIR        where recordings are listed and saved (default\n"
        "                          $XDG_DATA_HOME/ledcube/recordings)\n"
        "  --send TARGET           light a real cube too (see cubesend --help; repeat\n"
        "                          for more targets)\n";
    help += strip::SendOptions::help();
    help += cli::fastHelp(kHelpColumn);
    help +=
        "  --help                  show this help and exit\n"
        "  --version               show the version and exit\n"
        "\n"
        "Examples:\n"
        "  " + name + " --edge 8\n"
        "  " + name + " --bind 0.0.0.0 --send ddp://192.168.1.50 cubefx rain\n";
    return {name, help};
}

Options parseOptions(const std::string& name, int argc, char** argv)
{
    Options options;
    cli::Parser args(tool(name), argc, argv);
    while (args.next()) {
        if (const char* edge = args.option("--edge")) {
            options.edge = args.edge("--edge", edge);
        } else if (const char* port = args.option("--port")) {
            options.port = static_cast<int>(args.count("--port", port, 0, kMaxPort));
        } else if (const char* bind = args.option("--bind")) {
            options.bind = bind;
        } else if (const char* token = args.option("--token")) {
            options.token = token;
            if (options.token.empty())
                args.fail("--token takes a token that is not empty");
        } else if (args.flag("--open")) {
            options.open = true;
        } else if (const char* dir = args.option("--dir")) {
            options.dir = dir;
        } else if (const char* dir = args.option("--recordings")) {
            options.recordings = dir;
        } else if (const char* target = args.option("--send")) {
            options.send.takeTarget(args, target);
        } else if (options.send.take(args)) {
        } else if (cli::takeFast(args)) {
        } else if (args.positional()) {
            options.program = args.rest();
            break;
        } else {
            args.unexpected();
        }
    }
    options.send.check(args, options.edge);
    return options;
}

// $XDG_DATA_HOME/ledcube/recordings, or ~/.local/share/ledcube/recordings.
fs::path defaultRecordings()
{
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data == '/')
        return fs::path(data) / kRecordingsBelowData;
    if (const char* home = std::getenv("HOME"); home && *home)
        return fs::path(home) / ".local/share" / kRecordingsBelowData;
    process::fail("cannot tell where recordings go: neither XDG_DATA_HOME nor HOME is set; use --recordings DIR");
}

// The page's files: installed beside the toolkit, or in the source tree for
// a build that is not installed.
fs::path pageDir(const fs::path& programs)
{
    const fs::path installed = (programs / CUBE_PAGE_FROM_BIN).lexically_normal();
    std::error_code ignored;
    return fs::exists(installed / "index.html", ignored) ? installed : fs::path(CUBE_PAGE_SOURCE);
}

std::string address(const Options& options, int port, const std::string& token)
{
    const bool ipv6 = options.bind.find(':') != std::string::npos;
    std::string url = "http://" + (ipv6 ? "[" + options.bind + "]" : options.bind) + ":" + std::to_string(port) + "/";
    return token.empty() ? url : url + "?token=" + token;
}

// The user's browser, left to run on its own.
void openBrowser(const std::string& name, const std::string& url)
{
    const fs::path opener = process::onPath("xdg-open");
    if (opener.empty()) {
        std::fprintf(stderr, "%s: cannot open a browser: xdg-open is not installed\n", name.c_str());
        return;
    }
    if (fork() == 0) {
        if (fork() == 0) {
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            execl(opener.c_str(), "xdg-open", url.c_str(), static_cast<char*>(nullptr));
        }
        _exit(EXIT_SUCCESS);
    }
}

// What the threads share. The receiver thread still runs when the process
// ends, so main owns it and ends with _exit before it is destroyed.
struct Service {
    std::optional<strip::Sending> sending;
    std::optional<web::Live> live;
    std::optional<web::Recordings> recordings;
};

int serve(const std::string& name, int argc, char** argv, Service& service)
{
    Options options = parseOptions(name, argc, argv);
    headless::serveEdge("cubeweb", options.edge, argv);
    if (options.token.empty() && !web::isLoopback(options.bind))
        options.token = web::randomToken();

    // Everything that can refuse to start does so before the channel is
    // touched: the program, the targets, the folders, the address.
    const fs::path programs = process::programDir();
    std::vector<std::string> program = options.program;
    if (!program.empty()) {
        program[0] = rundir::resolveProgram(program[0], programs);
        for (std::size_t i = 1; i < program.size(); ++i)
            program[i] = rundir::passedOn(program[i]);
    }
    strip::Sending& sending = service.sending.emplace(name, options.send, kCubeEdge);
    const fs::path recordingsDir = fs::absolute(options.recordings ? *options.recordings : defaultRecordings());
    std::optional<process::TemporaryDir> temporary;
    if (!options.dir)
        temporary.emplace("cubeweb");
    const fs::path run = options.dir ? fs::absolute(*options.dir) : temporary->path();
    rundir::layOut(run, rundir::helperDir(programs));

    web::Live& live = service.live.emplace(kCubeEdge);
    live.outputs = sending.outputs();
    live.program = !program.empty();
    live.onBrightness = [&sending](double brightness) { sending.setBrightness(brightness); };
    web::Recordings& recordings =
        service.recordings.emplace(web::Recordings::Setup{recordingsDir, kCubeEdge, programs});
    web::Control control({kCubeEdge, programs, run / rundir::kAnimDir, run / channel::kFileName, program}, recordings);
    web::Api api(control, recordings, live);
    web::Server server({options.bind, options.port, options.token, pageDir(programs), CUBE_THREE_DIR}, api, live);
    live.onFrame = [&server] { server.wake(); };

    // A browser that goes away mid-answer must not end the process; the
    // writers started get the cube's edge, as under cubeplay.
    std::signal(SIGPIPE, SIG_IGN);
    ::setenv(cli::kEdgeVariable, std::to_string(kCubeEdge).c_str(), 1);
    signals::StopOnSignal stop;
    if (::chdir(run.c_str()) != 0)
        process::fail(process::because("cannot enter the run directory " + run.string()));
    headless::startReceiver(
        [&](const storeColor* shown) {
            live.shown(shown);
            sending.frame(shown);
        },
        [&](uint8_t code, const uint8_t* record) {
            sending.code(code, record);
            recordings.code(code, record, ptCurrColorTable.load(std::memory_order_relaxed), ptFutureColorTable);
        });
    sending.start();

    const std::string url = address(options, server.port(), options.token);
    std::fprintf(stderr, "%s: %s\n", name.c_str(), url.c_str());
    if (options.open)
        openBrowser(name, url);
    if (!program.empty()) {
        try {
            control.play({{"program", true}});
        } catch (const web::Refusal& refusal) {
            process::fail(refusal.message);
        }
    }
    server.run(stop, [&] {
        const bool playing = control.tick();
        return recordings.tick() || playing;
    });
    control.stop();
    try {
        recordings.stopRecording();  // one that runs is kept whole
    } catch (const web::Refusal&) {
    }
    return EXIT_SUCCESS;
}

}  // namespace

int main(int argc, char** argv)
{
    Service service;
    const std::string name = headless::ownName("cubeweb", argv[0]);
    _exit(process::run(name, [&] { return serve(name, argc, argv, service); }));
}
