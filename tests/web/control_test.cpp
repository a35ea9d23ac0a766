// What the cube plays: the effects' list, the checks of a play request with
// their exact messages and the command lines they make (web::checkPlay,
// web::writerArgv), and Control with real writers below cubetrace: the
// child's command line, the frames, stop's dark cube, a playlist that
// moves on, and no child left behind.

#include "effects/lEffect.h"
#include "lbox/channel.h"
#include "tests/record/recording_file.h"
#include "tests/demos/trace.h"
#include "web/api.h"
#include "web/control.h"
#include "web/playing.h"
#include "web/recordings.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sstream>
#include <unistd.h>

namespace {

using json = nlohmann::json;
using testsupport::binary;
using web::Control;
using web::Plan;
using web::Refusal;

constexpr int kEdge = 5;
const std::string kPrograms = "/opt/cube/bin";
constexpr auto kDeadline = std::chrono::seconds(30);
constexpr auto kPoll = std::chrono::milliseconds(5);
constexpr uint64_t kLongAfterMs = 600000;

web::PlayChecks checks(bool programGiven = false)
{
    return {kEdge, programGiven,
            [](std::string_view name) -> std::filesystem::path {
                if (name == "show")
                    return "/recordings/show.rec";
                throw Refusal{404, "no recording " + std::string(name)};
            },
            [](std::string_view name) -> std::filesystem::path {
                if (name == "song.flac")
                    return "/recordings/song.flac";
                throw Refusal{404, "no sound " + std::string(name)};
            }};
}

Plan check(const std::string& request, bool programGiven = false)
{
    return web::checkPlay(json::parse(request), checks(programGiven));
}

std::vector<std::string> argvOf(const std::string& request, std::size_t item = 0)
{
    return web::writerArgv(check(request), item, kPrograms, kEdge);
}

TEST(Effects, ListsTheTwentyFourEffectsWithRainsOwnSettingsAndReact)
{
    const json effects = Control::effects();
    ASSERT_EQ(effects["effects"].size(), 24u);
    const json& rain = effects["effects"][0];
    EXPECT_EQ(rain["name"], "rain");
    EXPECT_EQ(rain["description"], "drops fall from the top layer and splash on the floor");
    EXPECT_EQ(rain["settings"], json::parse(R"([
        {"name": "drops", "default": 24, "min": 0.1, "max": 1000,
         "help": "drops a second on a floor of 8 x 8, scaled to the cube's"},
        {"name": "speed", "default": 10, "min": 0.5, "max": 100, "help": "layers a drop falls a second"},
        {"name": "length", "default": 3, "min": 1, "max": 16, "help": "LEDs in a drop's tail"},
        {"name": "react", "default": 0, "min": 0, "max": 1,
         "help": "how much the sound's level moves the brightness and the speed"}])"));
}

TEST(Effects, NamesEveryBuiltInEffectInOrderAndThePalettes)
{
    const json effects = Control::effects();
    ASSERT_EQ(effects["effects"].size(), lBuiltInEffects().size());
    for (std::size_t i = 0; i < lBuiltInEffects().size(); ++i)
        EXPECT_EQ(effects["effects"][i]["name"], lBuiltInEffects()[i].name);
    EXPECT_EQ(effects["palettes"], json::parse(R"(["rainbow", "candy", "fire", "forest", "ice", "ocean"])"));
}

TEST(CheckPlay, AnEffectWithEverythingGivenGoesToCubefxAsGiven)
{
    const std::string request =
        R"({"effect": "rain", "settings": {"drops": 30}, "palette": "fire", "colour": "#ff8000", "seed": 7, "duration": 60})";
    EXPECT_EQ(argvOf(request), (std::vector<std::string>{kPrograms + "/cubefx", "--edge", "5", "--duration", "60",
                                                          "--seed", "7", "--palette", "fire", "--colour", "#ff8000",
                                                          "rain:drops=30"}));
    EXPECT_EQ(check(request).normal, json::parse(R"({"effect": "rain",
        "settings": {"drops": 30, "speed": 10, "length": 3, "react": 0}, "palette": "fire", "colour": "#ff8000", "seed": 7, "duration": 60})"));
}

TEST(CheckPlay, EveryColourThatCubefxTakesGoesToItAsGiven)
{
    for (const std::string colour : {"1,0.5,0", "pink", "#FF8000", "0,0,1"}) {
        const std::string request = R"({"effect": "rain", "colour": ")" + colour + R"("})";
        EXPECT_EQ(argvOf(request), (std::vector<std::string>{kPrograms + "/cubefx", "--edge", "5", "--loop",
                                                              "--duration", "86400", "--colour", colour, "rain"}));
        EXPECT_EQ(check(request).normal["colour"], colour);
    }
}

TEST(CheckPlay, AnEffectWithoutDurationLoopsUntilStoppedWithCubefxsDefaults)
{
    EXPECT_EQ(argvOf(R"({"effect": "plasma"})"),
              (std::vector<std::string>{kPrograms + "/cubefx", "--edge", "5", "--loop", "--duration", "86400", "plasma"}));
    EXPECT_EQ(check(R"({"effect": "plasma"})").normal,
              json::parse(R"({"effect": "plasma", "settings": {"speed": 1, "scale": 1, "react": 0}, "palette": "rainbow",
                  "seed": 1})"));
}

TEST(CheckPlay, SettingsAreWrittenAsNumbersThatReadBackTheSame)
{
    EXPECT_EQ(argvOf(R"({"effect": "rain", "settings": {"drops": 0.1, "length": 16.0, "speed": 2.5}})").back(),
              "rain:drops=0.1,length=16,speed=2.5");
}

TEST(CheckPlay, NullStandsForAFieldNotGivenSoThatWhatPlaysCanBePlayedAgain)
{
    const Plan plan = check(R"({"effect": "rain", "palette": null, "colour": null, "seed": null, "duration": null})");
    EXPECT_EQ(web::writerArgv(plan, 0, kPrograms, kEdge), argvOf(R"({"effect": "rain"})"));
    EXPECT_EQ(check(plan.normal.dump()).normal, plan.normal);
}

TEST(CheckPlay, APlaylistsItemsPlayTenSecondsUnlessTheySayAndItCanStartAtAnIndex)
{
    const std::string request =
        R"({"playlist": [{"effect": "rain", "duration": 20}, {"effect": "plasma", "palette": "ice"}], "loop": true, "index": 1})";
    const Plan plan = check(request);
    EXPECT_EQ(plan.index, 1u);
    EXPECT_EQ(argvOf(request, 0),
              (std::vector<std::string>{kPrograms + "/cubefx", "--edge", "5", "--duration", "20", "rain"}));
    EXPECT_EQ(argvOf(request, 1), (std::vector<std::string>{kPrograms + "/cubefx", "--edge", "5", "--duration", "10",
                                                             "--palette", "ice", "plasma"}));
    EXPECT_EQ(plan.normal["loop"], true);
    EXPECT_EQ(plan.normal["playlist"][1]["duration"], 10);
    EXPECT_FALSE(plan.normal.contains("index"));
}

TEST(CheckPlay, ListeningPassesOnlyTheOptionsGivenAndShowsEveryDefault)
{
    const std::string request = R"({"listen": ["e131", "ddp://127.0.0.1:4048"],
        "options": {"gamma": 2.2, "serpentine": true, "blank-on-loss": false, "allow": ["127.0.0.1/32"], "wiring": "yxz"}})";
    EXPECT_EQ(argvOf(request),
              (std::vector<std::string>{kPrograms + "/cubelisten", "--edge", "5", "--allow=127.0.0.1/32", "--gamma=2.2",
                                        "--serpentine", "--wiring=yxz", "--", "e131", "ddp://127.0.0.1:4048"}));
    EXPECT_EQ(check(request).normal, json::parse(R"({"listen": ["e131", "ddp://127.0.0.1:4048"], "options": {
        "gamma": 2.2, "brightness": 1.0, "wiring": "yxz", "serpentine": true, "leds-per-universe": 170,
        "timeout": 2.5, "blank-on-loss": false, "allow": ["127.0.0.1/32"], "no-multicast": false, "opc-idle": 60}})"));
}

