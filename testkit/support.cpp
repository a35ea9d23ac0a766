#include "testkit/support.h"

#include "lbox/pacing.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <linux/capability.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace testsupport {

namespace {

constexpr std::size_t kRecordSize = 46;
constexpr uint8_t kStatusIdle = 200;

[[noreturn]] void fail(const std::string& what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// Drops the override from the bounding set: a program that root starts then
// has it in none of its capability sets.
bool dropFileModeOverride()
{
    return ::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) == 0 &&
           ::prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) == 0;
}

// The programs on the receiving side of the channel; every other program a
// test starts writes to it (or, like cubeplay, starts both sides with the
// environment it was given).
constexpr const char* kReceivers[] = {"cubetrace", "cubeview", "cubesend", "cubeweb"};

bool isReceiver(const std::string& program)
{
    const std::string name = std::filesystem::path(program).filename();
    return std::any_of(std::begin(kReceivers), std::end(kReceivers),
                       [&](const char* receiver) { return name.starts_with(receiver); });
}

// The environment of a child on one side of the channel when the suite runs
// with the fast mode on that side only: the test's own, with CUBE_CHANNEL
// set to fast on that side and unset on the other. Nothing otherwise.
std::optional<std::vector<std::string>> oneSidedEnvironment(const std::string& program)
{
    const char* side = std::getenv(kFastSideVariable);
    if (side == nullptr)
        return std::nullopt;
    const bool receiverSide = std::string_view(side) == kFastReceiver;
    if (!receiverSide && std::string_view(side) != kFastWriter)
        throw std::runtime_error(std::string(kFastSideVariable) + " names no side: " + side);
    return environmentWithMode(receiverSide == isReceiver(program) ? pacing::kFastValue : nullptr);
}

}  // namespace

std::string binary(const std::string& name)
{
    return std::string(CUBE_BIN_DIR) + "/" + name;
}

RunDir::RunDir()
{
    char pattern[] = "/tmp/cubetest-XXXXXX";
    if (!::mkdtemp(pattern))
        fail("mkdtemp");
    root_ = pattern;
    std::filesystem::create_directory(runDir());
    std::vector<uint8_t> bytes(kRecordSize, 0);
    bytes[0] = kStatusIdle;
    writeRecordBytes(bytes);
}

RunDir::~RunDir()
{
    if (map_)
        ::munmap(map_, kRecordSize);
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

uint8_t* RunDir::mapRecord()
{
    if (map_)
        return map_;
    const int fd = ::open(recordPath().c_str(), O_RDWR);
    if (fd < 0)
        fail("open " + recordPath());
    void* map = ::mmap(nullptr, kRecordSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED)
        fail("mmap " + recordPath());
    map_ = static_cast<uint8_t*>(map);
    return map_;
}

bool RunDir::waitServed(Process& receiver, std::chrono::milliseconds deadline)
{
    uint8_t* record = mapRecord();
    const auto end = std::chrono::steady_clock::now() + deadline;
    // The receiver stores idle as its last step of serving; acquire, as any
    // writer reads the status byte.
    while (std::atomic_ref<uint8_t>(*record).load(std::memory_order_acquire) != kStatusIdle) {
        if (!receiver.running() || std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2), values.end());
    return values[values.size() / 2];
}

std::vector<std::string> environmentWithMode(const char* mode)
{
    const std::string prefix = std::string(pacing::kModeVariable) + "=";
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (!std::string_view(*entry).starts_with(prefix))
            env.emplace_back(*entry);
    }
    if (mode != nullptr)
        env.push_back(prefix + mode);
    return env;
}

int benchCount(int argc, char** argv, const char* what, int fallback, int max)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : fallback;
    if (count < 1 || count > max) {
        std::fprintf(stderr, "usage: %s [%s from 1 to %d]\n", std::filesystem::path(argv[0]).filename().c_str(), what,
                     max);
        std::exit(2);
    }
    return count;
}

pid_t forkOrEnd()
{
    const pid_t pid = ::fork();
    if (pid < 0) {
        std::perror("fork");
        std::exit(EXIT_FAILURE);
    }
    return pid;
}

void endChild()
{
    ::_exit(EXIT_SUCCESS);
}

