#include "web/recordings.h"

#include "common/cli.h"
#include "common/process.h"
#include "common/progress.h"
#include "lbox/channel.h"
#include "record/recording.h"
#include "lbox/lFrame.h"
#include "web/api.h"
#include "web/status.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace ledcube::web {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

using status::kAccepted;
using status::kBadRequest;
using status::kConflict;
using status::kNotFound;
using status::kOk;
using status::kServerError;

constexpr std::size_t kMaxNameBytes = 64;
constexpr const char* kRecExtension = ".rec";
// A sound lies in the recordings folder under its own file name, which
// names its kind as libsndfile reads it.
constexpr std::size_t kMaxSoundNameBytes = 255;
constexpr std::string_view kSoundExtensions[] = {".wav", ".flac", ".ogg", ".oga", ".mp3",
                                                 ".opus", ".aiff", ".aif", ".au"};
constexpr const char* kPartSuffix = ".part";
constexpr std::string_view kRecFormat = "rec";
// The exports made of the recordings, beside them: hidden from the list (no
// plain name begins with '.'), on the same disk, and removed with the
// recording they were made of. A tool writes into the making folder, and
// what it made is moved up once it ends well, so a half-made file is never
// sent.
constexpr const char* kExportsFolder = ".exports";
constexpr const char* kMakingFolder = ".making";
constexpr const char* kLogExtension = ".log";
constexpr double kUsPerSecond = 1e6;
// Each export is a program of its own (cuberender with its own X server), so
// requests cannot start them without bound.
constexpr std::size_t kMaxExports = 2;
constexpr mode_t kFileMode = 0644;
constexpr std::size_t kReadChunk = 512;
constexpr unsigned char kLastControl = 0x1f;
constexpr unsigned char kDelete = 0x7f;

// What a recording can be made into, and the tool that makes it.
struct Format {
    std::string_view name;
    std::string_view tool;
    std::string_view contentType;
};
constexpr Format kFormats[] = {
    {"gif", "cuberender", "image/gif"},
    {"fseq", "cubeexport", "application/octet-stream"},
    {"bin", "cubeexport", "application/octet-stream"},
    {"h", "cubeexport", "text/plain; charset=utf-8"},
};

const Format* formatNamed(std::string_view name)
{
    for (const Format& format : kFormats)
        if (format.name == name)
            return &format;
    return nullptr;
}

// What a plain name may be: a recording's NAME, or a sound's whole file
// name, which may be as long as the file system's own.
struct NameRules {
    std::string_view what;
    std::size_t maxBytes;
};
constexpr NameRules kRecordingName{"recording", kMaxNameBytes};
constexpr NameRules kSoundName{"sound", kMaxSoundNameBytes};

// Why `name` is no plain name of `rules.what`, or nothing when it is one.
std::optional<std::string> nameProblem(std::string_view name, const NameRules& rules = kRecordingName)
{
    const std::string whose = "a " + std::string(rules.what) + "'s name";
    if (name.empty())
        return "a " + std::string(rules.what) + " needs a name";
    if (name.size() > rules.maxBytes)
        return whose + " takes at most " + std::to_string(rules.maxBytes) + " bytes";
    const auto control = [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= kLastControl || byte == kDelete;
    };
    if (std::any_of(name.begin(), name.end(), control))
        return whose + " cannot hold control characters";
    if (name.find_first_of("/\\") != std::string_view::npos)
        return whose + " cannot hold '/' or '\\'";
    if (name.find("..") != std::string_view::npos)
        return whose + " cannot hold \"..\"";
    if (name.front() == '.')
        return whose + " cannot begin with '.'";
    return std::nullopt;
}

void checkName(std::string_view name, const NameRules& rules = kRecordingName)
{
    if (const auto problem = nameProblem(name, rules))
        throw Refusal{kBadRequest, *problem};
}

// Whether `name` ends in one of the sound files' extensions, in any case.
bool soundExtension(std::string_view name)
{
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos)
        return false;
    std::string extension(name.substr(dot));
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return std::find(std::begin(kSoundExtensions), std::end(kSoundExtensions), extension) != std::end(kSoundExtensions);
}

