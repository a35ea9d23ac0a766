#include "common/headless.h"

#include "common/cli.h"
#include "common/process.h"
#include "lbox/channel.h"

#include <string>
#include <unistd.h>
#include <utility>

namespace headless {

std::string ownName(std::string_view base, const char* argv0)
{
    return cli::programName(argv0, cli::programForEdge(base, kCubeEdge));
}

void serveEdge(std::string_view base, int edge, char** argv)
{
    if (edge == kCubeEdge)
        return;
    const std::string sibling = process::programDir() / cli::programForEdge(base, edge);
    execv(sibling.c_str(), argv);
    process::fail(process::because("unable to start " + sibling));
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

}  // namespace headless
