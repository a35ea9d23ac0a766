// Exports a recording made by `cubetrace --record` or `cubeplay --record`
// for a cube that plays on its own: an FSEQ sequence for sequence players,
// raw frames for SD-card players and simulators, or a C header for the
// flash of a microcontroller. The frames are the recording played through
// the viewer's own receiver code, as cuberender draws them.
//
//   cubeexport [OPTION]... RECORDING OUTPUT
//
// Like the receiver it is built once per cube edge; a recording of another
// edge goes to the build for that edge.

#include "common/cli.h"
#include "common/headless.h"
#include "common/mapping.h"
#include "common/process.h"
#include "common/progress.h"
#include "common/wholefile.h"
#include "export/formats.h"
#include "record/recording.h"
#include "record/timeline.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

constexpr const char* kBase = "cubeexport";
constexpr unsigned long kDefaultStepMs = 25;
constexpr unsigned long kMaxStepMs = 255;  // a sequence's step time is one byte
// The flash of the usual AVR boards, which the tables should fit.
constexpr std::size_t kFlashBytes = 32 * 1024;
// A header's steps count frames and milliseconds in 16 bits.
constexpr uint64_t kMaxStepField = UINT16_MAX;
constexpr std::size_t kMaxPrefixLength = 64;
constexpr uint64_t kUsPerMs = 1000;
constexpr double kUsPerSecond = 1e6;

enum class Format { fseq, raw, header };

struct Options {
    double speed = 1.0;
    unsigned long holdMs = timeline::kDefaultHoldMs;
    unsigned long stepMs = kDefaultStepMs;
    bool zstd = false;
    bool mono = false;
    std::string prefix = "cube";
    int progressFd = -1;  // -1: no progress lines
    strip::Mapping mapping;
    std::vector<std::string> given;  // the options named, for the checks against the format
    Format format = Format::fseq;
    const char* recording = nullptr;
    const char* output = nullptr;
};

cli::Tool tool(const std::string& name)
{
    return {name, "Usage: " + name +
                      " [OPTION]... RECORDING OUTPUT\n"
                      "Exports a recording made by cubetrace --record or cubeplay --record for a cube\n"
                      "that plays on its own, each frame as the viewer shows it. OUTPUT's ending\n"
                      "picks the format:\n"
                      "  .fseq   an FSEQ sequence (version 2.0) for sequence players: a frame every\n"
                      "          --step milliseconds, 3 bytes an LED in the strip's order\n"
                      "  .bin    the same frames raw, one after another with no header, N*N*N*3\n"
                      "          bytes each: the form SD-card players and simulators read\n"
                      "  .h      a C header for a microcontroller: each distinct frame once, and the\n"
                      "          show as steps of a frame and its milliseconds\n"
                      "\n"
                      "  --speed F               play F times as fast (0.01 to 1000; default 1)\n"
                      "  --hold MS               show the last frame MS milliseconds (default 1000)\n"
                      "  --step MS               .fseq, .bin: a frame every MS milliseconds, 1 to 255\n"
                      "                          (default 25: 40 frames a second)\n"
                      "  --compress zstd         .fseq: compress with zstd, for players that take it\n"
                      "  --format rgb|mono       .h: 3 bytes an LED in the strip's order (rgb, the\n"
                      "                          default), or one bit an LED, set when it is lit,\n"
                      "                          layer by layer and row by row (mono)\n"
                      "  --name PREFIX           .h: the names' prefix (default cube: cube_frames,\n"
                      "                          CUBE_EDGE...)\n"
                      "  --progress-fd FD        write a line \"DONE TOTAL\" to descriptor FD as the\n"
                      "                          show's releases are played, for a program that\n"
                      "                          runs this one\n"
                      "\n"
                      "The strip's order and colours, for .fseq, .bin and an rgb .h, as cubesend sends\n"
                      "them (an unlit LED is 0, 0, 0):\n" +
                      strip::Mapping::help(strip::Mapping::Use::exporting) +
                      "\n"
                      "  --help                  show this help and exit\n"
                      "  --version               show the version and exit\n"
                      "\n"
                      "Examples:\n"
                      "  cubeexport --gamma 2.2 show.rec show.fseq\n"
                      "  cubeexport --format mono --name rain rain.rec rain.h\n"};
}