// Why `name` is no plain name of a sound file, or nothing when it is one.
std::optional<std::string> soundNameProblem(std::string_view name)
{
    if (auto problem = nameProblem(name, kSoundName))
        return problem;
    if (!soundExtension(name)) {
        std::string extensions;
        for (std::size_t i = 0; i < std::size(kSoundExtensions); ++i)
            extensions.append(i == 0 ? "" : i + 1 == std::size(kSoundExtensions) ? " or " : ", ")
                .append(kSoundExtensions[i]);
        return "a sound's name ends in " + extensions;
    }
    return std::nullopt;
}

std::string quotedName(std::string_view name)
{
    return "\"" + std::string(name) + "\"";
}

Response progressResponse(double progress)
{
    Response response;
    response.status = kAccepted;
    response.body = nlohmann::json{{"progress", progress}}.dump();
    return response;
}

Response fileResponse(const fs::path& file, std::string_view contentType, std::string downloadName)
{
    Response response;
    response.status = kOk;
    response.file = file;
    response.contentType = contentType;
    response.downloadName = std::move(downloadName);
    return response;
}

// The last line with anything on it: a tool's own word on why it failed.
std::string lastLine(const fs::path& file)
{
    std::ifstream in(file);
    std::string line;
    std::string last;
    while (std::getline(in, line))
        if (line.find_first_not_of(" \t\r") != std::string::npos)
            last = line;
    return last;
}

// The code that announces a batch of `count` entries.
uint8_t batchCode(std::size_t count)
{
    return static_cast<uint8_t>(channel::kStatusBatchBase + count);
}

// Items that make the table being built hold `table`: cleared to the unlit
// grey, then every LED of another colour, bit for bit, three to an item.
bool writeTable(recording::Writer& writer, uint64_t timeUs, const storeColor* table, int edge)
{
    uint8_t record[channel::kRecordSize] = {};
    if (!writer.add(timeUs, channel::kStatusClear, record))
        return false;
    std::size_t count = 0;
    for (int x = 0; x < edge; ++x)
        for (int y = 0; y < edge; ++y)
            for (int z = 0; z < edge; ++z) {
                const storeColor& colour = table[(x * edge + y) * edge + z];
                if (std::memcmp(&colour, &lFrame::kUnlit, sizeof colour) == 0)
                    continue;
                channel::packEntry(record, count++,
                                   {static_cast<uint8_t>(x), static_cast<uint8_t>(y), static_cast<uint8_t>(z), colour});
                if (count == channel::kMaxEntries) {
                    if (!writer.add(timeUs, batchCode(count), record))
                        return false;
                    count = 0;
                }
            }
    return count == 0 || writer.add(timeUs, batchCode(count), record);
}

// A recording begins with the receiver's state as it is: whatever a player
// held before, these items put `shown` on show and leave `building` being
// built, so that every code after them acts as it did here. Showing the
// frame costs one release of its own.
bool writeBeginning(recording::Writer& writer, uint64_t timeUs, const storeColor* shown, const storeColor* building,
                    int edge)
{
    const uint8_t record[channel::kRecordSize] = {};
    return writeTable(writer, timeUs, shown, edge) && writer.add(timeUs, channel::kStatusReleaseNoKeep, record) &&
           writeTable(writer, timeUs, building, edge);
}

// A file opened for a new recording; none that was there is followed, a
// link least of all.
std::FILE* createFile(const fs::path& path)
{
    std::error_code ignored;
    fs::remove(path, ignored);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kFileMode);
    if (fd < 0)
        return nullptr;
    std::FILE* file = ::fdopen(fd, "wb");
    if (!file)
        ::close(fd);
    return file;
}

// The running recording, shared by the loop thread, which starts and ends
// it, and the receiver thread, which writes every code to it. The receiver
// holds the lock only to write an item into the file's buffer.
struct Recorder {
    std::mutex mutex;
    std::FILE* file = nullptr;
    recording::Writer writer;
    Clock::time_point start;
    bool begun = false;   // the receiver's state is written
    bool failed = false;  // an item could not be written
};

