// The loop that plays effects: the command line of cubefx, the frames at
// their rate through an lFrameWriter, what the effects hear, and a dark cube
// at the end.

#include "common/cli.h"
#include "common/fnv.h"
#include "common/process.h"
#include "common/writer.h"
#include "effects/lEffect.h"
#include "effects/options.h"
#include "effects/player.h"
#include "sound/hearing.h"
#include "sound/playback.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

namespace {

using Clock = std::chrono::steady_clock;

using cli::kMaxEdge;
using cli::kMinEdge;
using effects::kDefaultDuration;
using effects::kDefaultSeed;
using effects::kMaxDuration;
using effects::kMinDuration;
constexpr double kDefaultFps = 30.0;
constexpr double kMinFps = 1.0;
constexpr double kMaxFps = 240.0;
constexpr double kMinSpeed = 0.01;
constexpr double kMaxSpeed = 100.0;
constexpr char kSettingsMark = ':';
constexpr double kMaxAudioOffsetMs = 10000.0;
constexpr double kMillisecond = 0.001;
constexpr char kStandardInput[] = "-";

struct Named {
    const lEffectInfo* info;
    std::vector<std::pair<std::string, std::string>> settings;  // key, value
};

// A setting's value as the help and --list write it: 4, 0.5, 1e+03.
std::string shortest(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// As the command line names it: "rain" or "rain:drops=4,length=3".
std::string spelled(const Named& named)
{
    std::string word = named.info->name;
    for (std::size_t i = 0; i < named.settings.size(); ++i)
        word += (i == 0 ? kSettingsMark : ',') + named.settings[i].first + "=" + named.settings[i].second;
    return word;
}

struct Options {
    int edge = cli::animationEdge(kMinEdge, kMaxEdge);
    double duration = kDefaultDuration;
    bool loop = false;
    double fps = kDefaultFps;
    double speed = 1.0;
    uint32_t seed = kDefaultSeed;
    std::optional<storeColor> colour;
    lPalette palette;
    std::string text = "HELLO CUBE";
    bool list = false;
    bool named = false;  // effects were named, rather than all taken
    bool unpaced = false;
    std::vector<Named> effects;
    bool durationGiven = false;  // else, with a sound, until the sound ends
    // What the effects hear, with --audio.
    std::optional<std::string> audio;
    sound::RawFormat audioFormat;
    bool audioFormatGiven = false;
    std::vector<std::string> soundOptions;  // the others given, for a message when --audio is not
    bool playSound = false;
    double audioOffsetMs = 0;
    std::optional<int> bands;  // else the edge
    double gateDb = sound::kDefaultGateDb;
};

// The effects that the help's examples play. cubefx shows its favourites;
// a program of one's own that lacks them names its own effects and plays
// them in the examples, so that every example runs on it.
struct HelpEffects {
    std::string named;     // "Its effects: pulse.\n", or "" where --list is enough
    std::string first;     // "rain"
    std::string several;   // "rain snake fireworks"
    std::string paletted;  // "plasma"
    std::string setting;   // "rain:drops=4,length=3", or "" where no effect has one
    std::string sounding;  // "bars"
};

const HelpEffects kFavourites{"", "rain", "rain snake fireworks", "plasma", "rain:drops=4,length=3", "bars"};
constexpr std::size_t kExampleEffects = 3;
constexpr std::size_t kExampleSettings = 2;
constexpr std::size_t kHelpWidth = 79;
constexpr std::size_t kHelpColumn = 20;  // where the options' descriptions start

bool hasFavourites(const std::vector<lEffectInfo>& effects)
{
    const auto has = [&](const std::string& name) {
        return std::any_of(effects.begin(), effects.end(), [&](const lEffectInfo& e) { return e.name == name; });
    };
    return has("rain") && has("snake") && has("fireworks") && has("plasma") && has("bars");
}

// "pulse:rate=1,colours=6": the first effect that has settings, with its
// first ones at their defaults.
std::string settingExample(const std::vector<lEffectInfo>& effects)
{
    for (const lEffectInfo& info : effects) {
        const std::unique_ptr<lEffect> effect = info.make();
        Named example{&info, {}};
        for (std::size_t i = 0; i < std::min(kExampleSettings, effect->settings().size()); ++i)
            example.settings.emplace_back(effect->settings()[i].key, shortest(effect->settings()[i].value));
        if (!example.settings.empty())
            return spelled(example);
    }
    return "";
}

// "Its effects: a, b, c." in lines of at most kHelpWidth columns.
std::string namedEffects(const std::vector<lEffectInfo>& effects)
{
    std::string text = "Its effects:";
    std::size_t lineStart = 0;
    for (std::size_t i = 0; i < effects.size(); ++i) {
        const std::string word = effects[i].name + (i + 1 < effects.size() ? "," : ".");
        if (text.size() - lineStart + 1 + word.size() > kHelpWidth) {
            text += "\n ";
            lineStart = text.size() - 1;
        }
        text += " " + word;
    }
    return text + "\n";
}

HelpEffects helpEffects(const std::vector<lEffectInfo>& effects)
{
    if (effects.empty() || hasFavourites(effects))
        return kFavourites;
    HelpEffects shown{namedEffects(effects), effects.front().name, "", effects.back().name, settingExample(effects),
                      effects.front().name};
    for (std::size_t i = 0; i < std::min(kExampleEffects, effects.size()); ++i)
        shown.several += (i == 0 ? "" : " ") + effects[i].name;
    return shown;
}

std::string help(const std::string& name, const std::vector<lEffectInfo>& effects)
{
    std::string palettes;
    for (const std::string& palette : lPalette::names())
        palettes += (palettes.empty() ? "" : ", ") + palette;
    const HelpEffects shown = helpEffects(effects);
    return "Usage: " + name + " [OPTION]... [EFFECT[:KEY=VALUE,...]]...\n"
           "Plays effects on the cube, one after another, each for --duration seconds:\n"
           "the effects named, or every one when none is. It is an animation program:\n"
           "run it one directory below the viewer (cubeplay --edge 8 " + name + " " + shown.first + ").\n"
           "The same command line plays the same frames. Ctrl-C leaves the cube dark.\n" +
           (shown.named.empty() ? "" : "\n" + shown.named) +
           "\n"
           "  --list            name every effect, with what it does and its settings;\n"
           "                    with EFFECTs, what each of their settings does\n"
           "  --edge N          the cube's edge, " + std::to_string(kMinEdge) + " to " + std::to_string(kMaxEdge) +
           ", as the viewer's (default " + std::to_string(cli::kDefaultEdge) + ", or\n"
           "                    the viewer's edge under cubeplay)\n"
           "  --duration S      seconds each effect plays (default " + shortest(kDefaultDuration) + ")\n"
           "  --loop            play the list again and again, until Ctrl-C\n"
           "  --fps F           frames a second (default 30); when the channel carries\n"
           "                    fewer, the effects play slower, never skipping a frame\n"
           "  --speed F         how fast time runs in the effects (default 1)\n"
           "  --seed N          the seed of every chance (default " + std::to_string(kDefaultSeed) + ")\n"
           "  --colour C        the colour of the effects that take one: a name (red,\n"
           "                    orange, white...), #rrggbb or r,g,b from 0 to 1\n"
           "  --palette P       the colours of the effects that take many:\n"
           "                    " + palettes + "\n"
           "  --text STRING     what the text effect scrolls (default HELLO CUBE)\n"
           "  --unpaced         show each frame as soon as the last has gone out\n" +
           cli::fastHelp(kHelpColumn) +
           "\n"
           "Sound: bars, pulse, beat, waveform and spectrum follow it; every other\n"
           "effect takes the setting react=0..1, how much the sound moves it.\n"
           "  --audio SOURCE    hear a sound file (WAV, FLAC, Ogg...), - for raw samples\n"
           "                    on standard input, or capture[:DEVICE] for a live input\n"
           "                    (ALSA's default device unless named); with a file or -,\n"
           "                    --duration is until the sound ends unless given\n"
           "  --audio-format F  what - carries: ENC:RATE:CHANNELS, ENC s16le, s32le or\n"
           "                    f32le (default s16le:44100:2)\n"
           "  --play            play the sound file through the default output too\n"
           "  --audio-offset MS show the frames MS later than the sound they hear, to\n"
           "                    match a device's delay (default 0; may be negative)\n"
           "  --bands B         bands of the spectrum, 1 to " + std::to_string(sound::kMaxBands) +
           " (default the edge)\n"
           "  --gate DB         sound below DB dBFS is silence (default " + shortest(sound::kDefaultGateDb) + ")\n"
           "\n"
           "  --help            show this help and exit\n"
           "  --version         show the version and exit\n"
           "\n" +
           (shown.setting.empty() ? "" : "A setting goes after the effect's name: " + shown.setting + ".\n\n") +
           "Examples:\n"
           "  " + name + " --edge 8 " + shown.several + "\n"
           "  " + name + " --edge 8 --loop --duration 20 --palette fire " + shown.paletted + "\n"
           "  " + name + " --edge 8 --audio song.flac --play " + shown.sounding + "\n";
}

// "rain" or "rain:drops=4,length=3".
Named parseEffect(const cli::Parser& args, const std::string& word, const std::vector<lEffectInfo>& effects)
{
    const std::string name = word.substr(0, word.find(kSettingsMark));
    const auto info = std::find_if(effects.begin(), effects.end(), [&](const lEffectInfo& e) { return e.name == name; });
    if (info == effects.end())
        args.fail("unknown effect " + cli::quoted(name) + "; " + args.name() + " --list names every one");
    Named named{&*info, {}};
    if (name.size() == word.size())
        return named;
    std::string rest = word.substr(name.size() + 1);
    while (!rest.empty()) {
        const std::string item = rest.substr(0, rest.find(','));
        rest.erase(0, std::min(rest.size(), item.size() + 1));
        const std::size_t equals = item.find('=');
        if (equals == std::string::npos || equals == 0)
            args.fail(name + ": a setting is KEY=VALUE, not " + cli::quoted(item));
        const std::string key = item.substr(0, equals);
        if (std::any_of(named.settings.begin(), named.settings.end(), [&](const auto& s) { return s.first == key; }))
            args.fail(name + ": " + cli::quoted(key) + " is given twice");
        named.settings.emplace_back(key, item.substr(equals + 1));
    }
    // Every setting is tried now, on an effect of its own: a mistake is told
    // before the channel is touched.
    std::unique_ptr<lEffect> trial = info->make();
    for (const auto& [key, value] : named.settings) {
        std::string error;
        if (!trial->set(key, value, error))
            args.fail(name + ": " + cli::quoted(key) + " " + error);
    }
    return named;
}

// One of the options of what the effects hear, when it is the current one.
bool readSoundOption(cli::Parser& args, Options& options)
{
    const std::string given = args.current();
    if (args.flag("--play"))
        options.playSound = true;
    else if (const char* v = args.option("--audio")) {
        options.audio = v;
        return true;
    } else if (const char* v = args.option("--audio-format")) {
        std::string error;
        if (!sound::parseRawFormat(v, options.audioFormat, error))
            args.fail("--audio-format: " + error);
        options.audioFormatGiven = true;
    } else if (const char* v = args.option("--audio-offset"))
        options.audioOffsetMs = args.number("--audio-offset", v, -kMaxAudioOffsetMs, kMaxAudioOffsetMs);
    else if (const char* v = args.option("--bands"))
        options.bands = static_cast<int>(args.count("--bands", v, 1, sound::kMaxBands));
    else if (const char* v = args.option("--gate"))
        options.gateDb = args.number("--gate", v, sound::kMinGateDb, sound::kMaxGateDb);
    else
        return false;
    options.soundOptions.push_back(given.substr(0, given.find('=')));
    return true;
}

// The options of what the effects hear go with the sound they describe.
void checkSoundOptions(const cli::Parser& args, const Options& options)
{
    if (!options.audio && !options.soundOptions.empty())
        args.fail(options.soundOptions.front() + " goes with --audio SOURCE");
    if (options.audioFormatGiven && *options.audio != kStandardInput)
        args.fail("--audio-format describes standard input: it goes with --audio -");
    const bool file = options.audio && *options.audio != kStandardInput && !sound::isCapture(*options.audio);
    if (options.playSound && !file)
        args.fail("--play plays a sound file: it goes with --audio FILE");
}

Options parseOptions(const std::string& name, int argc, char** argv, const std::vector<lEffectInfo>& effects)
{
    Options options;
    cli::Parser args({name, help(name, effects)}, argc, argv);
    while (args.next()) {
        if (args.flag("--list"))
            options.list = true;
        else if (args.flag("--loop"))
            options.loop = true;
        else if (args.flag("--unpaced"))
            options.unpaced = true;
        else if (cli::takeFast(args))
            ;
        else if (const char* v = args.option("--edge"))
            options.edge = static_cast<int>(args.count("--edge", v, kMinEdge, kMaxEdge));
        else if (const char* v = args.option("--duration")) {
            options.duration = args.number("--duration", v, kMinDuration, kMaxDuration);
            options.durationGiven = true;
        } else if (readSoundOption(args, options))
            ;
        else if (const char* v = args.option("--fps"))
            options.fps = args.number("--fps", v, kMinFps, kMaxFps);
        else if (const char* v = args.option("--speed"))
            options.speed = args.number("--speed", v, kMinSpeed, kMaxSpeed);
        else if (const char* v = args.option("--seed"))
            options.seed = static_cast<uint32_t>(args.count("--seed", v, 0, UINT32_MAX));
        else if (const char* v = args.option("--colour")) {
            storeColor colour{};
            if (!effects::parseColour(v, colour))
                args.fail("--colour takes " + effects::colourForms() + ", not " + cli::quoted(v));
            options.colour = colour;
        } else if (const char* v = args.option("--palette")) {
            if (!lPalette::find(v, options.palette))
                args.fail("--palette takes one of the palettes that --help names, not " + cli::quoted(v));
        } else if (const char* v = args.option("--text")) {
            options.text = v;
            const auto drawn = [](char ch) { return ch != ' ' && lFrame::glyph(ch) != nullptr; };
            if (std::none_of(options.text.begin(), options.text.end(), drawn))
                args.fail("--text takes words with a letter, digit or sign to show, not " + cli::quoted(v));
        }
        else if (args.positional())
            options.effects.push_back(parseEffect(args, args.current(), effects));
        else
            args.unexpected();
    }
    checkSoundOptions(args, options);
    options.named = !options.effects.empty();
    if (!options.named)
        for (const lEffectInfo& info : effects)
            options.effects.push_back({&info, {}});
    return options;
}

// One line an effect: its name, what it does and its settings' defaults;
// or, for effects named, each setting with its range and meaning.
void list(const std::vector<lEffectInfo>& effects, const Options& options)
{
    std::size_t width = 0;
    for (const lEffectInfo& info : effects)
        width = std::max(width, info.name.size());
    for (const Named& named : options.effects) {
        const lEffectInfo& info = *named.info;
        std::string line = info.name + std::string(width + 2 - info.name.size(), ' ') + info.description;
        std::string settings;
        const std::unique_ptr<lEffect> effect = info.make();
        for (const lEffect::Setting& s : effect->settings()) {
            settings += (settings.empty() ? "" : ", ") + s.key + "=" + shortest(s.value);
            if (options.named)
                line += "\n  " + s.key + "=" + shortest(s.value) + " (" + shortest(s.min) + " to " + shortest(s.max) +
                        "): " + s.help;
        }
        if (!settings.empty() && !options.named)
            line += " [" + settings + "]";
        std::printf("%s\n", line.c_str());
    }
}

// Shows the effects' frames at their rate, until the list ends or a stop.
class Player {
public:
    // `hearing`, when the effects play to a sound, outlives the player.
    Player(const std::string& name, const Options& options, const writer::Guard& guard, sound::Hearing* hearing,
           sound::Playback* playback)
        : name_(name),
          options_(options),
          guard_(guard),
          hearing_(hearing),
          playback_(playback),
          box_(lBox::getInstance(static_cast<uint8_t>(options.edge), static_cast<uint8_t>(options.edge),
                                 static_cast<uint8_t>(options.edge))),
          writer_(box_, options.edge),
          frame_(options.edge),
          shown_(options.edge),
          frameTime_(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / options.fps)))
    {
    }

