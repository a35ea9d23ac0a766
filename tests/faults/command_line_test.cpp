// Command lines that no program expects: very long, empty and non-ASCII
// arguments. The demos fall back to their default, launch and bytemax act as
// for any other argument, and the tools refuse them without touching the
// channel. (The viewer's are in viewer_faults_test.cpp.)

#include "common/cli.h"
#include "tests/faults/faults.h"
#include "tests/demos/trace.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using namespace demotest;
using faults::kLongArgument;
using testsupport::binary;
using testsupport::Process;

std::vector<std::string> commandLine(const std::string& program, const std::vector<std::string>& arguments)
{
    std::vector<std::string> argv{binary(program)};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return argv;
}

std::string shown(const std::vector<std::string>& arguments)
{
    return testing::PrintToString(arguments).substr(0, 80);
}

TEST(HostileCommandLine, ShowPlaysOnlyTheWarmUp)
{
    for (const std::vector<std::string>& arguments : faults::kHostileArguments) {
        SCOPED_TRACE(shown(arguments));
        const DemoRun run = runDemo(commandLine("cubeshow", arguments), {});
        EXPECT_EQ(run.exit.code, 0);
        ASSERT_EQ(run.frames.size(), 2u);
        EXPECT_EQ(run.frames[0].lit, 0);
        EXPECT_EQ(run.frames[1].lit, 0);
        EXPECT_EQ(run.out, kClosingLine);
        EXPECT_EQ(run.err, "");
    }
}

TEST(HostileCommandLine, FillChoosesEdgeFive)
{
    constexpr int kFirstLayerRelease = 3;
    constexpr int kEdgeFiveLayer = 25;
    for (const std::vector<std::string>& arguments : faults::kHostileArguments) {
        SCOPED_TRACE(shown(arguments));
        testsupport::RunDir dir;
        const std::vector<Frame> frames = firstFrames(dir, commandLine("cubefill", arguments), kFirstLayerRelease);
        ASSERT_EQ(frames.size(), static_cast<std::size_t>(kFirstLayerRelease));
        EXPECT_EQ(frames[2].lit, kEdgeFiveLayer);
    }
}

// Probes stand ready as "./app5" and "./app12": a hostile argument taken for
// one of the names would show as the probe's output.
TEST(HostileCommandLine, LaunchStartsNothingAndCountsArgumentsOnly)
{
    testsupport::RunDir dir;
    for (const char* app : {"app5", "app12"})
        std::filesystem::copy_file(binary("env_probe"), dir.runDir() + "/" + app);
    const std::string launch = binary("launch");

    for (const std::vector<std::string>& arguments : faults::kHostileArguments) {
        SCOPED_TRACE(shown(arguments));
        Process process(commandLine("launch", arguments), Process::Options::in(dir.runDir()));
        EXPECT_EQ(process.wait().code, 0);
        EXPECT_EQ(process.out(), "");
        EXPECT_EQ(process.err(), "");
    }
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"", ""}, {"app5", kLongArgument}, {faults::kNonAscii, "app12"}}) {
        SCOPED_TRACE(shown(arguments));
        Process process(commandLine("launch", arguments), Process::Options::in(dir.runDir()));
        EXPECT_EQ(process.wait().code, 1);
        EXPECT_EQ(process.out(), "");
        EXPECT_EQ(process.err(), "Usage: " + launch + " <file-to-exec>\n");
    }
}

TEST(HostileCommandLine, BytemaxIgnoresItsArguments)
{
    std::vector<std::string> all;
    for (const std::vector<std::string>& arguments : faults::kHostileArguments)
        all.insert(all.end(), arguments.begin(), arguments.end());
    Process process(commandLine("bytemax", all), Process::Options::in("/"));
    EXPECT_EQ(process.wait().code, 0);
    EXPECT_EQ(process.out(), "En byte kan lagra max 255");
    EXPECT_EQ(process.err(), "");
}

struct Refusal {
    std::vector<std::string> arguments;
    int status;
    std::string message;  // all of standard error
};

