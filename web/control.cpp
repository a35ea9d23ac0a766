// What the cube plays: a request is checked whole into a Plan (checkPlay),
// and the plan is played by one writer at a time, a child of cubeweb in the
// animation directory.

#include "web/control.h"

#include "common/mapping.h"
#include "common/process.h"
#include "effects/lEffect.h"
#include "effects/options.h"
#include "lbox/channel.h"
#include "net/listen.h"
#include "net/protocols.h"
#include "net/targets.h"
#include "record/recording.h"
#include "web/api.h"
#include "web/playing.h"
#include "web/recordings.h"
#include "web/status.h"
#include "wiring/pixels.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <limits>
#include <span>
#include <thread>

namespace ledcube::web {

namespace {

using json = nlohmann::json;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kRainExample = "{\"effect\": \"rain\", \"duration\": 20}";
// The sound that cubefx's --audio takes as the default live input. No sound
// file's name is this: each ends in its kind's extension.
constexpr const char* kCapture = "capture";

// A writer asked to stop leaves the channel within a frame or two; then the
// library holds it for a second more as it ends. That hold, or a writer that
// ignores the request, is not worth holding the server's loop for: it is
// killed after this. A kill is harmless to the channel, whose receiver
// answers a code whoever stored it, and the next writer's first frames go
// out whole.
constexpr auto kWriterGrace = 250ms;
// How long darkening the cube waits for the receiver to take each code.
constexpr auto kChannelWait = 250ms;
constexpr auto kChannelPoll = 1ms;
// A value quoted in a message is cut after this many bytes.
constexpr std::size_t kShownLength = 40;
// The bytes that continue a UTF-8 character are 10xxxxxx.
constexpr unsigned char kUtf8TailMask = 0xc0;
constexpr unsigned char kUtf8Tail = 0x80;

// The shapes of a request, by the field that names each.
constexpr std::array kShapes{"effect", "playlist", "listen", "recording", "program"};
constexpr std::array kEffectFields{"effect", "settings", "palette", "colour", "seed", "duration", "sound", "play"};
constexpr std::array kItemFields{"effect", "settings", "palette", "colour", "seed", "duration"};
constexpr std::array kPlaylistFields{"playlist", "loop", "index", "sound", "play"};
constexpr std::array kListenFields{"listen", "options"};
constexpr std::array kRecordingFields{"recording", "speed", "loop"};
constexpr std::array kProgramFields{"program"};

[[noreturn]] void refuse(const std::string& message)
{
    throw Refusal{status::kBadRequest, message};
}

// `text` cut short between two UTF-8 characters, so that a message that
// quotes it is still text that JSON can carry.
std::string cutShort(const std::string& text)
{
    if (text.size() <= kShownLength)
        return text;
    std::size_t cut = kShownLength;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & kUtf8TailMask) == kUtf8Tail)
        --cut;
    return text.substr(0, cut) + "...";
}

// A value as a message quotes it: its JSON, cut short.
std::string shown(const json& value)
{
    return cutShort(value.dump(-1, ' ', false, json::error_handler_t::replace));
}

// The shortest text that reads back as the same number.
std::string written(double value)
{
    std::array<char, 64> text{};
    const auto result = std::to_chars(text.data(), text.data() + text.size(), value);
    return std::string(text.data(), result.ptr);
}

std::string joined(std::span<const char* const> words)
{
    std::string text;
    for (const char* word : words)
        text.append(text.empty() ? "" : ", ").append(word);
    return text;
}

// Refuses any field of `object` but those `known`; `what` names the object.
void onlyKnown(const json& object, std::span<const char* const> known, const std::string& what)
{
    for (const auto& item : object.items()) {
        const std::string& key = item.key();
        if (std::none_of(known.begin(), known.end(), [&](const char* name) { return key == name; }))
            refuse(what + " takes no field " + shown(json(key)) + " (it takes " + joined(known) + ")");
    }
}

