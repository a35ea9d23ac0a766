#include "tests/docs/documented_commands.h"

#include <cctype>
#include <charconv>
#include <sstream>
#include <string_view>
#include <utility>

namespace docstest {

namespace {

constexpr std::string_view kFence = "```";
constexpr std::string_view kShellInfo = "sh";
constexpr std::string_view kMarkerOpen = "<!-- docs-test:";
constexpr std::string_view kMarkerClose = "-->";
constexpr std::string_view kIndent = "    ";  // an indented code block's

struct Replacement {
    std::string from;
    std::string to;
};

// What the markers above one fence say.
struct Markers {
    std::string skip;
    std::vector<Replacement> replacements;
    std::optional<double> interruptAfter;
    bool any = false;
};

std::string_view trim(std::string_view text)
{
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

bool startsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

// The next "quoted" string of `text`, which is left after it.
std::optional<std::string> takeQuoted(std::string_view& text)
{
    text = trim(text);
    if (text.empty() || text.front() != '"')
        return std::nullopt;
    const std::size_t end = text.find('"', 1);
    if (end == std::string_view::npos)
        return std::nullopt;
    std::string quoted(text.substr(1, end - 1));
    text.remove_prefix(end + 1);
    return quoted;
}

std::optional<double> seconds(std::string_view text)
{
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !(value > 0))
        return std::nullopt;
    return value;
}

// Reads one marker's words into `markers`; false when they mean nothing.
bool readMarker(std::string_view words, Markers& markers)
{
    constexpr std::string_view kSkip = "skip ";
    constexpr std::string_view kReplace = "replace ";
    constexpr std::string_view kInterrupt = "interrupt after ";
    markers.any = true;
    if (startsWith(words, kSkip)) {
        markers.skip = trim(words.substr(kSkip.size()));
        return !markers.skip.empty();
    }
    if (startsWith(words, kReplace)) {
        words.remove_prefix(kReplace.size());
        const std::optional<std::string> from = takeQuoted(words);
        const std::optional<std::string> to = takeQuoted(words);
        if (!from || !to || from->empty() || !trim(words).empty())
            return false;
        markers.replacements.push_back({*from, *to});
        return true;
    }
    if (startsWith(words, kInterrupt)) {
        markers.interruptAfter = seconds(trim(words.substr(kInterrupt.size())));
        return markers.interruptAfter.has_value();
    }
    return false;
}

// Whether a line of an indented code block starts with one of the
// toolkit's commands, which belong in a ```sh block where the test sees them.
bool looksLikeCommand(std::string_view line)
{
    if (!startsWith(line, kIndent))
        return false;
    std::string_view text = trim(line);
    const std::string_view word = text.substr(0, text.find(' '));
    if (word == "./run.sh" || word == "./test.sh")
        return true;
    if (!startsWith(word, "cube") || word.size() == std::string_view("cube").size())
        return false;
    for (const char c : word)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            return false;
    return true;
}

// Every FROM replaced by TO in each command; false when some FROM is in none.
bool substitute(std::vector<std::string>& commands, const std::vector<Replacement>& replacements)
{
    for (const Replacement& replacement : replacements) {
        bool found = false;
        for (std::string& command : commands)
            for (std::size_t at = command.find(replacement.from); at != std::string::npos;
                 at = command.find(replacement.from, at + replacement.to.size())) {
                command.replace(at, replacement.from.size(), replacement.to);
                found = true;
            }
        if (!found)
            return false;
    }
    return true;
}

class Parser {
public:
    explicit Parser(std::string file) : file_(std::move(file)) {}

    void line(std::string_view text)
    {
        ++number_;
        if (fence_)
            inFence(text);
        else if (startsWith(text, kFence))
            open(trim(text.substr(kFence.size())));
        else if (startsWith(text, kMarkerOpen))
            marker(text);
        else
            prose(text);
    }

    Document finish()
    {
        if (fence_)
            problem(fenceLine_, "a block that is never closed");
        return std::move(document_);
    }

private:
    void problem(int line, const std::string& what)
    {
        document_.problems.push_back(file_ + ":" + std::to_string(line) + ": " + what);
    }

    void open(std::string_view info)
    {
        fence_ = true;
        fenceLine_ = number_;
        shell_ = info == kShellInfo;
        if (markers_.any && !shell_)
            problem(number_, "docs-test markers above a block that is not ```sh");
        block_ = Block{file_, number_, {}, markers_.skip, markers_.interruptAfter};
        replacements_ = std::move(markers_.replacements);
        markers_ = {};
        continued_.clear();
    }

    void inFence(std::string_view text)
    {
        if (startsWith(text, kFence)) {
            fence_ = false;
            if (shell_)
                close();
            return;
        }
        if (!shell_)
            return;
        // A line ending in a backslash goes on in the next one.
        if (!text.empty() && text.back() == '\\') {
            continued_ += text.substr(0, text.size() - 1);
            return;
        }
        const std::string command = continued_ + std::string(text);
        continued_.clear();
        const std::string_view words = trim(command);
        if (!words.empty() && words.front() != '#')
            block_.commands.emplace_back(words);
    }

    void close()
    {
        if (block_.commands.empty())
            problem(block_.line, "a ```sh block with no command");
        if (!substitute(block_.commands, replacements_))
            problem(block_.line, "a docs-test replacement that matches no command of the block");
        document_.blocks.push_back(std::move(block_));
    }

    void marker(std::string_view text)
    {
        std::string_view words = trim(text.substr(kMarkerOpen.size()));
        const bool closed = words.size() >= kMarkerClose.size() &&
                            words.substr(words.size() - kMarkerClose.size()) == kMarkerClose;
        if (closed)
            words = trim(words.substr(0, words.size() - kMarkerClose.size()));
        if (!closed || !readMarker(words, markers_))
            problem(number_, "a docs-test marker not understood: " + std::string(text));
    }

    void prose(std::string_view text)
    {
        if (markers_.any) {
            problem(number_, "docs-test markers not directly above a ```sh block");
            markers_ = {};
        }
        if (looksLikeCommand(text))
            problem(number_, "a command outside a ```sh block, where the docs test cannot see it: " +
                                 std::string(trim(text)));
    }

    std::string file_;
    Document document_;
    int number_ = 0;
    Markers markers_;
    bool fence_ = false;
    bool shell_ = false;
    int fenceLine_ = 0;
    Block block_;
    std::vector<Replacement> replacements_;
    std::string continued_;
};

}  // namespace

Document parse(const std::string& file, const std::string& text)
{
    Parser parser(file);
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        parser.line(line);
    return parser.finish();
}

std::string testName(const Block& block)
{
    std::string name;
    std::string_view file = block.file;
    constexpr std::string_view kMarkdown = ".md";
    if (file.size() > kMarkdown.size() && file.substr(file.size() - kMarkdown.size()) == kMarkdown)
        file.remove_suffix(kMarkdown.size());
    for (const char c : file)
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name + "_" + std::to_string(block.line);
}

}  // namespace docstest