TEST(CheckPlay, ASourceWhoseUniversesEndAtTheProtocolsLastIsTaken)
{
    EXPECT_EQ(argvOf(R"({"listen": ["e131://127.0.0.1/63999", "artnet://127.0.0.1/32767"]})"),
              (std::vector<std::string>{kPrograms + "/cubelisten", "--edge", "5", "--", "e131://127.0.0.1/63999",
                                        "artnet://127.0.0.1/32767"}));
}

TEST(CheckPlay, ARecordingPlaysItsFileFromTheRecordingsFolder)
{
    EXPECT_EQ(argvOf(R"({"recording": "show", "speed": 2, "loop": true})"),
              (std::vector<std::string>{kPrograms + "/cubereplay", "--speed", "2", "--loop", "/recordings/show.rec"}));
    EXPECT_EQ(argvOf(R"({"recording": "show"})"),
              (std::vector<std::string>{kPrograms + "/cubereplay", "/recordings/show.rec"}));
    EXPECT_EQ(check(R"({"recording": "show"})").normal, json::parse(R"({"recording": "show", "speed": 1, "loop": false})"));
}

TEST(CheckPlay, AnEffectHearsASoundFileFromTheRecordingsFolderAndMayPlayIt)
{
    const std::string request = R"({"effect": "rain", "seed": 7, "sound": "song.flac", "play": true})";
    EXPECT_EQ(argvOf(request), (std::vector<std::string>{kPrograms + "/cubefx", "--edge", "5", "--loop", "--duration",
                                                          "86400", "--seed", "7", "--audio", "/recordings/song.flac",
                                                          "--play", "rain"}));
    EXPECT_EQ(argvOf(R"({"effect": "rain", "sound": "song.flac"})"),
              (std::vector<std::string>{kPrograms + "/cubefx", "--edge", "5", "--loop", "--duration", "86400",
                                        "--audio", "/recordings/song.flac", "rain"}));
    json normal = check(R"({"effect": "rain", "seed": 7})").normal;
    normal["sound"] = "song.flac";
    normal["play"] = true;
    EXPECT_EQ(check(request).normal, normal);
}

TEST(CheckPlay, AnEffectHearsTheLiveInputAsCapture)
{
    const std::string request = R"({"effect": "plasma", "duration": 5, "sound": "capture", "play": false})";
    EXPECT_EQ(argvOf(request), (std::vector<std::string>{kPrograms + "/cubefx", "--edge", "5", "--duration", "5",
                                                          "--audio", "capture", "plasma"}));
    EXPECT_EQ(check(R"({"effect": "plasma", "sound": "capture"})").normal["sound"], "capture");
    EXPECT_EQ(check(R"({"effect": "plasma", "sound": "capture"})").normal["play"], false);
}

TEST(CheckPlay, WithoutASoundNothingIsHeardAndPlayingShowsNone)
{
    const Plan plan = check(R"({"effect": "rain", "sound": null, "play": false})");
    EXPECT_EQ(web::writerArgv(plan, 0, kPrograms, kEdge), argvOf(R"({"effect": "rain"})"));
    EXPECT_FALSE(plan.normal.contains("sound"));
    EXPECT_FALSE(plan.normal.contains("play"));
}

TEST(CheckPlay, EveryItemOfAPlaylistHearsItsSound)
{
    const std::string request = R"({"playlist": [{"effect": "rain", "duration": 20}, {"effect": "plasma"}],
        "sound": "song.flac", "play": true})";
    EXPECT_EQ(argvOf(request, 0), (std::vector<std::string>{kPrograms + "/cubefx", "--edge", "5", "--duration", "20",
                                                             "--audio", "/recordings/song.flac", "--play", "rain"}));
    EXPECT_EQ(argvOf(request, 1), (std::vector<std::string>{kPrograms + "/cubefx", "--edge", "5", "--duration", "10",
                                                             "--audio", "/recordings/song.flac", "--play", "plasma"}));
    const Plan plan = check(request);
    EXPECT_EQ(plan.normal["sound"], "song.flac");
    EXPECT_EQ(plan.normal["play"], true);
    EXPECT_EQ(check(plan.normal.dump()).normal, plan.normal);
    EXPECT_EQ(argvOf(R"({"playlist": [{"effect": "rain"}], "sound": "capture"})"),
              (std::vector<std::string>{kPrograms + "/cubefx", "--edge", "5", "--duration", "10", "--audio", "capture",
                                        "rain"}));
}

