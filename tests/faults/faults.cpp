#include "tests/faults/faults.h"

#include "lbox/channel.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace faults {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kRefusalDeadline = 30s;
constexpr auto kStatusDeadline = 60s;
constexpr std::size_t kShortFile = channel::kRecordSize - 1;

// Where a guarded writer's message names the run directory and its command
// line, which expectRefusal fills in.
const std::string kRootMark = "{root}";
const std::string kArgumentsMark = "{arguments}";

std::string spoken(const Side& side, const std::string& what)
{
    if (side.guarded)
        return std::string(side.speaker) + ": no usable frame channel at " + kRootMark + "/shared_buffer.txt (" +
               what + "); an animation runs one directory below a receiver, as cubeplay lays them out: cubeplay " +
               side.speaker + kArgumentsMark + "\n";
    return side.speaker ? std::string(side.speaker) + ": " + what + "\n" : what + "\n";
}

std::string filledIn(std::string message, const testsupport::RunDir& dir, const std::vector<std::string>& argv)
{
    std::string arguments;
    for (std::size_t i = 1; i < argv.size(); ++i)
        arguments += " " + argv[i];
    for (const auto& [mark, value] : {std::pair{kRootMark, dir.root()}, std::pair{kArgumentsMark, arguments}})
        if (const std::size_t at = message.find(mark); at != std::string::npos)
            message.replace(at, mark.size(), value);
    return message;
}

std::string refusedFile(const Side& side, const char* what)
{
    return spoken(side, std::string(side.path) + " is " + what + "; the frame record needs a file of at least " +
                            std::to_string(channel::kRecordSize) + " bytes" + (side.speaker ? "" : ". Exiting"));
}

std::string failedOpen(const Side& side, const char* why)
{
    return spoken(side, std::string(side.openFailure) + ": " + why);
}

void replaceWithDirectory(const testsupport::RunDir& dir)
{
    fs::remove(dir.recordPath());
    fs::create_directory(dir.recordPath());
}

}  // namespace

const std::vector<BadChannel>& badChannels()
{
    static const std::vector<BadChannel> cases = {
        {"missing", [](const testsupport::RunDir& dir) { fs::remove(dir.recordPath()); },
         [](const Side& side) { return failedOpen(side, "No such file or directory"); }, false},
        {"empty", [](const testsupport::RunDir& dir) { dir.writeRecordBytes({}); },
         [](const Side& side) { return refusedFile(side, "too short"); }, false},
        {"one byte short",
         [](const testsupport::RunDir& dir) {
             dir.writeRecordBytes(std::vector<uint8_t>(kShortFile, channel::kStatusIdle));
         },
         [](const Side& side) { return refusedFile(side, "too short"); }, false},
        {"a directory", replaceWithDirectory,
         [](const Side& side) { return failedOpen(side, "Is a directory"); }, false},
        // Opens for reading and writing without blocking, but cannot be mapped.
        {"a named pipe",
         [](const testsupport::RunDir& dir) {
             fs::remove(dir.recordPath());
             ::mkfifo(dir.recordPath().c_str(), 0644);
         },
         [](const Side& side) { return refusedFile(side, "not a regular file"); }, false},
        {"not writable", [](const testsupport::RunDir& dir) { ::chmod(dir.recordPath().c_str(), 0444); },
         [](const Side& side) { return failedOpen(side, "Permission denied"); }, true},
    };
    return cases;
}

std::map<std::string, std::string> snapshot(const std::string& root)
{
    std::map<std::string, std::string> entries;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        const std::string path = fs::relative(entry.path(), root).string();
        const fs::file_status status = entry.symlink_status();
        std::string& description = entries[path];
        description = "type " + std::to_string(static_cast<int>(status.type())) + ", mode " +
                      std::to_string(static_cast<unsigned>(status.permissions()));
        if (fs::is_regular_file(status))
            description += ", bytes " + testsupport::readFile(entry.path().string());
    }
    return entries;
}

bool waitForStatus(uint8_t* record, const std::function<bool(uint8_t)>& accept, testsupport::Process* alive)
{
    const auto end = std::chrono::steady_clock::now() + kStatusDeadline;
    while (!accept(channel::loadStatus(record))) {
        if ((alive && !alive->running()) || std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

void expectRefusal(const BadChannel& bad, const Side& side, const std::vector<std::string>& argv,
                   testsupport::Process::Options options, const testsupport::RunDir& dir, bool othersMaySpeak)
{
    const auto before = snapshot(dir.root());
    options.obeyFileModes = bad.obeyFileModes;
    testsupport::Process process(argv, options);
    const testsupport::Exit exit = process.wait(kRefusalDeadline);
    EXPECT_EQ(exit.signal, 0);
    EXPECT_EQ(exit.code, 1);
    const std::string message = filledIn(bad.message(side), dir, argv);
    if (othersMaySpeak)
        EXPECT_TRUE(process.err().ends_with(message)) << process.err() << "\nshould end with\n" << message;
    else
        EXPECT_EQ(process.err(), message);
    EXPECT_EQ(process.out(), "");
    EXPECT_EQ(snapshot(dir.root()), before);
}

}  // namespace faults
