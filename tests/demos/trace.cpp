#include "tests/demos/trace.h"

#include "lbox/channel.h"

#include <csignal>
#include <sstream>
#include <stdexcept>

namespace demotest {

using namespace std::chrono_literals;
using testsupport::Process;

namespace {

constexpr auto kReceiverStartDeadline = 30s;
constexpr auto kDemoDeadline = 10min;
constexpr auto kReceiverStopDeadline = 30s;
// Any code but idle: the receiver's own reset to idle shows that it is up.
constexpr uint8_t kStaleStatus = 0;

}  // namespace

std::vector<Frame> framesInPlay(const std::string& out)
{
    std::string trace;
    for (const std::string& line : testsupport::splitLines(out)) {
        if (line + "\n" != kClosingLine)
            trace += line + "\n";
    }
    return parseTrace(trace);
}

std::vector<Frame> parseTrace(const std::string& text)
{
    std::vector<Frame> frames;
    for (const std::string& line : testsupport::splitLines(text)) {
        std::istringstream in(line);
        if (line.starts_with("  ")) {
            if (frames.empty())
                throw std::runtime_error("LED line before any release: " + line);
            Led led;
            in >> led.x >> led.y >> led.z >> led.color.r >> led.color.g >> led.color.b;
            frames.back().leds.push_back(led);
        } else {
            Frame frame;
            in >> frame.release >> frame.ms >> frame.lit >> frame.hash;
            frames.push_back(frame);
        }
        if (in.fail())
            throw std::runtime_error("unreadable trace line: " + line);
    }
    return frames;
}

std::string untimed(const std::vector<Frame>& frames)
{
    std::string text;
    for (const Frame& frame : frames)
        text += std::to_string(frame.release) + " " + std::to_string(frame.lit) + " " + frame.hash + "\n";
    return text;
}

Receiver::Receiver(testsupport::RunDir& dir, const std::vector<std::string>& options,
                   const std::optional<std::vector<std::string>>& env)
{
    uint8_t* record = dir.mapRecord();
    channel::storeStatus(record, kStaleStatus);
    std::vector<std::string> argv{testsupport::binary("cubetrace")};
    argv.insert(argv.end(), options.begin(), options.end());
    Process::Options started = Process::Options::in(dir.root());
    started.env = env;
    process_ = std::make_unique<Process>(argv, started);

    const auto end = std::chrono::steady_clock::now() + kReceiverStartDeadline;
    while (channel::loadStatus(record) != channel::kStatusIdle) {
        if (!process_->running() || std::chrono::steady_clock::now() >= end)
            throw std::runtime_error("cubetrace did not take up the channel: " + process_->err());
        std::this_thread::sleep_for(1ms);
    }
}

std::vector<Frame> Receiver::stop()
{
    process_->signal(SIGTERM);
    const testsupport::Exit exit = process_->wait(kReceiverStopDeadline);
    if (exit.code != 0)
        throw std::runtime_error("cubetrace did not end cleanly: " + process_->err());
    return parseTrace(process_->out());
}

DemoRun runDemo(const std::vector<std::string>& argv, const std::vector<std::string>& receiverOptions,
                const std::optional<std::vector<std::string>>& env)
{
    testsupport::RunDir dir;
    Receiver receiver(dir, receiverOptions, env);

    DemoRun run;
    const auto start = std::chrono::steady_clock::now();
    Process::Options started = Process::Options::in(dir.runDir());
    started.env = env;
    Process demo(argv, started);
    run.exit = demo.wait(kDemoDeadline);
    run.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    run.out = demo.out();
    run.err = demo.err();
    // The last release was answered before the demo's final hold, so the
    // receiver has printed every frame by now.
    run.frames = receiver.stop();
    run.receiverErr = receiver.process().err();
    return run;
}

std::vector<Frame> firstFrames(testsupport::RunDir& dir, const std::vector<std::string>& argv, int count,
                               const std::optional<std::vector<std::string>>& env)
{
    Receiver receiver(dir, {"--leds", "--count", std::to_string(count)});
    Process::Options options = Process::Options::in(dir.runDir());
    options.env = env;
    Process demo(argv, options);
    const testsupport::Exit exit = receiver.process().wait(kDemoDeadline);
    if (exit.code != 0)
        throw std::runtime_error("cubetrace did not see " + std::to_string(count) +
                                 " releases: " + receiver.process().err() + demo.err());
    return parseTrace(receiver.process().out());
}

}  // namespace demotest
