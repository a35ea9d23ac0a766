#include "common/writer.h"

#include "common/cli.h"
#include "common/process.h"
#include "lbox/pacing.h"

#include <algorithm>
#include <cstdio>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

namespace ledcube::writer {

namespace {

// How often the watch thread looks at the record.
constexpr auto kLookEvery = 20ms;

// An argument as a shell takes it back: quoted when it holds anything else
// than plain word characters.
std::string shellWord(const std::string& word)
{
    const bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](unsigned char c) {
        return std::isalnum(c) || std::strchr("_-+=:,./@%", c) != nullptr;
    });
    if (plain)
        return word;
    std::string quoted = "'";
    for (const char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// "cubeplay --edge 8 cubefx --edge 8 rain": the tool's command line again,
// under cubeplay, which lays out a run directory and starts a receiver. The
// program is the one argv[0] names, which for a script is its interpreter.
std::string underCubeplay(const std::string& name, int edge, int argc, char** argv)
{
    std::vector<std::string> words{"cubeplay"};
    if (edge != cli::kDefaultEdge)
        words.insert(words.end(), {"--edge", std::to_string(edge)});
    words.push_back(shellWord(cli::programName(argc > 0 ? argv[0] : nullptr, name)));
    for (int i = 1; i < argc; ++i)
        words.push_back(shellWord(argv[i]));
    std::string line;
    for (const std::string& word : words)
        line.append(line.empty() ? "" : " ").append(word);
    return line;
}

std::filesystem::path channelFile()
{
    std::error_code ignored;
    return std::filesystem::weakly_canonical(std::filesystem::current_path(ignored) / kChannelPath, ignored);
}

uint8_t* openChannel(const std::string& path, const std::string& runIt)
{
    std::string error;
    uint8_t* record = channel::tryMapRecord(kChannelPath, error);
    if (!record)
        process::fail("no usable frame channel at " + path + " (" + error +
                      "); an animation runs one directory below a receiver, as cubeplay lays them out: " + runIt);
    return record;
}

}  // namespace

Guard::Guard(std::string name, int edge, int argc, char** argv, signals::StopOnSignal::Notice onStop)
    : name_(std::move(name)),
      channelFile_(channelFile().string()),
      underCubeplay_(underCubeplay(name_, edge, argc, argv)),
      advice_("start a receiver in " + channelFile().parent_path().string() + " (" + cli::viewerForEdge(edge) +
              " or " + cli::programForEdge("cubetrace", edge) + "), or run this under cubeplay: " + underCubeplay_),
      record_(openChannel(channelFile_, underCubeplay_)),
      stop_(std::move(onStop))
{
    answered_ = Clock::now();
    watcher_ = std::thread([this] { watch(); });
}

Guard::~Guard()
{
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    wake_.notify_all();
    watcher_.join();
}

void Guard::watch()
{
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, kLookEvery, [this] { return closing_; })) {
        if (look(Clock::now())) {
            drain(lock);
            return;
        }
    }
}

// Nobody shows these codes: answering them lets the library send the rest
// of the tool's last frames, so the tool reaches its stop. A receiver that
// starts meanwhile answers too, which changes nothing here.
void Guard::drain(std::unique_lock<std::mutex>& lock)
{
    while (!closing_) {
        lock.unlock();
        if (channel::loadStatus(record_) != channel::kStatusIdle)
            channel::storeStatus(record_, channel::kStatusIdle);
        std::this_thread::sleep_for(std::chrono::microseconds(pacing::kPollIntervalUs));
        lock.lock();
    }
}

bool Guard::look(Clock::time_point now)
{
    // An idle record, or a code other than the last look's, has been
    // answered: with a receiver at work the writer's codes come and go
    // within microseconds. (The entries are the pusher's to write: only the
    // status byte is read here.)
    const uint8_t status = channel::loadStatus(record_);
    if (status == channel::kStatusIdle || status != seen_) {
        answered_ = now;
        if (noticed_)
            std::fprintf(stderr, "%s: a receiver serves the channel now\n", name_.c_str());
        noticed_ = false;
    } else if (!noticed_ && now - answered_ >= kUnansweredNotice) {
        std::fprintf(stderr, "%s: nothing serves the channel %s: no answer for %lld s; %s\n", name_.c_str(),
                     channelFile_.c_str(),
                     static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(kUnansweredNotice).count()),
                     advice_.c_str());
        noticed_ = true;
    }
    seen_ = status;

    if (!stop_.requested())
        return false;
    if (stoppedAt_ == Clock::time_point{})
        stoppedAt_ = now;
    return now - answered_ >= kStopGrace && now - stoppedAt_ >= kStopGrace;
}

}  // namespace ledcube::writer
