// Either end of the channel killed outright (SIGKILL) in the middle of its
// work, and the other end, or a new process, carrying on.

#include "lbox/channel.h"
#include "tests/faults/faults.h"
#include "record/recording.h"
#include "tests/demos/trace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ostream>
#include <span>
#include <sstream>

namespace {

using namespace std::chrono_literals;
using namespace demotest;
using testsupport::binary;
using testsupport::Process;

constexpr int kSmallEdge = 5;
constexpr float kUnlit = 0.3f;
constexpr double kLitMargin = 0.0001;
constexpr auto kDeadline = 60s;
constexpr auto kFillDeadline = 180s;

// One thing a writer sends, a batch split into its writes: how writes are
// grouped into batches depends on timing, their order does not. `code` is a
// release or clear code, or kWrite for one LED write.
struct Event {
    static constexpr uint8_t kWrite = channel::kStatusBatchBase + 1;
    uint8_t code = 0;
    Led led;
    bool operator==(const Event& other) const
    {
        return code == other.code && led.x == other.led.x && led.y == other.led.y && led.z == other.led.z &&
               led.color == other.led.color;
    }
};

void PrintTo(const Event& event, std::ostream* out)
{
    *out << int(event.code);
    if (event.code == Event::kWrite)
        *out << " (" << event.led.x << " " << event.led.y << " " << event.led.z << ") " << event.led.color.r << " "
             << event.led.color.g << " " << event.led.color.b;
}

void appendCode(std::vector<Event>& events, uint8_t code, const queueEntry* entries)
{
    if (code <= channel::kStatusBatchBase) {
        events.push_back({code, {}});
        return;
    }
    for (int k = 0; k < code - channel::kStatusBatchBase; ++k) {
        const queueEntry& e = entries[k];
        events.push_back({Event::kWrite, {e.x, e.y, e.z, {e.color.r, e.color.g, e.color.b}}});
    }
}

std::vector<Event> eventsOfRecord(uint8_t* record)
{
    queueEntry entries[channel::kMaxEntries];
    for (std::size_t k = 0; k < channel::kMaxEntries; ++k)
        entries[k] = channel::unpackEntry(record, k);
    std::vector<Event> events;
    appendCode(events, channel::loadStatus(record), entries);
    return events;
}

recording::Recording readRecording(const std::string& path)
{
    const std::string text = testsupport::readFile(path);
    recording::Recording result;
    std::string error;
    EXPECT_TRUE(recording::parse({text.begin(), text.end()}, result, error)) << path << ": " << error;
    return result;
}

std::vector<Event> eventsOfRecording(const std::string& path)
{
    std::vector<Event> events;
    for (const recording::Item& item : readRecording(path).items)
        appendCode(events, item.code, item.entries.data());
    return events;
}

// What `cubefill` sends at edge 5, call by call.
std::vector<Event> fillEvents()
{
    const Color sweeps[] = {kGreen, kGreen, kRed, kGreen, kRed, kGreen, kRed, kGreen, kGreen, kGreen, kRed, kRed};
    std::vector<Event> events;
    const auto send = [&](uint8_t code) { events.push_back({code, {}}); };
    const auto blankStep = [&] {
        send(channel::kStatusClear);
        send(channel::kStatusReleaseNoKeep);
    };
    blankStep();
    blankStep();
    for (std::size_t sweep = 0; sweep < std::size(sweeps); ++sweep) {
        // A pause before every sweep but the first.
        if (sweep > 0) {
            send(channel::kStatusReleaseNoKeep);
            send(channel::kStatusClear);
            send(channel::kStatusReleaseNoKeep);
        }
        for (int z = 0; z < kSmallEdge; ++z) {
            for (int y = 0; y < kSmallEdge; ++y)
                for (int x = 0; x < kSmallEdge; ++x)
                    events.push_back({Event::kWrite, {x, y, z, sweeps[sweep]}});
            send(channel::kStatusReleaseKeep);
            send(channel::kStatusClear);
        }
    }
    blankStep();
    blankStep();
    return events;
}

bool isLit(const Color& c)
{
    return std::fabs(c.r - kUnlit) > kLitMargin && std::fabs(c.g - kUnlit) > kLitMargin &&
           std::fabs(c.b - kUnlit) > kLitMargin;
}

// The frames that a receiver starting with both tables unlit shows for
// `events`, as cubetrace prints them: a model of the receiver kept apart
// from its code.
std::vector<Frame> framesOf(std::span<const Event> events)
{
    static_assert(sizeof(Color) == 3 * sizeof(float));
    const auto at = [](const Led& led) { return (led.x * kSmallEdge + led.y) * kSmallEdge + led.z; };
    std::vector<Color> current(kSmallEdge * kSmallEdge * kSmallEdge, {kUnlit, kUnlit, kUnlit});
    std::vector<Color> future = current;
    std::vector<Frame> frames;
    for (const Event& event : events) {
        switch (event.code) {
        case Event::kWrite:
            future[at(event.led)] = event.led.color;
            continue;
        case channel::kStatusClear:
            std::fill(future.begin(), future.end(), Color{kUnlit, kUnlit, kUnlit});
            continue;
        case channel::kStatusReleaseKeep:
            for (std::size_t i = 0; i < current.size(); ++i)
                if (isLit(current[i]))
                    future[i] = current[i];
            break;
        }
        std::swap(current, future);

        Frame frame;
        frame.release = static_cast<int>(frames.size() + 1);
        uint32_t hash = 2166136261u;  // FNV-1a over the table's bytes
        for (const unsigned char byte : std::span(reinterpret_cast<const unsigned char*>(current.data()),
                                                  current.size() * sizeof(Color))) {
            hash ^= byte;
            hash *= 16777619u;
        }
        char hex[9];
        std::snprintf(hex, sizeof hex, "%08x", hash);
        frame.hash = hex;
        for (int x = 0; x < kSmallEdge; ++x)
            for (int y = 0; y < kSmallEdge; ++y)
                for (int z = 0; z < kSmallEdge; ++z)
                    if (const Led led{x, y, z, current[at({x, y, z, {}})]}; isLit(led.color))
                        frame.leds.push_back(led);
        frame.lit = static_cast<int>(frame.leds.size());
        frames.push_back(frame);
    }
    return frames;
}

// untimed() and the lit LEDs of each frame.
std::string describe(std::span<const Frame> frames)
{
    std::ostringstream text;
    for (const Frame& frame : frames) {
        text << untimed({frame});
        for (const Led& led : frame.leds)
            text << "  " << led.x << " " << led.y << " " << led.z << " " << led.color.r << " " << led.color.g << " "
                 << led.color.b << "\n";
    }
    return text.str();
}

// Release lines that cubetrace has finished.
std::size_t releasesPrinted(const std::string& out)
{
    std::size_t count = 0;
    for (std::size_t from = 0, end; (end = out.find('\n', from)) != std::string::npos; from = end + 1)
        count += out.compare(from, 2, "  ") != 0;
    return count;
}

bool says(const Process& process, const std::string& line)
{
    return process.waitForOutput([&](const std::string& out) { return out.find(line + "\n") != std::string::npos; },
                                 kDeadline);
}

TEST(KilledWriter, NextProgramDrivesTheSameViewerNormally)
{
    testsupport::RunDir dir;
    Receiver viewer(dir, {"--edge", "5", "--leds"});
    {
        // Killed while its pusher streams a frame that it never releases.
        Process killed({binary("lbox_scenario"), "unfinished-frame", "30000"}, Process::Options::in(dir.runDir()));
        ASSERT_TRUE(says(killed, "queued")) << killed.err();
        killed.signal(SIGKILL);
        ASSERT_EQ(killed.wait().signal, SIGKILL);
    }

    // The fill's blank steps and its first sweep, layer by layer; none of the
    // blue frame left unfinished may show.
    const std::vector<Frame> expected = framesOf(fillEvents());
    constexpr std::size_t kFrames = 2 + kSmallEdge;
    Process fill({binary("cubefill")}, Process::Options::in(dir.runDir()));
    ASSERT_TRUE(viewer.process().waitForOutput(
        [](const std::string& out) { return releasesPrinted(out) >= kFrames; }, kDeadline));
    const std::vector<Frame> shown = viewer.stop();
    ASSERT_GE(shown.size(), kFrames);
    EXPECT_EQ(describe(std::span(shown).first(kFrames)), describe(std::span(expected).first(kFrames)));
}

// A killed writer leaves its last code in the record when no viewer runs.
// The side that starts next sets the record idle; the viewer never applies
// the stale batch, whichever of them starts first.
TEST(KilledWriter, StaleBatchIsResetByWhicheverSideStartsNextAndNeverApplied)
{
    const auto isBatch = [](uint8_t s) { return s > channel::kStatusBatchBase; };
    for (const bool viewerFirst : {true, false}) {
        SCOPED_TRACE(viewerFirst ? "viewer first" : "writer first");
        testsupport::RunDir dir;
        uint8_t* record = dir.mapRecord();
        {
            // Sends a batch of its first writes, lit LEDs from (0, 0, 0) on,
            // and then waits for an answer that never comes.
            Process killed({binary("lbox_scenario"), "stop-with-queue", "600000"}, Process::Options::in(dir.runDir()));
            ASSERT_TRUE(says(killed, "queued")) << killed.err();
            ASSERT_TRUE(faults::waitForStatus(record, isBatch, &killed));
            killed.signal(SIGKILL);
            ASSERT_EQ(killed.wait().signal, SIGKILL);
        }
        ASSERT_TRUE(isBatch(channel::loadStatus(record)));

        const std::string received = dir.root() + "/received.rec";
        const auto startViewer = [&] {
            return std::make_unique<Process>(
                std::vector<std::string>{binary("cubetrace"), "--edge", "5", "--leds", "--record", received},
                Process::Options::in(dir.root()));
        };
        // Its first code is a release with keep and no clear before it: had
        // the stale batch been applied, its three LEDs would show.
        const auto startWriter = [&] {
            return std::make_unique<Process>(std::vector<std::string>{binary("lbox_scenario"), "sizes"},
                                             Process::Options::in(dir.runDir()));
        };
        std::unique_ptr<Process> viewer;
        std::unique_ptr<Process> writer;
        if (viewerFirst) {
            viewer = startViewer();
            ASSERT_TRUE(faults::waitForStatus(
                record, [](uint8_t s) { return s == channel::kStatusIdle; }, viewer.get()))
                << viewer->err();
            writer = startWriter();
        } else {
            // With no viewer to answer, the writer's own release replaces
            // the stale batch; the viewer, starting after it, drops that.
            writer = startWriter();
            ASSERT_TRUE(faults::waitForStatus(
                record, [](uint8_t s) { return s == channel::kStatusReleaseKeep; }, writer.get()))
                << writer->err();
            viewer = startViewer();
        }
        const testsupport::Exit exit = writer->wait(kDeadline);
        EXPECT_EQ(exit.code, 0) << writer->err();
        EXPECT_EQ(writer->out(), "same=1 sizes=5,5,5,5,5 write=-1\n" + kClosingLine);
        viewer->signal(SIGTERM);
        ASSERT_EQ(viewer->wait(kDeadline).code, 0) << viewer->err();

        std::vector<uint8_t> codes;
        for (const recording::Item& item : readRecording(received).items)
            codes.push_back(item.code);
        const std::vector<Frame> frames = parseTrace(viewer->out());
        if (viewerFirst) {
            EXPECT_EQ(codes, (std::vector<uint8_t>{channel::kStatusReleaseKeep, channel::kStatusClear}));
            ASSERT_EQ(frames.size(), 1u);
            EXPECT_EQ(frames[0].lit, 0);
        } else {
            EXPECT_EQ(codes, std::vector<uint8_t>{channel::kStatusClear});
            EXPECT_TRUE(frames.empty());
        }
    }
}

// The viewer killed halfway through the fill and started again: the code
// waiting in the record is lost, nothing else, and the fill runs to its end.
TEST(KilledViewer, ShowGoesOnToItsEndLosingOnlyTheCodeInTheRecord)
{
    const std::vector<Event> sent = fillEvents();
    // Of 86: the second release of the pause before sweep 7. The sweep's
    // first writes follow it at once, so the code lost is often a batch.
    constexpr std::size_t kReleasesBeforeKill = 44;
    testsupport::RunDir dir;
    uint8_t* record = dir.mapRecord();
    Receiver first(dir, {"--edge", "5"});
    Process fill({binary("cubefill")}, Process::Options::in(dir.runDir()));
    ASSERT_TRUE(first.process().waitForOutput(
        [](const std::string& out) { return releasesPrinted(out) >= kReleasesBeforeKill; }, kFillDeadline));
    first.process().signal(SIGKILL);
    ASSERT_EQ(first.process().wait().signal, SIGKILL);
    const std::vector<Frame> before = parseTrace(first.process().out());

    // The fill's next code, at the latest, stays unanswered.
    ASSERT_TRUE(faults::waitForStatus(record, [](uint8_t s) { return s != channel::kStatusIdle; }, &fill));
    const std::vector<Event> lost = eventsOfRecord(record);

    const std::string received = dir.root() + "/received.rec";
    Receiver second(dir, {"--edge", "5", "--leds", "--record", received});
    const testsupport::Exit exit = fill.wait(kFillDeadline);
    EXPECT_EQ(exit.code, 0);
    EXPECT_EQ(fill.out(), kClosingLine);
    EXPECT_EQ(fill.err(), "");
    const std::vector<Frame> after = second.stop();
    const std::vector<Event> afterwards = eventsOfRecording(received);

    // Everything after the lost code reached the second receiver, in order.
    ASSERT_LE(lost.size() + afterwards.size(), sent.size());
    const std::size_t lostAt = sent.size() - afterwards.size() - lost.size();
    const std::span<const Event> all(sent);
    EXPECT_EQ(std::vector(all.begin() + lostAt, all.begin() + lostAt + lost.size()), lost);
    EXPECT_EQ(std::vector(all.begin() + lostAt + lost.size(), all.end()), afterwards);

    // The first receiver showed every frame before the lost code, and a lost
    // release too if it died between printing and answering it.
    const std::size_t releasesBefore = framesOf(all.first(lostAt)).size();
    const bool lostRelease = lost.front().code == channel::kStatusReleaseKeep ||
                             lost.front().code == channel::kStatusReleaseNoKeep;
    EXPECT_TRUE(before.size() == releasesBefore || (lostRelease && before.size() == releasesBefore + 1))
        << before.size() << " frames before the kill, " << releasesBefore << " releases before the lost code";
    const std::vector<Frame> upToLost = framesOf(all.first(lostAt + lost.size()));
    ASSERT_LE(before.size(), upToLost.size());
    EXPECT_EQ(untimed(before), untimed(std::vector(upToLost.begin(), upToLost.begin() + before.size())));

    // The second receiver starts with both tables unlit, so the interrupted
    // sweep goes on from its next layer alone; the later sweeps fill the
    // whole cube, and the show ends dark.
    EXPECT_EQ(describe(after), describe(framesOf(all.subspan(lostAt + lost.size()))));
    ASSERT_GE(after.size(), 2u);
    EXPECT_EQ(after[after.size() - 2].lit, 0);
    EXPECT_EQ(after.back().lit, 0);
    EXPECT_TRUE(std::any_of(after.begin(), after.end(), [](const Frame& f) {
        return f.lit == kSmallEdge * kSmallEdge * kSmallEdge;
    }));
}

}  // namespace
