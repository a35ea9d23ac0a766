#include "common/process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

namespace ledcube::process {

namespace {

constexpr int kSignalStatusBase = 128;  // a shell's status for a program a signal ended
constexpr int kCannotRun = 127;         // a shell's status for a program it could not run
constexpr auto kStopPoll = 10ms;

// What a child that could not run tells its parent through the report pipe.
struct Refusal {
    int error = 0;
};

}  // namespace

void fail(std::string what, int status)
{
    throw Failure{std::move(what), status};
}

std::vector<char*> argumentVector(const std::vector<std::string>& words)
{
    std::vector<char*> argv;
    for (const std::string& word : words)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    return argv;
}

std::string because(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

int run(const std::string& tool, const std::function<int()>& body)
{
    try {
        return body();
    } catch (const Failure& failure) {
        std::fprintf(stderr, "%s: %s\n", tool.c_str(), failure.what.c_str());
        return failure.status;
    }
}

std::filesystem::path programDir()
{
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        fail("unable to locate its own program file: " + error.message());
    return self.parent_path();
}

std::filesystem::path onPath(const std::string& name)
{
    const char* path = std::getenv("PATH");
    const std::string dirs = path ? path : "";
    for (std::size_t from = 0; from <= dirs.size();) {
        const std::size_t to = std::min(dirs.find(':', from), dirs.size());
        const std::filesystem::path candidate = std::filesystem::path(dirs.substr(from, to - from)) / name;
        std::error_code notThere;
        if (to > from && ::access(candidate.c_str(), X_OK) == 0 &&
            !std::filesystem::is_directory(candidate, notThere))
            return std::filesystem::absolute(candidate);
        from = to + 1;
    }
    return {};
}

TemporaryDir::TemporaryDir(const std::string& prefix)
{
    const char* tmp = std::getenv("TMPDIR");
    const std::string parent = tmp && *tmp ? tmp : "/tmp";
    std::string pattern = parent + "/" + prefix + "-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        fail(because("cannot make a temporary directory in " + parent));
    path_ = pattern;
}

TemporaryDir::~TemporaryDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

Child::~Child()
{
    if (running())
        stop();
}

Child::Child(Child&& other) noexcept
    : name_(std::move(other.name_)), pid_(std::exchange(other.pid_, -1)), status_(other.status_), signal_(other.signal_)
{
}

Child& Child::operator=(Child&& other) noexcept
{
    if (this != &other) {
        if (running())
            stop();
        name_ = std::move(other.name_);
        pid_ = std::exchange(other.pid_, -1);
        status_ = other.status_;
        signal_ = other.signal_;
    }
    return *this;
}

void Child::start(const std::vector<std::string>& argv, const Setup& setup)
{
    name_ = std::filesystem::path(argv.at(0)).filename();
    std::vector<char*> args = argumentVector(argv);

    // Closed by a successful exec: a child that could not run says why here
    // before it ends, so that the failure is told here, where it is known.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        fail(because("cannot start " + name_));
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here on. The child goes with us,
        // even if we went before the request took effect.
        if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != parent)
            ::_exit(kCannotRun);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        const bool ready = (setup.in < 0 || ::dup2(setup.in, STDIN_FILENO) >= 0) &&
                           (setup.out < 0 || ::dup2(setup.out, STDOUT_FILENO) >= 0) &&
                           (setup.err < 0 || ::dup2(setup.err, STDERR_FILENO) >= 0) &&
                           (setup.keep < 0 || ::fcntl(setup.keep, F_SETFD, 0) == 0) &&
                           (setup.dir.empty() || ::chdir(setup.dir.c_str()) == 0);
        if (ready)
            ::execv(args[0], args.data());
        const Refusal refusal{errno};
        [[maybe_unused]] const ssize_t told = ::write(report[1], &refusal, sizeof refusal);
        ::_exit(kCannotRun);
    }
    ::close(report[1]);
    if (pid < 0) {
        const std::string failure = because("cannot start " + name_);
        ::close(report[0]);
        fail(failure);
    }
    Refusal refusal;
    ssize_t got = 0;
    while ((got = ::read(report[0], &refusal, sizeof refusal)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    if (got > 0) {
        ::waitpid(pid, nullptr, 0);
        errno = refusal.error;
        fail(because("cannot start " + argv[0] + (setup.dir.empty() ? "" : " in " + setup.dir.string())));
    }
    pid_ = pid;
    status_.reset();
    signal_ = 0;
}

void Child::reap(int raw)
{
    signal_ = WIFSIGNALED(raw) ? WTERMSIG(raw) : 0;
    status_ = signal_ ? kSignalStatusBase + signal_ : WEXITSTATUS(raw);
}

bool Child::running()
{
    if (pid_ <= 0 || status_)
        return false;
    int raw = 0;
    const pid_t got = ::waitpid(pid_, &raw, WNOHANG);
    if (got == pid_)
        reap(raw);
    else if (got < 0 && errno == ECHILD)
        status_ = EXIT_FAILURE;  // reaped elsewhere: how it ended is lost
    return !status_;
}

int Child::wait()
{
    while (running()) {
        int raw = 0;
        const pid_t got = ::waitpid(pid_, &raw, 0);
        if (got == pid_)
            reap(raw);
        else if (got < 0 && errno != EINTR)
            status_ = EXIT_FAILURE;
    }
    return status_.value_or(EXIT_FAILURE);
}

void Child::stop(std::chrono::milliseconds grace)
{
    Child* self = this;
    stopAll({&self, 1}, grace);
}

void stopAll(std::span<Child* const> children, std::chrono::milliseconds grace)
{
    const auto anyRunning = [&] { return std::any_of(children.begin(), children.end(), [](Child* c) { return c->running(); }); };
    for (Child* child : children) {
        if (child->running())
            ::kill(child->pid(), SIGTERM);
    }
    const auto deadline = std::chrono::steady_clock::now() + grace;
    while (anyRunning() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(kStopPoll);
    for (Child* child : children) {
        if (child->running()) {
            ::kill(child->pid(), SIGKILL);
            child->wait();
        }
    }
}

}  // namespace ledcube::process
