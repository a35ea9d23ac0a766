#include "common/wholefile.h"

#include "common/process.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace process {

namespace {

// What a new file gets before the umask, as with open(..., 0666).
constexpr mode_t kNewFileMode = 0666;

}  // namespace

bool WholeFile::create(const std::string& target, std::string& error)
{
    const std::size_t nameAt = target.rfind('/') + 1;  // npos + 1: 0, the working directory
    const std::size_t dot = target.rfind('.');
    std::string path =
        target.substr(0, nameAt) + "." + target.substr(nameAt, dot - nameAt) + "-XXXXXX" + target.substr(dot);
    fd_ = ::mkostemps(path.data(), int(target.size() - dot), O_CLOEXEC);
    // mkostemps makes the file 0600; it gets the mode that any new file would.
    // The umask can only be read by setting it, so it is set back at once.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (fd_ < 0 || ::fchmod(fd_, kNewFileMode & ~mask) != 0) {
        const std::string directory = nameAt ? target.substr(0, nameAt) : "the working directory";
        error = because("cannot create a file in " + directory);
        remove();
        return false;
    }
    target_ = target;
    path_ = path;
    return true;
}

bool WholeFile::write(const void* data, std::size_t size, std::string& error)
{
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = ::write(fd_, static_cast<const char*>(data) + done, size - done);
        if (n < 0 && errno != EINTR) {
            error = because("cannot write " + target_);
            return false;
        }
        done += n > 0 ? std::size_t(n) : 0;
    }
    return true;
}

bool WholeFile::commit(std::string& error)
{
    if (::close(std::exchange(fd_, -1)) != 0 || ::rename(path_.c_str(), target_.c_str()) != 0) {
        error = because("cannot write " + target_);
        return false;
    }
    path_.clear();
    return true;
}

void WholeFile::remove()
{
    if (fd_ >= 0)
        ::close(std::exchange(fd_, -1));
    if (!path_.empty())
        ::unlink(path_.c_str());
    path_.clear();
}

}  // namespace process
