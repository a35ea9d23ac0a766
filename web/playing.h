#pragma once

// What POST /api/play asks for, checked whole and turned into the writers'
// command lines without starting anything. Control plays a Plan; the tests
// and the fuzzer call checkPlay alone.
//
// Every word of a command line made here is either the toolkit's own (a
// program, an option's name) or a value that passed its check: an effect's
// or a setting's name from the effect's table, a number written anew, a
// palette or a colour from a fixed list, a source that cubelisten's parser
// took, a recording's or a sound file's path from the recordings folder.

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ledcube::web {

// One effect as cubefx plays it; only what the request gave, so that
// cubefx's own defaults hold for the rest.
struct EffectPlan {
    std::string name;
    std::vector<std::pair<std::string, std::string>> settings;  // key, value as cubefx reads it
    std::optional<double> duration;                             // none: until stopped
    std::optional<uint32_t> seed;
    std::optional<std::string> palette;
    std::optional<std::string> colour;
};

struct Plan {
    enum class Kind { effect, playlist, listen, recording, program };
    Kind kind = Kind::effect;
    std::vector<EffectPlan> effects;      // one for an effect, the items of a playlist
    bool loop = false;                    // a playlist or a recording starts over
    std::size_t index = 0;                // the playlist's item to begin with
    std::vector<std::string> listen;      // cubelisten's options, then "--" and its sources
    std::filesystem::path recording;      // absolute
    std::optional<double> speed;          // the recording's
    std::string sound;                    // what the effects hear (--audio): "capture", a file's path, or none
    bool playSound = false;               // the file through the default output too (--play)
    nlohmann::json normal;                // the request with its defaults, as playing() answers
};

struct PlayChecks {
    int edge = 0;
    bool programGiven = false;
    // The file of the recording NAME; throws a Refusal (400, 404) itself.
    std::function<std::filesystem::path(std::string_view name)> recording;
    // The file of the sound NAME; throws a Refusal (400, 404) itself.
    std::function<std::filesystem::path(std::string_view name)> sound;
};

// The request as a plan, or a Refusal that says what is wrong with it: 400,
// 409 for {"program": true} when no PROGRAM was given, or whatever
// `checks.recording` or `checks.sound` throws.
Plan checkPlay(const nlohmann::json& request, const PlayChecks& checks);

// The command line of a writer that plays `plan` (item `item` of a
// playlist) on a cube of `edge`, the toolkit's programs lying in
// `programs`. Not for a program's plan, whose command line is given.
std::vector<std::string> writerArgv(const Plan& plan, std::size_t item, const std::filesystem::path& programs,
                                    int edge);

}  // namespace ledcube::web

namespace web = ledcube::web;