    void play()
    {
        if (playback_ != nullptr)
            playback_->start();
        due_ = Clock::now();
        do {
            for (const Named& named : options_.effects)
                if (hears(named) && !play(named))
                    return;
        } while (options_.loop);
    }

    // The cube dark; the library still sends this last frame as it ends.
    void end()
    {
        frame_.clear();
        writer_.show(frame_);
    }

    // Why the sound could no longer be read, which ended the play; empty
    // when it could.
    const std::string& lost() const { return lost_; }

private:
    // Every effect played goes without those that would be dark for want of
    // a sound; one named plays anyway.
    bool hears(const Named& named) const
    {
        return options_.named || hearing_ != nullptr || !named.info->needsSound;
    }

    bool play(const Named& named)
    {
        std::unique_ptr<lEffect> effect = named.info->make();
        std::string ignored;  // tried when the command line was read
        for (const auto& [key, value] : named.settings)
            effect->set(key, value, ignored);
        lEffectContext context;
        context.edge = options_.edge;
        // Each effect's chance is its own: adding another to the list
        // changes none of its frames.
        context.random = lRandom((uint64_t{options_.seed} << 32) | fnv::hash(named.info->name));
        context.colourGiven = options_.colour.has_value();
        context.colour = options_.colour.value_or(storeColor{});
        context.palette = options_.palette;
        context.text = options_.text;
        context.sound = &heard_;
        frame_.clear();
        effect->start(std::move(context));
        playing_ = &named;
        warned_ = false;
        say(named);

        // Without --duration, a sound plays its effect until it ends.
        const bool untilTheEnd = hearing_ != nullptr && !options_.durationGiven;
        const long frames = std::max(1L, std::lround(options_.duration * options_.fps));
        double reactingTime = 0;
        for (long k = 0; untilTheEnd || k < frames; ++k) {
            if (guard_.stopRequested() || !hear())
                return false;
            double time = static_cast<double>(k) / options_.fps * options_.speed;
            const double react = heard_.given ? effect->react() : 0.0;
            if (react > 0) {
                // The level moves time: silence slows it to 1 - react, a
                // full level speeds it to 1 + react.
                time = reactingTime;
                reactingTime += options_.speed / options_.fps * (1 + react * (2 * heard_.level - 1));
            }
            effect->draw(frame_, time);
            show(react);
            ++shownFrames_;
            pace();
        }
        return true;
    }

