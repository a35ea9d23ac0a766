#pragma once

// Effects: animations written as the cube's picture at a moment, played by
// one loop that every effect shares, with the options of cubefx. One effect
// is one class and one line in main:
//
//   class Pulse : public lEffect {
//   public:
//       void draw(lFrame& frame, double time) override
//       {
//           const float level = 0.5f + 0.5f * std::sin(time * rate);
//           frame.fill(lFrame::hsv(static_cast<float>(time) / 10, 1, level));
//       }
//
//   private:
//       const double& rate = setting("rate", 3, 0.1, 20, "beats a second, times 2 pi");
//   };
//
//   int main(int argc, char** argv)
//   {
//       return lPlayEffects(argc, argv, {{"pulse", "the whole cube breathes",
//                                         [] { return std::make_unique<Pulse>(); }}});
//   }
//
// Time comes from the frame number (frame k is at k / fps seconds, times
// --speed) and chance from lRandom, seeded from --seed: the same command
// line draws the same frames.

#include <lFrame.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Random numbers that are the same on every machine for the same seed.
class lRandom {
public:
    explicit lRandom(uint64_t seed = 1);
    uint32_t next();
    float uniform();                   // from 0 up to 1
    float uniform(float low, float high);
    int below(int n);                  // from 0 to n - 1
    bool chance(float probability);

private:
    uint64_t state_;
};

// A gradient of colours for a position from 0 to 1; beyond, it wraps round.
class lPalette {
public:
    // rainbow, fire, ice, ocean, forest, candy; rainbow by default.
    static const std::vector<std::string>& names();
    static bool find(const std::string& name, lPalette& palette);
    lPalette();

    storeColor at(float position) const;

private:
    std::vector<storeColor> stops_;
};

// The cube edges that effects play on, as --edge takes them: from lMinEdge
// to lMaxEdge LEDs along each side, lDefaultEdge unless told otherwise.
extern const int lMinEdge;
extern const int lMaxEdge;
extern const int lDefaultEdge;

// What the sound does at the frame being drawn, when the effects play to a
// sound (cubefx --audio). Without one, `given` is false and the rest is
// silence. Frame k hears the sound up to k / fps seconds, so the same sound
// gives the same frames.
struct lSound {
    bool given = false;
    float level = 0;           // loudness, 0 (silence) to 1, after the automatic gain
    std::vector<float> bands;  // from the lowest band (30 Hz) to the highest (16 kHz), each 0 to 1
    bool beat = false;         // a beat starts in this frame
    double tempo = 0;          // beats a minute, 0 until a few beats have come
    std::vector<float> wave;   // the newest samples, oldest first, from -1 to 1 after the gain
};

// What the command line gives every effect.
struct lEffectContext {
    int edge = lDefaultEdge;
    lRandom random;             // from --seed and the effect's name
    storeColor colour{};        // --colour, else the effect's own choice
    bool colourGiven = false;
    lPalette palette;           // --palette
    std::string text;           // --text
    const lSound* sound = nullptr;  // the player's, new before each draw; none: silence
};

class lEffect {
public:
    struct Setting {
        std::string key;
        double value;
        double min, max;
        std::string help;
    };

    virtual ~lEffect() = default;

    // Once, before the first frame; context() is ready from here on.
    virtual void begin() {}
    // Draws the picture at `time` seconds after the effect began. `frame`
    // holds what this effect drew last (every LED off at first): draw may
    // build on it, fade it or clear it.
    virtual void draw(lFrame& frame, double time) = 0;

    const std::deque<Setting>& settings() const { return settings_; }
    // "key=value" from the command line: false, with `error` saying why,
    // for a key the effect lacks or a value out of its range.
    bool set(const std::string& key, const std::string& value, std::string& error);
    void start(lEffectContext context);

    // Declares the setting "react", from 0 (the default) to 1: how much the
    // sound's level moves the effect's brightness and speed, which the player
    // does for it. For effects that do not follow the sound themselves.
    void reactToSound();
    // The setting "react", or 0 for an effect without it.
    double react() const;

protected:
    // Declares a setting and returns where its value lies for the effect's
    // life: a member `const double& drops = setting("drops", ...);`.
    const double& setting(const std::string& key, double initial, double min, double max, const std::string& help);
    lEffectContext& context() { return context_; }
    int edge() const { return context_.edge; }
    // --colour, or `fallback` when it was not given.
    storeColor colourOr(storeColor fallback) const { return context_.colourGiven ? context_.colour : fallback; }
    // The sound at the frame being drawn: silence when none is given.
    const lSound& sound() const;

private:
    std::deque<Setting> settings_;
    lEffectContext context_;
    const double* react_ = nullptr;
};

struct lEffectInfo {
    std::string name;
    std::string description;  // one line
    std::function<std::unique_ptr<lEffect>()> make;
    // Dark without a sound: left out of every effect played when there is
    // none, though it still plays when named.
    bool needsSound = false;
};

// The twenty-four effects of cubefx.
const std::vector<lEffectInfo>& lBuiltInEffects();

// Plays the effects named on the command line, or every one of `effects`
// when none is (but those that need a sound, without one), with the options
// of cubefx; main returns what it returns.
// The program names itself by argv[0], and its --help names its effects and
// gives examples with them. What it does to the process:
// - --help and --version print to standard output and end the process
//   through exit(), with status 0 (1 when standard output cannot be
//   written): main does not get control back. --version says
//   "<program> (ledcube) <the toolkit's version>".
// - --list prints the effects to standard output and returns 0.
// - A usage error (an unknown option, effect, colour or setting, a value out
//   of range, a setting given twice) prints one line to standard error,
//   "<program>: <what> (try '<program> --help')", and returns 2. Any other
//   failure, such as no frame channel at ../shared_buffer.txt, prints
//   "<program>: <what>" there and returns 1. Either comes before the channel
//   is touched.
// - With --audio, frame k of the play hears the sound up to k / fps seconds
//   (sound()), and a file or standard input that ends ends the play. A
//   sound that cannot be read is a failure as above; a live input that
//   fails is one line on standard error, silence, and another try a second
//   later.
// - As it plays, it says on standard error which effect starts, when an
//   effect plays slower than --fps because the channel carries fewer frames,
//   and when nothing answers the channel.
// - It blocks SIGINT, SIGTERM and SIGHUP in the calling thread, and so in
//   every thread started from it later, and takes them on a thread of its
//   own; they stay blocked after it returns. The first stops the play
//   between frames, leaves the cube dark and returns 0. When nothing
//   answers the channel after it, it answers its own codes, so that it
//   still returns within about a second.
// - At the end of the list it leaves the cube dark and returns 0. The
//   library (lBox) still prints its closing line on standard output as the
//   process ends.
int lPlayEffects(int argc, char** argv, const std::vector<lEffectInfo>& effects);