TEST(CheckPlay, TheProgramIsTakenWhenOneWasGiven)
{
    const Plan plan = check(R"({"program": true})", true);
    EXPECT_EQ(plan.kind, Plan::Kind::program);
    EXPECT_EQ(plan.normal, json::parse(R"({"program": true})"));
}

struct Refused {
    std::string request;
    int status;
    std::string message;
};

void PrintTo(const Refused& refused, std::ostream* out)
{
    *out << refused.request;
}

class Refusals : public testing::TestWithParam<Refused> {};

TEST_P(Refusals, SayWhyWithTheirStatus)
{
    try {
        check(GetParam().request);
        ADD_FAILURE() << "taken";
    } catch (const Refusal& refusal) {
        EXPECT_EQ(refusal.status, GetParam().status);
        EXPECT_EQ(refusal.message, GetParam().message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, Refusals,
    testing::Values(
        Refused{R"([1, 2])", 400,
                "a request to play is an object that names one of effect, playlist, listen, recording or program, not [1,2]"},
        Refused{R"({})", 400, "a request to play names one of effect, playlist, listen, recording or program"},
        Refused{R"({"effect": "rain", "recording": "show"})", 400,
                "a request to play names one of effect, playlist, listen, recording or program, not effect, recording at once"},
        Refused{R"({"effect": "rain", "loop": true})", 400,
                "an effect takes no field \"loop\" (it takes effect, settings, palette, colour, seed, duration, sound, "
                "play)"},
        Refused{R"({"program": true})", 409, "no PROGRAM was given on cubeweb's command line"},
        Refused{R"({"program": 1})", 400, "program takes true, not 1"}));

INSTANTIATE_TEST_SUITE_P(
    Effects, Refusals,
    testing::Values(
        Refused{R"({"effect": "drizzle"})", 400, "unknown effect \"drizzle\"; GET /api/effects names every one"},
        Refused{R"({"effect": 3})", 400, "effect takes an effect's name, not 3"},
        Refused{R"({"effect": "rain", "settings": {"drops": 2000}})", 400,
                "rain: \"drops\" takes a number from 0.1 to 1000, not '2000'"},
        Refused{R"({"effect": "rain", "settings": {"drops": "many"}})", 400, "rain: \"drops\" takes a number, not \"many\""},
        Refused{R"({"effect": "rain", "settings": {"size": 2}})", 400,
                "rain: \"size\" is not a setting (it takes drops, speed, length, react)"},
        Refused{R"({"effect": "rain", "settings": [1]})", 400,
                "settings takes an object of numbers, such as {\"drops\": 30}, not [1]"},
        Refused{R"({"effect": "rain", "palette": "mud"})", 400, "unknown palette \"mud\"; GET /api/effects names every one"},
        Refused{R"({"effect": "rain", "colour": "#ff80"})", 400,
                "colour takes a colour name (red, green, blue, white, yellow, cyan, magenta, orange, purple, pink), "
                "#rrggbb or r,g,b from 0 to 1, not \"#ff80\""},
        Refused{R"({"effect": "rain", "colour": "mauve"})", 400,
                "colour takes a colour name (red, green, blue, white, yellow, cyan, magenta, orange, purple, pink), "
                "#rrggbb or r,g,b from 0 to 1, not \"mauve\""},
        Refused{R"({"effect": "rain", "colour": "1,0.5,2"})", 400,
                "colour takes a colour name (red, green, blue, white, yellow, cyan, magenta, orange, purple, pink), "
                "#rrggbb or r,g,b from 0 to 1, not \"1,0.5,2\""},
        Refused{R"({"effect": "rain", "colour": 1})", 400,
                "colour takes a colour name (red, green, blue, white, yellow, cyan, magenta, orange, purple, pink), "
                "#rrggbb or r,g,b from 0 to 1, not 1"},
        Refused{R"({"effect": "rain", "seed": -1})", 400, "seed takes a whole number from 0 to 4294967295, not -1"},
        Refused{R"({"effect": "rain", "seed": 1.5})", 400, "seed takes a whole number from 0 to 4294967295, not 1.5"},
        Refused{R"({"effect": "rain", "seed": 4294967296})", 400,
                "seed takes a whole number from 0 to 4294967295, not 4294967296"},
        Refused{R"({"effect": "rain", "duration": 0})", 400, "duration takes a number from 0.001 to 86400, not 0"},
        Refused{R"({"effect": "rain", "duration": "10"})", 400, "duration takes a number from 0.001 to 86400, not \"10\""}));

INSTANTIATE_TEST_SUITE_P(
    Playlists, Refusals,
    testing::Values(
        Refused{R"({"playlist": []})", 400,
                "playlist takes a list of one or more effects, such as [{\"effect\": \"rain\", \"duration\": 20}], not []"},
        Refused{R"({"playlist": [{"effect": "rain"}, "plasma"]})", 400,
                "playlist[1]: an item is an effect, such as {\"effect\": \"rain\", \"duration\": 20}, not \"plasma\""},
        Refused{R"({"playlist": [{"effect": "rain"}, {"effect": "plasma", "duration": -2}]})", 400,
                "playlist[1]: duration takes a number from 0.001 to 86400, not -2"},
        Refused{R"({"playlist": [{"duration": 5}]})", 400,
                "playlist[0]: names no effect: an effect is {\"effect\": \"rain\", \"duration\": 20}"},
        Refused{R"({"playlist": [{"effect": "rain", "settings": {"drops": 0}}]})", 400,
                "playlist[0]: rain: \"drops\" takes a number from 0.1 to 1000, not '0'"},
        Refused{R"({"playlist": [{"effect": "rain"}], "index": 1})", 400, "index takes a whole number from 0 to 0, not 1"},
        Refused{R"({"playlist": [{"effect": "rain"}], "loop": "yes"})", 400, "loop takes true or false, not \"yes\""}));

INSTANTIATE_TEST_SUITE_P(
    Listening, Refusals,
    testing::Values(
        Refused{R"({"listen": "e131"})", 400,
                "listen takes a list of one or more sources, such as [\"e131\", \"ddp://127.0.0.1:4048\"], not \"e131\""},
        Refused{R"({"listen": ["--layout=/etc/passwd"]})", 400,
                "source \"--layout=/etc/passwd\" is not a source: e131, artnet, ddp or opc"},
        Refused{R"({"listen": ["e131"], "options": {"layout": "/etc/passwd"}})", 400,
                "options: \"layout\" is not an option that cubeweb passes on (it takes gamma, brightness, wiring, "
                "serpentine, leds-per-universe, timeout, blank-on-loss, allow, no-multicast, opc-idle)"},
        Refused{R"({"listen": ["e131"], "options": {"gamma": 0}})", 400,
                "options: gamma takes a number above 0, up to 10, not 0"},
        Refused{R"({"listen": ["e131"], "options": {"brightness": 1.5}})", 400,
                "options: brightness takes a number from 0 to 1, not 1.5"},
        Refused{R"({"listen": ["e131"], "options": {"wiring": "xxz"}})", 400,
                "options: wiring takes an order of the axes x, y and z, such as \"xyz\" or \"zyx\", not \"xxz\""},
        Refused{R"({"listen": ["e131"], "options": {"serpentine": 1}})", 400,
                "options: serpentine takes true or false, not 1"},
        Refused{R"({"listen": ["e131"], "options": {"leds-per-universe": 171}})", 400,
                "options: leds-per-universe takes a whole number from 1 to 170, not 171"},
        // Edge 5: 125 LEDs, one universe at 170 to a universe, two at 100,
        // 32 at 4; as cubelisten refuses them at start.
        Refused{R"({"listen": ["e131://127.0.0.1/63999"], "options": {"leds-per-universe": 100}})", 400,
                "source 'e131://127.0.0.1/63999' needs universes 63999 to 64000, past the last one, 63999"},
        Refused{R"({"listen": ["ddp", "artnet://127.0.0.1/32767"], "options": {"leds-per-universe": 4}})", 400,
                "source 'artnet://127.0.0.1/32767' needs universes 32767 to 32798, past the last one, 32767"},
        Refused{R"({"listen": ["e131"], "options": {"allow": ["10.0.0.0/99"]}})", 400,
                "options: allow takes a list of IPv4 or IPv6 addresses, each with an optional /PREFIX, not "
                "\"10.0.0.0/99\""}));

INSTANTIATE_TEST_SUITE_P(
    Sounds, Refusals,
    testing::Values(
        Refused{R"({"effect": "rain", "sound": "gone.wav"})", 404, "no sound gone.wav"},
        Refused{R"({"playlist": [{"effect": "rain"}], "sound": "gone.wav"})", 404, "no sound gone.wav"},
        Refused{R"({"effect": "rain", "sound": 5})", 400,
                "sound takes \"capture\" or the name of a sound file in the recordings folder, not 5"},
        Refused{R"({"effect": "rain", "play": true})", 400,
                "play takes a sound file to play as well, such as \"sound\": \"song.flac\""},
        Refused{R"({"effect": "rain", "sound": "capture", "play": true})", 400,
                "play takes a sound file: the live input is not played back"},
        Refused{R"({"playlist": [{"effect": "rain"}], "sound": "capture", "play": true})", 400,
                "play takes a sound file: the live input is not played back"},
        Refused{R"({"effect": "rain", "sound": "song.flac", "play": "yes"})", 400,
                "play takes true or false, not \"yes\""},
        Refused{R"({"playlist": [{"effect": "rain", "sound": "song.flac"}]})", 400,
                "playlist[0]: an effect takes no field \"sound\" (it takes effect, settings, palette, colour, seed, "
                "duration)"},
        Refused{R"({"recording": "show", "sound": "song.flac"})", 400,
                "a recording takes no field \"sound\" (it takes recording, speed, loop)"},
        Refused{R"({"listen": ["e131"], "sound": "capture"})", 400,
                "listening takes no field \"sound\" (it takes listen, options)"},
        Refused{R"({"program": true, "play": true})", 400,
                "the program takes no field \"play\" (it takes program)"}));

INSTANTIATE_TEST_SUITE_P(
    Recordings, Refusals,
    testing::Values(Refused{R"({"recording": "missing"})", 404, "no recording missing"},
                    Refused{R"({"recording": 5})", 400, "recording takes a recording's name, not 5"},
                    Refused{R"({"recording": "show", "speed": 0})", 400, "speed takes a number from 0.01 to 1000, not 0"},
                    Refused{R"({"recording": "show", "loop": 1})", 400, "loop takes true or false, not 1"}));

TEST(CheckPlay, ALongValueIsCutBetweenTwoCharactersSoThatTheMessageStaysText)
{
    // "\"" and 19 two-byte letters are 39 bytes: the 20th letter would be cut in two.
    std::string name;
    for (int i = 0; i < 25; ++i)
        name += "\u00e9";
    try {
        check(R"({"effect": ")" + name + "\"}");
        ADD_FAILURE() << "taken";
    } catch (const Refusal& refusal) {
        EXPECT_EQ(refusal.message, "unknown effect \"" + name.substr(0, 38) + "...; GET /api/effects names every one");
        EXPECT_NO_THROW(json(refusal.message).dump());
    }
}

TEST(CheckPlay, ALongValueIsQuotedCutShort)
{
    try {
        check(R"({"effect": ")" + std::string(100, 'x') + "\"}");
        ADD_FAILURE() << "taken";
    } catch (const Refusal& refusal) {
        EXPECT_EQ(refusal.message, "unknown effect \"" + std::string(39, 'x') + "...; GET /api/effects names every one");
    }
}