    void say(const Named& named) const
    {
        const std::string word = spelled(named);
        if (hearing_ == nullptr || options_.durationGiven)
            std::fprintf(stderr, "%s: playing %s for %g s\n", name_.c_str(), word.c_str(), options_.duration);
        else if (const std::optional<double> length = hearing_->length())
            std::fprintf(stderr, "%s: playing %s for %g s, to the sound's end\n", name_.c_str(), word.c_str(),
                         *length);
        else
            std::fprintf(stderr, "%s: playing %s to the sound's end\n", name_.c_str(), word.c_str());
    }

    // What the next frame hears: its sound follows the frames shown since
    // the play began, whichever effect plays. False once the sound has ended.
    bool hear()
    {
        if (hearing_ == nullptr)
            return true;
        const double time = static_cast<double>(shownFrames_) / options_.fps;
        try {
            if (hearing_->endedBefore(time))
                return false;
            heard_ = hearing_->at(time);
        } catch (const sound::SoundError& error) {
            lost_ = error.what();
            return false;
        }
        return true;
    }

    // The effect's frame, its brightness moved by the level when it reacts.
    void show(double react)
    {
        if (react <= 0) {
            writer_.show(frame_);
            return;
        }
        shown_ = frame_;
        shown_.dim(static_cast<float>(1 - react * (1 - heard_.level)));
        writer_.show(shown_);
    }

