#pragma once

// The command line of each of the toolkit's own tools follows one convention:
// --help prints the tool's help text to standard output and exits 0,
// --version prints the toolkit's version, and a wrong option or value ends
// the tool with one line on standard error that names it and points to
// --help, with status 2 (a process::Failure, which process::run reports).

#include "common/edges.h"

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ledcube::cli {

inline constexpr int kUsageStatus = 2;

// The cube edges this build has a viewer and a tracer for (CUBE_EDGES); the
// one that a tool serves unless told otherwise is kDefaultEdge.
extern const std::span<const int> kBuiltEdges;

// "12, 5": for help texts and messages.
std::string builtEdges();

// The build of a per-edge program without a window (cubetrace, cubesend,
// cuberender) for `edge`: `base` itself at the default edge, `base<N>` at
// every other. CMake names the programs by the same rule.
std::string programForEdge(std::string_view base, int edge);
// The viewer for `edge`: cubeview<N> at every edge.
std::string viewerForEdge(int edge);

// cubeplay tells the animation programs it starts the edge of the viewer
// that it started, in this environment variable.
inline constexpr const char* kEdgeVariable = "CUBE_EDGE";
// The edge an animation program draws for unless told: kEdgeVariable when
// it holds an edge from `min` to `max`, else the default edge.
int animationEdge(int min, int max);

// --fast, which every tool takes that moves the frame channel or starts
// programs that do: the channel's fast mode (lbox/pacing.h) for the tool and
// every program it starts, as CUBE_CHANNEL=fast in its environment gives it.
inline constexpr const char* kFastOption = "--fast";

// The lines of --fast in a help whose descriptions start at `column`: the
// same words in every tool's help.
std::string fastHelp(std::size_t column);

// Puts the fast mode in this process's environment, whatever it held, so
// that the library or the receiver, which read it once as they start, and
// every program started from here on, run fast. Called while the command line
// is read, before any thread that could read the environment has started.
void useFastChannel();

// The name a tool speaks under: the file name it was started as (argv[0],
// null when the program was started with no arguments at all), so that a
// renamed or linked program names itself; `fallback` when there is none.
std::string programName(const char* argv0, std::string_view fallback);

// "ledcube 1.3.0": the toolkit and its version, as the files its tools make
// name them.
std::string toolkitVersion();

struct Tool {
    std::string name;  // as the tool names itself in messages
    std::string help;  // printed whole by --help
};

// Walks a command line one argument at a time:
//
//   while (args.next()) {
//       if (args.flag("--loop")) ...
//       else if (const char* v = args.option("--speed")) ...
//       else if (args.positional()) ...
//       else args.unexpected();
//   }
//
// An option's value is the next argument or follows '=' ("--speed=2").
// After "--" every argument counts as positional.
class Parser {
public:
    Parser(Tool tool, int argc, char** argv);

    // Moves to the next argument; false once none is left. Answers --help
    // and --version on the spot.
    bool next();
    // The current argument is the option `name`, which takes no value.
    bool flag(const char* name);
    // The current argument is the option `name`: its value, or nullptr when
    // it is another argument. A missing value is a usage error.
    const char* option(const char* name);
    bool positional() const;
    const char* current() const { return argv_[index_]; }
    // The current argument and all after it, left as they are: the command
    // line of a program that the tool runs.
    std::vector<std::string> rest() const;

    // A whole number from `min` to `max` given to `option`.
    unsigned long count(const char* option, const char* value, unsigned long min, unsigned long max) const;
    // A finite number from `min` to `max` given to `option`.
    double number(const char* option, const char* value, double min, double max) const;
    // One of the built edges given to `option`.
    int edge(const char* option, const char* value) const;

    // Ends the tool: "<tool>: <what> (try '<tool> --help')" and status 2.
    [[noreturn]] void fail(const std::string& what) const;
    const std::string& name() const { return tool_.name; }
    // The current argument is not one that the tool takes.
    [[noreturn]] void unexpected() const;

private:
    Tool tool_;
    int argc_;
    char** argv_;
    int index_ = 0;
    bool optionsEnded_ = false;
};

// The current argument is --fast, which then takes effect (useFastChannel).
bool takeFast(Parser& args);

// An argument as it appears in a message: quoted, and shortened when long.
std::string quoted(const std::string& argument);

}  // namespace ledcube::cli

// The toolkit's own names live under ledcube::, apart from the names of a
// program that links the installed libraries; the toolkit calls them short.
namespace cli = ledcube::cli;