// The field `name`, or nullptr when it is absent or null: null stands for
// "not given", so that what playing() answers can be played again.
const json* field(const json& object, const char* name)
{
    const auto found = object.find(name);
    return found == object.end() || found->is_null() ? nullptr : &*found;
}

double numberIn(const json& value, const std::string& name, double min, double max)
{
    if (!value.is_number() || !(value.get<double>() >= min && value.get<double>() <= max))
        refuse(name + " takes a number from " + written(min) + " to " + written(max) + ", not " + shown(value));
    return value.get<double>();
}

double numberAbove(const json& value, const std::string& name, double min, double max)
{
    if (!value.is_number() || !(value.get<double>() > min && value.get<double>() <= max))
        refuse(name + " takes a number above " + written(min) + ", up to " + written(max) + ", not " + shown(value));
    return value.get<double>();
}

uint64_t wholeIn(const json& value, const std::string& name, uint64_t min, uint64_t max)
{
    const bool whole = value.is_number_unsigned() || (value.is_number_integer() && value.get<int64_t>() >= 0);
    if (!whole || value.get<uint64_t>() < min || value.get<uint64_t>() > max)
        refuse(name + " takes a whole number from " + std::to_string(min) + " to " + std::to_string(max) + ", not " +
               shown(value));
    return value.get<uint64_t>();
}

bool boolean(const json& value, const std::string& name)
{
    if (!value.is_boolean())
        refuse(name + " takes true or false, not " + shown(value));
    return value.get<bool>();
}

const std::string& text(const json& value, const std::string& name, const std::string& what)
{
    if (!value.is_string())
        refuse(name + " takes " + what + ", not " + shown(value));
    return value.get_ref<const std::string&>();
}

const lEffectInfo& findEffect(const json& value, const std::string& where)
{
    const std::string& name = text(value, where + "effect", "an effect's name");
    for (const lEffectInfo& info : lBuiltInEffects())
        if (info.name == name)
            return info;
    refuse(where + "unknown effect " + shown(value) + "; GET /api/effects names every one");
}

// Each setting given is tried on the effect itself, as cubefx tries it, so
// that what passes here passes there. `normal` gets every setting's value.
void checkSettings(const json* given, const lEffectInfo& info, const std::string& where, EffectPlan& plan,
                   json& normal)
{
    const std::unique_ptr<lEffect> trial = info.make();
    const json none = json::object();
    if (given && !given->is_object())
        refuse(where + "settings takes an object of numbers, such as {\"drops\": 30}, not " + shown(*given));
    for (const auto& item : (given ? *given : none).items()) {
        const std::string& key = item.key();
        const json& value = item.value();
        const std::string name = where + info.name + ": " + shown(json(key));
        const auto& table = trial->settings();
        const bool known = std::any_of(table.begin(), table.end(), [&](const auto& s) { return s.key == key; });
        if (known && !value.is_number())
            refuse(name + " takes a number, not " + shown(value));
        const std::string number = value.is_number() ? written(value.get<double>()) : std::string();
        std::string error;
        if (!trial->set(key, number, error))
            refuse(name + " " + error);
        plan.settings.emplace_back(key, number);
    }
    normal["settings"] = json::object();
    for (const lEffect::Setting& setting : trial->settings())
        normal["settings"][setting.key] = setting.value;
}

void checkLooks(const json& request, const std::string& where, EffectPlan& plan, json& normal)
{
    const std::vector<std::string>& palettes = lPalette::names();
    normal["palette"] = palettes.front();
    if (const json* palette = field(request, "palette")) {
        const std::string& name = text(*palette, where + "palette", "a palette's name");
        if (std::find(palettes.begin(), palettes.end(), name) == palettes.end())
            refuse(where + "unknown palette " + shown(*palette) + "; GET /api/effects names every one");
        plan.palette = name;
        normal["palette"] = name;
    }
    if (const json* colour = field(request, "colour")) {
        // cubefx reads the colour with this same function, so it goes as given.
        const std::string what = effects::colourForms();
        storeColor ignored{};
        if (!effects::parseColour(text(*colour, where + "colour", what), ignored))
            refuse(where + "colour takes " + what + ", not " + shown(*colour));
        plan.colour = colour->get<std::string>();
        normal["colour"] = *plan.colour;
    }
    normal["seed"] = effects::kDefaultSeed;
    if (const json* seed = field(request, "seed")) {
        plan.seed = static_cast<uint32_t>(wholeIn(*seed, where + "seed", 0, std::numeric_limits<uint32_t>::max()));
        normal["seed"] = *plan.seed;
    }
}

