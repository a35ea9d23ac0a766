#include "common/headless.h"

#include "common/cli.h"
#include "common/process.h"
#include "lbox/channel.h"

#include <csignal>
#include <filesystem>
#include <pthread.h>
#include <string>
#include <unistd.h>
#include <utility>

namespace headless {

namespace {

// Sent by finish() to the process; blocked everywhere like the stop signals,
// so that only the thread in waitForEnd ever takes it.
constexpr int kDoneSignal = SIGUSR1;

sigset_t endSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, kDoneSignal);
    return set;
}

}  // namespace

std::string ownName(std::string_view base, const char* argv0)
{
    const std::string started = argv0 ? std::filesystem::path(argv0).filename().string() : "";
    return started.empty() ? cli::programForEdge(base, kCubeEdge) : started;
}

void serveEdge(std::string_view base, int edge, char** argv)
{
    if (edge == kCubeEdge)
        return;
    const std::string sibling = process::programDir() / cli::programForEdge(base, edge);
    execv(sibling.c_str(), argv);
    process::fail(process::because("unable to start " + sibling));
}

void blockSignals()
{
    const sigset_t signals = endSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void startReceiver(FrameHook onFrame, CodeHook onCode)
{
    std::string error;
    uint8_t* record = channel::tryMapRecord(channel::kFileName, error);
    if (!record)
        process::fail(error);
    frameReleasedHook = std::move(onFrame);
    codeReceivedHook = std::move(onCode);
    serveRecord(record);
}

void waitForEnd()
{
    const sigset_t signals = endSignals();
    int signal = 0;
    sigwait(&signals, &signal);
}

void finish()
{
    kill(getpid(), kDoneSignal);
}

}  // namespace headless