bool formatOf(const std::string& path, Format& format)
{
    const std::string ending = std::filesystem::path(path).extension();
    if (ending == ".fseq")
        format = Format::fseq;
    else if (ending == ".bin")
        format = Format::raw;
    else if (ending == ".h")
        format = Format::header;
    else
        return false;
    return true;
}

bool isIdentifier(const std::string& text)
{
    const auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
    return !text.empty() && text.size() <= kMaxPrefixLength && letter(text[0]) &&
           std::all_of(text.begin(), text.end(), [&](char c) { return letter(c) || (c >= '0' && c <= '9'); });
}

// An option as the command line named it, without a value after '='.
std::string optionName(const char* argument)
{
    const std::string_view text = argument;
    return std::string(text.substr(0, text.find('=')));
}

// Refuses the options that the output's format does not take. Every format
// takes --speed, --hold and --progress-fd; the wiring and colour options go with the
// formats that carry the strip's bytes.
void checkOptions(const cli::Parser& args, const Options& options)
{
    for (const std::string& option : options.given) {
        if (option == "--speed" || option == "--hold" || option == "--progress-fd")
            continue;
        if (option == "--leds-per-universe")
            args.fail("--leds-per-universe does not apply to a file: it has no universes");
        const bool strip = option != "--step" && option != "--compress" && option != "--format" && option != "--name";
        bool applies = false;
        switch (options.format) {
        case Format::fseq:
            applies = strip || option == "--step" || option == "--compress";
            break;
        case Format::raw:
            applies = strip || option == "--step";
            break;
        case Format::header:
            applies = strip ? !options.mono : option == "--format" || option == "--name";
            break;
        }
        if (!applies && strip)
            args.fail(option + " does not apply to a mono header: its layout is the cube's own");
        if (!applies)
            args.fail(option + " does not apply to a " + std::filesystem::path(options.output).extension().string() +
                      " file");
    }
}

Options parseOptions(const std::string& name, int argc, char** argv)
{
    Options options;
    cli::Parser args(tool(name), argc, argv);
    while (args.next()) {
        const std::string option = optionName(args.current());
        if (const char* v = args.option("--speed"))
            options.speed = args.number("--speed", v, recording::kMinSpeed, recording::kMaxSpeed);
        else if (const char* v = args.option("--hold"))
            options.holdMs = args.count("--hold", v, 0, timeline::kMaxHoldMs);
        else if (const char* v = args.option("--step"))
            options.stepMs = args.count("--step", v, 1, kMaxStepMs);
        else if (const char* v = args.option("--compress")) {
            if (std::string(v) != "zstd")
                args.fail("--compress takes zstd, not " + cli::quoted(v));
            if (!exporter::haveZstd())
                process::fail("--compress zstd: this build has no zstd (install libzstd-dev and build it again)");
            options.zstd = true;
        } else if (const char* v = args.option("--format")) {
            const std::string which = v;
            if (which != "rgb" && which != "mono")
                args.fail("--format takes rgb or mono, not " + cli::quoted(which));
            options.mono = which == "mono";
        } else if (const char* v = args.option("--name")) {
            if (!isIdentifier(v))
                args.fail("--name takes a C name of letters, digits and '_', not " + cli::quoted(v));
            options.prefix = v;
        } else if (const char* v = args.option("--progress-fd")) {
            options.progressFd = static_cast<int>(args.count("--progress-fd", v, 0, INT_MAX));
        } else if (!options.mapping.take(args)) {
            if (args.positional() && !options.recording)
                options.recording = args.current();
            else if (args.positional() && !options.output)
                options.output = args.current();
            else
                args.unexpected();
            continue;
        }
        options.given.push_back(option);
    }
    if (!options.recording)
        args.fail("no recording given");
    if (!options.output)
        args.fail("no output file given");
    if (!formatOf(options.output, options.format))
        args.fail("cannot tell what to make of " + cli::quoted(options.output) + ": name a .fseq, .bin or .h file");
    options.mapping.check(args);
    checkOptions(args, options);
    return options;
}

