#pragma once

// The sources behind open(), for the sound's own files and its tests: a
// stream of raw samples on any descriptor, a sound file, a live input, and
// what playback shares with them.

#include "sound/source.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <sndfile.h>
#include <span>
#include <string>
#include <vector>

namespace ledcube::sound {

// "the rate must be from 8000 to 192000, not '7000'".
std::string outOfRange(const std::string& what, int low, int high, const std::string& given);
// "cannot read sound from 'PATH': REASON".
SoundError unreadable(const std::string& path, const std::string& reason);
// Throws unreadable() for a rate or a count of channels that cubefx does not
// hear.
void checkFormat(const std::string& path, int rate, int channels);

// The sample that plays at `seconds`: floor(seconds * rate), less a millionth
// of a sample, so that a time such as 0.7 s, which a double holds a hair
// short, still lands on its own sample.
int64_t sampleAt(double seconds, int rate);

// Sound read in order from its start as the windows ask for it. The window
// ending at `end` holds the samples up to sampleAt(end), that one included.
// Windows only move forward, so only the samples from the latest window's
// first on are kept.
class Stream : public Source {
public:
    int rate() const override { return rate_; }
    void window(double end, std::span<float> window) override;
    bool endedBefore(double end) override;

protected:
    explicit Stream(int rate) : rate_(rate) {}
    // Appends the next samples to `mono`; false once the sound has ended.
    virtual bool readMore(std::vector<float>& mono) = 0;

private:
    int64_t next() const { return first_ + static_cast<int64_t>(held_.size()); }
    void readThrough(int64_t last);
    void forgetBefore(int64_t index);

    int rate_;
    std::vector<float> held_;  // samples first_, first_ + 1, ...
    int64_t first_ = 0;
    int64_t keepFrom_ = 0;  // the first sample of the latest window
    bool ended_ = false;
};

// A sound file open at its start, whose rate and channels cubefx hears;
// throws unreadable() otherwise.
class SoundFile {
public:
    explicit SoundFile(const std::string& path);
    int rate() const { return info_.samplerate; }
    int channels() const { return info_.channels; }
    // Decodes the whole file once and goes back to its start: its frames.
    // Throws unreadable() when it is cut short or holds no sound.
    int64_t check();
    // Up to `frames` frames, interleaved, into `samples`: how many came.
    int64_t read(std::vector<float>& samples, int64_t frames);

private:
    // Whether `decoded` frames, all there were, fall short of what the file
    // says it holds.
    bool cutShort(int64_t decoded);
    bool dataRunsPastEnd();

    std::string path_;
    SF_INFO info_{};
    std::unique_ptr<SNDFILE, int (*)(SNDFILE*)> file_;
};

std::unique_ptr<Source> openFile(const std::string& path);
// Raw samples of `format` read from `fd`, which `name` names in errors.
std::unique_ptr<Source> openStream(int fd, const RawFormat& format, const std::string& name);

// Where a live input says that it failed or came back: one line, no newline.
using Notice = std::function<void(const std::string& line)>;
std::unique_ptr<Source> openCapture(const std::string& device, const std::string& program, const Notice& notice);

// Keeps ALSA's own messages off standard error: what fails is said once, in
// our words, with ALSA's reason.
void quietAlsa();

}  // namespace ledcube::sound
