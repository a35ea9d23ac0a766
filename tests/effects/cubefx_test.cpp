// cubefx as a real process below cubetrace: every effect that cubefx --list
// names, at edges 3, 5 and 12, for a second each; the same command line
// twice; and the refusals of its command line.

#include "lbox/channel.h"
#include "record/recording.h"
#include "tests/demos/trace.h"

#include <gtest/gtest.h>

#include <algorithm>
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

Played play(std::vector<std::string> args)
{
    const testsupport::RunDir files;
    const std::string path = files.root() + "/fx.rec";
    args.insert(args.begin(), binary("cubefx"));
    Played played{demotest::runDemo(args, {"--record", path}), {}};
    std::string error;
    EXPECT_TRUE(recording::load(path, played.codes, error)) << error;
    return played;
}

class EveryEffect : public testing::TestWithParam<int> {};

TEST_P(EveryEffect, LightsLedsChangesItsFramesAndWritesOnlyInsideTheCube)
{
    const int edge = GetParam();
    const std::vector<std::string> effects = listedEffects();
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

}  // namespace