    // Waits for the next frame's time. A channel that cannot carry the rate
    // makes the effects slower: the clock starts again from now, so no frame
    // is skipped and no backlog builds.
    void pace()
    {
        if (options_.unpaced)
            return;
        due_ += frameTime_;
        const Clock::time_point now = Clock::now();
        if (now > due_ + frameTime_) {
            if (!warned_)
                std::fprintf(stderr,
                             "%s: %s plays slower than %g frames a second: the channel carries fewer at edge %d\n",
                             name_.c_str(), playing_->info->name.c_str(), options_.fps, options_.edge);
            warned_ = true;
            due_ = now;
            return;
        }
        guard_.sleepUntil(due_);
    }

    std::string name_;
    const Options& options_;
    const writer::Guard& guard_;
    sound::Hearing* hearing_;
    sound::Playback* playback_;  // with --play
    lBox* box_;
    lFrameWriter writer_;
    lSound heard_;               // what the frame being drawn hears
    long shownFrames_ = 0;       // since the play began: the sound's clock
    lFrame frame_;               // as the effect drew it
    lFrame shown_;               // dimmed by the level, for an effect that reacts
    Clock::duration frameTime_;
    Clock::time_point due_;
    const Named* playing_ = nullptr;
    bool warned_ = false;  // about the effect playing
    std::string lost_;
};

