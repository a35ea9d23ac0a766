#include "common/headless.h"

#include "common/cli.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <unistd.h>

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

std::string programForEdge(const std::string& base, int edge)
{
    return edge == cli::kDefaultEdge ? base : base + std::to_string(edge);
}

void serveEdge(const std::string& base, int edge, char** argv)
{
    if (edge == kCubeEdge)
        return;
    std::string sibling = cli::programDir(base) / programForEdge(base, edge);
    argv[0] = sibling.data();
    execv(sibling.c_str(), argv);
    std::string what = base;
    what += ": unable to start ";
    what += sibling;
    std::perror(what.c_str());
    std::exit(EXIT_FAILURE);
}

void blockSignals()
{
    const sigset_t signals = endSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void startReceiver(FrameHook onFrame, CodeHook onCode)
{
    frameReleasedHook = onFrame;
    codeReceivedHook = onCode;
    setupSharedMem();
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