// One effect, alone or a playlist's item (`where` then says which), which
// takes the `fields` named; `duration` is what it plays for when the
// request does not say.
EffectPlan checkEffect(const json& request, std::span<const char* const> fields, const std::string& where,
                       std::optional<double> duration, json& normal)
{
    onlyKnown(request, fields, where + "an effect");
    const json* name = field(request, "effect");
    if (!name)
        refuse(where + "names no effect: an effect is " + std::string(kRainExample));
    const lEffectInfo& info = findEffect(*name, where);
    EffectPlan plan{info.name, {}, duration, {}, {}, {}};
    normal = {{"effect", info.name}};
    checkSettings(field(request, "settings"), info, where, plan, normal);
    checkLooks(request, where, plan, normal);
    if (const json* seconds = field(request, "duration"))
        plan.duration = numberIn(*seconds, where + "duration", effects::kMinDuration, effects::kMaxDuration);
    if (plan.duration)
        normal["duration"] = *plan.duration;
    return plan;
}

// What the effects hear: the live input, or a sound file from the
// recordings folder, which may play through the default output as well.
// Both go into `plan.normal` when a sound is given.
void checkSound(const json& request, const PlayChecks& checks, Plan& plan)
{
    const json* sound = field(request, "sound");
    if (const json* play = field(request, "play"))
        plan.playSound = boolean(*play, "play");
    if (!sound) {
        if (plan.playSound)
            refuse("play takes a sound file to play as well, such as \"sound\": \"song.flac\"");
        return;
    }
    const std::string& name =
        text(*sound, "sound", "\"capture\" or the name of a sound file in the recordings folder");
    if (name == kCapture && plan.playSound)
        refuse("play takes a sound file: the live input is not played back");
    plan.sound = name == kCapture ? name : fs::absolute(checks.sound(name)).string();
    plan.normal["sound"] = name;
    plan.normal["play"] = plan.playSound;
}

Plan checkPlaylist(const json& request, const PlayChecks& checks)
{
    onlyKnown(request, kPlaylistFields, "a playlist");
    const json& items = *field(request, "playlist");
    if (!items.is_array() || items.empty())
        refuse("playlist takes a list of one or more effects, such as [" + std::string(kRainExample) + "], not " +
               shown(items));
    Plan plan;
    plan.kind = Plan::Kind::playlist;
    json list = json::array();
    for (std::size_t i = 0; i < items.size(); ++i) {
        const std::string where = "playlist[" + std::to_string(i) + "]: ";
        if (!items[i].is_object())
            refuse(where + "an item is an effect, such as " + kRainExample + ", not " + shown(items[i]));
        json normal;
        plan.effects.push_back(checkEffect(items[i], kItemFields, where, effects::kDefaultDuration, normal));
        list.push_back(std::move(normal));
    }
    if (const json* loop = field(request, "loop"))
        plan.loop = boolean(*loop, "loop");
    if (const json* index = field(request, "index"))
        plan.index = wholeIn(*index, "index", 0, items.size() - 1);
    plan.normal = {{"playlist", std::move(list)}, {"loop", plan.loop}};
    checkSound(request, checks, plan);
    return plan;
}

enum class OptionKind { number, positive, whole, flag, wiring, addresses };

// An option of cubelisten that a request may give: none names a file.
struct ListenOption {
    const char* name;
    OptionKind kind;
    double min, max;
    json fallback;  // cubelisten's default, for playing()
};