struct Running {
    pid_t pid = 0;
    std::vector<std::string> argv;
    std::string cwd;
};

// A file of /proc, or what of it could be read: a process that ends while
// it is read leaves its files unreadable (ESRCH), which a stream would throw.
std::string procFile(const std::string& path)
{
    std::string text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text;
    char buffer[4096];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(got));
    ::close(fd);
    return text;
}

// This test's children whose program is `program`.
std::vector<Running> children(const std::string& program)
{
    std::vector<Running> found;
    DIR* proc = ::opendir("/proc");
    while (const dirent* entry = proc ? ::readdir(proc) : nullptr) {
        const std::string name = entry->d_name;
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const std::string dir = "/proc/" + name;
        const std::string stat = procFile(dir + "/stat");
        const std::size_t close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream fields(stat.substr(close + 2));
        std::string state;
        pid_t parent = 0;
        fields >> state >> parent;
        if (parent != ::getpid() || state == "Z")
            continue;
        Running child{std::stoi(name), {}, {}};
        std::istringstream cmdline(procFile(dir + "/cmdline"));
        for (std::string word; std::getline(cmdline, word, '\0');)
            child.argv.push_back(word);
        std::error_code ignored;
        child.cwd = std::filesystem::read_symlink(dir + "/cwd", ignored);
        if (!child.argv.empty() && std::filesystem::path(child.argv[0]).filename() == program)
            found.push_back(child);
    }
    if (proc)
        ::closedir(proc);
    return found;
}

