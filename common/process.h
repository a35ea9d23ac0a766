#pragma once

// Processes as the toolkit's tools handle them: a failure that ends a tool,
// where the tool and the programs it runs are found, a private temporary
// directory, and child programs that end when the tool does.
//
//   int main(int argc, char** argv)
//   {
//       return process::run("cubeplay", [&] {
//           process::TemporaryDir run("cubeplay");   // removed however main ends
//           process::Child viewer;
//           viewer.start({"/path/to/cubeview12"}, {.dir = run.path()});
//           ...                                      // "cubeplay: cannot start ..."
//       });
//   }
//
// Everything here that fails throws a Failure: what goes wrong with a tool's
// own process, a program it runs or its temporary directory ends the tool,
// and the way out through run() stops the children and removes the
// directories on the way, whoever asked for them.

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <sys/types.h>
#include <vector>

namespace ledcube::process {

using namespace std::chrono_literals;

// What ends a tool. Thrown on the main thread where the failure is found and
// caught by run(), so that everything on the way out is cleaned up first: a
// child stopped, a temporary directory removed, a half-written file deleted.
struct Failure {
    std::string what;
    int status = EXIT_FAILURE;
};
[[noreturn]] void fail(std::string what, int status = EXIT_FAILURE);

// argv for exec or a command-line parser: pointers to `words`, which must
// outlive it, then a null pointer.
std::vector<char*> argumentVector(const std::vector<std::string>& words);

// `what`, then the reason errno gives: "cannot open X: No such file or directory".
std::string because(const std::string& what);

// Runs a tool's body and returns its exit status. A Failure that escapes it
// is said on standard error as "<tool>: <what>", and its status returned.
int run(const std::string& tool, const std::function<int()>& body);

// The directory that holds the running program, where the toolkit's other
// commands lie too. Fails when the system cannot tell.
std::filesystem::path programDir();

// The program `name` as PATH finds it, made absolute; empty when no entry of
// PATH holds a runnable file of that name. Empty entries are skipped, so the
// working directory is searched only when PATH names it.
std::filesystem::path onPath(const std::string& name);

// A new directory "<prefix>-XXXXXX" under $TMPDIR (or /tmp), open to its
// owner alone, removed with everything in it when the object goes.
class TemporaryDir {
public:
    explicit TemporaryDir(const std::string& prefix);  // fails when it cannot be made
    ~TemporaryDir();
    TemporaryDir(const TemporaryDir&) = delete;
    TemporaryDir& operator=(const TemporaryDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// How long a child asked to stop may take before it is killed.
inline constexpr std::chrono::milliseconds kStopGrace = 2s;

// A program that this one started. It is sent SIGTERM should the thread that
// started it end first (the whole process, or that thread alone), however
// that happens, and it starts with no signal blocked, whatever this process
// blocks.
class Child {
public:
    struct Setup {
        std::filesystem::path dir;  // its working directory; empty: ours
        int in = -1;                // its standard input, output and error;
        int out = -1;               // -1 leaves it ours
        int err = -1;
        int keep = -1;              // one more descriptor that it inherits
    };

    Child() = default;
    ~Child();  // stops it, should it still run
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;

    // Starts argv[0], a path, with the arguments argv. Fails saying why
    // ("cannot start X: No such file or directory") when it could not be
    // run; nothing then runs.
    void start(const std::vector<std::string>& argv, const Setup& setup);

    // The program's file name, for messages.
    const std::string& name() const { return name_; }
    pid_t pid() const { return pid_; }
    // True while it runs; once it has ended, status() tells how.
    bool running();
    // As a shell reports it: the exit code, or 128 + the signal that ended it.
    std::optional<int> status() const { return status_; }
    // The signal that ended it, or 0.
    int signal() const { return signal_; }
    // Waits for it to end, and returns status().
    int wait();
    // Sends SIGTERM, and SIGKILL after `grace` should it still run.
    void stop(std::chrono::milliseconds grace = kStopGrace);

private:
    void reap(int raw);

    std::string name_;
    pid_t pid_ = -1;
    std::optional<int> status_;
    int signal_ = 0;
};

// Stops every child at once: SIGTERM to all, then SIGKILL to those still
// running after `grace`.
void stopAll(std::span<Child* const> children, std::chrono::milliseconds grace = kStopGrace);

}  // namespace ledcube::process

namespace process = ledcube::process;
