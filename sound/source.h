#pragma once

// Where the sound comes from: a file, raw samples on standard input, or a
// live input. Each gives mono samples from -1 to 1 at its rate.

#include "sound/format.h"

#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

namespace ledcube::sound {

// A source that cannot be opened or read: "cannot read sound from
// 'song.mp4': File contains data in an unknown format."
class SoundError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Source {
public:
    virtual ~Source() = default;
    virtual int rate() const = 0;
    // The sound's length in seconds, where it is known before it ends (a file).
    virtual std::optional<double> length() const { return std::nullopt; }
    // Fills `window` with the samples that end at `end` seconds of sound,
    // the last being sample floor(end * rate), the one playing then; zeros
    // before the start and past the end. Standard input blocks until
    // they have come or it ends. A live source gives its newest samples,
    // whatever `end` says.
    virtual void window(double end, std::span<float> window) = 0;
    // Whether the sound ended before `end` seconds; never, for a live source.
    virtual bool endedBefore(double end) = 0;
    virtual bool live() const { return false; }
};

// SOURCE as --audio names it:
// - a sound file that libsndfile reads (WAV, FLAC, Ogg Vorbis...); it is read
//   through once here, so that one that is not sound, truncated or empty
//   throws SoundError before anything plays;
// - "-": raw samples of `format` on standard input;
// - "capture" or "capture:DEVICE": live input through ALSA, the default
//   device unless named. It opens at once; a device that fails, now or
//   later, says so in one line on standard error, under `program`'s name,
//   gives silence and is tried again once a second.
std::unique_ptr<Source> open(const std::string& source, const RawFormat& format, const std::string& program);

// Whether SOURCE names a live input rather than a file or standard input.
bool isCapture(const std::string& source);
// The device of "capture:DEVICE", or "default".
std::string captureDevice(const std::string& source);

}  // namespace ledcube::sound

namespace sound = ledcube::sound;