// The show's releases as the strip's bytes, with when each shows, and how
// many of them are played so far on the progress line.
class Releases {
public:
    Releases(const std::string& name, const recording::Recording& show, const timeline::Timing& timing,
             const Options& options)
        : player_(show),
          timing_(timing),
          wiring_(options.mapping.wiring(show.edge)),
          colour_(options.mapping.colour),
          pixels_(wiring_.size() * strip::kBytesPerPixel),
          progress_(name, "releases", timing.releases, options.progressFd)
    {
    }

    bool next()
    {
        if (!player_.next()) {
            progress_.clear();
            return false;
        }
        progress_.update(++played_);
        strip::toPixels(player_.shown(), wiring_, colour_, pixels_.data());
        return true;
    }
    uint64_t atUs() const { return timing_.outputUs(player_.timeUs()); }
    const exporter::Frame& pixels() const { return pixels_; }
    const storeColor* shown() const { return player_.shown(); }

private:
    timeline::Player player_;
    const timeline::Timing& timing_;
    strip::Wiring wiring_;
    strip::ColourCorrection colour_;
    exporter::Frame pixels_;
    cli::Progress progress_;
    std::size_t played_ = 0;
};

std::size_t sampleCount(const timeline::Timing& timing, uint64_t stepUs)
{
    return static_cast<std::size_t>(std::max<uint64_t>(1, (timing.endUs() + stepUs - 1) / stepUs));
}

// Frame k is the frame on show at k × step from the first release, up to the
// end of the last frame's hold: one frame at least.
void sample(Releases& releases, std::size_t count, uint64_t stepUs, const exporter::Sink& use)
{
    exporter::Frame shown;
    std::size_t k = 0;
    while (releases.next()) {
        for (; !shown.empty() && k < count && k * stepUs < releases.atUs(); ++k)
            use(shown);
        shown = releases.pixels();
    }
    for (; k < count; ++k)
        use(shown);
}

// The distinct frames of the show and its steps, each frame lasting from
// its release to the next one that changes it. Milliseconds are rounded at
// each step's end, so that rounding never adds up along the show; a frame on
// show for less than half a millisecond is left out.
class Steps {
public:
    explicit Steps(exporter::Header& header) : header_(header) {}

    void show(const exporter::Frame& frame, uint64_t atUs)
    {
        if (!header_.frames.empty() && frame == header_.frames[current_])
            return;
        if (!header_.frames.empty())
            end(atUs);
        current_ = indexOf(frame);
        fromUs_ = atUs;
    }

    // The last frame ends at `atUs`.
    void end(uint64_t atUs)
    {
        uint64_t ms = roundedMs(atUs) - roundedMs(fromUs_);
        while (ms > 0) {
            if (header_.steps.empty() || header_.steps.back().frame != current_ ||
                header_.steps.back().ms == kMaxStepField)
                header_.steps.push_back({static_cast<uint16_t>(current_), 0});
            exporter::Step& step = header_.steps.back();
            const uint64_t taken = std::min(ms, kMaxStepField - step.ms);
            step.ms = static_cast<uint16_t>(step.ms + taken);
            ms -= taken;
        }
        checkCount(header_.steps.size(), "steps");
    }

    // A show shorter than a millisecond still has its frame, shown for 0 ms.
    void finish()
    {
        if (header_.steps.empty())
            header_.steps.push_back({static_cast<uint16_t>(current_), 0});
        // A frame shown only for an instant is stored for nothing.
        std::vector<std::size_t> used(header_.frames.size(), 0);
        for (const exporter::Step& step : header_.steps)
            ++used[step.frame];
        std::vector<uint16_t> renumbered(header_.frames.size(), 0);
        std::vector<exporter::Frame> kept;
        for (std::size_t f = 0; f < header_.frames.size(); ++f)
            if (used[f]) {
                renumbered[f] = static_cast<uint16_t>(kept.size());
                kept.push_back(std::move(header_.frames[f]));
            }
        header_.frames = std::move(kept);
        for (exporter::Step& step : header_.steps)
            step.frame = renumbered[step.frame];
    }

private:
    static uint64_t roundedMs(uint64_t us) { return (us + kUsPerMs / 2) / kUsPerMs; }

