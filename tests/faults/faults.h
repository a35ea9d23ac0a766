#pragma once

// What the fault tests share: channel files spoiled in each way that every
// program must refuse, command-line arguments that no program expects, and a
// watch on the record's status byte.

#include "testkit/support.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace faults {

// The two ends of the channel open the file under different names and say
// so in different words.
struct Side {
    const char* path;         // as the program opens it
    const char* openFailure;  // the perror prefix of a failed open
    bool startsBelow;         // started in the run directory, below the file
    // A tool of the toolkit's own says "<speaker>: " before what failed, and
    // no "Exiting"; the library and the viewer speak for no one.
    const char* speaker = nullptr;
    // A writer of the toolkit's own finds the channel before the library
    // does, and says where it looked and how to run it under cubeplay.
    bool guarded = false;

    std::string startDir(const testsupport::RunDir& dir) const { return startsBelow ? dir.runDir() : dir.root(); }
};
inline constexpr Side kReader{"shared_buffer.txt", "unable to open shared_mem.txt Exiting", false};
inline constexpr Side kWriter{"../shared_buffer.txt", "unable to open shared_buffer.txt Exiting", true};
// cubetrace, cubesend and their builds for other edges, as `speaker` names itself.
constexpr Side receiverTool(const char* speaker)
{
    return {"shared_buffer.txt", "cannot open shared_buffer.txt", false, speaker};
}

// cubefx, cubelisten and cubereplay, as `speaker` names itself.
constexpr Side writerTool(const char* speaker)
{
    return {"../shared_buffer.txt", "cannot open ../shared_buffer.txt", true, speaker, true};
}

struct BadChannel {
    const char* name;
    void (*spoil)(const testsupport::RunDir& dir);
    // What the program must print on standard error, whole.
    std::string (*message)(const Side& side);
    // root may open any file for writing, so this case runs without that power.
    bool obeyFileModes;
};

const std::vector<BadChannel>& badChannels();

// Every path below `root`, with its kind, its mode and, for a file, its bytes.
std::map<std::string, std::string> snapshot(const std::string& root);

// Runs `argv` on the spoiled channel of `dir` and checks that it refuses it:
// status 1, the case's message on standard error (its last line, when
// libraries may speak before it), nothing on standard output, and the run
// directory exactly as before.
void expectRefusal(const BadChannel& bad, const Side& side, const std::vector<std::string>& argv,
                   testsupport::Process::Options options, const testsupport::RunDir& dir, bool othersMaySpeak = false);

// Polls the record's status byte until `accept` takes it. False after a
// generous deadline, or at once when `alive` is given and has ended.
bool waitForStatus(uint8_t* record, const std::function<bool(uint8_t)>& accept,
                   testsupport::Process* alive = nullptr);

// Close to the kernel's limit for one argument (128 kB).
inline const std::string kLongArgument(100000, 'x');
// Invalid UTF-8, and "12" in full-width digits.
inline const std::string kNonAscii = "\xff\xfe\x80";
inline const std::string kWideTwelve = "\xef\xbc\x91\xef\xbc\x92";

// Each a whole command line after the program name.
inline const std::vector<std::vector<std::string>> kHostileArguments = {
    {kLongArgument}, {""}, {kNonAscii}, {kWideTwelve}};

}  // namespace faults