bool gone(pid_t pid)
{
    return procFile("/proc/" + std::to_string(pid) + "/cmdline").find("cubefx") == std::string::npos;
}

bool hasSocket(pid_t pid)
{
    std::error_code ignored;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ignored))
        if (std::filesystem::read_symlink(fd.path(), ignored).string().starts_with("socket:"))
            return true;
    return false;
}

template <typename Pred>
bool eventually(Pred done)
{
    const auto end = std::chrono::steady_clock::now() + kDeadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(kPoll);
    }
    return true;
}

// A recording that shows one red LED, then waits long for its next code.
void writeOneLed(const std::string& path)
{
    testsupport::RecordingFile(path, kEdge)
        .add(0, channel::kStatusBatchBase + 1, {{1, 2, 3, {1, 0, 0}}})
        .add(0, channel::kStatusReleaseNoKeep)
        .add(kLongAfterMs, channel::kStatusReleaseNoKeep);
}

std::string programsDir()
{
    return std::filesystem::path(binary("cubefx")).parent_path();
}

// A cube of edge 5 served by cubetrace, and what Control needs around it.
class Playing : public testing::Test {
protected:
    Control::Setup setup(std::vector<std::string> program = {})
    {
        return {kEdge, programsDir(), dir.runDir(), dir.recordPath(), std::move(program)};
    }

