#pragma once

// The recordings folder as the page and the API see it: the recordings in
// it, recording what plays, deleting, and downloading a recording as it is
// or made into a GIF (cuberender) or an export (cubeexport), in the
// background. A recording is named by a plain name, NAME for NAME.rec in the
// folder: no '/', no "..", nothing hidden. Sound files in the folder, for
// the effects to hear, go by their whole file name under the same rules.
//
// The loop thread calls everything but `code`, which the receiver thread
// calls for every code it is handed while a recording runs.

#include "lbox/lBox.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string_view>

namespace ledcube::web {

struct Response;

class Recordings {
public:
    struct Setup {
        std::filesystem::path folder;     // made when missing
        int edge = 0;
        std::filesystem::path programs;   // where cuberender and cubeexport lie
    };

    explicit Recordings(Setup setup);
    ~Recordings();  // ends a recording, stops the exports

    const std::filesystem::path& folder() const;
    // The file of the recording `name`: a Refusal 400 for a name that is not
    // plain, 404 for one that is not there.
    std::filesystem::path existing(std::string_view name) const;

    // The sound file `name`, such as "song.flac": a Refusal 400 for a name
    // that is not plain or not a sound file's, 404 for one that is not there.
    std::filesystem::path sound(std::string_view name) const;

    // GET /api/recordings.
    nlohmann::json list() const;
    // GET /api/sounds: {"sounds": [{"name", "bytes"}]}, by name.
    nlohmann::json sounds() const;
    // DELETE /api/recordings/NAME.
    void remove(std::string_view name);
    // POST /api/recordings/record and /stop: 409 when one runs already (or
    // none runs), or when NAME is there already.
    void startRecording(std::string_view name);
    void stopRecording();
    // On the receiver thread, for every code before it is acted on, with the
    // record holding it and the receiver's tables (the frame on show and
    // the one being built), from which a recording begins.
    void code(uint8_t code, const uint8_t* record, const storeColor* shown, const storeColor* building);

    // GET /api/recordings/NAME.FORMAT, FORMAT one of rec, gif, fseq, bin, h:
    // the file once made, else 202 and the progress while it is made.
    Response download(std::string_view name, std::string_view format);
    // About ten times a second: the exports' progress. True when the state
    // changed.
    bool tick();
    // {"recording": NAME or null, "exports": [{"name", "format", "progress"}]}
    nlohmann::json state() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace ledcube::web

namespace web = ledcube::web;