// A descriptor closed when it goes.
struct Descriptor {
    explicit Descriptor(int given) : fd(given) {}
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int fd;
};

// An export being made by a child program.
struct Job {
    std::string name;
    const Format* format = nullptr;
    process::Child child;
    int progressFd = -1;   // our end of the progress pipe, non-blocking
    std::string pending;   // a progress line not yet whole
    double progress = 0;
    fs::path making;
    fs::path log;
    fs::path made;
    fs::file_time_type recordedAt;  // of the recording when the job began

    Job() = default;
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;
    ~Job()
    {
        if (progressFd >= 0)
            ::close(progressFd);
    }
};

}  // namespace

struct Recordings::State {
    Setup setup;
    fs::path realFolder;  // the folder with every link resolved
    fs::path exports;
    fs::path makingFolder;
    fs::path programs;

    Recorder recorder;
    std::optional<std::string> recording;  // its name, on the loop thread
    fs::path part;
    fs::path final;

    std::list<Job> jobs;
    std::map<std::string, std::string> failures;  // by NAME.FORMAT, until told once

    // What the list said of each recording, kept while its file keeps its
    // time and size, so that a list reads again only what changed.
    struct Described {
        fs::file_time_type time;
        std::uintmax_t bytes = 0;
        nlohmann::json item;
    };
    mutable std::map<fs::path, Described> described;
    bool changed = false;

    explicit State(Setup given) : setup(std::move(given))
    {
        fs::create_directories(setup.folder);
        realFolder = fs::canonical(setup.folder);
        exports = realFolder / kExportsFolder;
        makingFolder = exports / kMakingFolder;
        programs = setup.programs.empty() ? process::programDir() : setup.programs;
    }

    // The file lies in the folder, links resolved, and is a file.
    bool inside(const fs::path& path) const
    {
        std::error_code error;
        const fs::path real = fs::weakly_canonical(path, error);
        return !error && real.parent_path() == realFolder && fs::is_regular_file(real, error);
    }

    // The files in the folder whose names `named` takes, by name.
    std::vector<fs::path> files(const std::function<bool(const fs::path&)>& named) const
    {
        std::vector<fs::path> found;
        std::error_code error;
        for (const fs::directory_entry& entry : fs::directory_iterator(realFolder, error))
            if (named(entry.path()) && inside(entry.path()))
                found.push_back(entry.path());
        std::sort(found.begin(), found.end());
        return found;
    }

    fs::path recPath(std::string_view name) const { return realFolder / (std::string(name) + kRecExtension); }
    fs::path madePath(std::string_view name, const Format& format) const
    {
        return exports / (std::string(name) + "." + std::string(format.name));
    }

    nlohmann::json describe(const fs::path& path) const;
    nlohmann::json describedOnce(const fs::path& path) const;
    bool endRecording();
    void startJob(std::string_view name, const Format& format, const fs::path& rec);
    void launch(Job& job, const fs::path& rec) const;
    bool readProgress(Job& job);
    void finishJob(Job& job);
    void pollJobs();
    void dropJobs(std::string_view name);
};

// A recording as the list shows it; one that does not parse says why,
// naming the file by its own name only.
nlohmann::json Recordings::State::describe(const fs::path& path) const
{
    const std::string name = path.stem().string();
    std::error_code sizeError;
    const auto bytes = fs::file_size(path, sizeError);
    nlohmann::json item = {{"name", name}, {"bytes", sizeError ? 0 : bytes}};
    recording::Recording show;
    std::string error;
    if (!recording::load(path.string(), show, error)) {
        for (std::size_t at = error.find(path.string()); at != std::string::npos; at = error.find(path.string()))
            error.replace(at, path.string().size(), path.filename().string());
        item["error"] = error;
        return item;
    }
    item["frames"] = std::count_if(show.items.begin(), show.items.end(),
                                   [](const recording::Item& i) { return recording::isRelease(i.code); });
    item["seconds"] = show.items.empty() ? 0.0 : static_cast<double>(show.items.back().timeUs) / kUsPerSecond;
    return item;
}