    std::vector<demotest::Frame> frames() { return demotest::parseTrace(receiver.process().out()); }

    bool lit()
    {
        const auto shown = frames();
        return !shown.empty() && shown.back().lit > 0;
    }

    bool dark()
    {
        const auto shown = frames();
        return !shown.empty() && shown.back().lit == 0;
    }

    // The one writer that runs, once it does.
    Running writer(const std::string& name = "cubefx")
    {
        std::vector<Running> found;
        EXPECT_TRUE(eventually([&] { return (found = children(name)).size() == 1; })) << found.size();
        return found.empty() ? Running{} : found.front();
    }

    testsupport::RunDir dir;
    demotest::Receiver receiver{dir, {"--edge", std::to_string(kEdge)}};
    web::Recordings recordings{{dir.root() + "/recordings", kEdge, programsDir()}};
};

TEST_F(Playing, AnEffectRunsAsCubefxInTheAnimationDirectoryAndLightsTheCube)
{
    Control control(setup(), recordings);
    control.play(json::parse(R"({"effect": "rain", "settings": {"drops": 300}, "seed": 3})"));
    const Running child = writer();
    EXPECT_EQ(child.argv, (std::vector<std::string>{programsDir() + "/cubefx", "--edge", "5", "--loop", "--duration",
                                                     "86400", "--seed", "3", "rain:drops=300"}));
    EXPECT_EQ(std::filesystem::path(child.cwd), std::filesystem::canonical(dir.runDir()));
    EXPECT_TRUE(eventually([&] { return lit(); })) << receiver.process().out();
    EXPECT_EQ(control.playing()["effect"], "rain");
    EXPECT_FALSE(control.tick());
}

