// cubesend's command line: what it answers, and every way it refuses one.

#include "tests/net/send_support.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

namespace {

using namespace sendtest;
using testsupport::Process;

constexpr int kEdge = 12;
constexpr int kFailureStatus = 1;
constexpr int kUsageStatus = 2;

Process run(const testsupport::RunDir& dir, const std::vector<std::string>& args)
{
    std::vector<std::string> argv{testsupport::binary("cubesend")};
    argv.insert(argv.end(), args.begin(), args.end());
    return Process(argv, Process::Options::in(dir.root()));
}

TEST(CubesendCommandLine, HelpAndVersionAnswerOnStandardOutput)
{
    const testsupport::RunDir dir;
    Process version = run(dir, {"--version"});
    EXPECT_EQ(version.wait().code, 0);
    EXPECT_EQ(version.out(), "cubesend (ledcube) " CUBE_VERSION "\n");
    Process help = run(dir, {"--help"});
    EXPECT_EQ(help.wait().code, 0);
    EXPECT_TRUE(help.out().starts_with("Usage: cubesend")) << help.out();
    EXPECT_EQ(version.err() + help.err(), "");
}

TEST(CubesendCommandLine, RefusalsSayWhyInOneLineAndEndWithTheirStatus)
{
    testsupport::RunDir dir;
    const DdpReceiver sink(kEdge);
    // OK stands for a good target, LAYOUT for a good layout file.
    const std::map<std::string, std::string> words = {
        {"OK", sink.target()},
        {"LAYOUT", writeLayout(dir.root() + "/xyz.layout", xyzLayout(kEdge))},
        {"NOWHERE", dir.root() + "/nowhere"}};
    // Runs the command line and returns its one line of standard error.
    const auto refusal = [&](const std::string& line, int status) {
        SCOPED_TRACE(line);
        std::vector<std::string> args;
        std::istringstream in(line);
        for (std::string word; in >> word;)
            args.push_back(words.contains(word) ? words.at(word) : word);
        channel::storeStatus(dir.mapRecord(), Cubesend::kStaleStatus);
        Process send = run(dir, args);
        EXPECT_EQ(send.wait().code, status);
        EXPECT_EQ(send.out(), "");
        const std::vector<std::string> err = testsupport::splitLines(send.err());
        EXPECT_EQ(err.size(), 1u) << send.err();
        return line + ": " + (err.empty() ? "" : err[0]);
    };
    // The 11 universes from 63990 would end past 63999.
    const char* const usageErrors[] = {
        "", "--frobnicate OK", "--edge 7 OK", "--max-fps 0 OK", "--max-fps 1001 OK", "--max-fps fast OK",
        "--gamma 0 OK", "--gamma 10.5 OK", "--brightness 1.5 OK", "--brightness -0.1 OK",
        "--leds-per-universe 0 OK", "--leds-per-universe 171 OK", "--wiring xxz OK", "--wiring xy OK",
        "--layout LAYOUT --wiring zyx OK", "--serpentine --layout LAYOUT OK",
        "http://127.0.0.1", "ddp://", "ddp://:4048", "ddp://127.0.0.1:0", "opc://127.0.0.1:65536",
        "opc://127.0.0.1/256", "e131://127.0.0.1/0", "e131://127.0.0.1/64000", "e131://127.0.0.1/63990",
        "serial:/dev/null?parity=even", "serial:/dev/null?baud=fast", "serial:/dev/null?framing=dmx",
    };
    for (const std::string line : usageErrors) {
        const std::string err = refusal(line, kUsageStatus);
        EXPECT_TRUE(err.starts_with(line + ": cubesend: ") && err.ends_with(" (try 'cubesend --help')")) << err;
    }
    // A missing forward directory is named before the channel is touched.
    const std::string err = refusal("--forward NOWHERE OK", kFailureStatus);
    EXPECT_TRUE(err.find(": cubesend: ") != std::string::npos && err.find(words.at("NOWHERE")) != std::string::npos) << err;
    EXPECT_EQ(channel::loadStatus(dir.mapRecord()), Cubesend::kStaleStatus);
}

}  // namespace
