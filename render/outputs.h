#pragma once

// The files cuberender makes from the pictures of a show: an animated GIF,
// numbered PNG frames, or an MP4 or WebM video encoded by the ffmpeg program.
// Whatever the format, a run that fails or is abandoned leaves no output
// behind, and a reader never sees a half-written file: each file is written
// under a hidden temporary name beside OUTPUT and renamed onto it when whole.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace render {

// A picture of the viewer's window: rows from the top, 3 bytes (r, g, b) a pixel.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
};

enum class Format { Gif, Png, Mp4, Webm };
// By OUTPUT's ending (".gif", ".png", ".mp4", ".webm", compared without case); nullopt for any other.
std::optional<Format> formatOf(const std::string& path);

class Output {
public:
    virtual ~Output() = default;  // an Output destroyed without finish() abandons (removes what it wrote)
    // The picture shown from startUs (microseconds of output time; the first picture starts at 0,
    // starts only grow) until the next picture's start. false on failure, with error() saying why.
    virtual bool add(const Picture& picture, uint64_t startUs) = 0;
    // The last picture ends at endUs. Completes the file(s) and puts them in place. false on failure.
    virtual bool finish(uint64_t endUs) = 0;
    // Removes everything written so far. Safe to call more than once, and after a failure; after a
    // finish() that succeeded the output is the user's and stays.
    virtual void abandon() = 0;
    // Why it failed, whole and naming the file: "cannot write show.gif: No
    // space left on device".
    const std::string& error() const { return error_; }

protected:
    std::string error_;
};

struct OutputSettings {
    std::string path;  // OUTPUT as the user gave it
    int width = 0, height = 0;
    int fps = 30;            // frame rate of a video (1 to 60)
    std::size_t frames = 0;  // how many pictures will be added, for the PNG numbering width
};

inline constexpr int kMinFps = 1;
inline constexpr int kMaxFps = 60;

// Opens the writer for settings.path's format. nullptr with `error` set, whole, when it cannot
// start (e.g. "cannot make show.mp4: the program 'ffmpeg' is not installed (on Debian: apt-get
// install ffmpeg)", or the directory cannot be written). It leaves no file behind when it fails.
//
// What goes wrong with a file is told through error(), since the caller has the output to
// abandon; an ffmpeg that cannot be run at all ends the tool (process::Failure), as every
// program that a tool cannot run does.
//
// A video's ffmpeg is stopped should the thread that opened the output end, as well as when the
// whole process does: open it from a thread that lives until the output is finished.
std::unique_ptr<Output> openOutput(const OutputSettings& settings, std::string& error);

}  // namespace render
