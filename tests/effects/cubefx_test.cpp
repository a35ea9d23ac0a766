// cubefx as a real process below cubetrace: every effect that cubefx --list
// names, at edges 3, 5 and 12, for a second each; the same command line
// twice; and the refusals of its command line.

#include "effects/lEffect.h"
#include "lbox/channel.h"
#include "record/recording.h"
#include "tests/demos/trace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>

namespace {

using demotest::DemoRun;
using demotest::Frame;
using testsupport::binary;
using testsupport::Process;

constexpr int kFps = 30;  // the default: a second of an effect is 30 frames

std::vector<std::string> listedEffects()
{
    Process list({binary("cubefx"), "--list"}, Process::Options::in("/"));
    EXPECT_EQ(list.wait().code, 0);
    std::vector<std::string> names;
    for (const std::string& line : testsupport::splitLines(list.out()))
        names.push_back(line.substr(0, line.find(' ')));
    return names;
}

// The effects played in one run, one after another, below a tracer that
// records every code.
struct Played {
    DemoRun run;
    recording::Recording codes;
};

// `tracerOptions` go to cubetrace too; `env`, when given, is the whole
// environment of both.
Played play(std::vector<std::string> args, const std::vector<std::string>& tracerOptions = {},
            const std::optional<std::vector<std::string>>& env = std::nullopt)
{
    const testsupport::RunDir files;
    const std::string path = files.root() + "/fx.rec";
    args.insert(args.begin(), binary("cubefx"));
    std::vector<std::string> tracer{"--record", path};
    tracer.insert(tracer.end(), tracerOptions.begin(), tracerOptions.end());
    Played played{demotest::runDemo(args, tracer, env), {}};
    std::string error;
    EXPECT_TRUE(recording::load(path, played.codes, error)) << error;
    return played;
}

// The effects that follow the sound are dark without one: sound_effects_test
// draws them with sounds.
bool followsTheSound(const std::string& effect)
{
    return effect == "bars" || effect == "pulse" || effect == "beat" || effect == "waveform";
}

class EveryEffect : public testing::TestWithParam<int> {};

TEST_P(EveryEffect, LightsLedsChangesItsFramesAndWritesOnlyInsideTheCube)
{
    const int edge = GetParam();
    std::vector<std::string> effects = listedEffects();
    std::erase_if(effects, followsTheSound);
    ASSERT_GE(effects.size(), 20u);
    std::vector<std::string> args{"--edge", std::to_string(edge), "--duration", "1", "--unpaced"};
    args.insert(args.end(), effects.begin(), effects.end());
    const Played played = play(args);
    EXPECT_EQ(played.run.exit.code, 0) << played.run.err;
    EXPECT_EQ(played.run.out, demotest::kClosingLine);

    // A second of each effect, then the dark cube at the end.
    const std::vector<Frame>& frames = played.run.frames;
    ASSERT_EQ(frames.size(), effects.size() * kFps + 1) << played.run.err;
    EXPECT_EQ(frames.back().lit, 0);
    // Which effect each code belongs to, by the releases before it.
    std::size_t releases = 0;
    std::set<std::size_t> outside;
    for (const recording::Item& item : played.codes.items) {
        for (std::size_t k = 0; k < item.entryCount; ++k) {
            const queueEntry& e = item.entries[k];
            if (e.x >= edge || e.y >= edge || e.z >= edge)
                outside.insert(releases / kFps);
        }
        releases += item.code == channel::kStatusReleaseNoKeep;
    }
    for (std::size_t i = 0; i < effects.size(); ++i) {
        SCOPED_TRACE(effects[i] + " at edge " + std::to_string(edge));
        const auto first = frames.begin() + static_cast<long>(i * kFps);
        const auto last = first + kFps;
        EXPECT_TRUE(std::any_of(first, last, [](const Frame& f) { return f.lit > 0; }));
        EXPECT_TRUE(std::any_of(first, last, [&](const Frame& f) { return f.hash != first->hash; }));
        EXPECT_FALSE(outside.contains(i)) << "wrote outside the cube";
    }
}

INSTANTIATE_TEST_SUITE_P(Edges, EveryEffect, testing::Values(3, 5, 12));

TEST(Cubefx, TheSameCommandLineShowsTheSameFrames)
{
    const std::vector<std::string> effects{"rain", "snake", "fireworks", "life", "twinkle", "text:speed=20"};
    std::vector<std::string> args{"--edge", "5", "--duration", "0.5", "--seed", "7", "--unpaced"};
    args.insert(args.end(), effects.begin(), effects.end());
    const Played first = play(args);
    const Played second = play(args);
    ASSERT_EQ(first.run.frames.size(), effects.size() * kFps / 2 + 1);
    EXPECT_EQ(demotest::untimed(first.run.frames), demotest::untimed(second.run.frames));
}

// cubefx --fast below cubetrace --fast shows the frames of the default
// channel. --fast wins over the mode that the environment names, which
// either side would otherwise say names none.
TEST(Cubefx, FastOnBothSidesShowsTheFramesOfTheDefaultChannel)
{
    const std::vector<std::string> effects{"rain", "fireworks", "text:speed=20"};
    std::vector<std::string> args{"--edge", "5", "--duration", "0.5", "--seed", "7", "--unpaced"};
    args.insert(args.end(), effects.begin(), effects.end());
    const Played usual = play(args, {}, std::vector<std::string>{});
    args.insert(args.begin(), "--fast");
    const Played fast = play(args, {"--fast"}, std::vector<std::string>{"CUBE_CHANNEL=slow"});
    EXPECT_EQ(fast.run.exit.code, 0);
    ASSERT_EQ(usual.run.frames.size(), effects.size() * kFps / 2 + 1);
    EXPECT_EQ(demotest::untimed(fast.run.frames), demotest::untimed(usual.run.frames));
    EXPECT_EQ(fast.run.err, usual.run.err);
    EXPECT_EQ(fast.run.receiverErr, "");
}

TEST(Cubefx, AnUnknownEffectOrSettingIsOneLineAndStatus2)
{
    for (const std::string word : {"rainbow", "rain:wind=2", "rain:drops=0", "rain:drops"}) {
        SCOPED_TRACE(word);
        Process fx({binary("cubefx"), word}, Process::Options::in("/"));
        EXPECT_EQ(fx.wait().code, 2);
        EXPECT_EQ(testsupport::splitLines(fx.err()).size(), 1u) << fx.err();
        EXPECT_TRUE(fx.err().starts_with("cubefx: ")) << fx.err();
        EXPECT_EQ(fx.out(), "");
    }
}

// What cubefx says on standard error as it plays: one line as each effect
// starts, with its settings as given, and nothing on standard output but
// the library's closing line.
TEST(CubefxSays, OneLineAsEachEffectStarts)
{
    const Played fine = play({"--edge", "5", "--duration", "0.5", "--unpaced", "rain", "text:speed=20"});
    EXPECT_EQ(fine.run.exit.code, 0) << fine.run.err;
    EXPECT_EQ(fine.run.err, "cubefx: playing rain for 0.5 s\ncubefx: playing text:speed=20 for 0.5 s\n");
    EXPECT_EQ(fine.run.out, demotest::kClosingLine);
}

// Every LED of 12^3 changes in each frame of the plasma: some 600 handshakes
// a frame, each at least two 10-microsecond polls, cannot go out 240 times a
// second on any machine. The notice names the effect, once.
TEST(CubefxSays, WhichEffectPlaysSlowerThanTheChannelCarries)
{
    const Played played = play({"--edge", "12", "--fps", "240", "--duration", "0.25", "plasma"});
    EXPECT_EQ(played.run.exit.code, 0) << played.run.err;
    EXPECT_EQ(played.run.err, "cubefx: playing plasma for 0.25 s\n"
                              "cubefx: plasma plays slower than 240 frames a second: the channel carries fewer at "
                              "edge 12\n");
}

// The help of cubefx, and of a program of one's own on lPlayEffects.
struct Help {
    std::string name;
    std::string text;
};

Help helpOf(const std::string& program)
{
    Process help({program, "--help"}, Process::Options::in("/"));
    EXPECT_EQ(help.wait().code, 0);
    EXPECT_EQ(help.err(), "");
    return {std::filesystem::path(program).filename().string(), help.out()};
}

std::vector<std::string> words(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> split;
    for (std::string word; in >> word;)
        split.push_back(word);
    return split;
}

// The command lines that the help gives as examples, without the program:
// each line under "Examples:", and the setting shown.
std::vector<std::vector<std::string>> examples(const Help& help)
{
    std::vector<std::vector<std::string>> found;
    const std::vector<std::string> lines = testsupport::splitLines(help.text);
    const auto start = std::find(lines.begin(), lines.end(), "Examples:");
    EXPECT_NE(start, lines.end()) << help.text;
    for (auto line = start; line != lines.end(); ++line)
        if (line->starts_with("  " + help.name + " ")) {
            std::vector<std::string> arguments = words(*line);
            found.emplace_back(arguments.begin() + 1, arguments.end());
        }
    const std::string settingMark = "A setting goes after the effect's name: ";
    for (const std::string& line : lines)
        if (line.starts_with(settingMark))
            found.push_back({line.substr(settingMark.size(), line.size() - settingMark.size() - 1)});
    return found;
}

TEST(ProgramHelp, EveryExampleOfCubefxAndOfAProgramOfOnesOwnIsAccepted)
{
    for (const std::string& program : {binary("cubefx"), std::string(CUBE_PULSE_EXAMPLE)}) {
        const Help help = helpOf(program);
        const std::vector<std::vector<std::string>> commandLines = examples(help);
        EXPECT_EQ(commandLines.size(), 4u) << help.text;
        for (std::vector<std::string> arguments : commandLines) {
            SCOPED_TRACE(testing::PrintToString(arguments));
            // --list reads the whole command line and plays nothing.
            arguments.insert(arguments.begin(), program);
            arguments.push_back("--list");
            Process example(arguments, Process::Options::in("/"));
            EXPECT_EQ(example.wait().code, 0);
            EXPECT_EQ(example.err(), "");
            EXPECT_NE(example.out(), "");
        }
        for (const std::string& line : testsupport::splitLines(help.text))
            EXPECT_LE(line.size(), 80u) << line;
    }
}

// The end of a help: the setting it shows, then its three examples.
std::string helpEnd(const std::string& name, const std::string& setting, const std::string& several,
                    const std::string& paletted, const std::string& sounding)
{
    return "\n\nA setting goes after the effect's name: " + setting + ".\n\nExamples:\n  " + name + " --edge 8 " +
           several + "\n  " + name + " --edge 8 --loop --duration 20 --palette fire " + paletted + "\n  " + name +
           " --edge 8 --audio song.flac --play " + sounding + "\n";
}

TEST(ProgramHelp, AProgramOfOnesOwnNamesItsOwnEffectsAndNoneOfCubefx)
{
    const Help help = helpOf(CUBE_PULSE_EXAMPLE);
    EXPECT_TRUE(help.text.starts_with("Usage: pulse [OPTION]... [EFFECT[:KEY=VALUE,...]]...\n")) << help.text;
    EXPECT_NE(help.text.find("(cubeplay --edge 8 pulse pulse).\n"), std::string::npos) << help.text;
    EXPECT_NE(help.text.find("\n\nIts effects: pulse.\n\n"), std::string::npos) << help.text;
    EXPECT_TRUE(help.text.ends_with(helpEnd("pulse", "pulse:rate=1,colours=6", "pulse", "pulse", "pulse")))
        << help.text;
    // cubefx's effects are no word of it ("rainbow" is a palette's name).
    for (const std::string cubefxs : {" rain ", " rain:", " rain)", "plasma", "snake", "cubefx"})
        EXPECT_EQ(help.text.find(cubefxs), std::string::npos) << cubefxs;
}

TEST(ProgramHelp, CubefxShowsItsFavouritesAndLeavesTheNamesToList)
{
    const Help help = helpOf(binary("cubefx"));
    EXPECT_NE(help.text.find("(cubeplay --edge 8 cubefx rain).\n"), std::string::npos) << help.text;
    EXPECT_EQ(help.text.find("Its effects:"), std::string::npos) << help.text;
    const std::string end = helpEnd("cubefx", "rain:drops=4,length=3", "rain snake fireworks", "plasma", "bars");
    EXPECT_TRUE(help.text.ends_with(end)) << help.text;
}

// The edges that lEffect.h gives a program of one's own are those that
// --edge takes, and a context starts at the default.
TEST(EffectEdges, AreTheRangeThatEdgeTakesAndAContextStartsAtTheDefault)
{
    EXPECT_EQ(lMinEdge, 3);
    EXPECT_EQ(lMaxEdge, 16);
    EXPECT_EQ(lDefaultEdge, 12);
    const lEffectContext context;
    EXPECT_EQ(context.edge, lDefaultEdge);
    for (const int edge : {lMinEdge, lMaxEdge}) {
        Process fx({binary("cubefx"), "--edge", std::to_string(edge), "--list", "fill"}, Process::Options::in("/"));
        EXPECT_EQ(fx.wait().code, 0) << fx.err();
    }
    for (const int edge : {lMinEdge - 1, lMaxEdge + 1}) {
        Process fx({binary("cubefx"), "--edge", std::to_string(edge), "--list"}, Process::Options::in("/"));
        EXPECT_EQ(fx.wait().code, 2);
        EXPECT_EQ(fx.err(), "cubefx: --edge takes a whole number from 3 to 16, not '" + std::to_string(edge) +
                                "' (try 'cubefx --help')\n");
    }
}

}  // namespace