// Runs each refused command line where the program normally runs and checks
// that it ends before it comes near the channel.
void expectRefusals(const std::string& program, const faults::Side& side, const std::vector<Refusal>& refusals)
{
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(shown(refusal.arguments));
        testsupport::RunDir dir;
        const auto before = faults::snapshot(dir.root());
        Process process(commandLine(program, refusal.arguments), Process::Options::in(side.startDir(dir)));
        const testsupport::Exit exit = process.wait();
        EXPECT_EQ(exit.signal, 0);
        EXPECT_EQ(exit.code, refusal.status);
        EXPECT_EQ(process.err(), refusal.message);
        EXPECT_EQ(process.out(), "");
        EXPECT_EQ(faults::snapshot(dir.root()), before);
    }
}

constexpr int kUsageStatus = 2;
constexpr int kFailureStatus = 1;

// The one line that a tool prints for a usage error.
std::string usageError(const std::string& tool, const std::string& what)
{
    return tool + ": " + what + " (try '" + tool + " --help')\n";
}

// As a usage error shows an argument: quoted, its first 60 bytes.
std::string shownArgument(const std::string& argument)
{
    std::string shown = "'";
    shown.append(argument, 0, 60).append(argument.size() > 60 ? "...'" : "'");
    return shown;
}

TEST(HostileCommandLine, CubetraceRefusesWithUsageOrTheFileItCannotWrite)
{
    std::vector<Refusal> refusals;
    for (const std::vector<std::string>& arguments : faults::kHostileArguments)
        refusals.push_back({arguments, kUsageStatus,
                            usageError("cubetrace", "unexpected argument " + shownArgument(arguments[0]))});
    for (const std::string& value : {kLongArgument, std::string(), faults::kWideTwelve}) {
        refusals.push_back({{"--edge", value},
                            kUsageStatus,
                            usageError("cubetrace", "--edge takes a built cube edge (" CUBE_BUILT_EDGES_TEXT "), not " + shownArgument(value))});
        refusals.push_back({{"--count", value},
                            kUsageStatus,
                            usageError("cubetrace", "--count takes a whole number of 1 or more, not " + shownArgument(value))});
    }
    const std::string nines(kLongArgument.size(), '9');
    refusals.push_back({{"--count", nines},
                        kUsageStatus,
                        usageError("cubetrace", "--count takes a whole number of 1 or more, not " + shownArgument(nines))});
    refusals.push_back({{"--leds", faults::kNonAscii},
                        kUsageStatus,
                        usageError("cubetrace", "unexpected argument " + shownArgument(faults::kNonAscii))});
    refusals.push_back({{"--" + kLongArgument},
                        kUsageStatus,
                        usageError("cubetrace", "unknown option " + shownArgument("--" + kLongArgument))});
    refusals.push_back({{"--record"}, kUsageStatus, usageError("cubetrace", "option --record needs a value")});
    const std::string cannotWrite = "cubetrace: unable to write the recording ";
    refusals.push_back({{"--record", ""}, kFailureStatus, cannotWrite + ": No such file or directory\n"});
    refusals.push_back(
        {{"--record", kLongArgument}, kFailureStatus, cannotWrite + kLongArgument + ": File name too long\n"});
    expectRefusals("cubetrace", faults::receiverTool("cubetrace"), refusals);
}

TEST(HostileCommandLine, CubereplayRefusesWithUsageOrTheFileItCannotRead)
{
    std::vector<Refusal> refusals;
    for (const std::string& speed : {kLongArgument, std::string(), faults::kWideTwelve, std::string("nan"),
                                     std::string("inf"), std::string("1001")})
        refusals.push_back({{"--speed", speed, "show.rec"},
                            kUsageStatus,
                            usageError("cubereplay", "--speed takes a number from 0.01 to 1000, not " + shownArgument(speed))});
    refusals.push_back({{"--" + kLongArgument},
                        kUsageStatus,
                        usageError("cubereplay", "unknown option " + shownArgument("--" + kLongArgument))});
    refusals.push_back({{"", ""}, kUsageStatus, usageError("cubereplay", "unexpected argument ''")});
    refusals.push_back({{"--loop"}, kUsageStatus, usageError("cubereplay", "no recording given")});
    const std::string cannotRead = "cubereplay: cannot read ";
    refusals.push_back({{kLongArgument}, kFailureStatus, cannotRead + kLongArgument + ": File name too long\n"});
    refusals.push_back({{""}, kFailureStatus, cannotRead + ": No such file or directory\n"});
    refusals.push_back(
        {{faults::kNonAscii}, kFailureStatus, cannotRead + faults::kNonAscii + ": No such file or directory\n"});
    expectRefusals("cubereplay", faults::kWriter, refusals);
}