    static void checkCount(std::size_t count, const char* what)
    {
        if (count > kMaxStepField)
            process::fail(std::string("the show has more than ") + std::to_string(kMaxStepField) + " " + what +
                          ", more than a header holds: export a shorter show, or a .fseq");
    }

    std::size_t indexOf(const exporter::Frame& frame)
    {
        const std::string_view bytes(reinterpret_cast<const char*>(frame.data()), frame.size());
        if (const auto known = index_.find(bytes); known != index_.end())
            return known->second;
        header_.frames.push_back(frame);
        checkCount(header_.frames.size(), "distinct frames");
        const exporter::Frame& stored = header_.frames.back();
        index_.emplace(std::string_view(reinterpret_cast<const char*>(stored.data()), stored.size()),
                       header_.frames.size() - 1);
        return header_.frames.size() - 1;
    }

    exporter::Header& header_;
    // Each distinct frame's index, by its bytes as header_.frames holds them:
    // a frame's bytes stay where they are as the vector of frames grows.
    std::unordered_map<std::string_view, std::size_t> index_;
    std::size_t current_ = 0;
    uint64_t fromUs_ = 0;
};

uint64_t nowUs()
{
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
}

int exportRecording(const std::string& name, int argc, char** argv)
{
    const Options options = parseOptions(name, argc, argv);
    const recording::Recording show = timeline::loadShow(kBase, options.recording, argv);
    const timeline::Timing timing = timeline::timingOf(show, options.speed, options.holdMs * kUsPerMs);
    Releases releases(name, show, timing, options);
    const double seconds = static_cast<double>(timing.endUs()) / kUsPerSecond;

    // The file's errors name it already.
    std::string error;
    wholefile::File file;
    if (!file.create(options.output, error))
        process::fail(error);
    const exporter::Sink write = [&](exporter::Bytes bytes) {
        if (!file.write(bytes.data(), bytes.size(), error))
            process::fail(error);
    };
    const auto commit = [&] {
        if (!file.commit(error))
            process::fail(error);
    };

    const std::size_t frameBytes = static_cast<std::size_t>(kCubeLeds) * strip::kBytesPerPixel;
    if (options.format == Format::header) {
        exporter::Header header;
        header.edge = show.edge;
        header.mono = options.mono;
        header.prefix = options.prefix;
        header.source = std::filesystem::path(options.recording).filename();
        header.producer = cli::toolkitVersion();
        Steps steps(header);
        while (releases.next())
            steps.show(options.mono ? exporter::monoFrame(releases.shown(), show.edge) : releases.pixels(),
                       releases.atUs());
        steps.end(timing.endUs());
        steps.finish();
        const std::string text = exporter::cHeader(header);
        write({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
        commit();
        const std::size_t tables = exporter::tableBytes(header);
        std::fprintf(stderr, "%s: %s: %zu distinct frames in %zu steps, %.2f s; the tables take %zu bytes\n",
                     name.c_str(), options.output, header.frames.size(), header.steps.size(), seconds, tables);
        if (tables > kFlashBytes)
            std::fprintf(stderr, "%s: warning: the tables pass the %zu KiB of flash of the usual AVR boards\n",
                         name.c_str(), kFlashBytes / 1024);
        return EXIT_SUCCESS;
    }

    const uint64_t stepUs = options.stepMs * kUsPerMs;
    const std::size_t count = sampleCount(timing, stepUs);
    if (options.format == Format::raw) {
        sample(releases, count, stepUs, write);
    } else {
        exporter::FseqWriter fseq({.channels = frameBytes, .frames = count,
                                   .stepMs = static_cast<unsigned>(options.stepMs), .zstd = options.zstd,
                                   .producer = cli::toolkitVersion(), .uniqueId = nowUs()},
                                  write);
        sample(releases, count, stepUs, [&](exporter::Bytes frame) { fseq.add(frame); });
        fseq.finish();
    }
    commit();
    std::fprintf(stderr, "%s: %s: %zu frames of %zu bytes, one every %lu ms, %.2f s\n", name.c_str(),
                 options.output, count, frameBytes, options.stepMs, seconds);
    return EXIT_SUCCESS;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string name = headless::ownName(kBase, argv[0]);
    return process::run(name, [&] { return exportRecording(name, argc, argv); });
}
