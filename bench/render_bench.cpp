// How fast cuberender draws: the show (edge 12) and the fill (edge 5),
// recorded once through `cubeplay --record`, rendered without spin (each
// distinct frame drawn once) and with spin (a picture every 1/30 s), and the
// size of the show's GIF at 400 × 300, the README's picture.
//
// Usage: render_bench [SHOW.rec FILL.rec]   (recordings to reuse; made
//                                            afresh otherwise, in real time)

#include "testkit/support.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::Process;

constexpr auto kDeadline = 900s;

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "render_bench: %s\n", what.c_str());
    std::exit(EXIT_FAILURE);
}

std::string record(const std::string& dir, const std::string& name, const std::vector<std::string>& play)
{
    const std::string path = dir + "/" + name;
    std::vector<std::string> argv{testsupport::binary("cubeplay"), "--record", path};
    argv.insert(argv.end(), play.begin(), play.end());
    Process cubeplay(argv, Process::Options::in(dir));
    if (cubeplay.wait(kDeadline).code != 0)
        fail("cubeplay did not record: " + cubeplay.err());
    return path;
}

struct Rendered {
    long frames = 0;
    long drawn = 0;
    double seconds = 0;
    std::uintmax_t bytes = 0;  // of every file made
};

// Renders into a directory of its own, whose files are then the output.
Rendered render(const std::string& dir, std::vector<std::string> args)
{
    const std::filesystem::path out = dir + "/out";
    std::filesystem::create_directory(out);
    args.back() = out / args.back();
    args.insert(args.begin(), testsupport::binary("cuberender"));
    const auto start = Clock::now();
    Process cuberender(args, Process::Options::in(dir));
    if (cuberender.wait(kDeadline).code != 0)
        fail("cuberender failed: " + cuberender.err());
    const std::chrono::duration<double> took = Clock::now() - start;
    // The summary line ends "N frames (M drawn), S s".
    const std::string err = cuberender.err();
    std::size_t at = err.find(" frames (");
    while (at != std::string::npos && at > 0 && std::isdigit(static_cast<unsigned char>(err[at - 1])))
        --at;
    Rendered result{0, 0, took.count()};
    if (at == std::string::npos ||
        std::sscanf(err.c_str() + at, "%ld frames (%ld drawn)", &result.frames, &result.drawn) != 2)
        fail("no summary from cuberender: " + err);
    for (const auto& file : std::filesystem::directory_iterator(out))
        result.bytes += file.file_size();
    std::filesystem::remove_all(out);
    return result;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 1 && argc != 3)
        fail("usage: render_bench [SHOW.rec FILL.rec]");
    testsupport::RunDir dir;
    std::string show = argc == 3 ? std::filesystem::absolute(argv[1]).string() : "";
    std::string fill = argc == 3 ? std::filesystem::absolute(argv[2]).string() : "";
    if (show.empty()) {
        std::printf("recording the show and the fill in real time...\n");
        std::fflush(stdout);
        show = record(dir.root(), "show.rec", {"cubeshow", "12"});
        fill = record(dir.root(), "fill.rec", {"--edge", "5", "cubefill"});
    }

    struct Case {
        const char* name;
        std::vector<std::string> args;
    };
    // The spins play the shows faster, so that a run stays short: a spin
    // draws every picture, whatever the show's speed.
    const Case cases[] = {
        {"edge 12, no spin, 800x600 GIF", {show, "a.gif"}},
        {"edge 12, spin, 800x600 GIF", {"--spin", "1", "--speed", "4", show, "a.gif"}},
        {"edge 5, no spin, 800x600 GIF", {fill, "a.gif"}},
        {"edge 5, spin, 800x600 GIF", {"--spin", "1", "--speed", "2", fill, "a.gif"}},
        {"edge 12, no spin, 800x600 PNG", {show, "a.png"}},
        {"README picture, 400x300 GIF", {"--size", "400x300", "--dist", "12.5", "--theta", "25", "--phi", "40",
                                         "--text", "none", show, "a.gif"}},
    };
    std::printf("%-32s %7s %6s %8s %9s %9s %11s\n", "", "frames", "drawn", "wall s", "frames/s", "drawn/s",
                "bytes");
    for (const Case& c : cases) {
        const Rendered r = render(dir.root(), c.args);
        std::printf("%-32s %7ld %6ld %8.2f %9.1f %9.1f %11ju\n", c.name, r.frames, r.drawn, r.seconds,
                    r.frames / r.seconds, r.drawn / r.seconds, r.bytes);
    }
    return EXIT_SUCCESS;
}