const std::vector<ListenOption>& listenOptions()
{
    static const std::vector<ListenOption> options{
        {"gamma", OptionKind::positive, 0, strip::Mapping::kMaxGamma, strip::ColourCorrection{}.gamma},
        {"brightness", OptionKind::number, 0, 1, strip::ColourCorrection{}.brightness},
        {"wiring", OptionKind::wiring, 0, 0, "xyz"},
        {"serpentine", OptionKind::flag, 0, 0, false},
        {"leds-per-universe", OptionKind::whole, 1, strip::E131Encoder::kMaxLedsPerUniverse,
         strip::E131Encoder::kMaxLedsPerUniverse},
        {"timeout", OptionKind::number, input::kMinTimeout, input::kMaxTimeout, input::kDefaultTimeout},
        {"blank-on-loss", OptionKind::flag, 0, 0, false},
        {"allow", OptionKind::addresses, 0, 0, json::array()},
        {"no-multicast", OptionKind::flag, 0, 0, false},
        {"opc-idle", OptionKind::number, input::kMinOpcIdle, input::kMaxOpcIdle, input::kDefaultOpcIdle.count()},
    };
    return options;
}

std::string checkWiring(const json& value, const std::string& name)
{
    std::array<int, strip::kAxes> axes{};
    const std::string& order = text(value, name, "an order of the axes x, y and z, such as \"xyz\" or \"zyx\"");
    if (!strip::parseAxisOrder(order, axes))
        refuse(name + " takes an order of the axes x, y and z, such as \"xyz\" or \"zyx\", not " + shown(value));
    return order;
}

std::vector<std::string> checkAddresses(const json& value, const std::string& name)
{
    const std::string what = "a list of IPv4 or IPv6 addresses, each with an optional /PREFIX";
    if (!value.is_array())
        refuse(name + " takes " + what + ", not " + shown(value));
    std::vector<std::string> addresses;
    for (const json& address : value) {
        input::Allowed allowed;
        if (!address.is_string() || !input::parseAllowed(address.get<std::string>(), allowed))
            refuse(name + " takes " + what + ", not " + shown(address));
        addresses.push_back(address.get<std::string>());
    }
    return addresses;
}

// The option's words for cubelisten, "--name=value" or "--name", and its
// value as playing() shows it.
std::vector<std::string> checkOption(const ListenOption& option, const json& value, json& normal)
{
    const std::string name = "options: " + std::string(option.name);
    const std::string word = "--" + std::string(option.name);
    switch (option.kind) {
    case OptionKind::number:
        normal = numberIn(value, name, option.min, option.max);
        return {word + "=" + written(normal.get<double>())};
    case OptionKind::positive:
        normal = numberAbove(value, name, option.min, option.max);
        return {word + "=" + written(normal.get<double>())};
    case OptionKind::whole:
        normal = wholeIn(value, name, static_cast<uint64_t>(option.min), static_cast<uint64_t>(option.max));
        return {word + "=" + std::to_string(normal.get<uint64_t>())};
    case OptionKind::flag:
        normal = boolean(value, name);
        return normal.get<bool>() ? std::vector<std::string>{word} : std::vector<std::string>{};
    case OptionKind::wiring:
        normal = checkWiring(value, name);
        return {word + "=" + normal.get<std::string>()};
    case OptionKind::addresses: {
        std::vector<std::string> words;
        for (const std::string& address : checkAddresses(value, name))
            words.push_back(word + "=" + address);
        normal = value;
        return words;
    }
    }
    return {};
}

