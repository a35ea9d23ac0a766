// How fast cubeexport writes the show (edge 12), recorded once through
// `cubeplay --record`, and how large each file is: FSEQ every 25 ms, FSEQ
// compressed with zstd, raw frames, and C headers in mono and rgb. Each
// export runs a few times; the median time is shown.
//
// Usage: export_bench [SHOW.rec]   (a recording to reuse; made afresh
//                                   otherwise, in real time)

#include "testkit/support.h"

#include <algorithm>
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

constexpr auto kDeadline = 300s;
constexpr int kRuns = 5;

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "export_bench: %s\n", what.c_str());
    std::exit(EXIT_FAILURE);
}

double exportSeconds(const std::string& dir, std::vector<std::string> args)
{
    args.insert(args.begin(), testsupport::binary("cubeexport"));
    const auto start = Clock::now();
    Process cubeexport(args, Process::Options::in(dir));
    if (cubeexport.wait(kDeadline).code != 0)
        fail("cubeexport failed: " + cubeexport.err());
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 2)
        fail("usage: export_bench [SHOW.rec]");
    testsupport::RunDir dir;
    std::string show = argc == 2 ? std::filesystem::absolute(argv[1]).string() : dir.root() + "/show.rec";
    if (argc == 1) {
        std::fprintf(stderr, "recording the show (about 45 s)...\n");
        Process cubeplay({testsupport::binary("cubeplay"), "--record", show, "cubeshow", "12"},
                         Process::Options::in(dir.root()));
        if (cubeplay.wait(kDeadline).code != 0)
            fail("cubeplay did not record: " + cubeplay.err());
    }

    struct Case {
        const char* what;
        std::vector<std::string> options;
        const char* file;
    };
    const Case cases[] = {
        {".fseq, a frame every 25 ms", {}, "show.fseq"},
        {".fseq, zstd", {"--compress", "zstd"}, "show.fseq"},
        {".bin, a frame every 25 ms", {}, "show.bin"},
        {".h, mono", {"--format", "mono"}, "show.h"},
        {".h, rgb", {}, "show.h"},
    };
    std::printf("cubeexport, the show at edge 12 (%s), median of %d runs\n", show.c_str(), kRuns);
    std::printf("%-28s %10s %12s\n", "format", "time ms", "bytes");
    for (const Case& c : cases) {
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {show, c.file});
        std::vector<double> seconds;
        for (int run = 0; run < kRuns; ++run)
            seconds.push_back(exportSeconds(dir.root(), args));
        std::sort(seconds.begin(), seconds.end());
        const std::string path = dir.root() + "/" + c.file;
        std::printf("%-28s %10.1f %12ju\n", c.what, seconds[kRuns / 2] * 1000, std::filesystem::file_size(path));
        std::filesystem::remove(path);
    }
    return EXIT_SUCCESS;
}