TEST_F(Playing, StopEndsTheWriterAndLeavesTheCubeDark)
{
    Control control(setup(), recordings);
    control.play(json::parse(R"({"effect": "fade"})"));
    const pid_t pid = writer().pid;
    ASSERT_TRUE(eventually([&] { return lit(); })) << receiver.process().out();
    control.stop();
    EXPECT_TRUE(gone(pid));
    EXPECT_TRUE(control.playing().is_null());
    EXPECT_TRUE(eventually([&] { return dark(); })) << receiver.process().out();
}

TEST_F(Playing, StopDarkensTheCubeThatAWriterLeftLit)
{
    // Stopped, cubereplay leaves the frame on show as it is.
    const std::string show = dir.root() + "/lit.rec";
    writeOneLed(show);
    Control control(setup({binary("cubereplay"), show}), recordings);
    control.play(json::parse(R"({"program": true})"));
    EXPECT_EQ(writer("cubereplay").argv, (std::vector<std::string>{binary("cubereplay"), show}));
    ASSERT_TRUE(eventually([&] { return lit(); })) << receiver.process().out();
    control.stop();
    EXPECT_TRUE(eventually([&] { return dark(); })) << receiver.process().out();
    const auto shown = frames();
    ASSERT_GE(shown.size(), 2u);
    EXPECT_EQ(shown[shown.size() - 2].lit, 1);
}

TEST_F(Playing, ARecordingPlaysFromTheRecordingsFolderAtItsSpeed)
{
    writeOneLed(dir.root() + "/recordings/lit.rec");
    Control control(setup(), recordings);
    control.play(json::parse(R"({"recording": "lit", "speed": 2})"));
    EXPECT_EQ(writer("cubereplay").argv,
              (std::vector<std::string>{programsDir() + "/cubereplay", "--speed", "2", recordings.existing("lit")}));
    EXPECT_TRUE(eventually([&] { return lit(); })) << receiver.process().out();
    EXPECT_EQ(control.playing(), json::parse(R"({"recording": "lit", "speed": 2, "loop": false})"));
}

