#include "render/display.h"

#include "common/process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string_view>

namespace render {

namespace {

constexpr const char* kServer = "Xvfb";
constexpr int kScreenDepth = 24;  // the depth the viewer's window gets on a desktop
constexpr int kStartTimeoutMs = 20000;
constexpr auto kStopGrace = std::chrono::seconds(5);

constexpr std::size_t kCookieBytes = 16;
constexpr std::string_view kCookieName = "MIT-MAGIC-COOKIE-1";
constexpr uint16_t kFamilyWild = 0xffff;
constexpr uint8_t kByteMask = 0xff;
constexpr int kByteBits = 8;

void putBigEndian16(std::string& out, uint16_t value)
{
    out += static_cast<char>(value >> kByteBits);
    out += static_cast<char>(value & kByteMask);
}

void putCounted(std::string& out, std::string_view field)
{
    putBigEndian16(out, static_cast<uint16_t>(field.size()));
    out += field;
}

// One entry of an X authority file, each length a big-endian 16-bit count:
//
//   2      family: FamilyWild, any host
//   2 + n  address: empty
//   2 + n  display number: empty, any display
//   2 + n  authorization name: MIT-MAGIC-COOKIE-1
//   2 + n  authorization data: the cookie
//
// The server reads only the name and data; the client matches any display,
// so the file can be written before the server has picked its number.
std::string authorityEntry(std::string_view cookie)
{
    std::string entry;
    putBigEndian16(entry, kFamilyWild);
    putCounted(entry, "");
    putCounted(entry, "");
    putCounted(entry, kCookieName);
    putCounted(entry, cookie);
    return entry;
}

std::string lastLine(const std::string& path)
{
    std::ifstream file(path);
    std::string line, last;
    while (std::getline(file, line))
        if (!line.empty())
            last = line;
    return last;
}

}  // namespace

PrivateDisplay::~PrivateDisplay()
{
    stop();
}

bool PrivateDisplay::start(int width, int height, std::string& error)
{
    const std::string program = process::onPath(kServer);
    if (program.empty()) {
        error = "the program 'Xvfb' is not installed (on Debian: apt-get install xvfb)";
        return false;
    }
    try {
        cookieDir_.emplace("cuberender");
    } catch (const process::Failure& failure) {
        error = failure.what;
        return false;
    }
    const std::string cookiePath = cookieDir_->path() / "cookie";
    const std::string logPath = cookieDir_->path() / "server.log";
    std::string cookie(kCookieBytes, '\0');
    if (getrandom(cookie.data(), cookie.size(), 0) != static_cast<ssize_t>(cookie.size())) {
        error = process::because("cannot make a cookie");
        return false;
    }
    {
        std::ofstream file(cookiePath, std::ios::binary);
        file << authorityEntry(cookie);
        if (!file.flush()) {
            error = "cannot write " + cookiePath;
            return false;
        }
    }

    // Xvfb picks a free display number itself and writes it to this pipe
    // once it accepts connections.
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        error = process::because("cannot make a pipe");
        return false;
    }
    const int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, S_IRUSR | S_IWUSR);
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(kScreenDepth);
    process::Child::Setup setup;
    setup.in = setup.out = devNull;
    setup.err = log;
    setup.keep = ready[1];
    const bool started = devNull >= 0 && log >= 0 &&
                         server_.start({program, "-displayfd", std::to_string(ready[1]), "-screen", "0", screen, "-auth",
                                        cookiePath, "-nolisten", "tcp", "-noreset"},
                                       setup, error);
    if (devNull < 0 || log < 0)
        error = process::because("cannot start Xvfb");
    for (const int fd : {ready[1], devNull, log})
        if (fd >= 0)
            close(fd);
    if (!started) {
        close(ready[0]);
        return false;
    }

    std::string number;
    pollfd wait{ready[0], POLLIN, 0};
    for (char ch = 0; poll(&wait, 1, kStartTimeoutMs) == 1 && read(ready[0], &ch, 1) == 1 && ch != '\n';)
        number += ch;
    close(ready[0]);
    if (number.empty()) {
        server_.stop(std::chrono::milliseconds(0));  // harmless when it has ended already
        error = "Xvfb did not start: " + lastLine(logPath);
        forgetCookie();
        return false;
    }
    setenv("DISPLAY", (":" + number).c_str(), 1);
    setenv("XAUTHORITY", cookiePath.c_str(), 1);
    return true;
}

void PrivateDisplay::forgetCookie()
{
    cookieDir_.reset();
}

void PrivateDisplay::stop()
{
    forgetCookie();
    // Asked politely, the server removes its socket and lock file.
    server_.stop(kStopGrace);
}

}  // namespace render
