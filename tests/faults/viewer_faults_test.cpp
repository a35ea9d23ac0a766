// Both viewer builds on a private X server: refusing a channel file that
// cannot serve, and command lines that the viewer hands to glutInit whole.

#include "lbox/channel.h"
#include "tests/faults/faults.h"
#include "testkit/xsession.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using testsupport::binary;
using testsupport::Process;

constexpr const char* kViewers[] = {"cubeview12", "cubeview5"};
constexpr const char* kTitle = "^Tavio Lumarix Using FreeGlut$";
// A status no side ever stores: the viewer's reset to idle shows that its
// receiver runs.
constexpr uint8_t kStale = 0;
constexpr auto kDeadline = 60s;

bool answered(uint8_t* record, Process& viewer)
{
    return faults::waitForStatus(record, [](uint8_t s) { return s == channel::kStatusIdle; }, &viewer);
}

TEST(ViewerFaults, UnusableChannelFileEndsEitherBuildWithAMessageAndLeavesItAlone)
{
    xsession::XServer x;
    for (const faults::BadChannel& bad : faults::badChannels()) {
        for (const char* viewer : kViewers) {
            SCOPED_TRACE(std::string(bad.name) + ": " + viewer);
            testsupport::RunDir dir;
            bad.spoil(dir);
            // The window opens before the channel does; the drivers below it
            // may have their say on standard error first.
            faults::expectRefusal(bad, faults::kReader, {binary(viewer)}, x.optionsIn(dir.root()), dir, true);
        }
    }
}

// Arguments that glutInit does not know stay in the command line unread, so
// the viewer runs as usual: it serves the channel and quits on 'q'.
TEST(ViewerFaults, HostileArgumentsLeaveTheViewerWorking)
{
    xsession::XServer x;
    std::vector<std::vector<std::string>> commandLines = faults::kHostileArguments;
    // glutInit reads this option and takes an unreadable geometry as none.
    commandLines.push_back({"-geometry", faults::kLongArgument});
    for (const std::vector<std::string>& arguments : commandLines) {
        SCOPED_TRACE(testing::PrintToString(arguments).substr(0, 80));
        testsupport::RunDir dir;
        uint8_t* record = dir.mapRecord();
        channel::storeStatus(record, kStale);
        std::vector<std::string> argv{binary("cubeview5")};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        Process viewer(argv, x.optionsIn(dir.root()));

        ASSERT_TRUE(answered(record, viewer)) << viewer.err();
        channel::storeStatus(record, channel::kStatusReleaseNoKeep);
        ASSERT_TRUE(answered(record, viewer)) << viewer.err();

        // Made before the receiver started, shown once the main loop runs.
        const std::string windows = x.xdotool({"search", "--sync", "--onlyvisible", "--name", kTitle});
        ASSERT_EQ(testsupport::splitLines(windows).size(), 1u) << windows;
        const std::string window = testsupport::splitLines(windows)[0];
        x.xdotool({"windowfocus", "--sync", window});
        x.xdotool({"key", "q"});
        const testsupport::Exit exit = viewer.wait(kDeadline);
        EXPECT_EQ(exit.signal, 0);
        EXPECT_EQ(exit.code, 0);
        EXPECT_EQ(viewer.out(), "");
    }
}

// The two options that glutInit reads, made unusable: freeglut ends the
// program with its own message, before the channel is opened.
TEST(ViewerFaults, UnusableGlutOptionsEndTheViewerBeforeTheChannelIsTouched)
{
    xsession::XServer x;
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const Case cases[] = {
        {{"-display"}, "-display parameter must be followed by display name\n"},
        {{"-display", faults::kLongArgument}, "failed to open display '" + faults::kLongArgument + "'\n"},
        {{"-geometry"}, "-geometry parameter must be followed by window geometry settings\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.arguments).substr(0, 80));
        testsupport::RunDir dir;
        channel::storeStatus(dir.mapRecord(), kStale);
        const std::vector<uint8_t> before = dir.recordBytes();
        std::vector<std::string> argv{binary("cubeview12")};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        Process viewer(argv, x.optionsIn(dir.root()));
        const testsupport::Exit exit = viewer.wait(kDeadline);
        EXPECT_EQ(exit.signal, 0);
        EXPECT_EQ(exit.code, 1);
        EXPECT_EQ(viewer.err(), "freeglut (" + argv[0] + "): " + c.message);
        EXPECT_EQ(viewer.out(), "");
        EXPECT_EQ(dir.recordBytes(), before);
    }
}

// The channel file cut short under a running viewer: it ends with a message
// instead of a bare bus error.
TEST(ViewerFaults, TruncatedChannelFileEndsTheViewerWithAMessage)
{
    xsession::XServer x;
    testsupport::RunDir dir;
    uint8_t* record = dir.mapRecord();
    channel::storeStatus(record, kStale);
    Process viewer({binary("cubeview5")}, x.optionsIn(dir.root()));
    ASSERT_TRUE(answered(record, viewer)) << viewer.err();
    ASSERT_EQ(::truncate(dir.recordPath().c_str(), 0), 0);
    const testsupport::Exit exit = viewer.wait(kDeadline);
    EXPECT_EQ(exit.signal, 0);
    EXPECT_EQ(exit.code, 1);
    EXPECT_TRUE(viewer.err().ends_with("shared_buffer.txt was truncated while in use; the frame record is gone. Exiting\n"))
        << viewer.err();
}

}  // namespace
