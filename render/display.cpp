#include "render/display.h"

#include "common/process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
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

// A descriptor that is closed when it goes, however the function ends.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Xvfb as PATH finds it.
std::string serverProgram()
{
    const std::string program = process::onPath(kServer);
    if (program.empty())
        process::fail("cannot draw without a screen: the program 'Xvfb' is not installed (on Debian: apt-get "
                      "install xvfb)");
    return program;
}

// A fresh cookie, as an X authority file at `path`.
void writeCookie(const std::string& path)
{
    std::string cookie(kCookieBytes, '\0');
    if (getrandom(cookie.data(), cookie.size(), 0) != static_cast<ssize_t>(cookie.size()))
        process::fail(process::because("cannot make a cookie"));
    std::ofstream file(path, std::ios::binary);
    file << authorityEntry(cookie);
    if (!file.flush())
        process::fail("cannot write " + path);
}

// The display number that Xvfb writes to `ready` once it accepts
// connections; empty when it ends or says nothing in time.
std::string awaitDisplayNumber(int ready)
{
    std::string number;
    pollfd wait{ready, POLLIN, 0};
    for (char ch = 0; poll(&wait, 1, kStartTimeoutMs) == 1 && read(ready, &ch, 1) == 1 && ch != '\n';)
        number += ch;
    return number;
}

}  // namespace

PrivateDisplay::~PrivateDisplay()
{
    stop();
}

void PrivateDisplay::start(int width, int height)
{
    const std::string program = serverProgram();
    cookieDir_.emplace("cuberender");
    const std::string cookiePath = cookieDir_->path() / "cookie";
    const std::string logPath = cookieDir_->path() / "server.log";
    writeCookie(cookiePath);

    // Xvfb picks a free display number itself and writes it to this pipe.
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        process::fail(process::because("cannot make a pipe"));
    const Descriptor ready(ends[0]);
    {
        // Ours closes once Xvfb has its own, so that a server that ends
        // early ends the wait below.
        const Descriptor serverEnd(ends[1]);
        launch(program, width, height, cookiePath, logPath, serverEnd.get());
    }
    const std::string number = awaitDisplayNumber(ready.get());
    if (number.empty()) {
        server_.stop(std::chrono::milliseconds(0));  // harmless when it has ended already
        const std::string why = lastLine(logPath);
        forgetCookie();
        process::fail("cannot draw without a screen: Xvfb did not start: " + why);
    }
    setenv("DISPLAY", (":" + number).c_str(), 1);
    setenv("XAUTHORITY", cookiePath.c_str(), 1);
}

void PrivateDisplay::launch(const std::string& program, int width, int height, const std::string& cookiePath,
                            const std::string& logPath, int readyFd)
{
    const Descriptor devNull(open("/dev/null", O_RDWR | O_CLOEXEC));
    const Descriptor log(open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, S_IRUSR | S_IWUSR));
    if (devNull.get() < 0 || log.get() < 0)
        process::fail(process::because("cannot start Xvfb"));
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(kScreenDepth);
    process::Child::Setup setup;
    setup.in = setup.out = devNull.get();
    setup.err = log.get();
    setup.keep = readyFd;
    server_.start({program, "-displayfd", std::to_string(readyFd), "-screen", "0", screen, "-auth", cookiePath,
                   "-nolisten", "tcp", "-noreset"},
                  setup);
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
