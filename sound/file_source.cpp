#include "sound/sources.h"

#include <algorithm>
#include <filesystem>
#include <sstream>

namespace ledcube::sound {

namespace {

constexpr int64_t kChunkFrames = 4096;

// libsndfile mends a WAV or AIFF whose data chunk claims more than the file
// holds, and says so only in its log: "data : 88200 (should be 39956)".
constexpr const char* kDataChunks[] = {"data", "SSND"};
constexpr std::size_t kLogBytes = 1 << 14;  // as much as libsndfile logs

SNDFILE* openSndfile(const std::string& path, SF_INFO& info)
{
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file)
        return file;
    std::error_code error;
    if (std::filesystem::file_size(path, error) == 0 && !error)
        throw unreadable(path, "the file is empty");
    throw unreadable(path, sf_strerror(nullptr));
}

class FileSource final : public Stream {
public:
    FileSource(SoundFile file, int64_t frames) : Stream(file.rate()), file_(std::move(file)), frames_(frames) {}
    std::optional<double> length() const override { return static_cast<double>(frames_) / rate(); }

private:
    bool readMore(std::vector<float>& mono) override
    {
        const int64_t got = file_.read(interleaved_, kChunkFrames);
        if (got <= 0)
            return false;
        // A float file's samples, like standard input's, may be anything.
        const auto samples = std::span(interleaved_).first(static_cast<std::size_t>(got * file_.channels()));
        std::ranges::transform(samples, samples.begin(), heard);
        mixDown(samples, file_.channels(), mono);
        return true;
    }

    SoundFile file_;
    int64_t frames_;
    std::vector<float> interleaved_;
};

}  // namespace

SoundFile::SoundFile(const std::string& path) : path_(path), file_(openSndfile(path, info_), sf_close)
{
    checkFormat(path, rate(), channels());
}

int64_t SoundFile::check()
{
    std::vector<float> samples;
    int64_t frames = 0;
    for (int64_t got; (got = read(samples, kChunkFrames)) > 0;)
        frames += got;
    if (cutShort(frames))
        throw unreadable(path_, "it is cut short: it holds less sound than its header says");
    if (sf_error(file_.get()) != SF_ERR_NO_ERROR)
        throw unreadable(path_, sf_strerror(file_.get()));
    if (frames == 0)
        throw unreadable(path_, "it holds no sound");
    if (sf_seek(file_.get(), 0, SEEK_SET) != 0)
        throw unreadable(path_, "it cannot go back to its start");
    return frames;
}

int64_t SoundFile::read(std::vector<float>& samples, int64_t frames)
{
    samples.resize(static_cast<std::size_t>(frames * channels()));
    return sf_readf_float(file_.get(), samples.data(), frames);
}

bool SoundFile::cutShort(int64_t decoded)
{
    // An Ogg's length is its last page's, which one cut short has lost.
    if (info_.frames == SF_COUNT_MAX)
        return (info_.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_OGG;
    return decoded != info_.frames || dataRunsPastEnd();
}

bool SoundFile::dataRunsPastEnd()
{
    std::string log(kLogBytes, '\0');
    sf_command(file_.get(), SFC_GET_LOG_INFO, log.data(), static_cast<int>(log.size()));
    std::istringstream lines(log.c_str());
    for (std::string line; std::getline(lines, line);)
        for (const char* chunk : kDataChunks)
            if (line.starts_with(chunk) && line.find("should be") != std::string::npos)
                return true;
    return false;
}

std::unique_ptr<Source> openFile(const std::string& path)
{
    SoundFile file(path);
    const int64_t frames = file.check();
    return std::make_unique<FileSource>(std::move(file), frames);
}

}  // namespace ledcube::sound