void awaitChild(pid_t pid, const char* what)
{
    int status = 0;
    if (::waitpid(pid, &status, 0) < 0) {
        std::perror("waitpid");
        std::exit(EXIT_FAILURE);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != EXIT_SUCCESS) {
        std::fprintf(stderr, "%s: the %s failed\n", program_invocation_short_name, what);
        std::exit(EXIT_FAILURE);
    }
}

std::vector<uint8_t> RunDir::recordBytes() const
{
    const std::string text = readFile(recordPath());
    return {text.begin(), text.end()};
}

void RunDir::writeRecordBytes(const std::vector<uint8_t>& bytes) const
{
    std::ofstream file(recordPath(), std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Process::Process(const std::vector<std::string>& argv, const Options& options)
{
    char pattern[] = "/tmp/cubeproc-XXXXXX";
    if (!::mkdtemp(pattern))
        fail("mkdtemp");
    outPath_ = std::string(pattern) + "/out";
    errPath_ = std::string(pattern) + "/err";

    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const auto env = options.env ? options.env : oneSidedEnvironment(argv.at(0));
    std::vector<char*> envp;
    if (env) {
        for (const std::string& e : *env)
            envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
    }
    const std::string terminal = options.errOnTerminal ? openTerminal() : "";

    pid_ = ::fork();
    if (pid_ < 0)
        fail("fork");
    if (pid_ == 0) {
        const int out = ::open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = terminal.empty() ? ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)
                                         : ::open(terminal.c_str(), O_RDWR | O_NOCTTY);
        const int in = ::open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 ||
            ::chdir(options.cwd.c_str()) != 0)
            ::_exit(127);
        if (options.obeyFileModes && ::geteuid() == 0 && !dropFileModeOverride())
            ::_exit(127);
        if (env)
            ::execve(args[0], args.data(), envp.data());
        else
            ::execv(args[0], args.data());
        std::perror("exec");
        ::_exit(127);
    }
    if (!terminal.empty())
        copier_ = std::thread([this] { copyTerminal(); });
}

// A pseudo-terminal whose output is passed on as written (no "\r\n" for
// "\n"); returns the name of the side that the child writes to.
std::string Process::openTerminal()
{
    std::ofstream(errPath_).flush();
    terminal_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    const char* name = terminal_ >= 0 && ::grantpt(terminal_) == 0 && ::unlockpt(terminal_) == 0
                           ? ::ptsname(terminal_)
                           : nullptr;
    if (!name)
        fail("posix_openpt");
    const std::string side = name;
    // Held open until the child has ended: with no writer at all, a read of
    // the terminal fails at once, even before the child has opened it.
    childSide_ = ::open(side.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios settings{};
    if (childSide_ < 0 || ::tcgetattr(childSide_, &settings) != 0)
        fail("open " + side);
    settings.c_oflag &= ~tcflag_t(OPOST);
    ::tcsetattr(childSide_, TCSANOW, &settings);
    return side;
}

// Appends what the child shows on the terminal to the err file, until no
// one writes to the terminal any more (the read fails once every writer has
// closed it, after what they wrote). A program that the child left running
// with the terminal may hold it for ever: after the child's end, a second
// with nothing to read ends the copy too.
void Process::copyTerminal()
{
    std::ofstream err(errPath_, std::ios::binary | std::ios::app);
    char buffer[4096];
    pollfd ready{terminal_, POLLIN, 0};
    int quietPolls = 0;
    constexpr int kPollMs = 20, kQuietPollsAfterEnd = 50;
    for (;;) {
        if (::poll(&ready, 1, kPollMs) > 0) {
            const ssize_t n = ::read(terminal_, buffer, sizeof buffer);
            if (n <= 0)
                return;
            err.write(buffer, n);
            err.flush();
            quietPolls = 0;
        } else if (ended_.load(std::memory_order_acquire) && ++quietPolls == kQuietPollsAfterEnd) {
            return;
        }
    }
}

void Process::endTerminal()
{
    ended_.store(true, std::memory_order_release);
    if (childSide_ >= 0)
        ::close(std::exchange(childSide_, -1));
    if (copier_.joinable())
        copier_.join();
    if (terminal_ >= 0)
        ::close(std::exchange(terminal_, -1));
}

Process::~Process()
{
    if (!exit_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    endTerminal();
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(outPath_).parent_path(), ignored);
}

std::string Process::out() const
{
    return readFile(outPath_);
}

std::string Process::err() const
{
    return readFile(errPath_);
}

void Process::signal(int sig) const
{
    ::kill(pid_, sig);
}

bool Process::running()
{
    if (exit_)
        return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_)
        return true;
    Exit e;
    if (WIFEXITED(status))
        e.code = WEXITSTATUS(status);
    else
        e.signal = WTERMSIG(status);
    exit_ = e;
    endTerminal();
    return false;
}