json checkListenOptions(const json* given, std::vector<std::string>& words)
{
    json normal = json::object();
    for (const ListenOption& option : listenOptions())
        normal[option.name] = option.fallback;
    if (!given)
        return normal;
    if (!given->is_object())
        refuse("options takes an object, such as {\"gamma\": 2.2}, not " + shown(*given));
    for (const auto& item : given->items()) {
        const std::string& key = item.key();
        const auto& options = listenOptions();
        const auto option = std::find_if(options.begin(), options.end(), [&](const auto& o) { return key == o.name; });
        if (option == options.end()) {
            std::vector<const char*> names;
            for (const ListenOption& known : options)
                names.push_back(known.name);
            refuse("options: " + shown(json(key)) + " is not an option that cubeweb passes on (it takes " +
                   joined(names) + ")");
        }
        const std::vector<std::string> more = checkOption(*option, item.value(), normal[option->name]);
        words.insert(words.end(), more.begin(), more.end());
    }
    return normal;
}

// Each source as cubelisten reads it, and whose universes it refuses, with
// the words of its own refusal.
void checkSources(const json& sources, int edge, unsigned ledsPerUniverse, std::vector<std::string>& words)
{
    for (const json& source : sources) {
        std::string error;
        if (!source.is_string())
            refuse("listen takes sources such as \"e131\" or \"ddp://127.0.0.1:4048\", not " + shown(source));
        const std::string& text = source.get_ref<const std::string&>();
        const std::optional<strip::Destination> destination = strip::parseSource(text, error);
        if (!destination)
            refuse("source " + shown(source) + " " + error);
        if (const std::string past = strip::universesPastTheLast(*destination, edge, ledsPerUniverse); !past.empty())
            refuse("source '" + cutShort(text) + "' " + past);
        words.push_back(text);
    }
}

Plan checkListen(const json& request, const PlayChecks& checks)
{
    onlyKnown(request, kListenFields, "listening");
    const json& sources = *field(request, "listen");
    if (!sources.is_array() || sources.empty())
        refuse("listen takes a list of one or more sources, such as [\"e131\", \"ddp://127.0.0.1:4048\"], not " +
               shown(sources));
    Plan plan;
    plan.kind = Plan::Kind::listen;
    const json options = checkListenOptions(field(request, "options"), plan.listen);
    plan.listen.push_back("--");
    checkSources(sources, checks.edge, options["leds-per-universe"].get<unsigned>(), plan.listen);
    plan.normal = {{"listen", sources}, {"options", options}};
    return plan;
}

Plan checkRecording(const json& request, const PlayChecks& checks)
{
    onlyKnown(request, kRecordingFields, "a recording");
    const json& name = *field(request, "recording");
    Plan plan;
    plan.kind = Plan::Kind::recording;
    plan.recording = fs::absolute(checks.recording(text(name, "recording", "a recording's name")));
    json normal = {{"recording", name}, {"speed", 1.0}, {"loop", false}};
    if (const json* speed = field(request, "speed")) {
        plan.speed = numberIn(*speed, "speed", recording::kMinSpeed, recording::kMaxSpeed);
        normal["speed"] = *plan.speed;
    }
    if (const json* loop = field(request, "loop")) {
        plan.loop = boolean(*loop, "loop");
        normal["loop"] = plan.loop;
    }
    plan.normal = std::move(normal);
    return plan;
}

Plan checkProgram(const json& request, const PlayChecks& checks)
{
    onlyKnown(request, kProgramFields, "the program");
    const json& program = *field(request, "program");
    if (program != true)
        refuse("program takes true, not " + shown(program));
    if (!checks.programGiven)
        throw Refusal{status::kConflict, "no PROGRAM was given on cubeweb's command line"};
    Plan plan;
    plan.kind = Plan::Kind::program;
    plan.normal = {{"program", true}};
    return plan;
}

// "rain" or "rain:drops=30,speed=12", as cubefx names an effect.
std::string effectWord(const EffectPlan& effect)
{
    std::string word = effect.name;
    for (std::size_t i = 0; i < effect.settings.size(); ++i)
        word += (i == 0 ? ":" : ",") + effect.settings[i].first + "=" + effect.settings[i].second;
    return word;
}

