// The commands that the README and docs/ show, run as a reader runs them,
// against this build's programs, so that an example cannot go stale: each
// ```sh block as one script in a fresh home of its own, without a display.
// How the markdown marks them is in documented_commands.h.

#include "tests/docs/documented_commands.h"
#include "testkit/support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <ostream>
#include <string_view>

extern char** environ;

namespace docstest {

// How a case names its block in gtest's listings and reports.
void PrintTo(const Block& block, std::ostream* out)
{
    *out << block.file << ":" << block.line;
}

}  // namespace docstest

namespace {

using namespace std::chrono_literals;
using docstest::Block;
using docstest::Document;
using testsupport::Process;
namespace fs = std::filesystem;

constexpr int kInterruptedStatus = 128 + SIGINT;
// A block that has not ended by then hangs, whatever the machine.
constexpr auto kBlockDeadline = 120s;
// A command that Ctrl-C has not ended by then ignores it.
constexpr auto kInterruptDeadline = 30s;

TEST(DocsMarkdown, RunsTheLinesOfShellBlocksAndNothingElse)
{
    const Document document = docstest::parse("a.md",
                                              "Text\n"
                                              "```cpp\ncubefx rain\n```\n"
                                              "```sh\n"
                                              "cubefx --list   # every effect\n"
                                              "\n"
                                              "# a comment line\n"
                                              "cubetrace --help\n"
                                              "```\n");
    EXPECT_TRUE(document.problems.empty());
    ASSERT_EQ(document.blocks.size(), 1u);
    EXPECT_EQ(document.blocks[0].line, 5);
    EXPECT_EQ(document.blocks[0].commands,
              (std::vector<std::string>{"cubefx --list   # every effect", "cubetrace --help"}));
    EXPECT_EQ(document.blocks[0].skip, "");
    EXPECT_FALSE(document.blocks[0].interruptAfter);
}

TEST(DocsMarkdown, JoinsALineEndingInABackslashWithTheNext)
{
    const Document document = docstest::parse("a.md", "```sh\ncubefx --edge 8 \\\n  rain\n```\n");
    ASSERT_EQ(document.blocks.size(), 1u);
    EXPECT_EQ(document.blocks[0].commands, std::vector<std::string>{"cubefx --edge 8   rain"});
}

TEST(DocsMarkdown, AppliesTheMarkersJustAboveTheFence)
{
    const Document document = docstest::parse("docs/effects.md",
                                              "<!-- docs-test: replace \"rain\" \"--duration 1 rain\" -->\n"
                                              "<!-- docs-test: interrupt after 2.5 -->\n"
                                              "```sh\ncubefx rain\ncubefx rain snake\n```\n"
                                              "<!-- docs-test: skip needs a controller on the network -->\n"
                                              "```sh\ncubesend ddp://wled.local\n```\n");
    EXPECT_TRUE(document.problems.empty()) << document.problems[0];
    ASSERT_EQ(document.blocks.size(), 2u);
    EXPECT_EQ(document.blocks[0].commands,
              (std::vector<std::string>{"cubefx --duration 1 rain", "cubefx --duration 1 rain snake"}));
    EXPECT_EQ(document.blocks[0].interruptAfter, 2.5);
    EXPECT_EQ(document.blocks[0].skip, "");
    EXPECT_EQ(document.blocks[1].skip, "needs a controller on the network");
    EXPECT_FALSE(document.blocks[1].interruptAfter) << "markers hold for one block";
    EXPECT_EQ(docstest::testName(document.blocks[1]), "docs_effects_8");
}

TEST(DocsMarkdown, ReportsWhatItCannotUse)
{
    const Document document = docstest::parse("a.md",
                                               "<!-- docs-test: skip -->\n"                      // 1: no reason
                                               "<!-- docs-test: interrupt after soon -->\n"      // 2
                                               "<!-- docs-test: replace \"x\" -->\n"             // 3
                                               "<!-- docs-test: pause 3 -->\n"                   // 4
                                               "```sh\ncubefx\n```\n"
                                               "<!-- docs-test: replace \"snake\" \"worm\" -->\n"  // 8
                                               "```sh\ncubefx rain\n```\n"                       // 9: no snake
                                               "<!-- docs-test: skip later -->\n"                // 12
                                               "\n"                                              // 13
                                               "```sh\n```\n"                                    // 14: empty
                                               "<!-- docs-test: skip not shell -->\n"            // 16
                                               "```cpp\n```\n"                                   // 17
                                               "    cubeplay --edge 8 cubefx\n"                  // 19
                                               "    ./run.sh effects\n"                          // 20
                                               "    cube 1\n"                                    // 21: a word
                                               "```sh\ncubefx\n");                               // 22: open
    EXPECT_EQ(document.problems,
              (std::vector<std::string>{
                  "a.md:1: a docs-test marker not understood: <!-- docs-test: skip -->",
                  "a.md:2: a docs-test marker not understood: <!-- docs-test: interrupt after soon -->",
                  "a.md:3: a docs-test marker not understood: <!-- docs-test: replace \"x\" -->",
                  "a.md:4: a docs-test marker not understood: <!-- docs-test: pause 3 -->",
                  "a.md:9: a docs-test replacement that matches no command of the block",
                  "a.md:13: docs-test markers not directly above a ```sh block",
                  "a.md:14: a ```sh block with no command",
                  "a.md:17: docs-test markers above a block that is not ```sh",
                  "a.md:19: a command outside a ```sh block, where the docs test cannot see it: "
                  "cubeplay --edge 8 cubefx",
                  "a.md:20: a command outside a ```sh block, where the docs test cannot see it: "
                  "./run.sh effects",
                  "a.md:22: a block that is never closed",
              }));
}

// README.md and every page of docs/, as paths relative to the source tree.
std::vector<std::string> markdownFiles()
{
    std::vector<std::string> files{"README.md"};
    for (const fs::directory_entry& entry : fs::directory_iterator(fs::path(CUBE_SOURCE_DIR) / "docs"))
        if (entry.path().extension() == ".md")
            files.push_back("docs/" + entry.path().filename().string());
    std::sort(files.begin() + 1, files.end());
    return files;
}

std::vector<Document> documents()
{
    std::vector<Document> documents;
    for (const std::string& file : markdownFiles())
        documents.push_back(docstest::parse(file, testsupport::readFile(std::string(CUBE_SOURCE_DIR) + "/" + file)));
    return documents;
}

std::vector<Block> documentedBlocks()
{
    std::vector<Block> blocks;
    for (Document& document : documents())
        std::move(document.blocks.begin(), document.blocks.end(), std::back_inserter(blocks));
    return blocks;
}

TEST(DocsMarkdown, TheProjectsPagesMarkTheirCommandsAsTheTestReadsThem)
{
    std::size_t commands = 0;
    for (const Document& document : documents()) {
        EXPECT_EQ(document.problems, std::vector<std::string>{});
        for (const Block& block : document.blocks)
            commands += block.commands.size();
    }
    EXPECT_GT(commands, 0u) << "no documented command found";
}

// The test's environment for the commands: this build's programs first on
// PATH, a home and a temporary folder of their own, and no display.
std::vector<std::string> commandEnvironment(const std::string& home, const std::string& tmp)
{
    std::vector<std::string> env;
    for (char** variable = environ; *variable; ++variable) {
        const std::string_view text = *variable;
        const std::string_view name = text.substr(0, text.find('='));
        if (name != "PATH" && name != "HOME" && name != "TMPDIR" && name != "DISPLAY" && name != "WAYLAND_DISPLAY" &&
            name != "XAUTHORITY")
            env.emplace_back(text);
    }
    env.push_back("PATH=" + std::string(CUBE_BIN_DIR) + ":/usr/local/bin:/usr/bin:/bin");
    env.push_back("HOME=" + home);
    env.push_back("TMPDIR=" + tmp);
    return env;
}

// What the commands said, the lines run among it ("+ command").
std::string report(const std::string& what, const Process& process)
{
    constexpr std::size_t kShown = 3000;
    const std::string out = process.out();
    return what + "\nstandard error:\n" + process.err() + "\nstandard output (the end):\n" +
           out.substr(out.size() - std::min(out.size(), kShown));
}

// Runs the block as one script, line after line as a reader pastes it into a
// terminal, stopping at the first line that fails; in a session of its own,
// so that Ctrl-C and the cleaning up reach everything it started. Empty when
// it ran as it should.
std::string run(const Block& block, const Process::Options& options)
{
    std::string script = "set -ex\n";
    for (const std::string& command : block.commands)
        script += command + "\n";
    Process process({"/usr/bin/setsid", "/bin/sh", "-c", script}, options);
    const pid_t group = process.pid();
    bool interrupted = false;
    if (block.interruptAfter) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(*block.interruptAfter);
        while (process.running() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(10ms);
        interrupted = process.running();
        if (interrupted)
            ::kill(-group, SIGINT);
    }
    const testsupport::Exit exit = process.wait(interrupted ? kInterruptDeadline : kBlockDeadline);
    ::kill(-group, SIGKILL);  // anything it left behind
    const std::string status = "status " + std::to_string(exit.code) + ", signal " + std::to_string(exit.signal);
    if (exit.timedOut)
        return report(interrupted ? "did not end on Ctrl-C" : "never ended", process);
    if (interrupted && exit.code != kInterruptedStatus && exit.signal != SIGINT)
        return report("did not end as Ctrl-C ends it: " + status, process);
    if (!interrupted && exit.code != 0)
        return report("failed: " + status, process);
    return "";
}

// Runs the block in a fresh home, as the pages' blocks run; whatever it
// leaves behind goes with the scratch folder.
std::string runAtHome(const Block& block)
{
    testsupport::RunDir scratch;
    const std::string home = scratch.root() + "/home";
    const std::string tmp = scratch.root() + "/tmp";
    fs::create_directory(home);
    fs::create_directory(tmp);
    Process::Options options = Process::Options::in(home);
    options.env = commandEnvironment(home, tmp);
    return run(block, options);
}

Block blockOf(std::vector<std::string> commands, std::optional<double> interruptAfter = std::nullopt)
{
    return Block{"a.md", 1, std::move(commands), "", interruptAfter};
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

TEST(DocsRunner, StopsAtTheLineThatFailsAndShowsWhatItSaid)
{
    const std::string failure =
        runAtHome(blockOf({"touch made", "test -e made", "echo broken >&2; exit 3", "echo never"}));
    EXPECT_TRUE(contains(failure, "failed: status 3, signal 0\n")) << failure;
    EXPECT_TRUE(contains(failure, "+ test -e made\n+ echo broken\nbroken\n")) << failure;
    EXPECT_FALSE(contains(failure, "never")) << failure;
}

TEST(DocsRunner, RunsTheBlockInAHomeOfItsOwnWithTheBuildsProgramsAndNoDisplay)
{
    EXPECT_EQ(runAtHome(blockOf({"test \"$HOME\" = \"$PWD\"", "test -z \"$(ls -A)\"", "test -z \"${DISPLAY-}\"",
                                 "test \"$TMPDIR\" = \"$(dirname \"$HOME\")/tmp\"",
                                 "test \"$(command -v cubeplay)\" = " + testsupport::binary("cubeplay")})),
              "");
}

TEST(DocsRunner, PassesABlockThatCtrlCEndsOnceItsTimeIsUp)
{
    EXPECT_EQ(runAtHome(blockOf({"sleep 60"}, 0.2)), "");
}

TEST(DocsRunner, FailsABlockThatEndsBadlyBeforeItsTimeIsUp)
{
    const std::string failure = runAtHome(blockOf({"exit 2"}, 60));
    EXPECT_TRUE(contains(failure, "failed: status 2, signal 0\n")) << failure;
}

class DocumentedCommands : public testing::TestWithParam<Block> {};

TEST_P(DocumentedCommands, RunAsShown)
{
    const Block& block = GetParam();
    if (!block.skip.empty())
        GTEST_SKIP() << block.file << ":" << block.line << ": " << block.skip;
    const std::string failure = runAtHome(block);
    EXPECT_TRUE(failure.empty()) << block.file << ":" << block.line << ": " << failure;
}

INSTANTIATE_TEST_SUITE_P(Docs, DocumentedCommands, testing::ValuesIn(documentedBlocks()),
                         [](const testing::TestParamInfo<Block>& info) { return docstest::testName(info.param); });

}  // namespace