std::unique_ptr<sound::Hearing> listen(const std::string& name, const Options& options)
{
    if (!options.audio)
        return nullptr;
    try {
        return std::make_unique<sound::Hearing>(sound::open(*options.audio, options.audioFormat, name),
                                                options.bands.value_or(options.edge), options.gateDb,
                                                options.audioOffsetMs * kMillisecond);
    } catch (const sound::SoundError& error) {
        process::fail(error.what());
    }
}

std::unique_ptr<sound::Playback> playThrough(const std::string& name, const Options& options)
{
    if (!options.playSound)
        return nullptr;
    try {
        return std::make_unique<sound::Playback>(*options.audio, name);
    } catch (const sound::SoundError& error) {
        process::fail(error.what());
    }
}

// The play, once its options are read: the effects' frames until the list
// ends or a stop, and a dark cube. Returns the stop signal that ended it
// early, 0 when none did.
int play(const std::string& name, const Options& options, int argc, char** argv)
{
    // A sound that cannot be read fails before the channel is touched.
    const std::unique_ptr<sound::Hearing> hearing = listen(name, options);
    const std::unique_ptr<sound::Playback> playback = playThrough(name, options);
    const writer::Guard guard(name, options.edge, argc, argv);
    Player player(name, options, guard, hearing.get(), playback.get());
    try {
        player.play();
    } catch (...) {
        player.end();  // an effect that fails leaves the cube dark too
        throw;
    }
    player.end();
    if (!player.lost().empty())
        process::fail(player.lost());
    return guard.stopSignal();
}

}  // namespace

int ledcube::effects::playEffects(const std::string& name, const std::vector<std::string>& args,
                                  const std::vector<lEffectInfo>& effects, const std::vector<std::string>& commandLine)
{
    std::vector<std::string> words{name};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv = process::argumentVector(words);
    const Options options = parseOptions(name, static_cast<int>(words.size()), argv.data(), effects);
    std::vector<char*> host = process::argumentVector(commandLine);
    return play(name, options, static_cast<int>(commandLine.size()), host.data());
}

int lPlayEffects(int argc, char** argv, const std::vector<lEffectInfo>& effects)
{
    const std::string name = cli::programName(argv[0], "cubefx");
    return process::run(name, [&] {
        const Options options = parseOptions(name, argc, argv, effects);
        if (options.list) {
            list(effects, options);
            return EXIT_SUCCESS;
        }
        play(name, options, argc, argv);
        return EXIT_SUCCESS;
    });
}