Exit Process::wait(std::chrono::milliseconds deadline)
{
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (running()) {
        if (std::chrono::steady_clock::now() >= end) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            Exit e;
            e.signal = SIGKILL;
            e.timedOut = true;
            exit_ = e;
            endTerminal();
            break;
        }
        std::this_thread::sleep_for(2ms);
    }
    return *exit_;
}

CpuTime cpuTime(pid_t pid)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    const std::string stat = readFile(proc + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 1));  // the name may hold anything
    std::string skipped;
    for (int field = 3; field < 14; ++field)  // from the state up to utime, field 14
        fields >> skipped;
    double utime = 0, stime = 0;
    fields >> utime >> stime;
    CpuTime cpu;
    cpu.statUs = (utime + stime) * 1e6 / static_cast<double>(::sysconf(_SC_CLK_TCK));
    for (const auto& task : std::filesystem::directory_iterator(proc + "/task")) {
        double ns = 0;
        std::istringstream(readFile(task.path() / "schedstat")) >> ns;
        cpu.threadUs[task.path().filename()] = ns / 1e3;
    }
    return cpu;
}

CpuShare cpuShare(const CpuTime& before, const CpuTime& after, int count)
{
    CpuShare share;
    share.statUs = (after.statUs - before.statUs) / count;
    for (const auto& [thread, us] : after.threadUs) {
        const auto earlier = before.threadUs.find(thread);
        const double used = (us - (earlier == before.threadUs.end() ? 0 : earlier->second)) / count;
        share.schedUs += used;
        share.busiestUs = std::max(share.busiestUs, used);
    }
    return share;
}

std::string readFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> filesIn(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

namespace {

// A run of decimal digits and nothing else.
std::optional<long> digits(std::string_view text)
{
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || text.front() == '-' || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

}  // namespace

std::optional<long> printedRate(std::string_view out)
{
    constexpr std::string_view kStart = "framerate: ";
    constexpr std::string_view kEnd = " fps\n";
    constexpr std::size_t kFractionDigits = 2;
    constexpr long kHundredths = 100;
    if (out.size() <= kStart.size() + kEnd.size() || !out.starts_with(kStart) || !out.ends_with(kEnd))
        return std::nullopt;
    const std::string_view number = out.substr(kStart.size(), out.size() - kStart.size() - kEnd.size());
    const std::size_t dot = number.find('.');
    if (dot == std::string_view::npos || number.size() - dot - 1 != kFractionDigits)
        return std::nullopt;
    const auto whole = digits(number.substr(0, dot));
    const auto fraction = digits(number.substr(dot + 1));
    if (!whole || !fraction)
        return std::nullopt;
    return *whole * kHundredths + *fraction;
}

std::vector<uint16_t> listenPorts(const std::string& err)
{
    constexpr std::string_view kStart = "cubelisten: ";
    constexpr std::string_view kAddress = " on 127.0.0.1:";
    std::vector<uint16_t> ports;
    for (const std::string& whole : splitLines(err)) {
        std::string_view line = whole;
        if (!line.starts_with(kStart))
            continue;
        line.remove_prefix(kStart.size());
        const std::size_t space = line.find(' ');
        if (space == 0 || space == std::string_view::npos || !line.substr(space).starts_with(kAddress))
            continue;
        line.remove_prefix(space + kAddress.size());
        long port = 0;
        const auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), port);
        if (error == std::errc() && end != line.data())
            ports.push_back(static_cast<uint16_t>(port));
    }
    return ports;
}

}  // namespace testsupport
