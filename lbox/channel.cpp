#include "channel.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>

namespace channel {

namespace {

[[noreturn]] void fail(const std::string& what)
{
    std::perror(what.c_str());
    std::exit(EXIT_FAILURE);
}

}  // namespace

uint8_t* mapRecord(const char* path, const char* openFailure)
{
    const int fd = ::open(path, O_RDWR, 0);
    if (fd < 0)
        fail(openFailure);

    // Touching a mapped byte past the end of the file raises SIGBUS, so a short
    // file is refused here rather than faulting in the middle of a frame.
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        fail(std::string("unable to inspect ") + path + " Exiting");
    if (!S_ISREG(info.st_mode) || info.st_size < static_cast<off_t>(kRecordSize)) {
        std::fprintf(stderr, "%s is %s; the frame record needs a file of at least %zu bytes. Exiting\n",
                     path, S_ISREG(info.st_mode) ? "too short" : "not a regular file", kRecordSize);
        std::exit(EXIT_FAILURE);
    }

    void* map = ::mmap(nullptr, kRecordSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED)
        fail(std::string("unable to map ") + path + " Exiting");
    // The descriptor stays open with the mapping until the process ends.
    return static_cast<uint8_t*>(map);
}

}  // namespace channel