// Every tool of the toolkit's own answers --help on standard output with
// its usage line first, and --version with the toolkit's version, each under
// its own name; a build for another edge names that edge as its default.
TEST(ToolCommandLine, HelpAndVersionAnswerOnStandardOutput)
{
    for (const std::string tool : {"cubetrace", "cubetrace5", "cubesend5", "cubereplay", "cubeplay", "cubefx"}) {
        SCOPED_TRACE(tool);
        Process help({binary(tool), "--help"}, Process::Options::in("/"));
        EXPECT_EQ(help.wait().code, 0);
        EXPECT_TRUE(help.out().starts_with("Usage: " + tool + " [OPTION]...")) << help.out();
        EXPECT_NE(help.out().find("\n  --version "), std::string::npos) << help.out();
        if (tool.ends_with('5')) {
            EXPECT_NE(help.out().find(" (default 5)\n"), std::string::npos) << help.out();
        }
        EXPECT_EQ(help.err(), "");
        Process version({binary(tool), "--version"}, Process::Options::in("/"));
        EXPECT_EQ(version.wait().code, 0);
        EXPECT_EQ(version.out(), tool + " (ledcube) " CUBE_VERSION "\n");
    }
}

// Every tool that moves the channel, or starts programs that do, lists
// --fast in its help in the same words, below its other options' column.
TEST(ToolCommandLine, EveryToolOfTheChannelListsFastInItsHelp)
{
    const std::vector<std::pair<std::string, std::size_t>> tools = {
        {"cubefx", 20},     {"cubelisten", 26}, {"cubereplay", 14}, {"cubetrace", 18},
        {"cubetrace5", 18}, {"cubesend5", 26},  {"cubeplay", 15},
#ifdef CUBE_TEST_WEB
        {"cubeweb5", 26},
#endif
    };
    for (const auto& [tool, column] : tools) {
        SCOPED_TRACE(tool);
        Process help({binary(tool), "--help"}, Process::Options::in("/"));
        EXPECT_EQ(help.wait().code, 0);
        std::string lines = "\n";
        lines += cli::fastHelp(column);
        EXPECT_NE(help.out().find(lines), std::string::npos) << help.out();
    }
}

// A colour that cubefx does not know is refused with the names it knows, and
// a setting given twice for one effect is refused rather than one of them
// silently winning.
TEST(ToolCommandLine, CubefxRefusesAnUnknownColourOrASettingGivenTwice)
{
    const std::vector<Refusal> refusals = {
        {{"--colour", "purpleish"},
         kUsageStatus,
         usageError("cubefx", "--colour takes a colour name (red, green, blue, white, yellow, cyan, magenta, orange, "
                              "purple, pink), #rrggbb or r,g,b from 0 to 1, not 'purpleish'")},
        {{"text:speed=3,speed=4"}, kUsageStatus, usageError("cubefx", "text: 'speed' is given twice")},
        {{"rain", "rain:length=2,drops=4,length=2"}, kUsageStatus, usageError("cubefx", "rain: 'length' is given twice")},
    };
    expectRefusals("cubefx", faults::kWriter, refusals);
}

TEST(ToolCommandLine, CubeplayRefusesBeforeItStartsAnything)
{
    testsupport::RunDir dir;
    const std::vector<Refusal> refusals = {
        {{}, kUsageStatus, usageError("cubeplay", "no animation program given")},
        {{"--edge", "7", "cubefill"},
         kUsageStatus,
         usageError("cubeplay", "--edge takes a built cube edge (" CUBE_BUILT_EDGES_TEXT "), not '7'")},
        {{"--headless=1", "cubefill"}, kUsageStatus, usageError("cubeplay", "option --headless takes no value")},
        {{"--dir"}, kUsageStatus, usageError("cubeplay", "option --dir needs a value")},
        {{"./no-such-animation"}, kFailureStatus, "cubeplay: cannot run ./no-such-animation: No such file or directory\n"},
        {{"no-such-animation"},
         kFailureStatus,
         "cubeplay: cannot find the program 'no-such-animation' among the toolkit's programs or on PATH\n"},
    };
    expectRefusals("cubeplay", faults::kWriter, refusals);
}

}  // namespace
