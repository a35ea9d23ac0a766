#pragma once

// Helpers shared by the test suites: a temporary run directory holding the
// channel file, and real child processes with captured output.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace testsupport {

using namespace std::chrono_literals;

// A suite that reruns with the fast channel on one side only names that
// side here: "writer" or "receiver". Each program a test starts then gets
// CUBE_CHANNEL=fast or not by its side (cubetrace, cubeview, cubesend and
// cubeweb receive; every other program writes), unless the test gives it an
// environment of its own. The test's own process keeps what it was given.
inline constexpr const char* kFastSideVariable = "CUBE_TEST_FAST_SIDE";
inline constexpr const char* kFastWriter = "writer";
inline constexpr const char* kFastReceiver = "receiver";

// This process's environment with CUBE_CHANNEL set to `mode`, or without it
// when `mode` is null.
std::vector<std::string> environmentWithMode(const char* mode);

// Path of a program built by this project (all land in one bin directory).
std::string binary(const std::string& name);

class Process;

// A fresh directory laid out like a run: <root>/shared_buffer.txt (46 bytes,
// status byte idle, the rest zero) and <root>/run/, where an animation
// program is started. Removed with everything in it on destruction.
class RunDir {
public:
    RunDir();
    ~RunDir();
    RunDir(const RunDir&) = delete;
    RunDir& operator=(const RunDir&) = delete;

    const std::string& root() const { return root_; }
    std::string runDir() const { return root_ + "/run"; }
    std::string recordPath() const { return root_ + "/shared_buffer.txt"; }

    // Maps the record shared, as the other side of the channel sees it.
    uint8_t* mapRecord();
    // Waits until `receiver`, started on this directory, serves the channel:
    // the record reads idle. False when it ended first or the deadline passed.
    bool waitServed(Process& receiver, std::chrono::milliseconds deadline);
    std::vector<uint8_t> recordBytes() const;
    void writeRecordBytes(const std::vector<uint8_t>& bytes) const;

private:
    std::string root_;
    uint8_t* map_ = nullptr;
};

struct Exit {
    int code = -1;    // exit status, or -1 when killed by a signal
    int signal = 0;   // the signal that ended it, or 0
    bool timedOut = false;
};

// A child process started with its own working directory; standard output
// and standard error go to files that can be read while it runs.
class Process {
public:
    struct Options {
        std::string cwd = ".";
        // Replaces the environment when set (an empty list means none at all).
        std::optional<std::vector<std::string>> env;
        // Takes from a child run by root the power to override file modes,
        // so that a mode holds for it as for anyone else. It keeps its user,
        // so it still runs programs from a build in a private home.
        bool obeyFileModes = false;
        // Standard error on a terminal, as a user's is, for what a tool
        // shows only there; err() is what the terminal showed.
        bool errOnTerminal = false;

        // Options for a child started in `dir` with the test's environment.
        static Options in(const std::string& dir)
        {
            Options options;
            options.cwd = dir;
            return options;
        }
    };

    Process(const std::vector<std::string>& argv, const Options& options);
    ~Process();  // kills the child if it still runs
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    std::string out() const;
    std::string err() const;
    void signal(int sig) const;
    bool running();
    // Waits for the child to end; kills it after the deadline.
    Exit wait(std::chrono::milliseconds deadline = 60s);
    // Polls standard output until `done` accepts it or the deadline passes.
    template <typename Pred>
    bool waitForOutput(Pred done, std::chrono::milliseconds deadline = 30s) const;
    // Polls standard error until it holds `text` or the deadline passes.
    bool waitForError(const std::string& text, std::chrono::milliseconds deadline = 30s) const
    {
        return waitFor(&Process::err, [&](const std::string& err) { return err.find(text) != std::string::npos; },
                       deadline);
    }

private:
    template <typename Pred>
    bool waitFor(std::string (Process::*read)() const, Pred done, std::chrono::milliseconds deadline) const;

    std::string openTerminal();
    void copyTerminal();
    void endTerminal();

    pid_t pid_ = -1;
    std::string outPath_;
    std::string errPath_;
    std::optional<Exit> exit_;
    int terminal_ = -1;   // our side of the child's terminal, with errOnTerminal
    int childSide_ = -1;  // the child's side, held open by us too until it ends
    std::thread copier_;
    // Set by the test's thread once the child has ended; read by the copier,
    // which then stops once the terminal has nothing more. Only the flag
    // passes between them, so relaxed would do; release/acquire costs nothing
    // here and keeps the copier's last read after the child's end.
    std::atomic<bool> ended_{false};
};

std::string readFile(const std::string& path);
// The middle of `values` (the upper one of an even count), 0 for none: the
// benchmarks' figure of a run.
double median(std::vector<double> values);
// A benchmark's one optional argument, how many `what` (frames, say) from 1
// to `max`, `fallback` when it is not given. Anything else ends the
// benchmark with a usage line and status 2.
int benchCount(int argc, char** argv, const char* what, int fallback, int max);

// For the benchmarks whose sides are forked processes: runs `body` in a
// child, which then ends with status 0 without running destructors, since
// the parent's objects (a run directory, the library's one-second shutdown)
// are not the child's to end. A fork that fails ends the benchmark.
pid_t forkOrEnd();
[[noreturn]] void endChild();
template <typename Body>
pid_t forkChild(Body&& body)
{
    const pid_t pid = forkOrEnd();
    if (pid == 0) {
        body();
        endChild();
    }
    return pid;
}
// Waits for the child `pid`; unless it exited with status 0, ends the
// benchmark, saying that `what` failed.
void awaitChild(pid_t pid, const char* what);

// A process's CPU time so far, for the benchmarks: utime + stime from its
// /proc stat (in clock ticks, so in steps of 1/CLK_TCK), and each thread's
// time on a CPU from its schedstat (in nanoseconds), by thread id.
struct CpuTime {
    double statUs = 0;
    std::map<std::string, double> threadUs;
};
CpuTime cpuTime(pid_t pid);
// What a process spent between two readings, over `count` (frames, say):
// by its stat, by all its threads' schedstat, and by its busiest thread's.
struct CpuShare {
    double statUs = 0, schedUs = 0, busiestUs = 0;
    double othersUs() const { return schedUs - busiestUs; }
};
CpuShare cpuShare(const CpuTime& before, const CpuTime& after, int count);
std::vector<std::string> splitLines(const std::string& text);
// The names of what lies in the folder `dir`, sorted.
std::vector<std::string> filesIn(const std::string& dir);

// The viewer's rate line, "framerate: W.FF fps\n", in hundredths of a frame
// a second, when `out` is that line and nothing else.
std::optional<long> printedRate(std::string_view out);
// The ports that cubelisten's start lines, "cubelisten: SOURCE on
// 127.0.0.1:PORT", name, in their order.
std::vector<uint16_t> listenPorts(const std::string& err);

template <typename Pred>
bool Process::waitForOutput(Pred done, std::chrono::milliseconds deadline) const
{
    return waitFor(&Process::out, done, deadline);
}

template <typename Pred>
bool Process::waitFor(std::string (Process::*read)() const, Pred done, std::chrono::milliseconds deadline) const
{
    const auto end = std::chrono::steady_clock::now() + deadline;
    do {
        if (done((this->*read)()))
            return true;
        std::this_thread::sleep_for(5ms);
    } while (std::chrono::steady_clock::now() < end);
    return done((this->*read)());
}

}  // namespace testsupport