// An effect with no duration plays until stopped: over and over, each round
// as long as cubefx lets one be, so that it does not start afresh every ten
// seconds. Every item of a playlist hears the plan's sound, a file from its
// start.
std::vector<std::string> effectArgv(const Plan& plan, std::size_t item, const fs::path& programs, int edge)
{
    const EffectPlan& effect = plan.effects.at(item);
    std::vector<std::string> argv{programs / "cubefx", "--edge", std::to_string(edge)};
    if (effect.duration)
        argv.insert(argv.end(), {"--duration", written(*effect.duration)});
    else
        argv.insert(argv.end(), {"--loop", "--duration", written(effects::kMaxDuration)});
    if (effect.seed)
        argv.insert(argv.end(), {"--seed", std::to_string(*effect.seed)});
    if (effect.palette)
        argv.insert(argv.end(), {"--palette", *effect.palette});
    if (effect.colour)
        argv.insert(argv.end(), {"--colour", *effect.colour});
    if (!plan.sound.empty())
        argv.insert(argv.end(), {"--audio", plan.sound});
    if (plan.playSound)
        argv.push_back("--play");
    argv.push_back(effectWord(effect));
    return argv;
}

// Stores `code` as soon as the status byte reads idle; false when it has
// not within kChannelWait.
bool handOver(uint8_t* record, uint8_t code)
{
    // The status byte is shared with the receiver, which stores idle back,
    // and with any writer started by hand: taking it only from idle never
    // overwrites a code that someone else stored meanwhile. Release on
    // success and acquire on failure, as channel::storeStatus and loadStatus.
    std::atomic_ref<uint8_t> status(record[0]);
    const auto end = Clock::now() + kChannelWait;
    do {
        uint8_t idle = channel::kStatusIdle;
        if (status.compare_exchange_strong(idle, code, std::memory_order_release, std::memory_order_acquire))
            return true;
        std::this_thread::sleep_for(kChannelPoll);
    } while (Clock::now() < end);
    return false;
}

}  // namespace

Plan checkPlay(const json& request, const PlayChecks& checks)
{
    const std::string shapes = "effect, playlist, listen, recording or program";
    if (!request.is_object())
        refuse("a request to play is an object that names one of " + shapes + ", not " + shown(request));
    std::vector<const char*> named;
    for (const char* shape : kShapes)
        if (field(request, shape))
            named.push_back(shape);
    if (named.empty())
        refuse("a request to play names one of " + shapes);
    if (named.size() > 1)
        refuse("a request to play names one of " + shapes + ", not " + joined(named) + " at once");
    const std::string shape = named.front();
    if (shape == "effect") {
        Plan plan;
        plan.effects.push_back(checkEffect(request, kEffectFields, "", std::nullopt, plan.normal));
        checkSound(request, checks, plan);
        return plan;
    }
    if (shape == "playlist")
        return checkPlaylist(request, checks);
    if (shape == "listen")
        return checkListen(request, checks);
    if (shape == "recording")
        return checkRecording(request, checks);
    return checkProgram(request, checks);
}

std::vector<std::string> writerArgv(const Plan& plan, std::size_t item, const fs::path& programs, int edge)
{
    switch (plan.kind) {
    case Plan::Kind::effect:
    case Plan::Kind::playlist:
        return effectArgv(plan, item, programs, edge);
    case Plan::Kind::listen: {
        std::vector<std::string> argv{programs / "cubelisten", "--edge", std::to_string(edge)};
        argv.insert(argv.end(), plan.listen.begin(), plan.listen.end());
        return argv;
    }
    case Plan::Kind::recording: {
        std::vector<std::string> argv{programs / "cubereplay"};
        if (plan.speed)
            argv.insert(argv.end(), {"--speed", written(*plan.speed)});
        if (plan.loop)
            argv.push_back("--loop");
        argv.push_back(plan.recording);
        return argv;
    }
    case Plan::Kind::program:
        break;
    }
    return {};
}

struct Control::State {
    Setup setup;
    const Recordings& recordings;
    std::optional<Plan> plan;   // what plays, or nothing
    std::size_t index = 0;      // the playlist's item that plays
    process::Child writer;
    uint8_t* record = nullptr;  // mapped the first time the cube is darkened