// cubelisten takes the words made for it: it goes on to open its listener.
TEST_F(Playing, ListeningRunsCubelistenWithTheOptionsGiven)
{
    Control control(setup(), recordings);
    control.play(json::parse(R"({"listen": ["ddp://127.0.0.1:0"], "options": {"timeout": 5, "serpentine": true}})"));
    const Running child = writer("cubelisten");
    EXPECT_EQ(child.argv, (std::vector<std::string>{programsDir() + "/cubelisten", "--edge", "5", "--serpentine",
                                                     "--timeout=5", "--", "ddp://127.0.0.1:0"}));
    EXPECT_TRUE(eventually([&] { return hasSocket(child.pid); }));
    EXPECT_FALSE(control.tick());
}

TEST_F(Playing, StopWithNothingPlayingStillShowsADarkFrame)
{
    Control control(setup(), recordings);
    control.stop();
    EXPECT_TRUE(eventually([&] { return dark(); })) << receiver.process().out();
}

TEST_F(Playing, ARefusedRequestLeavesWhatPlaysUntouched)
{
    Control control(setup(), recordings);
    control.play(json::parse(R"({"effect": "fade", "seed": 9})"));
    const pid_t pid = writer().pid;
    const json before = control.playing();
    EXPECT_THROW(control.play(json::parse(R"({"effect": "fade", "seed": -9})")), Refusal);
    EXPECT_THROW(control.play(json::parse(R"({"program": true})")), Refusal);
    EXPECT_EQ(writer().pid, pid);
    EXPECT_EQ(control.playing(), before);
}

TEST_F(Playing, ASoundIsLookedUpInTheRecordingsFolderBeforeWhatPlaysStops)
{
    Control control(setup(), recordings);
    control.play(json::parse(R"({"effect": "fade", "seed": 9})"));
    const pid_t pid = writer().pid;
    std::filesystem::create_directory(recordings.folder() / "folder.wav");
    const struct {
        std::string sound;
        int status;
        std::string message;
    } cases[] = {
        {"../song.wav", 400, "a sound's name cannot hold '/' or '\\'"},
        {"a..b.wav", 400, "a sound's name cannot hold \"..\""},
        {"show.rec", 400, "a sound's name ends in .wav, .flac, .ogg, .oga, .mp3, .opus, .aiff, .aif or .au"},
        {"gone.wav", 404, "no sound \"gone.wav\""},
        {"folder.wav", 404, "no sound \"folder.wav\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sound);
        try {
            control.play({{"effect", "fade"}, {"sound", c.sound}});
            ADD_FAILURE() << "taken";
        } catch (const Refusal& refusal) {
            EXPECT_EQ(refusal.status, c.status);
            EXPECT_EQ(refusal.message, c.message);
        }
    }
    EXPECT_EQ(writer().pid, pid);
}

TEST_F(Playing, ANewRequestTakesThePlaceOfTheOldWriter)
{
    Control control(setup(), recordings);
    control.play(json::parse(R"({"effect": "fade"})"));
    const pid_t first = writer().pid;
    control.play(json::parse(R"({"effect": "plasma"})"));
    EXPECT_TRUE(gone(first));
    EXPECT_EQ(writer().argv.back(), "plasma");
}

TEST_F(Playing, APlaylistMovesOnWhenItsItemEnds)
{
    Control control(setup(), recordings);
    control.play(json::parse(R"({"playlist": [{"effect": "fill", "duration": 0.2}, {"effect": "plasma", "duration": 30}]})"));
    EXPECT_EQ(control.playing()["index"], 0);
    ASSERT_TRUE(eventually([&] { return control.tick(); }));
    EXPECT_EQ(control.playing()["index"], 1);
    EXPECT_EQ(writer().argv, (std::vector<std::string>{programsDir() + "/cubefx", "--edge", "5", "--duration", "30",
                                                        "plasma"}));
}

TEST_F(Playing, AnEffectWithADurationIsLetGoWhenItEnds)
{
    Control control(setup(), recordings);
    control.play(json::parse(R"({"effect": "fill", "duration": 0.1})"));
    ASSERT_TRUE(eventually([&] { return control.tick(); }));
    EXPECT_TRUE(control.playing().is_null());
    EXPECT_FALSE(control.tick());
}

TEST_F(Playing, TheProgramRunsAsGivenInTheAnimationDirectory)
{
    const std::vector<std::string> program{binary("cubefx"), "--edge", "5", "--duration", "30", "plasma"};
    Control control(setup(program), recordings);
    control.play(json::parse(R"({"program": true})"));
    const Running child = writer();
    EXPECT_EQ(child.argv, program);
    EXPECT_EQ(std::filesystem::path(child.cwd), std::filesystem::canonical(dir.runDir()));
    EXPECT_EQ(control.playing(), json::parse(R"({"program": true})"));
}

// The writer before has stopped by then: nothing plays, and the cube is dark.
TEST_F(Playing, AProgramThatCannotStartIsRefusedAs500AfterTheWriterBeforeIsGone)
{
    Control control(setup({dir.root() + "/gone"}), recordings);
    control.play(json::parse(R"({"effect": "fade"})"));
    const pid_t pid = writer().pid;
    ASSERT_TRUE(eventually([&] { return lit(); })) << receiver.process().out();
    try {
        control.play(json::parse(R"({"program": true})"));
        ADD_FAILURE() << "taken";
    } catch (const Refusal& refusal) {
        EXPECT_EQ(refusal.status, 500);
        EXPECT_EQ(refusal.message,
                  "cannot start " + dir.root() + "/gone in " + dir.runDir() + ": No such file or directory");
    }
    EXPECT_TRUE(gone(pid));
    EXPECT_TRUE(control.playing().is_null());
    EXPECT_TRUE(eventually([&] { return dark(); })) << receiver.process().out();
}

TEST_F(Playing, AWriterThatCannotStartIsRefusedAs500)
{
    Control::Setup broken = setup();
    broken.programs = dir.root() + "/nowhere";
    Control control(broken, recordings);
    try {
        control.play(json::parse(R"({"effect": "fade"})"));
        ADD_FAILURE() << "taken";
    } catch (const Refusal& refusal) {
        EXPECT_EQ(refusal.status, 500);
        EXPECT_EQ(refusal.message, "cannot start " + dir.root() + "/nowhere/cubefx in " + dir.runDir() +
                                       ": No such file or directory");
    }
    EXPECT_TRUE(control.playing().is_null());
}

TEST_F(Playing, TheDestructorLeavesNoChild)
{
    pid_t pid = 0;
    {
        Control control(setup(), recordings);
        control.play(json::parse(R"({"effect": "fade"})"));
        pid = writer().pid;
    }
    EXPECT_TRUE(gone(pid));
    EXPECT_TRUE(children("cubefx").empty());
}

}  // namespace
