// The recordings folder as cubeweb keeps it: plain names only, the list with
// what each recording holds, the sound files beside them, deleting,
// recording what plays so that it begins exactly on the frame on show, and
// the downloads that cuberender and cubeexport make in the background, as
// real processes.

#include "common/progress.h"
#include "lbox/channel.h"
#include "lbox/lFrame.h"
#include "record/recording.h"
#include "testkit/sounds.h"
#include "testkit/support.h"
#include "tests/record/recording_file.h"
#include "viewer/unlit.h"
#include "web/api.h"
#include "web/recordings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::Process;
using testsupport::RecordingFile;
using testsupport::RunDir;
using web::Recordings;
using web::Refusal;

constexpr int kEdge = 5;
constexpr int kLeds = kEdge * kEdge * kEdge;
constexpr storeColor kRed{1.0f, 0.0f, 0.0f};
constexpr storeColor kGreen{0.0f, 1.0f, 0.0f};
constexpr storeColor kBlue{0.0f, 0.0f, 1.0f};
constexpr uint8_t kBusy = 0;  // a status no side ever stores
constexpr auto kDeadline = 120s;

// The receiver as the viewer runs it, built apart from it: two tables, the
// new frame built on top of the frame before last.
class Receiver {
public:
    Receiver() : shownTable_(kLeds, kUnlit), buildingTable_(kLeds, kUnlit) {}

    static int index(int x, int y, int z) { return (x * kEdge + y) * kEdge + z; }

    void apply(uint8_t code, const uint8_t* record)
    {
        if (code == channel::kStatusClear) {
            std::fill(buildingTable_.begin(), buildingTable_.end(), kUnlit);
        } else if (recording::isRelease(code)) {
            if (code == channel::kStatusReleaseKeep)
                for (int i = 0; i < kLeds; ++i)
                    if (isLit(shownTable_[static_cast<std::size_t>(i)]))
                        buildingTable_[static_cast<std::size_t>(i)] = shownTable_[static_cast<std::size_t>(i)];
            std::swap(shownTable_, buildingTable_);
            ++releases_;
        } else {
            for (std::size_t slot = 0; slot < (code & channel::kEntryCountMask); ++slot) {
                const queueEntry led = channel::unpackEntry(record, slot);
                buildingTable_[static_cast<std::size_t>(index(led.x, led.y, led.z))] = led.color;
            }
        }
    }

    const storeColor* shown() const { return shownTable_.data(); }
    const storeColor* building() const { return buildingTable_.data(); }
    const std::vector<storeColor>& shownTable() const { return shownTable_; }
    int releases() const { return releases_; }

private:
    std::vector<storeColor> shownTable_;
    std::vector<storeColor> buildingTable_;
    int releases_ = 0;
};

// A code as it lies in the record.
struct Code {
    uint8_t code = channel::kStatusClear;
    std::vector<queueEntry> leds;

    std::array<uint8_t, channel::kRecordSize> record() const
    {
        std::array<uint8_t, channel::kRecordSize> bytes{};
        for (std::size_t k = 0; k < leds.size(); ++k)
            channel::packEntry(bytes.data(), k, leds[k]);
        return bytes;
    }
};

Code batch(std::vector<queueEntry> leds)
{
    const auto code = static_cast<uint8_t>(channel::kStatusBatchBase + leds.size());
    return {code, std::move(leds)};
}