nlohmann::json Recordings::State::describedOnce(const fs::path& path) const
{
    std::error_code timeError;
    std::error_code sizeError;
    const fs::file_time_type time = fs::last_write_time(path, timeError);
    const std::uintmax_t bytes = fs::file_size(path, sizeError);
    const auto known = described.find(path);
    if (!timeError && !sizeError && known != described.end() && known->second.time == time &&
        known->second.bytes == bytes)
        return known->second.item;
    nlohmann::json item = describe(path);
    if (!timeError && !sizeError)
        described[path] = {time, bytes, item};
    return item;
}

// Takes the file from the receiver and closes it; true when every item was
// written, the file then renamed to its own name.
bool Recordings::State::endRecording()
{
    std::FILE* file = nullptr;
    bool failed = false;
    {
        const std::lock_guard lock(recorder.mutex);
        file = std::exchange(recorder.file, nullptr);
        failed = recorder.failed;
    }
    recording.reset();
    const bool closed = std::fclose(file) == 0;
    std::error_code error;
    if (!failed && closed)
        fs::rename(part, final, error);
    if (failed || !closed || error) {
        fs::remove(part, error);
        return false;
    }
    return true;
}

void Recordings::State::startJob(std::string_view name, const Format& format, const fs::path& rec)
{
    if (jobs.size() >= kMaxExports)
        throw Refusal{kConflict, std::to_string(jobs.size()) + " exports are being made: ask again once one is done"};
    std::error_code error;
    fs::create_directories(makingFolder, error);
    Job& job = jobs.emplace_back();
    job.name = name;
    job.format = &format;
    job.made = madePath(name, format);
    job.making = makingFolder / job.made.filename();
    job.log = makingFolder / (job.made.filename().string() + kLogExtension);
    job.recordedAt = fs::last_write_time(rec, error);
    try {
        launch(job, rec);
    } catch (const Refusal&) {
        jobs.pop_back();
        throw;
    }
    changed = true;
}

