#pragma once

// The run directory that cubeplay and cubeweb lay out for an animation:
//
//   RUN/shared_buffer.txt   the channel: 46 zero bytes, made fresh
//   RUN/anim/               the animation's working directory, with links to
//                           the helpers launch, app5 and app12
//
// and how the program that plays there is found and given its arguments.

#include <filesystem>
#include <string>

namespace ledcube::rundir {

inline constexpr const char* kAnimDir = "anim";

// Why `path` cannot be run, or "" when it can.
std::string whyNotRunnable(const std::filesystem::path& path);

// The directory of the helpers (launch, app5, app12): beside the commands in
// a build tree, in their own directory once installed.
std::filesystem::path helperDir(const std::filesystem::path& programs);

// A fresh channel file in `dir`, renamed into place: a receiver still running
// on the old one from an earlier run keeps its own file and never sees it
// shrink.
void makeChannelFile(const std::filesystem::path& dir);

// Makes RUN, its channel file and RUN/anim with the helpers' links.
void layOut(const std::filesystem::path& run, const std::filesystem::path& helpers);

// The program to run in RUN/anim: a name with '/' as a path from here, made
// absolute; a bare name one of the toolkit's `programs` or a program on PATH.
// Fails saying why when it cannot be run.
std::string resolveProgram(const std::string& name, const std::filesystem::path& programs);

// An argument written as a path that names something from the user's working
// directory, made absolute, as the animation runs in RUN/anim: "cubereplay
// show.rec" plays the show.rec that the user sees. A word without '/' or '.'
// goes as it is, even where a file of that name lies: a number ("cubeshow
// 12") or a helper that RUN/anim holds ("launch app5").
std::string passedOn(const std::string& argument);

}  // namespace ledcube::rundir

namespace rundir = ledcube::rundir;