bool sameColour(const storeColor& a, const storeColor& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// The frames that a recording shows, played from its start through the
// model receiver: the frame on show after each release.
std::vector<std::vector<storeColor>> framesOf(const recording::Recording& show)
{
    Receiver receiver;
    std::vector<std::vector<storeColor>> frames;
    for (const recording::Item& item : show.items) {
        Code code{item.code, {item.entries.begin(), item.entries.begin() + item.entryCount}};
        receiver.apply(item.code, code.record().data());
        if (recording::isRelease(item.code))
            frames.push_back(receiver.shownTable());
    }
    return frames;
}

std::string bytesOf(const fs::path& path)
{
    return testsupport::readFile(path.string());
}

class RecordingsTest : public ::testing::Test {
protected:
    fs::path folder() const { return fs::path(dir.root()) / "recordings"; }

    Recordings::Setup setup() const
    {
        return {.folder = folder(), .edge = kEdge, .programs = fs::path(testsupport::binary("cuberender")).parent_path()};
    }

    // The refusal that `call` throws: its status and message.
    template <typename Call>
    static Refusal refusalOf(Call call)
    {
        try {
            call();
        } catch (const Refusal& refusal) {
            return refusal;
        }
        return {0, "no refusal"};
    }

    template <typename Call>
    static void expectRefusal(Call call, int status, const std::string& message)
    {
        const Refusal refusal = refusalOf(call);
        EXPECT_EQ(refusal.status, status) << refusal.message;
        EXPECT_EQ(refusal.message, message);
    }

    // Drives the recorder with `codes` as a receiver would, before acting on
    // each one.
    void play(Recordings& recordings, Receiver& receiver, const std::vector<Code>& codes)
    {
        for (const Code& code : codes) {
            const auto record = code.record();
            recordings.code(code.code, record.data(), receiver.shown(), receiver.building());
            receiver.apply(code.code, record.data());
        }
    }

    recording::Recording loaded(const std::string& name)
    {
        recording::Recording show;
        std::string error;
        EXPECT_TRUE(recording::load((folder() / (name + ".rec")).string(), show, error)) << error;
        return show;
    }

    // Asks for the download until it is made; every answer on the way is a
    // 202 with a progress from 0 to 1.
    web::Response madeDownload(Recordings& recordings, const std::string& name, const std::string& format)
    {
        const auto end = std::chrono::steady_clock::now() + kDeadline;
        for (;;) {
            recordings.tick();
            web::Response response = recordings.download(name, format);
            if (response.status != 202 || std::chrono::steady_clock::now() > end)
                return response;
            const double progress = nlohmann::json::parse(response.body).at("progress").get<double>();
            EXPECT_TRUE(progress >= 0.0 && progress <= 1.0) << response.body;
            std::this_thread::sleep_for(20ms);
        }
    }

    RunDir dir;
};

// A show of three releases over 1.5 s, 39 bytes: its frames, seconds and
// size are known.
void writeKnownShow(const fs::path& path)
{
    RecordingFile(path.string(), kEdge)
        .add(0, channel::kStatusClear)
        .add(1, 253, {{1, 2, 3, kRed}})
        .add(2, channel::kStatusReleaseNoKeep)
        .add(1500, channel::kStatusReleaseKeep);
}

TEST_F(RecordingsTest, NamesThatAreNotPlainAreRefusedWithWhy)
{
    Recordings recordings(setup());
    const struct {
        std::string name;
        std::string message;
    } cases[] = {
        {"", "a recording needs a name"},
        {std::string(65, 'a'), "a recording's name takes at most 64 bytes"},
        {"a/b", "a recording's name cannot hold '/' or '\\'"},
        {"a\\b", "a recording's name cannot hold '/' or '\\'"},
        {"a..b", "a recording's name cannot hold \"..\""},
        {"..", "a recording's name cannot hold \"..\""},
        {".hidden", "a recording's name cannot begin with '.'"},
        {"tab\there", "a recording's name cannot hold control characters"},
        {std::string("nul\0", 4), "a recording's name cannot hold control characters"},
        {"del\x7f", "a recording's name cannot hold control characters"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        expectRefusal([&] { recordings.existing(c.name); }, 400, c.message);
        expectRefusal([&] { recordings.remove(c.name); }, 400, c.message);
        expectRefusal([&] { recordings.startRecording(c.name); }, 400, c.message);
        expectRefusal([&] { recordings.download(c.name, "gif"); }, 400, c.message);
    }
    // 64 bytes is a name still.
    expectRefusal([&] { recordings.existing(std::string(64, 'a')); }, 404, "no recording \"" + std::string(64, 'a') + "\"");
    EXPECT_EQ(refusalOf([&] { recordings.remove("gone"); }).status, 404);
    EXPECT_EQ(refusalOf([&] { recordings.download("gone", "rec"); }).status, 404);
    EXPECT_EQ(refusalOf([&] { recordings.download("gone", "gif"); }).status, 404);
}

TEST_F(RecordingsTest, TheFolderIsMadeWithItsParents)
{
    Recordings recordings({.folder = folder() / "deep" / "er", .edge = kEdge, .programs = {}});
    EXPECT_TRUE(fs::is_directory(folder() / "deep" / "er"));
    EXPECT_EQ(recordings.list(), nlohmann::json::parse(R"({"recordings": []})"));
}

TEST_F(RecordingsTest, ListTellsFramesSecondsAndBytesSortedByName)
{
    Recordings recordings(setup());
    writeKnownShow(folder() / "b.rec");
    RecordingFile((folder() / "a.rec").string(), kEdge);  // the header alone
    std::ofstream(folder() / "c.rec") << "not a recording";
    std::ofstream(folder() / "notes.txt") << "left alone";
    std::ofstream(folder() / "half.rec.part") << "being made";
    writeKnownShow(folder() / ".hidden.rec");

    const nlohmann::json list = recordings.list().at("recordings");
    ASSERT_EQ(list.size(), 3u) << list.dump();
    EXPECT_EQ(list[0], nlohmann::json::parse(R"({"name": "a", "frames": 0, "seconds": 0.0, "bytes": 12})"));
    EXPECT_EQ(list[1], nlohmann::json::parse(R"({"name": "b", "frames": 2, "seconds": 1.5, "bytes": 39})"));
    EXPECT_EQ(list[2].at("name"), "c");
    EXPECT_EQ(list[2].at("bytes"), 15);
    EXPECT_FALSE(list[2].contains("frames"));
    EXPECT_EQ(list[2].at("error").get<std::string>().rfind("c.rec: ", 0), 0u)
        << "named by the file's own name, not its path: " << list[2].dump();
}

TEST_F(RecordingsTest, ListSeesARecordingThatChanged)
{
    Recordings recordings(setup());
    writeKnownShow(folder() / "show.rec");
    EXPECT_EQ(recordings.list().at("recordings").at(0).at("frames"), 2);
    RecordingFile((folder() / "show.rec").string(), kEdge).add(0, channel::kStatusReleaseKeep);
    EXPECT_EQ(recordings.list().at("recordings").at(0),
              nlohmann::json::parse(R"({"name": "show", "frames": 1, "seconds": 0.0, "bytes": 14})"));
    fs::remove(folder() / "show.rec");
    EXPECT_EQ(recordings.list().at("recordings").size(), 0u);
}

TEST_F(RecordingsTest, RemoveDeletesTheRecordingOnce)
{
    Recordings recordings(setup());
    writeKnownShow(folder() / "show.rec");
    EXPECT_EQ(recordings.existing("show"), fs::canonical(folder()) / "show.rec");
    recordings.remove("show");
    EXPECT_FALSE(fs::exists(folder() / "show.rec"));
    expectRefusal([&] { recordings.remove("show"); }, 404, "no recording \"show\"");
}

TEST_F(RecordingsTest, LinksOutOfTheFolderAreMissing)
{
    Recordings recordings(setup());
    writeKnownShow(fs::path(dir.root()) / "outside.rec");
    fs::create_symlink(fs::path(dir.root()) / "outside.rec", folder() / "out.rec");
    writeKnownShow(folder() / "inside.rec");
    fs::create_symlink(folder() / "inside.rec", folder() / "alias.rec");

    for (const Refusal& refusal :
         {refusalOf([&] { recordings.existing("out"); }), refusalOf([&] { recordings.download("out", "rec"); }),
          refusalOf([&] { recordings.download("out", "bin"); }), refusalOf([&] { recordings.remove("out"); })})
        EXPECT_EQ(refusal.status, 404) << refusal.message;
    EXPECT_TRUE(fs::exists(fs::path(dir.root()) / "outside.rec"));
    EXPECT_EQ(recordings.existing("alias"), fs::canonical(folder()) / "alias.rec") << "a link within is followed";
    const nlohmann::json list = recordings.list().at("recordings");
    ASSERT_EQ(list.size(), 2u) << list.dump();
    EXPECT_EQ(list[0].at("name"), "alias");
    EXPECT_EQ(list[1].at("name"), "inside");
}

// A WAV file of 80 silent 16-bit samples: its 44-byte header and 160 bytes.
constexpr int kSilentRate = 8000;
constexpr double kSilentSeconds = 0.01;
constexpr int kSilentWavBytes = 204;

void writeSilentWav(const fs::path& path)
{
    testsupport::writeWav(path.string(), testsupport::silence(kSilentSeconds, kSilentRate));
}

TEST_F(RecordingsTest, SoundsListsTheSoundFilesWithTheirBytesAndTheRecordingsStayApart)
{
    Recordings recordings(setup());
    writeSilentWav(folder() / "song.wav");
    writeKnownShow(folder() / "show.rec");

    EXPECT_EQ(recordings.sounds().dump(), R"({"sounds":[{"bytes":204,"name":"song.wav"}]})");
    EXPECT_EQ(recordings.list(), nlohmann::json::parse(
                                     R"({"recordings": [{"name": "show", "frames": 2, "seconds": 1.5, "bytes": 39}]})"));
}

TEST_F(RecordingsTest, SoundsAreFilesOfEveryKindByNameInAnyCaseAndNothingElse)
{
    Recordings recordings(setup());
    const std::vector<std::string> kinds = {"a.wav", "b.flac", "c.ogg", "d.oga", "e.mp3", "f.opus", "g.aiff",
                                            "h.aif", "i.au",  "j.WAV", "k.Flac"};
    for (const std::string& name : kinds)
        writeSilentWav(folder() / name);
    writeSilentWav(folder() / ".hidden.wav");
    writeSilentWav(folder() / "notes.txt");
    writeSilentWav(folder() / "wav");
    writeSilentWav(fs::path(dir.root()) / "outside.wav");
    fs::create_symlink(fs::path(dir.root()) / "outside.wav", folder() / "out.wav");
    fs::create_directory(folder() / "folder.flac");

    const nlohmann::json sounds = recordings.sounds().at("sounds");
    std::vector<std::string> names;
    for (const nlohmann::json& sound : sounds) {
        names.push_back(sound.at("name"));
        EXPECT_EQ(sound.at("bytes"), kSilentWavBytes) << sound.dump();
    }
    EXPECT_EQ(names, kinds);
    for (const std::string& name : kinds)
        EXPECT_EQ(recordings.sound(name), fs::canonical(folder()) / name);
}

TEST_F(RecordingsTest, SoundNamesThatAreNotPlainOrNotASoundsAreRefusedWithWhy)
{
    Recordings recordings(setup());
    writeSilentWav(fs::path(dir.root()) / "outside.wav");
    fs::create_symlink(fs::path(dir.root()) / "outside.wav", folder() / "out.wav");
    fs::create_directory(folder() / "folder.flac");
    writeKnownShow(folder() / "show.rec");
    const std::string kinds = "a sound's name ends in .wav, .flac, .ogg, .oga, .mp3, .opus, .aiff, .aif or .au";
    const struct {
        std::string name;
        int status;
        std::string message;
    } cases[] = {
        {"", 400, "a sound needs a name"},
        {std::string(252, 'a') + ".wav", 400, "a sound's name takes at most 255 bytes"},
        {"../outside.wav", 400, "a sound's name cannot hold '/' or '\\'"},
        {"a\\b.wav", 400, "a sound's name cannot hold '/' or '\\'"},
        {"a..b.wav", 400, "a sound's name cannot hold \"..\""},
        {".hidden.wav", 400, "a sound's name cannot begin with '.'"},
        {"tab\there.wav", 400, "a sound's name cannot hold control characters"},
        {"show.rec", 400, kinds},
        {"song", 400, kinds},
        {"capture", 400, kinds},
        {"gone.wav", 404, "no sound \"gone.wav\""},
        {std::string(251, 'a') + ".wav", 404, "no sound \"" + std::string(251, 'a') + ".wav\""},
        {"out.wav", 404, "no sound \"out.wav\""},
        {"folder.flac", 404, "no sound \"folder.flac\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        expectRefusal([&] { recordings.sound(c.name); }, c.status, c.message);
    }
}

TEST_F(RecordingsTest, RecordingStartsAndStopsOnceAndIsListedOnlyWhenDone)
{
    Recordings recordings(setup());
    EXPECT_EQ(recordings.state(), nlohmann::json::parse(R"({"recording": null, "exports": []})"));
    recordings.startRecording("show");
    EXPECT_EQ(recordings.state().at("recording"), "show");

    expectRefusal([&] { recordings.startRecording("other"); }, 409, "a recording runs already: \"show\"");
    expectRefusal([&] { recordings.remove("show"); }, 409, "\"show\" is being recorded: stop the recording first");

    Receiver receiver;
    play(recordings, receiver, {batch({{0, 0, 0, kRed}}), {channel::kStatusReleaseNoKeep, {}}});
    EXPECT_EQ(recordings.list().at("recordings").size(), 0u) << "a half-made recording is not listed";
    EXPECT_TRUE(fs::exists(folder() / "show.rec.part"));

    recordings.stopRecording();
    EXPECT_FALSE(fs::exists(folder() / "show.rec.part"));
    EXPECT_TRUE(recordings.state().at("recording").is_null());
    const nlohmann::json list = recordings.list().at("recordings");
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].at("name"), "show");
    EXPECT_EQ(list[0].at("frames"), 2) << "the frame on show at the start, then the one recorded";

    expectRefusal([&] { recordings.stopRecording(); }, 409, "no recording runs");
    expectRefusal([&] { recordings.startRecording("show"); }, 409, "show.rec is there already");
}

TEST_F(RecordingsTest, CodesBeforeTheStartAndAfterTheStopAreNotRecorded)
{
    Recordings recordings(setup());
    Receiver receiver;
    play(recordings, receiver, {batch({{4, 4, 4, kBlue}}), {channel::kStatusReleaseNoKeep, {}}});
    recordings.startRecording("show");
    recordings.stopRecording();
    play(recordings, receiver, {batch({{4, 4, 4, kBlue}}), {channel::kStatusReleaseNoKeep, {}}});
    EXPECT_EQ(loaded("show").items.size(), 0u) << "no code came while it ran";
}

TEST_F(RecordingsTest, ARecordingEndedByTheDestructorIsKept)
{
    {
        Recordings recordings(setup());
        recordings.startRecording("show");
        Receiver receiver;
        play(recordings, receiver, {batch({{0, 0, 0, kRed}}), {channel::kStatusReleaseNoKeep, {}}});
    }
    EXPECT_FALSE(fs::exists(folder() / "show.rec.part"));
    EXPECT_EQ(loaded("show").edge, kEdge);
    EXPECT_EQ(framesOf(loaded("show")).size(), 2u);
}

// Started mid-show and mid-frame, the recording played from its start shows
// the frame on show then, and after it every frame as the receiver showed
// it: the new frame built on top of the frame before last, and the LEDs lit
// carried over by a release with keep.
TEST_F(RecordingsTest, ARecordingBeginsExactlyOnTheFrameOnShow)
{
    Recordings recordings(setup());
    Receiver receiver;
    const storeColor dim{0.3f, 0.3f, 0.5f};  // not lit, not grey: never carried over
    play(recordings, receiver,
         {batch({{0, 0, 0, kGreen}, {1, 1, 1, dim}}), {channel::kStatusReleaseNoKeep, {}},  // frame A
          batch({{2, 2, 2, kRed}}), {channel::kStatusReleaseNoKeep, {}},                    // frame B
          batch({{3, 3, 3, kBlue}})});                                                       // half of C
    ASSERT_EQ(receiver.releases(), 2);
    const std::vector<storeColor> onShow = receiver.shownTable();

    recordings.startRecording("late");
    play(recordings, receiver,
         {batch({{4, 4, 4, kRed}}), {channel::kStatusReleaseNoKeep, {}},  // C, on A's table
          {channel::kStatusReleaseKeep, {}},                              // B's table, C's lit LEDs carried
          {channel::kStatusClear, {}}, {channel::kStatusReleaseNoKeep, {}}});
    recordings.stopRecording();

    const std::vector<std::vector<storeColor>> frames = framesOf(loaded("late"));
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_TRUE(std::equal(frames[0].begin(), frames[0].end(), onShow.begin(), sameColour)) << "B, on show at the start";
    const auto at = [&](std::size_t frame, int x, int y, int z) {
        return frames[frame][static_cast<std::size_t>(Receiver::index(x, y, z))];
    };
    EXPECT_TRUE(sameColour(at(0, 2, 2, 2), kRed));
    EXPECT_TRUE(sameColour(at(0, 0, 0, 0), kUnlit));
    // C holds what A's table held, the half sent before the start and the rest.
    EXPECT_TRUE(sameColour(at(1, 0, 0, 0), kGreen));
    EXPECT_TRUE(sameColour(at(1, 1, 1, 1), dim));
    EXPECT_TRUE(sameColour(at(1, 3, 3, 3), kBlue));
    EXPECT_TRUE(sameColour(at(1, 4, 4, 4), kRed));
    EXPECT_TRUE(sameColour(at(1, 2, 2, 2), kUnlit));
    // On B's table, C's lit LEDs carried over; the dim one is not.
    EXPECT_TRUE(sameColour(at(2, 2, 2, 2), kRed));
    EXPECT_TRUE(sameColour(at(2, 0, 0, 0), kGreen));
    EXPECT_TRUE(sameColour(at(2, 3, 3, 3), kBlue));
    EXPECT_TRUE(sameColour(at(2, 1, 1, 1), kUnlit));
    // The cleared table released: all grey.
    EXPECT_TRUE(std::all_of(frames[3].begin(), frames[3].end(), [](const storeColor& c) { return sameColour(c, kUnlit); }));
    EXPECT_TRUE(std::equal(frames[3].begin(), frames[3].end(), receiver.shownTable().begin(), sameColour));
}

// The receiver thread writes while the loop thread starts and stops: every
// recording made so comes out whole, and begins on a frame of its own.
TEST_F(RecordingsTest, RecordingsStartedAndStoppedWhileCodesComeAreWhole)
{
    constexpr int kRecordings = 20;
    Recordings recordings(setup());
    std::atomic<bool> done{false};  // set by the test's thread, read by the receiver's; the flag alone passes
    std::thread receiverThread([&] {
        Receiver receiver;
        for (uint8_t step = 0; !done.load(std::memory_order_relaxed); ++step)
            play(recordings, receiver,
                 {batch({{static_cast<uint8_t>(step % kEdge), 0, 0, kRed}}), {channel::kStatusReleaseNoKeep, {}}});
    });
    for (int k = 0; k < kRecordings; ++k) {
        const std::string name = "take" + std::to_string(k);
        recordings.startRecording(name);
        std::this_thread::sleep_for(1ms);
        recordings.stopRecording();
    }
    done.store(true, std::memory_order_relaxed);
    receiverThread.join();
    for (int k = 0; k < kRecordings; ++k) {
        const recording::Recording show = loaded("take" + std::to_string(k));
        if (!show.items.empty()) {
            EXPECT_EQ(show.items[0].code, channel::kStatusClear) << "take " << k << " begins with the frame on show";
        }
    }
}

// The release lines of a cubetrace output without their numbers and times:
// "<lit> <hash>" each.
std::vector<std::string> tracedFrames(const std::string& out)
{
    std::vector<std::string> frames;
    for (const std::string& line : testsupport::splitLines(out)) {
        std::istringstream in(line);
        std::string number, ms, lit, hash;
        if (line.rfind("  ", 0) != 0 && in >> number >> ms >> lit >> hash)
            frames.push_back(lit + " " + hash);
    }
    return frames;
}

class TraceTest : public RecordingsTest {
protected:
    // A cubetrace for the test's edge, serving the run directory's record.
    std::unique_ptr<Process> trace(std::vector<std::string> args)
    {
        args.insert(args.begin(), testsupport::binary("cubetrace5"));
        channel::storeStatus(record, kBusy);
        auto process = std::make_unique<Process>(args, Process::Options::in(dir.root()));
        const auto end = std::chrono::steady_clock::now() + kDeadline;
        while (channel::loadStatus(record) != channel::kStatusIdle && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(2ms);
        return process;
    }

    uint8_t* record = dir.mapRecord();
};

// An effect traced live and recorded whole by cubetrace; a recording of it
// begun mid-frame and played back through a second cubetrace shows the very
// frames, bit for bit, that the first saw from that moment on.
TEST_F(TraceTest, ARecordingBegunMidShowReplaysAsTheShowWasTraced)
{
    constexpr int kReleases = 20;
    constexpr int kStartAfter = 6;  // releases before the recording begins
    const std::string full = dir.root() + "/full.rec";
    auto live = trace({"--record", full, "--count", std::to_string(kReleases)});
    Process effect({testsupport::binary("cubefx"), "--edge", "5", "--unpaced", "--duration", "30", "rain"},
                   Process::Options::in(dir.runDir()));
    ASSERT_EQ(live->wait(kDeadline).code, 0) << live->err();
    // It waits on the last release, which nobody answers: it must not write
    // into the replay.
    effect.signal(SIGKILL);
    effect.wait(kDeadline);
    const std::vector<std::string> traced = tracedFrames(live->out());
    ASSERT_EQ(traced.size(), static_cast<std::size_t>(kReleases));

    recording::Recording show;
    std::string error;
    ASSERT_TRUE(recording::load(full, show, error)) << error;
    Recordings recordings(setup());
    Receiver receiver;
    bool started = false;
    for (const recording::Item& item : show.items) {
        // Two codes into the frame after the sixth release.
        if (!started && receiver.releases() == kStartAfter && !recording::isRelease(item.code)) {
            recordings.startRecording("part");
            started = true;
        }
        const Code code{item.code, {item.entries.begin(), item.entries.begin() + item.entryCount}};
        play(recordings, receiver, {code});
    }
    ASSERT_TRUE(started);
    recordings.stopRecording();

    auto again = trace({"--count", std::to_string(kReleases - kStartAfter + 1)});
    Process replay({testsupport::binary("cubereplay"), (folder() / "part.rec").string()},
                   Process::Options::in(dir.runDir()));
    ASSERT_EQ(again->wait(kDeadline).code, 0) << again->err();
    const std::vector<std::string> expected(traced.begin() + kStartAfter - 1, traced.end());
    EXPECT_EQ(tracedFrames(again->out()), expected);
}

TEST_F(RecordingsTest, DownloadingTheRecordingSendsItsFile)
{
    Recordings recordings(setup());
    writeKnownShow(folder() / "show.rec");
    const web::Response response = recordings.download("show", "rec");
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.file, fs::canonical(folder()) / "show.rec");
    EXPECT_EQ(response.contentType, "application/octet-stream");
    EXPECT_EQ(response.downloadName, "show.rec");
    expectRefusal([&] { recordings.download("show", "mp4"); }, 404,
                  "no recording is made into .mp4: take .rec, .gif, .fseq, .bin or .h");
}

// The bytes a made file begins with, and what it is sent as.
struct Made {
    std::string format;
    std::string magic;
    std::string contentType;
};

TEST_F(RecordingsTest, ExportsAreMadeInTheBackgroundThenSent)
{
    Recordings recordings(setup());
    writeKnownShow(folder() / "show.rec");
    for (const Made& made : {Made{"fseq", "PSEQ", "application/octet-stream"},
                             Made{"h", "/* ", "text/plain; charset=utf-8"}, Made{"bin", "", "application/octet-stream"}}) {
        const web::Response first = recordings.download("show", made.format);
        EXPECT_EQ(first.status, 202) << made.format;
        EXPECT_EQ(first.body, R"({"progress":0.0})");
        const nlohmann::json exports = recordings.state().at("exports");
        ASSERT_EQ(exports.size(), 1u);
        EXPECT_EQ(exports[0].at("name"), "show");
        EXPECT_EQ(exports[0].at("format"), made.format);

        const web::Response done = madeDownload(recordings, "show", made.format);
        ASSERT_EQ(done.status, 200) << made.format << " " << done.body;
        EXPECT_EQ(done.contentType, made.contentType);
        EXPECT_EQ(done.downloadName, "show." + made.format);
        EXPECT_TRUE(bytesOf(done.file).starts_with(made.magic)) << made.format;
        EXPECT_EQ(recordings.state().at("exports").size(), 0u);
    }
    // 1.5 s and the last frame's second, a frame every 25 ms, 125 LEDs of 3 bytes.
    EXPECT_EQ(fs::file_size(recordings.download("show", "bin").file), 100u * kLeds * 3);
    EXPECT_NE(bytesOf(recordings.download("show", "h").file).find("cube_frames"), std::string::npos);
}

TEST_F(RecordingsTest, AGifIsMadeOnceWhileTheRecordingStaysTheSame)
{
    Recordings recordings(setup());
    writeKnownShow(folder() / "show.rec");
    EXPECT_EQ(recordings.download("show", "gif").status, 202);
    const web::Response gif = madeDownload(recordings, "show", "gif");
    ASSERT_EQ(gif.status, 200) << gif.body;
    EXPECT_EQ(gif.contentType, "image/gif");
    EXPECT_EQ(gif.downloadName, "show.gif");
    EXPECT_TRUE(bytesOf(gif.file).starts_with("GIF89a"));
    EXPECT_EQ(gif.file.parent_path(), fs::canonical(folder()) / ".exports");

    EXPECT_EQ(recordings.download("show", "gif").status, 200) << "made already";
    fs::last_write_time(folder() / "show.rec", fs::last_write_time(folder() / "show.rec") + 1s);
    EXPECT_EQ(recordings.download("show", "gif").status, 202) << "the recording changed";
    ASSERT_EQ(madeDownload(recordings, "show", "gif").status, 200);

    recordings.remove("show");
    EXPECT_FALSE(fs::exists(gif.file)) << "the exports go with the recording";
}

// Tools that never finish, in place of cuberender and cubeexport, hold
// their exports in the making for as long as the test needs; each writes
// its process id to `pids`.
fs::path endlessTools(const fs::path& root, const fs::path& pids)
{
    const fs::path programs = root / "programs";
    fs::create_directories(programs);
    for (const char* tool : {"cuberender5", "cubeexport5"}) {
        std::ofstream(programs / tool) << "#!/bin/sh\necho $$ >> '" << pids.string() << "'\nexec sleep 600\n";
        fs::permissions(programs / tool, fs::perms::owner_all);
    }
    return programs;
}

TEST_F(RecordingsTest, NoMoreThanTwoExportsAreMadeAtOnce)
{
    const fs::path pids = fs::path(dir.root()) / "pids";
    Recordings recordings({.folder = folder(), .edge = kEdge, .programs = endlessTools(dir.root(), pids)});
    writeKnownShow(folder() / "show.rec");
    EXPECT_EQ(recordings.download("show", "gif").status, 202);
    EXPECT_EQ(recordings.download("show", "fseq").status, 202);
    expectRefusal([&] { recordings.download("show", "bin"); }, 409,
                  "2 exports are being made: ask again once one is done");
    const web::Response again = recordings.download("show", "gif");
    EXPECT_EQ(again.status, 202) << "one being made is told as it goes";
    EXPECT_EQ(again.body, R"({"progress":0.0})");
    EXPECT_EQ(recordings.state().at("exports").size(), 2u);
}

TEST_F(RecordingsTest, TheDestructorStopsTheExportsAndClearsWhatTheyLeft)
{
    const fs::path pids = fs::path(dir.root()) / "pids";
    {
        Recordings recordings({.folder = folder(), .edge = kEdge, .programs = endlessTools(dir.root(), pids)});
        writeKnownShow(folder() / "show.rec");
        recordings.download("show", "gif");
        recordings.download("show", "h");
        const auto end = std::chrono::steady_clock::now() + kDeadline;
        while (testsupport::splitLines(testsupport::readFile(pids.string())).size() < 2 &&
               std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(5ms);
    }
    const std::vector<std::string> started = testsupport::splitLines(testsupport::readFile(pids.string()));
    ASSERT_EQ(started.size(), 2u);
    for (const std::string& pid : started)
        EXPECT_NE(::kill(std::stoi(pid), 0), 0) << "process " << pid << " has ended and been reaped";
    EXPECT_EQ(testsupport::filesIn((folder() / ".exports" / ".making").string()), std::vector<std::string>{});
}

TEST_F(RecordingsTest, AToolThatCannotStartIsSaid)
{
    const fs::path programs = fs::path(dir.root()) / "nothing";
    Recordings recordings({.folder = folder(), .edge = kEdge, .programs = programs});
    writeKnownShow(folder() / "show.rec");
    expectRefusal([&] { recordings.download("show", "h"); }, 500,
                  "cannot start " + (programs / "cubeexport5").string() + ": No such file or directory");
    EXPECT_EQ(recordings.state().at("exports").size(), 0u);
}

TEST_F(RecordingsTest, AFailedExportSaysWhatTheToolSaid)
{
    Recordings recordings(setup());
    std::ofstream(folder() / "broken.rec") << "not a recording";
    EXPECT_EQ(recordings.download("broken", "bin").status, 202);
    const Refusal failed = refusalOf([&] { madeDownload(recordings, "broken", "bin"); });
    EXPECT_EQ(failed.status, 500);
    EXPECT_TRUE(failed.message.starts_with("cubeexport5: ")) << failed.message;
    EXPECT_NE(failed.message.find("broken.rec"), std::string::npos) << failed.message;
    EXPECT_EQ(recordings.download("broken", "bin").status, 202) << "told once, then tried again";
}

TEST_F(RecordingsTest, TickTellsWhenAnExportMoves)
{
    Recordings recordings(setup());
    writeKnownShow(folder() / "show.rec");
    EXPECT_FALSE(recordings.tick());
    recordings.download("show", "h");
    EXPECT_TRUE(recordings.tick()) << "an export began";
    const auto end = std::chrono::steady_clock::now() + kDeadline;
    while (!recordings.state().at("exports").empty() && std::chrono::steady_clock::now() < end)
        recordings.tick();
    EXPECT_TRUE(recordings.state().at("exports").empty());
    EXPECT_FALSE(recordings.tick()) << "nothing moved since";
}

TEST(ProgressLines, AToolWritesDoneAndTotalToTheDescriptorItIsGiven)
{
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    {
        cli::Progress progress("tool", "frames", 10, pipe[1]);
        progress.update(10);
    }
    ::close(pipe[1]);
    char text[64] = {};
    ASSERT_GT(::read(pipe[0], text, sizeof text - 1), 0);
    ::close(pipe[0]);
    EXPECT_STREQ(text, "10 10\n");
}

// The tools as cubeweb runs them, their progress going to standard output
// here: cuberender counts the pictures (the show's two releases draw one),
// cubeexport the releases played.
TEST_F(RecordingsTest, ToolsWriteTheirProgressToTheDescriptorNamed)
{
    const std::string show = dir.root() + "/show.rec";
    writeKnownShow(show);
    const struct {
        std::string tool;
        std::string output;
        std::string lines;
    } cases[] = {{"cuberender5", "show.gif", "1 1\n"}, {"cubeexport5", "show.bin", "1 2\n2 2\n"}};
    for (const auto& c : cases) {
        Process tool({testsupport::binary(c.tool), "--progress-fd", "1", show, dir.root() + "/" + c.output},
                     Process::Options::in(dir.root()));
        ASSERT_EQ(tool.wait(kDeadline).code, 0) << tool.err();
        EXPECT_EQ(tool.out(), c.lines) << c.tool;
    }
}

TEST(ProgressLines, AreReadAsTheFractionDone)
{
    EXPECT_EQ(cli::progressFraction("3 12"), 0.25);
    EXPECT_EQ(cli::progressFraction("0 0"), 1.0);
    EXPECT_EQ(cli::progressFraction("12 12"), 1.0);
    for (const char* bad : {"", "3", "3 ", " 3 12", "3  12", "13 12", "-1 12", "3 12x", "a b"})
        EXPECT_EQ(cli::progressFraction(bad), std::nullopt) << '"' << bad << '"';
}

}  // namespace
