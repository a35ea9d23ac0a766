// cubesend: the receiver that lights real LEDs. Started where the viewer
// would run, beside "shared_buffer.txt", it serves the channel with the
// viewer's own receiver code and sends every frame released to LED
// controllers over DDP, E1.31 or Open Pixel Control, or down a serial port
// (net/targets.h names them). With --forward it also passes every code on
// to a viewer in another directory, which then shows what the cube shows.
//
// Three threads: the receiver answers the channel and hands each frame on
// show to the sending side (net/sending.h); its sender takes the newest at
// each of its slots (at most --max-fps a second, and once a second when no
// release comes) and sends it to every target; main waits for the end.

#include "common/cli.h"
#include "common/headless.h"
#include "common/process.h"
#include "common/signals.h"
#include "net/sending.h"

#include <csignal>
#include <cstdlib>
#include <optional>
#include <unistd.h>

namespace {

constexpr std::size_t kHelpColumn = 26;  // where the options' descriptions start

struct Options {
    int edge = kCubeEdge;
    strip::SendOptions send;
};

cli::Tool tool(const std::string& name)
{
    std::string help =
        "Usage: " + name + " [OPTION]... TARGET...\n"
        "Serves the frame channel like the viewer, but lights a real cube: run it where\n"
        "the viewer would run, beside shared_buffer.txt. Every frame released goes to\n"
        "each TARGET, at most --max-fps a second, and again every second while no new\n"
        "one comes.\n"
        "\n"
        "Targets:\n";
    help += strip::SendOptions::targetsHelp();
    help += "\n"
            "Options:\n"
            "  --edge N                serve a cube of edge N: ";
    help += cli::builtEdges() + " (default " + std::to_string(kCubeEdge) + ")";
    help += "\n";
    help += strip::SendOptions::help();
    help += cli::fastHelp(kHelpColumn);
    help += "  --help                  show this help and exit\n"
            "  --version               show the version and exit\n"
            "\n"
            "Example:\n"
            "  cubesend --gamma 2.2 --forward screen e131://192.168.1.50\n";
    return {name, help};
}

Options parseOptions(const std::string& name, int argc, char** argv)
{
    Options options;
    cli::Parser args(tool(name), argc, argv);
    while (args.next()) {
        if (const char* edge = args.option("--edge")) {
            options.edge = args.edge("--edge", edge);
        } else if (options.send.take(args)) {
        } else if (cli::takeFast(args)) {
        } else if (args.positional()) {
            options.send.takeTarget(args, args.current());
        } else {
            args.unexpected();
        }
    }
    if (options.send.targets.empty())
        args.fail("no TARGET given");
    options.send.check(args, options.edge);
    return options;
}

// Serves the channel until a stop signal. The receiver and sender threads
// still run when the process ends, so main owns `sending` and ends with
// _exit before it is destroyed.
int serve(const std::string& name, int argc, char** argv, std::optional<strip::Sending>& sending)
{
    const Options options = parseOptions(name, argc, argv);
    headless::serveEdge("cubesend", options.edge, argv);

    strip::Sending& send = sending.emplace(name, options.send, kCubeEdge);
    // A controller that closes its connection must not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    signals::StopOnSignal stop;
    CodeHook passOn;
    if (send.forwards())
        passOn = [&send](uint8_t code, const uint8_t* record) { send.code(code, record); };
    headless::startReceiver([&send](const storeColor* shown) { send.frame(shown); }, passOn);
    // Only once the channel serves: a cube is lit by no tool that refused to
    // start.
    send.start();
    stop.wait();
    return EXIT_SUCCESS;
}

}  // namespace

int main(int argc, char** argv)
{
    std::optional<strip::Sending> sending;
    const std::string name = headless::ownName("cubesend", argv[0]);
    _exit(process::run(name, [&] { return serve(name, argc, argv, sending); }));
}