// Starts the job's tool, its output and error going to the job's log, its
// progress to a pipe. Neither end waits: we read what is there, and a tool
// whose reader lags behind drops a line rather than stopping.
void Recordings::State::launch(Job& job, const fs::path& rec) const
{
    const Descriptor log(::open(job.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kFileMode));
    int pipe[2] = {-1, -1};
    if (log.fd < 0 || ::pipe2(pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        throw Refusal{kServerError, process::because("cannot make " + job.made.filename().string())};
    job.progressFd = pipe[0];
    const Descriptor toolEnd(pipe[1]);
    const fs::path program = programs / cli::programForEdge(job.format->tool, setup.edge);
    try {
        job.child.start({program.string(), "--progress-fd", std::to_string(toolEnd.fd), rec.string(),
                         job.making.string()},
                        {.dir = {}, .in = -1, .out = log.fd, .err = log.fd, .keep = toolEnd.fd});
    } catch (const process::Failure& failure) {
        throw Refusal{kServerError, failure.what};
    }
}

// Reads what the tool said of its progress so far; true when it moved.
bool Recordings::State::readProgress(Job& job)
{
    char chunk[kReadChunk];
    ssize_t got = 0;
    while ((got = ::read(job.progressFd, chunk, sizeof chunk)) > 0)
        job.pending.append(chunk, static_cast<std::size_t>(got));
    const double before = job.progress;
    for (std::size_t end = job.pending.find('\n'); end != std::string::npos; end = job.pending.find('\n')) {
        if (const auto fraction = cli::progressFraction(std::string_view(job.pending).substr(0, end)))
            job.progress = *fraction;
        job.pending.erase(0, end + 1);
    }
    return job.progress != before;
}

// The job has ended: what it made goes up beside the others, dated as the
// recording it was made of; a failure is kept, in the tool's words, for the
// next download to tell.
void Recordings::State::finishJob(Job& job)
{
    std::error_code error;
    const int exitStatus = job.child.status().value_or(-1);
    if (exitStatus == 0) {
        fs::rename(job.making, job.made, error);
        if (!error)
            fs::last_write_time(job.made, job.recordedAt, error);
    }
    std::string why;
    if (exitStatus != 0)
        why = lastLine(job.log);
    if (exitStatus != 0 && why.empty())
        why = job.child.name() + " ended with status " + std::to_string(exitStatus);
    if (error)
        why = "cannot keep " + job.made.filename().string() + ": " + error.message();
    if (!why.empty())
        failures[job.made.filename().string()] = why;
    fs::remove(job.making, error);
    fs::remove(job.log, error);
}

void Recordings::State::pollJobs()
{
    for (auto job = jobs.begin(); job != jobs.end();) {
        changed |= readProgress(*job);
        if (job->child.running()) {
            ++job;
            continue;
        }
        readProgress(*job);
        finishJob(*job);
        job = jobs.erase(job);
        changed = true;
    }
}

// Stops the exports of `name` and forgets what they made.
void Recordings::State::dropJobs(std::string_view name)
{
    std::error_code error;
    for (auto job = jobs.begin(); job != jobs.end();) {
        if (job->name != name) {
            ++job;
            continue;
        }
        job->child.stop();
        fs::remove(job->making, error);
        fs::remove(job->log, error);
        job = jobs.erase(job);
        changed = true;
    }
    for (const Format& format : kFormats) {
        fs::remove(madePath(name, format), error);
        failures.erase(madePath(name, format).filename().string());
    }
}

Recordings::Recordings(Setup setup) : state_(std::make_unique<State>(std::move(setup))) {}

Recordings::~Recordings()
{
    if (state_->recording)
        state_->endRecording();
    std::vector<process::Child*> children;
    for (Job& job : state_->jobs)
        children.push_back(&job.child);
    process::stopAll(children);
    std::error_code error;
    for (const Job& job : state_->jobs) {
        fs::remove(job.making, error);
        fs::remove(job.log, error);
    }
}

const std::filesystem::path& Recordings::folder() const
{
    return state_->setup.folder;
}

std::filesystem::path Recordings::existing(std::string_view name) const
{
    checkName(name);
    const fs::path path = state_->recPath(name);
    if (!state_->inside(path))
        throw Refusal{kNotFound, "no recording " + quotedName(name)};
    return path;
}

nlohmann::json Recordings::list() const
{
    const std::vector<fs::path> found = state_->files([](const fs::path& path) {
        return path.extension() == kRecExtension && !nameProblem(path.stem().string());
    });
    nlohmann::json recordings = nlohmann::json::array();
    for (const fs::path& path : found)
        recordings.push_back(state_->describedOnce(path));
    std::erase_if(state_->described,
                  [&](const auto& known) { return !std::binary_search(found.begin(), found.end(), known.first); });
    return {{"recordings", recordings}};
}

std::filesystem::path Recordings::sound(std::string_view name) const
{
    if (const auto problem = soundNameProblem(name))
        throw Refusal{kBadRequest, *problem};
    const fs::path path = state_->realFolder / std::string(name);
    if (!state_->inside(path))
        throw Refusal{kNotFound, "no sound " + quotedName(name)};
    return path;
}

nlohmann::json Recordings::sounds() const
{
    const std::vector<fs::path> found =
        state_->files([](const fs::path& path) { return !soundNameProblem(path.filename().string()); });
    nlohmann::json sounds = nlohmann::json::array();
    std::error_code error;
    for (const fs::path& path : found) {
        const auto bytes = fs::file_size(path, error);
        sounds.push_back({{"name", path.filename().string()}, {"bytes", error ? 0 : bytes}});
    }
    return {{"sounds", sounds}};
}

void Recordings::remove(std::string_view name)
{
    checkName(name);
    if (state_->recording == name)
        throw Refusal{kConflict, quotedName(name) + " is being recorded: stop the recording first"};
    const fs::path path = existing(name);
    state_->dropJobs(name);
    std::error_code error;
    if (!fs::remove(path, error) || error)
        throw Refusal{kServerError, "cannot delete " + path.filename().string() + ": " + error.message()};
    state_->changed = true;
}

void Recordings::startRecording(std::string_view name)
{
    checkName(name);
    State& state = *state_;
    if (state.recording)
        throw Refusal{kConflict, "a recording runs already: " + quotedName(*state.recording)};
    const fs::path final = state.recPath(name);
    std::error_code error;
    if (fs::exists(fs::symlink_status(final, error)))
        throw Refusal{kConflict, final.filename().string() + " is there already"};

    const fs::path part = final.string() + kPartSuffix;
    std::FILE* file = createFile(part);
    recording::Writer writer;
    if (!file || !writer.start(file, static_cast<uint8_t>(state.setup.edge))) {
        const std::string why = process::because("cannot write " + part.filename().string());
        if (file)
            std::fclose(file);
        fs::remove(part, error);
        throw Refusal{kServerError, why};
    }
    state.recording = std::string(name);
    state.part = part;
    state.final = final;
    state.changed = true;
    const std::lock_guard lock(state.recorder.mutex);
    state.recorder.file = file;
    state.recorder.writer = writer;
    state.recorder.start = Clock::now();
    state.recorder.begun = false;
    state.recorder.failed = false;
}

void Recordings::stopRecording()
{
    if (!state_->recording)
        throw Refusal{kConflict, "no recording runs"};
    const std::string name = state_->final.filename().string();
    state_->changed = true;
    if (!state_->endRecording())
        throw Refusal{kServerError, "unable to write " + name + ": it is not kept"};
}

void Recordings::code(uint8_t code, const uint8_t* record, const storeColor* shown, const storeColor* building)
{
    Recorder& recorder = state_->recorder;
    const std::lock_guard lock(recorder.mutex);
    if (!recorder.file || recorder.failed)
        return;
    bool written = true;
    if (!recorder.begun) {
        recorder.begun = true;
        written = writeBeginning(recorder.writer, 0, shown, building, state_->setup.edge);
    }
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - recorder.start).count();
    written = written && recorder.writer.add(static_cast<uint64_t>(us), code, record);
    recorder.failed = !written;
}

Response Recordings::download(std::string_view name, std::string_view format)
{
    if (format == kRecFormat) {
        const fs::path path = existing(name);
        return fileResponse(path, "application/octet-stream", path.filename().string());
    }
    const Format* made = formatNamed(format);
    if (!made)
        throw Refusal{kNotFound, "no recording is made into ." + std::string(format) + ": take .rec, .gif, .fseq, .bin or .h"};
    const fs::path rec = existing(name);
    State& state = *state_;
    state.pollJobs();
    for (const Job& job : state.jobs)
        if (job.name == name && job.format == made)
            return progressResponse(job.progress);
    const fs::path file = state.madePath(name, *made);
    if (auto failure = state.failures.extract(file.filename().string()))
        throw Refusal{kServerError, failure.mapped()};
    std::error_code error;
    if (fs::is_regular_file(file, error) && fs::last_write_time(file, error) == fs::last_write_time(rec, error) &&
        !error)
        return fileResponse(file, made->contentType, file.filename().string());
    state.startJob(name, *made, rec);
    return progressResponse(0.0);
}

bool Recordings::tick()
{
    state_->pollJobs();
    return std::exchange(state_->changed, false);
}

nlohmann::json Recordings::state() const
{
    nlohmann::json exports = nlohmann::json::array();
    for (const Job& job : state_->jobs)
        exports.push_back({{"name", job.name}, {"format", std::string(job.format->name)}, {"progress", job.progress}});
    return {{"recording", state_->recording ? nlohmann::json(*state_->recording) : nlohmann::json(nullptr)},
            {"exports", exports}};
}

}  // namespace ledcube::web
