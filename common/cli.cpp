#include "common/cli.h"

#include "common/process.h"
#include "lbox/pacing.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

namespace ledcube::cli {

namespace {

// Longer arguments are cut in messages, so that one line stays one line.
constexpr std::size_t kShownArgument = 60;
// The widest line of a help.
constexpr std::size_t kHelpWidth = 79;

}  // namespace

std::string toolkitVersion()
{
    return std::string(CUBE_PROJECT) + " " + CUBE_VERSION;
}

std::string builtEdges()
{
    std::string list;
    for (const int edge : kBuiltEdges) {
        if (!list.empty())
            list += ", ";
        list += std::to_string(edge);
    }
    return list;
}

std::string quoted(const std::string& argument)
{
    std::string shown = "'";
    shown += argument.substr(0, kShownArgument);
    if (argument.size() > kShownArgument)
        shown += "...";
    return shown += "'";
}

std::string fastHelp(std::size_t column)
{
    const std::string words = std::string("the fast channel (") + pacing::kModeVariable + "=" + pacing::kFastValue +
                              "): whole frames many times sooner, for a little CPU while they flow (docs/fast.md)";
    std::string text = std::string("  ") + kFastOption;
    text.append(column > text.size() ? column - text.size() : 1, ' ');
    std::size_t lineStart = 0;
    std::size_t wordStart = 0;
    for (bool first = true; wordStart < words.size(); first = false) {
        const std::size_t wordEnd = std::min(words.find(' ', wordStart), words.size());
        const std::size_t length = wordEnd - wordStart;
        if (!first && text.size() - lineStart + 1 + length > kHelpWidth) {
            text += '\n';
            lineStart = text.size();
            text.append(column, ' ');
        } else if (!first) {
            text += ' ';
        }
        text.append(words, wordStart, length);
        wordStart = wordEnd + 1;
    }
    return text + "\n";
}

void useFastChannel()
{
    if (::setenv(pacing::kModeVariable, pacing::kFastValue, 1) != 0)
        process::fail(process::because(std::string("cannot set ") + pacing::kModeVariable));
}

std::string programForEdge(std::string_view base, int edge)
{
    std::string name(base);
    return edge == kDefaultEdge ? name : name + std::to_string(edge);
}

std::string programName(const char* argv0, std::string_view fallback)
{
    const std::string started = argv0 ? std::filesystem::path(argv0).filename().string() : "";
    return started.empty() ? std::string(fallback) : started;
}

std::string viewerForEdge(int edge)
{
    return "cubeview" + std::to_string(edge);
}

int animationEdge(int min, int max)
{
    const char* given = std::getenv(kEdgeVariable);
    char* end = nullptr;
    const long edge = given ? std::strtol(given, &end, 10) : 0;
    return given && *given && *end == '\0' && edge >= min && edge <= max ? static_cast<int>(edge) : kDefaultEdge;
}

Parser::Parser(Tool tool, int argc, char** argv) : tool_(std::move(tool)), argc_(argc), argv_(argv) {}

bool Parser::next()
{
    if (++index_ >= argc_)
        return false;
    const std::string arg = current();
    if (!optionsEnded_ && arg == "--") {
        optionsEnded_ = true;
        return next();
    }
    if (!optionsEnded_ && arg == "--help") {
        std::fputs(tool_.help.c_str(), stdout);
        std::exit(std::fflush(stdout) == 0 ? EXIT_SUCCESS : EXIT_FAILURE);
    }
    if (!optionsEnded_ && arg == "--version") {
        std::printf("%s (%s) %s\n", tool_.name.c_str(), CUBE_PROJECT, CUBE_VERSION);
        std::exit(std::fflush(stdout) == 0 ? EXIT_SUCCESS : EXIT_FAILURE);
    }
    return true;
}

bool Parser::flag(const char* name)
{
    if (optionsEnded_)
        return false;
    const std::string arg = current();
    if (arg.starts_with(std::string(name) + "="))
        fail(std::string("option ") + name + " takes no value");
    return arg == name;
}

const char* Parser::option(const char* name)
{
    if (optionsEnded_)
        return nullptr;
    const char* arg = current();
    const std::size_t length = std::strlen(name);
    if (std::strncmp(arg, name, length) != 0)
        return nullptr;
    if (arg[length] == '=')
        return arg + length + 1;
    if (arg[length] != '\0')
        return nullptr;
    if (index_ + 1 >= argc_)
        fail(std::string("option ") + name + " needs a value");
    return argv_[++index_];
}

bool Parser::positional() const
{
    const char* arg = current();
    return optionsEnded_ || arg[0] != '-' || arg[1] == '\0';
}

std::vector<std::string> Parser::rest() const
{
    return {argv_ + index_, argv_ + argc_};
}

unsigned long Parser::count(const char* option, const char* value, unsigned long min, unsigned long max) const
{
    char* end = nullptr;
    errno = 0;
    const unsigned long n = std::strtoul(value, &end, 10);
    // strtoul would take leading blanks, a sign and an empty string.
    if (*value < '0' || *value > '9' || *end != '\0' || errno != 0 || n < min || n > max) {
        const std::string range = max == ULONG_MAX ? "of " + std::to_string(min) + " or more"
                                                   : "from " + std::to_string(min) + " to " + std::to_string(max);
        fail(std::string(option) + " takes a whole number " + range + ", not " + quoted(value));
    }
    return n;
}

double Parser::number(const char* option, const char* value, double min, double max) const
{
    char* end = nullptr;
    const double x = std::strtod(value, &end);
    if (end == value || *end != '\0' || !std::isfinite(x) || x < min || x > max) {
        char range[64];
        std::snprintf(range, sizeof range, "from %g to %g", min, max);
        fail(std::string(option) + " takes a number " + range + ", not " + quoted(value));
    }
    return x;
}

int Parser::edge(const char* option, const char* value) const
{
    for (const int edge : kBuiltEdges) {
        if (std::to_string(edge) == value)
            return edge;
    }
    fail(std::string(option) + " takes a built cube edge (" + builtEdges() + "), not " + quoted(value));
}

bool takeFast(Parser& args)
{
    if (!args.flag(kFastOption))
        return false;
    useFastChannel();
    return true;
}

void Parser::fail(const std::string& what) const
{
    process::fail(what + " (try '" + tool_.name + " --help')", kUsageStatus);
}

void Parser::unexpected() const
{
    if (positional())
        fail(std::string("unexpected argument ") + quoted(current()));
    fail(std::string("unknown option ") + quoted(current()));
}

}  // namespace ledcube::cli
