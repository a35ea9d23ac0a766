#pragma once

// What the cube plays, as the page and the API ask: an effect, a playlist of
// effects, what lighting programs send (cubelisten), a recording
// (cubereplay), or the PROGRAM of cubeweb's command line. Each runs as the
// one writer in the animation directory, a child of cubeweb; a new request
// stops the one before. Everything here runs on the server's loop thread,
// which started the children and so outlives them.
//
// A request is checked whole before anything stops: an unknown effect,
// setting, palette or source, a value out of its range, a recording or a
// sound file that is not a plain name in the recordings folder. The live
// input is only ever the default one. Nothing from a request becomes
// a command, a path or an option string: effects go by their names, settings
// by the effect's own table, sources through cubelisten's parser.

#include <nlohmann/json.hpp>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace ledcube::web {

class Recordings;

class Control {
public:
    struct Setup {
        int edge = 0;
        std::filesystem::path programs;     // where cubefx, cubelisten and cubereplay lie
        std::filesystem::path animDir;      // the writers' working directory, below the channel
        std::filesystem::path channelFile;  // the record, to darken the cube once nothing writes
        std::vector<std::string> program;   // PROGRAM and its arguments, found as cubeplay finds them
                                            // (common/rundir.h), run as they are; may be empty
    };

    Control(Setup setup, const Recordings& recordings);
    ~Control();  // stops what plays

    // POST /api/play: throws a Refusal, with nothing changed, when the
    // request is not one that play takes; else stops what played and starts it.
    void play(const nlohmann::json& request);
    // POST /api/stop: the writer stops and the cube goes dark.
    void stop();
    // About ten times a second: a playlist's item whose time is up gives way
    // to the next, a writer that has ended is let go. True when what plays
    // changed, so that the clients are told.
    bool tick();

    // What plays, in the shape that play takes, or null.
    nlohmann::json playing() const;
    // GET /api/effects.
    static nlohmann::json effects();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace ledcube::web

namespace web = ledcube::web;
