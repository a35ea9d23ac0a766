// cubetrace run as a real process in a run directory, with the test as the
// writing end of the channel.

#include "lbox/channel.h"
#include "testkit/support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>

namespace {

using namespace std::chrono_literals;
using testsupport::Process;

constexpr storeColor kRed{1.0f, 0.0f, 0.0f};
constexpr storeColor kBlue{0.0f, 0.0f, 1.0f};
constexpr float kUnlit = 0.3f;

// What cubetrace should hold as the frame on show, built independently of it.
class Frame {
public:
    explicit Frame(int edge) : edge_(edge), components_(static_cast<std::size_t>(edge * edge * edge * 3), kUnlit) {}

    void set(const queueEntry& led)
    {
        const std::size_t at = static_cast<std::size_t>(((led.x * edge_ + led.y) * edge_ + led.z) * 3);
        components_[at] = led.color.r;
        components_[at + 1] = led.color.g;
        components_[at + 2] = led.color.b;
    }

    // 32-bit FNV-1a over the raw bytes of the table.
    std::string hash() const
    {
        uint32_t hash = 2166136261u;
        const auto* bytes = reinterpret_cast<const unsigned char*>(components_.data());
        for (std::size_t i = 0; i < components_.size() * sizeof(float); ++i) {
            hash ^= bytes[i];
            hash *= 16777619u;
        }
        char text[9];
        std::snprintf(text, sizeof text, "%08x", hash);
        return text;
    }

private:
    int edge_;
    std::vector<float> components_;
};

struct ReleaseLine {
    unsigned long number = 0;
    long long ms = -1;
    int lit = -1;
    std::string hash;
};

ReleaseLine parseRelease(const std::string& line)
{
    ReleaseLine release;
    std::istringstream in(line);
    in >> release.number >> release.ms >> release.lit >> release.hash;
    EXPECT_FALSE(in.fail()) << line;
    EXPECT_TRUE(in.eof()) << line;
    return release;
}

std::vector<ReleaseLine> releaseLines(const std::string& out)
{
    std::vector<ReleaseLine> releases;
    for (const std::string& line : testsupport::splitLines(out)) {
        if (line.rfind("  ", 0) != 0)
            releases.push_back(parseRelease(line));
    }
    return releases;
}

std::size_t completeLines(const std::string& out)
{
    return static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n'));
}

// A cubetrace started in a fresh run directory. The record starts out with a
// stale batch of three in it; the 200 that replaces it says cubetrace is up.
class Trace {
public:
    static constexpr queueEntry kStale[channel::kMaxEntries] = {
        {1, 1, 1, kRed}, {2, 2, 2, kRed}, {3, 3, 3, kRed}};

    explicit Trace(const std::vector<std::string>& options, const std::string& program = "cubetrace")
    {
        record_ = dir.mapRecord();
        for (std::size_t slot = 0; slot < channel::kMaxEntries; ++slot)
            channel::packEntry(record_, slot, kStale[slot]);
        channel::storeStatus(record_, channel::kStatusBatchBase + 3);

        std::vector<std::string> argv{testsupport::binary(program)};
        argv.insert(argv.end(), options.begin(), options.end());
        started = std::chrono::steady_clock::now();
        process = std::make_unique<Process>(argv, Process::Options::in(dir.root()));
        EXPECT_TRUE(waitIdle()) << process->err();
    }

    // Writes the entries and the code as the library's pusher does.
    void post(uint8_t code, const std::vector<queueEntry>& entries = {})
    {
        for (std::size_t slot = 0; slot < entries.size(); ++slot)
            channel::packEntry(record_, slot, entries[slot]);
        channel::storeStatus(record_, code);
    }

    // Posts and waits for the answer.
    bool send(uint8_t code, const std::vector<queueEntry>& entries = {})
    {
        post(code, entries);
        return waitIdle();
    }

    // Sends the LEDs in one batch and releases the frame without keep; with
    // --count 1 cubetrace may end before it answers the release.
    bool showLastFrame(const std::vector<queueEntry>& leds)
    {
        if (!send(channel::kStatusBatchBase + static_cast<uint8_t>(leds.size()), leds))
            return false;
        post(channel::kStatusReleaseNoKeep);
        return true;
    }

    bool waitForLines(std::size_t count) const
    {
        return process->waitForOutput([&](const std::string& out) { return completeLines(out) >= count; });
    }

    testsupport::RunDir dir;
    std::unique_ptr<Process> process;
    std::chrono::steady_clock::time_point started;

private:
    bool waitIdle() const
    {
        const auto end = std::chrono::steady_clock::now() + 30s;
        while (channel::loadStatus(record_) != channel::kStatusIdle) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            std::this_thread::sleep_for(100us);
        }
        return true;
    }

    uint8_t* record_ = nullptr;
};

long long msSince(std::chrono::steady_clock::time_point from)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - from).count();
}

