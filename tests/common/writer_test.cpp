// The toolkit's writers of the channel (cubefx, cubelisten, cubereplay) as
// real processes with nothing serving the channel: they say so, greet a
// receiver that comes later, stop on a signal however long the channel has
// gone unanswered, and, run where there is no channel, say where they looked.

#include "lbox/channel.h"
#include "testkit/support.h"
#include "tests/record/recording_file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <ostream>

namespace {

using namespace std::chrono_literals;
using testsupport::binary;
using testsupport::Process;
using testsupport::RunDir;

const std::string kClosingLine = "Exiting_ core1Run:0\n";
// Deadlines for what takes a second or two; a slow machine only waits longer.
constexpr auto kDeadline = 30s;

std::string canonical(const std::string& path)
{
    return std::filesystem::weakly_canonical(path).string();
}

// What the writer says once a code has waited 2 s in a channel nobody serves.
std::string unansweredNotice(const RunDir& files, const std::string& name, const std::string& receivers,
                             const std::string& underCubeplay)
{
    return name + ": nothing serves the channel " + canonical(files.recordPath()) + ": no answer for 2 s; start a " +
           "receiver in " + canonical(files.root()) + " (" + receivers + "), or run this under cubeplay: " +
           underCubeplay + "\n";
}

struct Writer {
    std::string name;
    int signal;
};

void PrintTo(const Writer& writer, std::ostream* out)
{
    *out << writer.name << " stopped by signal " << writer.signal;
}

class WriterWithNothingServing : public testing::TestWithParam<Writer> {};

// Each writer is started so that it has a code waiting in the record: cubefx
// shows its first frame, cubereplay plays its first item, and cubelisten,
// which has no frame to show, gets one once it is stopped: its dark cube.
TEST_P(WriterWithNothingServing, EndsOnTheSignalLeavingTheRecordIdleAndItsClosingLine)
{
    RunDir files;
    std::vector<std::string> argv{binary(GetParam().name), "--edge", "5"};
    if (GetParam().name == "cubefx") {
        argv.insert(argv.end(), {"--duration", "2", "rain"});
    } else if (GetParam().name == "cubelisten") {
        argv.push_back("ddp://127.0.0.1:0");
    } else {
        const std::string show = files.root() + "/show.rec";
        testsupport::RecordingFile(show, 5).add(0, channel::kStatusReleaseNoKeep).add(10, channel::kStatusClear);
        argv = {binary("cubereplay"), show};
    }
    Process writer(argv, Process::Options::in(files.runDir()));
    if (GetParam().name != "cubelisten")
        ASSERT_TRUE(writer.waitForError("nothing serves the channel")) << writer.err();
    else
        ASSERT_TRUE(writer.waitForError("ddp")) << writer.err();

    writer.signal(GetParam().signal);
    const testsupport::Exit exit = writer.wait(kDeadline);
    EXPECT_FALSE(exit.timedOut);
    EXPECT_EQ(exit.code, 0) << writer.err();
    EXPECT_EQ(files.recordBytes()[0], channel::kStatusIdle);
    if (GetParam().name != "cubereplay") {
        EXPECT_EQ(writer.out(), kClosingLine);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryWriter, WriterWithNothingServing,
                         testing::Values(Writer{"cubefx", SIGTERM}, Writer{"cubefx", SIGINT},
                                         Writer{"cubelisten", SIGTERM}, Writer{"cubereplay", SIGINT}),
                         [](const testing::TestParamInfo<Writer>& info) {
                             return info.param.name + (info.param.signal == SIGINT ? "_Interrupted" : "_Terminated");
                         });

TEST(WriterWithNothingServing, SaysSoOnceThenGreetsAReceiverThatComesAndPlaysOn)
{
    RunDir files;
    Process cubefx({binary("cubefx"), "--duration", "1", "rain"}, Process::Options::in(files.runDir()));
    const std::string notice =
        unansweredNotice(files, "cubefx", "cubeview12 or cubetrace", "cubeplay cubefx --duration 1 rain");
    ASSERT_TRUE(cubefx.waitForError(notice)) << cubefx.err();

    Process receiver({binary("cubetrace")}, Process::Options::in(files.root()));
    ASSERT_TRUE(cubefx.waitForError("cubefx: a receiver serves the channel now\n")) << cubefx.err();
    const testsupport::Exit exit = cubefx.wait(kDeadline);
    EXPECT_EQ(exit.code, 0) << cubefx.err();
    EXPECT_EQ(cubefx.out(), kClosingLine);
    // Said once each, in that order, and nothing else about the channel.
    EXPECT_EQ(cubefx.err().find(notice), cubefx.err().rfind(notice));
    EXPECT_LT(cubefx.err().find(notice), cubefx.err().find("a receiver serves"));
    receiver.signal(SIGTERM);
    EXPECT_EQ(receiver.wait(kDeadline).code, 0);
}

TEST(WriterWithNothingServing, TheNoticeNamesTheEdgesReceiversAndTheCommandLineUnderCubeplay)
{
    RunDir files;
    Process cubefx({binary("cubefx"), "--edge", "5", "--text", "HI THERE", "text"},
                   Process::Options::in(files.runDir()));
    EXPECT_TRUE(cubefx.waitForError(unansweredNotice(files, "cubefx", "cubeview5 or cubetrace5",
                                                     "cubeplay --edge 5 cubefx --edge 5 --text 'HI THERE' text")))
        << cubefx.err();
    cubefx.signal(SIGTERM);
    EXPECT_EQ(cubefx.wait(kDeadline).code, 0);
}

TEST(WriterOutsideARunDirectory, SaysWhereItLookedAndHowToRunItBeforeTheLibraryStarts)
{
    RunDir files;
    const std::string deeper = files.runDir() + "/deeper";
    std::filesystem::create_directory(deeper);
    for (const std::string name : {"cubefx", "cubelisten"}) {
        std::vector<std::string> argv{binary(name), name == "cubefx" ? "rain" : "ddp://127.0.0.1:0"};
        Process writer(argv, Process::Options::in(deeper));
        const testsupport::Exit exit = writer.wait(kDeadline);
        EXPECT_EQ(exit.code, 1);
        EXPECT_EQ(writer.out(), "");
        EXPECT_EQ(writer.err(), name + ": no usable frame channel at " + files.runDir() +
                                    "/shared_buffer.txt (cannot open ../shared_buffer.txt: No such file or "
                                    "directory); an animation runs one directory below a receiver, as cubeplay "
                                    "lays them out: cubeplay " + name + " " + argv[1] + "\n");
    }
}

}  // namespace
