// Preloaded into a viewer by the display benchmarks (LD_PRELOAD), so that the
// viewer itself carries no measuring code. It wraps the display callback that
// the viewer registers and, for every frame drawn:
//  - appends one line to the file named by CUBE_DISPLAY_LOG:
//      <end: CLOCK_MONOTONIC in us> <wall us> <process CPU us> <minor faults>
//    the last three measured over the callback alone;
//  - after SIGUSR1, stops the viewer (SIGSTOP) once that frame is on the
//    screen, so that a benchmark can let it draw one frame at a time.

#include <GL/freeglut.h>
#include <GL/glx.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using DisplayFunc = void (*)();

DisplayFunc viewerDisplay = nullptr;
int logFd = -1;
// Set by the SIGUSR1 handler, cleared by the wrapper on the GLUT thread when
// it stops; the handler runs on whichever thread takes the signal. Relaxed:
// the flag is all that passes, and the stop itself orders nothing.
std::atomic<bool> stopAfterFrame{false};
static_assert(std::atomic<bool>::is_always_lock_free, "used in a signal handler");

long long microseconds(const timespec& t)
{
    return t.tv_sec * 1000000LL + t.tv_nsec / 1000;
}

long long microseconds(const timeval& t)
{
    return t.tv_sec * 1000000LL + t.tv_usec;
}

void timedDisplay()
{
    timespec start{}, end{};
    rusage before{}, after{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    ::getrusage(RUSAGE_SELF, &before);
    viewerDisplay();
    ::getrusage(RUSAGE_SELF, &after);
    ::clock_gettime(CLOCK_MONOTONIC, &end);

    if (logFd >= 0) {
        const long long cpu = microseconds(after.ru_utime) + microseconds(after.ru_stime) -
                              microseconds(before.ru_utime) - microseconds(before.ru_stime);
        char line[128];
        const int length = std::snprintf(line, sizeof line, "%lld %lld %lld %ld\n", microseconds(end),
                                         microseconds(end) - microseconds(start), cpu,
                                         after.ru_minflt - before.ru_minflt);
        // One write per line with O_APPEND: a reader never sees half a line
        // mixed with another.
        if (::write(logFd, line, std::size_t(length)) != length)
            std::perror("display probe: write");
    }

    if (stopAfterFrame.exchange(false, std::memory_order_relaxed)) {
        // The picture goes out through Xlib's buffer: have the server take
        // it before the viewer stops.
        if (Display* display = glXGetCurrentDisplay())
            XSync(display, False);
        ::raise(SIGSTOP);
    }
}

void onStopRequest(int)
{
    stopAfterFrame.store(true, std::memory_order_relaxed);
}

}  // namespace

extern "C" void glutDisplayFunc(DisplayFunc callback)
{
    static const auto realDisplayFunc = reinterpret_cast<void (*)(DisplayFunc)>(::dlsym(RTLD_NEXT, "glutDisplayFunc"));
    if (!realDisplayFunc) {
        std::fprintf(stderr, "display probe: no glutDisplayFunc to wrap\n");
        std::exit(EXIT_FAILURE);
    }
    if (const char* path = std::getenv("CUBE_DISPLAY_LOG"); path && logFd < 0) {
        logFd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (logFd < 0) {
            std::perror("display probe: open CUBE_DISPLAY_LOG");
            std::exit(EXIT_FAILURE);
        }
    }
    std::signal(SIGUSR1, onStopRequest);
    viewerDisplay = callback;
    realDisplayFunc(timedDisplay);
}