TEST(Cubetrace, StaleRecordAtStartIsDroppedUnhandled)
{
    Trace trace({"--count", "1"});
    // Had the stale batch been applied, it would be in the frame shown now.
    trace.post(channel::kStatusReleaseNoKeep);
    ASSERT_EQ(trace.process->wait().code, 0);
    const std::vector<ReleaseLine> releases = releaseLines(trace.process->out());
    ASSERT_EQ(releases.size(), 1u);
    EXPECT_EQ(releases[0].lit, 0);
    EXPECT_EQ(releases[0].hash, Frame(12).hash());
}

TEST(Cubetrace, ReleaseLineNumbersTimesAndHashesTheShownFrame)
{
    Trace trace({});
    const queueEntry red{1, 2, 3, kRed};
    ASSERT_TRUE(trace.send(channel::kStatusBatchBase + 1, {red}));
    const long long quietMs = 50;
    std::this_thread::sleep_for(std::chrono::milliseconds(quietMs));
    ASSERT_TRUE(trace.send(channel::kStatusReleaseNoKeep));
    ASSERT_TRUE(trace.waitForLines(1)) << trace.process->err();
    const long long upperMs = msSince(trace.started);

    // Bare releases show the frame before last: the unlit start, then the
    // red frame again (keep has nothing lit to carry over from the start).
    ASSERT_TRUE(trace.send(channel::kStatusReleaseNoKeep));
    ASSERT_TRUE(trace.send(channel::kStatusReleaseKeep));
    ASSERT_TRUE(trace.waitForLines(3));

    Frame withRed(12);
    withRed.set(red);
    const std::vector<ReleaseLine> releases = releaseLines(trace.process->out());
    ASSERT_EQ(releases.size(), 3u);
    EXPECT_EQ(releases[0].number, 1u);
    EXPECT_GE(releases[0].ms, quietMs);
    EXPECT_LE(releases[0].ms, upperMs);
    EXPECT_EQ(releases[0].lit, 1);
    EXPECT_EQ(releases[0].hash, withRed.hash());
    EXPECT_EQ(releases[1].number, 2u);
    EXPECT_GE(releases[1].ms, releases[0].ms);
    EXPECT_EQ(releases[1].lit, 0);
    EXPECT_EQ(releases[1].hash, Frame(12).hash());
    EXPECT_EQ(releases[2].number, 3u);
    EXPECT_EQ(releases[2].lit, 1);
    EXPECT_EQ(releases[2].hash, withRed.hash());
}

TEST(Cubetrace, LedsOptionListsEveryLitLedInTableOrder)
{
    Trace trace({"--leds", "--count", "1"});
    // A component at the grey does not make an LED unlit: it shows orange.
    ASSERT_TRUE(trace.showLastFrame({{3, 4, 5, kRed}, {0, 11, 0, {0.25f, 0.5f, 0.75f}}, {3, 4, 0, {1.0f, kUnlit, 0.0f}}}));
    ASSERT_EQ(trace.process->wait().code, 0);

    const std::vector<std::string> lines = testsupport::splitLines(trace.process->out());
    ASSERT_EQ(lines.size(), 4u) << trace.process->out();
    EXPECT_EQ(parseRelease(lines[0]).lit, 3);
    EXPECT_EQ(lines[1], "  0 11 0 0.25 0.5 0.75");
    EXPECT_EQ(lines[2], "  3 4 0 1 0.3 0");
    EXPECT_EQ(lines[3], "  3 4 5 1 0 0");
}

// Lit as the frame writer sends it, some component above 0, and not the
// unlit grey: however dim, an LED that is on counts; dark does not.
TEST(Cubetrace, LitMeansNeitherDarkNorTheUnlitGrey)
{
    Trace trace({"--leds", "--count", "1"});
    ASSERT_TRUE(trace.send(channel::kStatusBatchBase + 3,
                           {{1, 0, 0, {0.0006f, 0.0f, 0.0f}}, {2, 0, 0, {0.0f, 0.0f, 0.0f}}, {3, 0, 0, {kUnlit, kUnlit, kUnlit}}}));
    ASSERT_TRUE(trace.showLastFrame(
        {{4, 0, 0, {kUnlit + 0.00005f, kUnlit, kUnlit}}, {5, 0, 0, {-1.0f, 0.0f, 0.0f}}, {6, 0, 0, {0.0f, 0.0f, 0.5f}}}));
    ASSERT_EQ(trace.process->wait().code, 0);

    const std::vector<std::string> lines = testsupport::splitLines(trace.process->out());
    ASSERT_EQ(lines.size(), 3u) << trace.process->out();
    EXPECT_EQ(parseRelease(lines[0]).lit, 2);
    EXPECT_EQ(lines[1], "  1 0 0 0.0006 0 0");
    EXPECT_EQ(lines[2], "  6 0 0 0 0 0.5");
}

