#include "lbox/channel.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ledcube::channel {

namespace {

// A channel file that another process truncates while it is mapped turns
// every touch of the record into SIGBUS. The handler ends the process with a
// message when the fault lies in a mapped record, and hands any other fault
// on to whoever handled SIGBUS before, as if it had never been installed.
//
// A process maps a record or two (a benchmark runs both ends in one), each
// in a slot of its own: mapRecord fills a slot's message, then publishes its
// address (release); the handler reads the address (acquire) and then the
// message, on whichever thread faulted.
constexpr std::size_t kGuardedRecords = 4;
constexpr std::size_t kTruncatedMessageSize = 512;

struct GuardedRecord {
    std::atomic<uintptr_t> address{0};
    char message[kTruncatedMessageSize] = {};
    std::size_t length = 0;
};
GuardedRecord guarded[kGuardedRecords];
// Slots claimed so far: each mapRecord call takes the next. Relaxed is
// enough, since a claim is only a number; the slot's own address publishes it.
std::atomic<std::size_t> guardedCount{0};
struct sigaction previousBusAction {};

void onBusError(int signal, siginfo_t* info, void*)
{
    const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
    for (const GuardedRecord& record : guarded) {
        const uintptr_t start = record.address.load(std::memory_order_acquire);
        if (start != 0 && info->si_code > 0 && address - start < kRecordSize) {
            // Only async-signal-safe calls from here on.
            [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, record.message, record.length);
            ::_exit(EXIT_FAILURE);
        }
    }
    // Not a record of ours: put the earlier handling back. A fault recurs as
    // soon as the faulting instruction runs again; a sent signal is sent anew.
    ::sigaction(SIGBUS, &previousBusAction, nullptr);
    if (info->si_code <= 0)
        ::raise(signal);
}

void guard(const uint8_t* record, const char* path)
{
    static std::once_flag installed;
    std::call_once(installed, [] {
        struct sigaction action {};
        action.sa_sigaction = onBusError;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGBUS, &action, &previousBusAction);
    });
    const std::size_t slot = guardedCount.fetch_add(1, std::memory_order_relaxed);
    if (slot >= kGuardedRecords)
        return;  // left unguarded: a fault there is a plain bus error
    GuardedRecord& entry = guarded[slot];
    const int length = std::snprintf(entry.message, sizeof entry.message,
                                     "%s was truncated while in use; the frame record is gone. Exiting\n", path);
    entry.length = std::min<std::size_t>(static_cast<std::size_t>(length), sizeof entry.message - 1);
    entry.address.store(reinterpret_cast<uintptr_t>(record), std::memory_order_release);
}

}  // namespace

namespace {

// Why a record cannot be mapped: what failed, and the system's reason when
// it gave one.
struct MapFailure {
    std::string what;
    std::string reason;
};

// The record in `path`, or nullptr with `failure` set; `openFailure` says a
// file that cannot be opened.
uint8_t* openRecord(const char* path, const std::string& openFailure, MapFailure& failure)
{
    const auto because = [&](const std::string& what) {
        failure = {what, std::strerror(errno)};
        return nullptr;
    };
    const int fd = ::open(path, O_RDWR, 0);
    if (fd < 0)
        return because(openFailure);

    // Touching a mapped byte past the end of the file raises SIGBUS, so a short
    // file is refused here rather than faulting in the middle of a frame.
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return because(std::string("unable to inspect ") + path);
    if (!S_ISREG(info.st_mode) || info.st_size < static_cast<off_t>(kRecordSize)) {
        failure = {std::string(path) + " is " + (S_ISREG(info.st_mode) ? "too short" : "not a regular file") +
                       "; the frame record needs a file of at least " + std::to_string(kRecordSize) + " bytes",
                   ""};
        ::close(fd);
        return nullptr;
    }

    void* mapped = ::mmap(nullptr, kRecordSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED)
        return because(std::string("unable to map ") + path);
    // The descriptor stays open with the mapping until the process ends.
    auto* record = static_cast<uint8_t*>(mapped);
    guard(record, path);
    return record;
}

}  // namespace

uint8_t* mapRecord(const char* path, const char* openFailure)
{
    MapFailure failure;
    uint8_t* record = openRecord(path, openFailure, failure);
    if (!record) {
        // In the words of the open failure: "<what> Exiting: <reason>".
        const char* exiting = failure.what == openFailure ? "" : failure.reason.empty() ? ". Exiting" : " Exiting";
        std::fprintf(stderr, "%s%s%s%s\n", failure.what.c_str(), exiting, failure.reason.empty() ? "" : ": ",
                     failure.reason.c_str());
        std::exit(EXIT_FAILURE);
    }
    return record;
}

uint8_t* tryMapRecord(const char* path, std::string& error)
{
    MapFailure failure;
    uint8_t* record = openRecord(path, std::string("cannot open ") + path, failure);
    if (!record)
        error = failure.reason.empty() ? failure.what : failure.what + ": " + failure.reason;
    return record;
}

}  // namespace ledcube::channel
