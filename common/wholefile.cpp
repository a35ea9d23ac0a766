#include "common/wholefile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace wholefile {

namespace {

// What a new file gets before the umask, as with open(..., 0666).
constexpr mode_t kNewFileMode = 0666;

// `what`, then the reason errno gives.
bool failed(std::string& error, const std::string& what)
{
    error = what + ": " + std::strerror(errno);
    return false;
}

// A device or a named pipe: something there already that a rename would
// replace with a regular file.
bool isSpecial(const std::string& target)
{
    struct stat about {};
    return ::stat(target.c_str(), &about) == 0 && !S_ISREG(about.st_mode) && !S_ISDIR(about.st_mode);
}

}  // namespace

bool File::create(const std::string& target, std::string& error)
{
    remove();
    target_ = target;
    if (isSpecial(target)) {
        fd_ = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd_ < 0)
            return failed(error, "cannot write " + target);
        path_ = target;
        inPlace_ = true;
        return true;
    }
    const std::size_t nameAt = target.rfind('/') + 1;  // npos + 1: 0, the working directory
    const std::size_t dot = target.rfind('.');
    if (dot == std::string::npos || dot < nameAt) {
        error = "cannot make " + target + ": its name has no ending, such as .gif, to tell its format";
        return false;
    }
    std::string path =
        target.substr(0, nameAt) + "." + target.substr(nameAt, dot - nameAt) + "-XXXXXX" + target.substr(dot);
    fd_ = ::mkostemps(path.data(), int(target.size() - dot), O_CLOEXEC);
    if (fd_ < 0)
        return failed(error, "cannot make " + target);
    path_ = path;
    // mkostemps makes the file 0600; it gets the mode that any new file would.
    // The umask can only be read by setting it, so it is set back at once.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd_, kNewFileMode & ~mask) != 0) {
        failed(error, "cannot make " + target);
        remove();
        return false;
    }
    return true;
}

bool File::write(const void* data, std::size_t size, std::string& error)
{
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = ::write(fd_, static_cast<const char*>(data) + done, size - done);
        if (n < 0 && errno != EINTR)
            return failed(error, "cannot write " + target_);
        done += n > 0 ? std::size_t(n) : 0;
    }
    return true;
}

bool File::commit(std::string& error)
{
    if (::close(std::exchange(fd_, -1)) != 0 || (!inPlace_ && ::rename(path_.c_str(), target_.c_str()) != 0))
        return failed(error, "cannot write " + target_);
    path_.clear();
    inPlace_ = false;
    return true;
}

void File::remove()
{
    if (fd_ >= 0)
        ::close(std::exchange(fd_, -1));
    if (!path_.empty() && !inPlace_)
        ::unlink(path_.c_str());
    path_.clear();
    inPlace_ = false;
}

}  // namespace wholefile
