#pragma once

// --play: a sound file through the default output, from its start, on a
// thread of its own, while the frames play.

#include <memory>
#include <string>

namespace ledcube::sound {

class Playback {
public:
    // Starts playing `file`; throws SoundError when the file or the output
    // cannot be opened.
    Playback(const std::string& file, const std::string& program);
    // Stops the sound at once.
    ~Playback();
    Playback(const Playback&) = delete;
    Playback& operator=(const Playback&) = delete;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace ledcube::sound

namespace sound = ledcube::sound;