    PlayChecks checks() const
    {
        return {setup.edge, !setup.program.empty(),
                [this](std::string_view name) { return recordings.existing(name); },
                [this](std::string_view name) { return recordings.sound(name); }};
    }

    std::vector<std::string> argvOf(const Plan& what, std::size_t item) const
    {
        if (what.kind == Plan::Kind::program)
            return setup.program;
        return writerArgv(what, item, setup.programs, setup.edge);
    }

    // Throws a process::Failure, with nothing running, when it cannot start.
    void start(const std::vector<std::string>& argv)
    {
        process::Child next;
        next.start(argv, {.dir = setup.animDir});
        writer = std::move(next);
    }

    void halt()
    {
        if (writer.running())
            writer.stop(kWriterGrace);
        plan.reset();
    }

    // The playlist's next item, from the first again when it loops; false
    // when the playlist is over or the item could not start.
    bool next()
    {
        if (index + 1 >= plan->effects.size() && !plan->loop)
            return false;
        index = (index + 1) % plan->effects.size();
        try {
            start(argvOf(*plan, index));
        } catch (const process::Failure& failure) {
            std::fprintf(stderr, "cubeweb: %s\n", failure.what.c_str());
            return false;
        }
        return true;
    }

    // With no writer left, the cube is cleared and the empty frame shown
    // through the channel itself.
    void darken()
    {
        std::string error;
        if (!record && !(record = channel::tryMapRecord(setup.channelFile.c_str(), error))) {
            std::fprintf(stderr, "cubeweb: cannot darken the cube: %s\n", error.c_str());
            return;
        }
        for (const uint8_t code : {channel::kStatusClear, channel::kStatusReleaseNoKeep}) {
            if (!handOver(record, code)) {
                std::fprintf(stderr, "cubeweb: the receiver took no code for %lld ms; the cube may stay lit\n",
                             static_cast<long long>(kChannelWait.count()));
                return;
            }
        }
    }
};

Control::Control(Setup setup, const Recordings& recordings)
    : state_(std::make_unique<State>(State{std::move(setup), recordings, {}, 0, {}, nullptr}))
{
}

Control::~Control()
{
    state_->halt();
}

void Control::play(const json& request)
{
    State& state = *state_;
    Plan plan = checkPlay(request, state.checks());
    const std::vector<std::string> argv = state.argvOf(plan, plan.index);
    state.halt();
    try {
        state.start(argv);
    } catch (const process::Failure& failure) {
        state.darken();
        throw Refusal{status::kServerError, failure.what};
    }
    state.index = plan.index;
    state.plan = std::move(plan);
}

void Control::stop()
{
    state_->halt();
    state_->darken();
}

bool Control::tick()
{
    State& state = *state_;
    if (!state.plan || state.writer.running())
        return false;
    // An item that failed ends the playlist rather than have the next fail
    // in turn, ten times a second.
    if (state.plan->kind == Plan::Kind::playlist && state.writer.status() == 0 && state.next())
        return true;
    state.plan.reset();
    return true;
}

json Control::playing() const
{
    if (!state_->plan)
        return nullptr;
    json normal = state_->plan->normal;
    if (state_->plan->kind == Plan::Kind::playlist)
        normal["index"] = state_->index;
    return normal;
}

json Control::effects()
{
    json list = json::array();
    for (const lEffectInfo& info : lBuiltInEffects()) {
        const std::unique_ptr<lEffect> effect = info.make();
        json settings = json::array();
        for (const lEffect::Setting& setting : effect->settings())
            settings.push_back({{"name", setting.key},
                                {"default", setting.value},
                                {"min", setting.min},
                                {"max", setting.max},
                                {"help", setting.help}});
        list.push_back({{"name", info.name}, {"description", info.description}, {"settings", std::move(settings)}});
    }
    return {{"effects", std::move(list)}, {"palettes", lPalette::names()}};
}

}  // namespace ledcube::web
