#pragma once

// --play: a sound file through the default output, from its start, on a
// thread of its own, while the frames play.

#include <memory>
#include <string>

namespace ledcube::sound {

class Playback {
public:
    // Opens `file` and the output, so that either failing (SoundError) ends
    // cubefx before the channel is touched.
    Playback(const std::string& file, const std::string& program);
    // Starts playing, with the first frame.
    void start();
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
