#pragma once

// The commands that the README and the pages of docs/ show, read from their
// markdown as the docs test runs them. A command is a line of a fenced block
// marked ```sh, and the lines of one block run as one script; HTML comments
// on the lines just above the fence adjust how the block runs:
//
//   <!-- docs-test: skip REASON -->           not run (a network peer, a
//                                             window, a whole build)
//   <!-- docs-test: replace "FROM" "TO" -->   FROM becomes TO in every line
//                                             before it runs (a shorter
//                                             --duration, a loopback address)
//   <!-- docs-test: interrupt after S -->     a block still running after S
//                                             seconds gets Ctrl-C, and passes
//                                             if Ctrl-C is what ends it

#include <optional>
#include <string>
#include <vector>

namespace docstest {

struct Block {
    std::string file;   // as given to parse, e.g. "docs/effects.md"
    int line = 0;       // the opening fence's line, from 1
    std::vector<std::string> commands;  // substitutions made, one a line
    std::string skip;   // why it is not run; empty when it runs
    std::optional<double> interruptAfter;  // seconds
};

struct Document {
    std::vector<Block> blocks;
    // What the markdown gets wrong: a marker not understood, a replacement
    // that matches nothing, a command shown outside a ```sh block.
    std::vector<std::string> problems;
};

Document parse(const std::string& file, const std::string& text);

// A name for the block that a test may carry: letters, digits and _ only.
std::string testName(const Block& block);

}  // namespace docstest
