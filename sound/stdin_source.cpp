#include "sound/sources.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace ledcube::sound {

namespace {

constexpr std::size_t kReadBytes = 1 << 16;

// Raw samples from a pipe. A read may end inside a frame; its bytes wait for
// the rest.
class RawStream final : public Stream {
public:
    RawStream(int fd, const RawFormat& format, const std::string& name)
        : Stream(format.rate), fd_(fd), format_(format), name_(name),
          frameBytes_(static_cast<std::size_t>(bytesPerSample(format.encoding) * format.channels))
    {
    }

private:
    bool readMore(std::vector<float>& mono) override
    {
        bytes_.resize(pending_ + kReadBytes);
        ssize_t got;
        do
            got = ::read(fd_, bytes_.data() + pending_, kReadBytes);
        while (got < 0 && errno == EINTR);
        if (got < 0)
            throw unreadable(name_, std::strerror(errno));
        if (got == 0)
            return false;
        const std::size_t held = pending_ + static_cast<std::size_t>(got);
        const std::size_t whole = held - held % frameBytes_;
        decode(format_.encoding, std::span(bytes_).first(whole), samples_);
        mixDown(samples_, format_.channels, mono);
        std::copy(bytes_.begin() + static_cast<std::ptrdiff_t>(whole),
                  bytes_.begin() + static_cast<std::ptrdiff_t>(held), bytes_.begin());
        pending_ = held - whole;
        return true;
    }

    int fd_;
    RawFormat format_;
    std::string name_;
    std::size_t frameBytes_;
    std::vector<unsigned char> bytes_;
    std::size_t pending_ = 0;  // bytes of a frame not yet whole, at the front of bytes_
    std::vector<float> samples_;
};

}  // namespace

std::unique_ptr<Source> openStream(int fd, const RawFormat& format, const std::string& name)
{
    checkFormat(name, format.rate, format.channels);
    return std::make_unique<RawStream>(fd, format, name);
}

}  // namespace ledcube::sound