TEST(Cubetrace, CountEndsWithSuccessAfterThatManyReleases)
{
    Trace trace({"--count", "2"});
    ASSERT_TRUE(trace.send(channel::kStatusReleaseNoKeep));
    trace.post(channel::kStatusReleaseKeep);
    const testsupport::Exit exit = trace.process->wait();
    EXPECT_EQ(exit.code, 0);
    const std::vector<ReleaseLine> releases = releaseLines(trace.process->out());
    ASSERT_EQ(releases.size(), 2u);
    EXPECT_EQ(releases[1].number, 2u);
}

TEST(Cubetrace, StopSignalEndsWithSuccessAndKeepsTheOutput)
{
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        Trace trace({});
        ASSERT_TRUE(trace.send(channel::kStatusReleaseNoKeep));
        ASSERT_TRUE(trace.waitForLines(1));
        trace.process->signal(sig);
        const testsupport::Exit exit = trace.process->wait();
        EXPECT_EQ(exit.code, 0);
        EXPECT_EQ(exit.signal, 0);
        EXPECT_EQ(releaseLines(trace.process->out()).size(), 1u);
    }
}

TEST(Cubetrace, UnusableChannelFileEndsWithAMessage)
{
    struct Case {
        const char* what;
        void (*prepare)(const std::string& path);
        const char* message;
    };
    const Case cases[] = {
        {"missing", [](const std::string& path) { std::filesystem::remove(path); },
         "cubetrace: cannot open shared_buffer.txt: No such file or directory"},
        {"10 bytes", [](const std::string& path) { std::filesystem::resize_file(path, 10); }, "too short"},
        {"directory",
         [](const std::string& path) {
             std::filesystem::remove(path);
             std::filesystem::create_directory(path);
         },
         "cubetrace: cannot open shared_buffer.txt: Is a directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::RunDir dir;
        c.prepare(dir.recordPath());
        const auto before = std::filesystem::status(dir.recordPath()).type();
        Process trace({testsupport::binary("cubetrace")}, Process::Options::in(dir.root()));
        const testsupport::Exit exit = trace.wait();
        EXPECT_NE(exit.code, 0);
        EXPECT_EQ(exit.signal, 0);
        EXPECT_NE(trace.err().find(c.message), std::string::npos) << trace.err();
        EXPECT_EQ(trace.out(), "");
        EXPECT_EQ(std::filesystem::status(dir.recordPath()).type(), before);
    }
}

TEST(Cubetrace, EdgeOptionRunsTheBuildForThatEdge)
{
    struct Case {
        const char* program;
        const char* edge;
        int n;
    };
    for (const Case& c : {Case{"cubetrace", "5", 5}, Case{"cubetrace5", "12", 12}}) {
        SCOPED_TRACE(c.program);
        Trace trace({"--edge", c.edge, "--count", "1"}, c.program);
        const queueEntry corner{static_cast<uint8_t>(c.n - 1), 0, static_cast<uint8_t>(c.n - 1), kRed};
        // Outside the smaller cube: ignored there, lit in the larger one.
        const queueEntry beyondFive{5, 0, 0, kBlue};
        ASSERT_TRUE(trace.showLastFrame({corner, beyondFive}));
        ASSERT_EQ(trace.process->wait().code, 0);

        Frame expected(c.n);
        expected.set(corner);
        if (c.n > 5)
            expected.set(beyondFive);
        const std::vector<ReleaseLine> releases = releaseLines(trace.process->out());
        ASSERT_EQ(releases.size(), 1u);
        EXPECT_EQ(releases[0].lit, c.n > 5 ? 2 : 1);
        EXPECT_EQ(releases[0].hash, expected.hash());
    }
}

TEST(Cubetrace, BadOptionsAreNamedAndLeaveTheRecordAlone)
{
    const std::vector<std::vector<std::string>> bad{
        {"--edge"}, {"--edge", "7"}, {"--count"}, {"--count", "0"}, {"--count", "x"}, {"--count", "-1"}, {"leds"}};
    for (const std::vector<std::string>& options : bad) {
        SCOPED_TRACE(options.back());
        testsupport::RunDir dir;
        dir.writeRecordBytes(std::vector<uint8_t>(channel::kRecordSize, channel::kStatusClear));
        std::vector<std::string> argv{testsupport::binary("cubetrace")};
        argv.insert(argv.end(), options.begin(), options.end());
        Process trace(argv, Process::Options::in(dir.root()));
        EXPECT_EQ(trace.wait().code, 2);
        EXPECT_TRUE(trace.err().starts_with("cubetrace: ") && trace.err().ends_with(" (try 'cubetrace --help')\n"))
            << trace.err();
        EXPECT_EQ(dir.recordBytes()[0], channel::kStatusClear);
    }
}

}  // namespace
