#pragma once

// A source and its analysis together: what the player asks for at each
// frame. --audio-offset moves the frames against the sound: with an offset
// of d seconds, the frame at t hears the sound at t - d.

#include "sound/analysis.h"
#include "sound/source.h"

#include <memory>
#include <optional>
#include <vector>

namespace ledcube::sound {

class Hearing {
public:
    Hearing(std::unique_ptr<Source> source, int bands, double gateDb, double offsetSeconds);

    // The sound for the frame at `time` seconds since the play began;
    // frames come in order of time.
    const lSound& at(double time);
    // Whether the sound ended before the frame at `time`; never when live.
    bool endedBefore(double time);
    // The seconds of frames the sound lasts, where it is known at the start.
    std::optional<double> length() const;

private:
    std::unique_ptr<Source> source_;
    Analyser analyser_;
    double offset_;
    std::vector<float> window_;
};

}  // namespace ledcube::sound

namespace sound = ledcube::sound;
