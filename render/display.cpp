#include "render/display.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <thread>

namespace render {

namespace {

constexpr const char* kServer = "Xvfb";
constexpr int kScreenDepth = 24;  // the depth the viewer's window gets on a desktop
constexpr int kStartTimeoutMs = 20000;
constexpr auto kStopPoll = std::chrono::milliseconds(10);
constexpr int kStopPolls = 500;
constexpr int kExecFailed = 127;

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

std::string temporaryDir()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/cuberender-XXXXXX";
    return mkdtemp(pattern.data()) ? pattern : std::string();
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
    cookieDir_ = temporaryDir();
    if (cookieDir_.empty()) {
        error = std::string("cannot make a temporary directory: ") + std::strerror(errno);
        return false;
    }
    const std::string cookiePath = cookieDir_ + "/cookie";
    const std::string logPath = cookieDir_ + "/server.log";
    std::string cookie(kCookieBytes, '\0');
    if (getrandom(cookie.data(), cookie.size(), 0) != static_cast<ssize_t>(cookie.size())) {
        error = std::string("cannot make a cookie: ") + std::strerror(errno);
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
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return false;
    }
    const std::string readyFd = std::to_string(ready[1]);
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(kScreenDepth);
    const pid_t parent = getpid();
    server_ = fork();
    if (server_ == 0) {
        // The server ends with this process, however it ends.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(kExecFailed);
        fcntl(ready[1], F_SETFD, 0);
        const int devNull = open("/dev/null", O_RDWR);
        const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, S_IRUSR | S_IWUSR);
        dup2(devNull, STDIN_FILENO);
        dup2(devNull, STDOUT_FILENO);
        dup2(log, STDERR_FILENO);
        const char* args[] = {kServer,  "-displayfd", readyFd.c_str(),    "-screen", "0",       screen.c_str(),
                              "-auth",  cookiePath.c_str(), "-nolisten", "tcp",     "-noreset", nullptr};
        execvp(kServer, const_cast<char* const*>(args));
        _exit(kExecFailed);
    }
    close(ready[1]);
    if (server_ < 0) {
        close(ready[0]);
        error = std::string("cannot start Xvfb: ") + std::strerror(errno);
        return false;
    }

    std::string number;
    pollfd wait{ready[0], POLLIN, 0};
    for (char ch = 0; poll(&wait, 1, kStartTimeoutMs) == 1 && read(ready[0], &ch, 1) == 1 && ch != '\n';)
        number += ch;
    close(ready[0]);
    if (number.empty()) {
        kill(server_, SIGKILL);  // harmless when it has ended already
        int status = 0;
        waitpid(server_, &status, 0);
        server_ = -1;
        if (WIFEXITED(status) && WEXITSTATUS(status) == kExecFailed)
            error = "the program 'Xvfb' is not installed (on Debian: apt-get install xvfb)";
        else
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
    if (cookieDir_.empty())
        return;
    std::error_code ignored;
    std::filesystem::remove_all(cookieDir_, ignored);
    cookieDir_.clear();
}

void PrivateDisplay::stop()
{
    forgetCookie();
    if (server_ <= 0)
        return;
    // Asked politely, the server removes its socket and lock file.
    kill(server_, SIGTERM);
    for (int poll = 0; poll < kStopPolls; ++poll) {
        if (waitpid(server_, nullptr, WNOHANG) != 0) {
            server_ = -1;
            return;
        }
        std::this_thread::sleep_for(kStopPoll);
    }
    kill(server_, SIGKILL);
    waitpid(server_, nullptr, 0);
    server_ = -1;
}

}  // namespace render
