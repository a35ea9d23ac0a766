#include "common/rundir.h"

#include "common/cli.h"
#include "common/process.h"
#include "lbox/channel.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace ledcube::rundir {

namespace fs = std::filesystem;

namespace {

constexpr const char* kHelpers[] = {"launch", "app5", "app12"};

bool executable(const fs::path& path)
{
    return whyNotRunnable(path).empty();
}

}  // namespace

std::string whyNotRunnable(const fs::path& path)
{
    if (::access(path.c_str(), X_OK) != 0)
        return std::strerror(errno);
    std::error_code ignored;
    return fs::is_directory(path, ignored) ? std::strerror(EISDIR) : "";
}

fs::path helperDir(const fs::path& programs)
{
    if (executable(programs / kHelpers[0]))
        return programs;
    return (programs / CUBE_HELPERS_FROM_BIN).lexically_normal();
}

void makeChannelFile(const fs::path& dir)
{
    const fs::path channelFile = dir / channel::kFileName;
    const fs::path fresh = channelFile.string() + ".new";
    const int fd = ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const uint8_t zeros[channel::kRecordSize] = {};
    if (fd < 0 || ::write(fd, zeros, sizeof zeros) != static_cast<ssize_t>(sizeof zeros) || ::close(fd) != 0 ||
        ::rename(fresh.c_str(), channelFile.c_str()) != 0)
        process::fail(process::because("cannot make the channel file " + channelFile.string()));
}

void layOut(const fs::path& run, const fs::path& helpers)
{
    std::error_code error;
    fs::create_directories(run / kAnimDir, error);
    if (error)
        process::fail("cannot make the run directory " + run.string() + ": " + error.message());
    makeChannelFile(run);
    for (const char* helper : kHelpers) {
        const fs::path target = helpers / helper;
        if (!executable(target))
            process::fail("the toolkit's helper program " + target.string() + " is missing");
        const fs::path link = run / kAnimDir / helper;
        fs::remove(link, error);
        fs::create_symlink(target, link, error);
        if (error)
            process::fail("cannot link " + link.string() + ": " + error.message());
    }
}

std::string resolveProgram(const std::string& name, const fs::path& programs)
{
    if (name.find('/') != std::string::npos) {
        const fs::path path = fs::absolute(name);
        if (const std::string why = whyNotRunnable(path); !why.empty())
            process::fail("cannot run " + name + ": " + why);
        return path;
    }
    if (executable(programs / name))
        return programs / name;
    if (const fs::path found = process::onPath(name); !found.empty())
        return found;
    process::fail("cannot find the program " + cli::quoted(name) + " among the toolkit's programs or on PATH");
}

std::string passedOn(const std::string& argument)
{
    std::error_code ignored;
    const fs::path path = argument;
    if (argument.find_first_of("/.") == std::string::npos || path.is_absolute() || !fs::exists(path, ignored))
        return argument;
    return fs::absolute(path);
}

}  // namespace ledcube::rundir
