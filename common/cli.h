#pragma once

// The command line of each of the toolkit's own tools follows one convention:
// --help prints the tool's help text to standard output and exits 0,
// --version prints the toolkit's version, and a wrong option or value ends
// the tool with one line on standard error that names it and points to
// --help, with status 2.

#include <filesystem>
#include <string>
#include <vector>

namespace cli {

inline constexpr int kUsageStatus = 2;

// The cube edges this build has a viewer and a tracer for.
inline constexpr int kBuiltEdges[] = {CUBE_BUILT_EDGES};
inline constexpr int kDefaultEdge = 12;

// "12, 5": for help texts and messages.
std::string builtEdges();

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
    // The current argument is not one that the tool takes.
    [[noreturn]] void unexpected() const;

private:
    Tool tool_;
    int argc_;
    char** argv_;
    int index_ = 0;
    bool optionsEnded_ = false;
};

// The directory that holds the running program, where the toolkit's other
// commands lie too. A tool that cannot tell ends with a message, status 1.
std::filesystem::path programDir(const std::string& tool);

// The program `name` as PATH finds it, made absolute; empty when no entry of
// PATH holds a runnable file of that name. Empty entries are skipped, so the
// working directory is searched only when PATH names it.
std::filesystem::path onPath(const std::string& name);

// An argument as it appears in a message: quoted, and shortened when long.
std::string quoted(const std::string& argument);

}  // namespace cli
