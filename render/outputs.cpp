#include "render/outputs.h"

#include "common/process.h"
#include "common/wholefile.h"

#include <gif_lib.h>
#include <png.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <string_view>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace render {

namespace {

constexpr uint64_t kUsPerSecond = 1'000'000;
constexpr std::size_t kBytesPerPixel = 3;

void closeFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Ticks (tickHz a second) from startUs to endUs, both ends rounded to the nearest tick. Each span
// ends where the next one begins, so the spans of a show add up to its rounded length: no drift.
uint64_t ticksBetween(uint64_t startUs, uint64_t endUs, uint64_t tickHz)
{
    // Whole seconds are scaled apart from the rest, so that no time overflows.
    const auto rounded = [tickHz](uint64_t us) {
        return us / kUsPerSecond * tickHz + (us % kUsPerSecond * tickHz + kUsPerSecond / 2) / kUsPerSecond;
    };
    return rounded(endUs) - rounded(startUs);
}


// What every writer checks before its format has a say.
class Writer : public Output {
public:
    explicit Writer(const OutputSettings& settings)
        : width_(settings.width), height_(settings.height), path_(settings.path)
    {
    }
    // Prepares for the first picture; false with error() saying why not.
    virtual bool start(const OutputSettings& settings) = 0;

protected:
    // The first failure is the one told, naming the output: "cannot make
    // show.gif: ..." before the first picture, "cannot write show.gif: ..."
    // after it. Always false.
    bool cannotMake(const std::string& why) { return failure("cannot make ", why); }
    bool cannotWrite(const std::string& why) { return failure("cannot write ", why); }

    bool usable()
    {
        if (finished_ && error_.empty())
            cannotWrite("the output is already finished");
        return error_.empty();
    }

    bool fits(const Picture& picture)
    {
        const std::size_t size = std::size_t(width_) * std::size_t(height_) * kBytesPerPixel;
        if (picture.width == width_ && picture.height == height_ && picture.rgb.size() == size)
            return true;
        return cannotWrite("a picture of " + std::to_string(picture.width) + "x" + std::to_string(picture.height) +
                           " (" + std::to_string(picture.rgb.size()) + " bytes) for an output of " +
                           std::to_string(width_) + "x" + std::to_string(height_));
    }

    const int width_;
    const int height_;
    const std::string path_;
    bool finished_ = false;

private:
    bool failure(const char* what, const std::string& why)
    {
        if (error_.empty())
            error_ = what + path_ + ": " + why;
        return false;
    }
};

// Holds each picture back until the next one's start, or the end, tells how long it shows.
class HeldBack : public Writer {
public:
    using Writer::Writer;

    bool add(const Picture& picture, uint64_t startUs) final
    {
        if (!usable() || !fits(picture) || !inOrder(startUs))
            return false;
        // The same picture again only shows for longer.
        if (held_ && held_->rgb == picture.rgb)
            return true;
        if (held_ && !show(*held_, heldStartUs_, startUs, false))
            return false;
        held_ = picture;
        heldStartUs_ = startUs;
        return true;
    }

    bool finish(uint64_t endUs) final
    {
        if (!usable() || !inOrder(endUs))
            return false;
        if (!held_)
            return cannotWrite("there is no picture to write");
        finished_ = show(*held_, heldStartUs_, endUs, true) && complete();
        return finished_;
    }

protected:
    // Writes `picture`, shown from startUs until endUs; the `last` one ends the output.
    virtual bool show(const Picture& picture, uint64_t startUs, uint64_t endUs, bool last) = 0;
    // Completes the file and puts it in place.
    virtual bool complete() = 0;

private:
    bool inOrder(uint64_t us)
    {
        if (us < heldStartUs_)
            cannotWrite("a time (" + std::to_string(us) + " us) before that of the picture before it (" +
                        std::to_string(heldStartUs_) + " us)");
        return error_.empty();
    }

    std::optional<Picture> held_;
    uint64_t heldStartUs_ = 0;
};

// One animated GIF. The first frame is the whole picture; each later one covers only the rectangle
// around the pixels that changed, with the unchanged ones transparent so that the frame before
// shows through, and a colour map of its own spent on the colours that changed.
class GifOutput final : public HeldBack {
public:
    using HeldBack::HeldBack;
    ~GifOutput() override { abandon(); }

    bool start(const OutputSettings& settings) override
    {
        if (width_ > kMaxSide || height_ > kMaxSide)
            return cannotMake("a GIF is at most " + std::to_string(kMaxSide) + " pixels a side");
        if (!file_.create(settings.path, error_))
            return false;
        int code = 0;
        gif_ = EGifOpen(this, put, &code);
        if (!gif_)
            return cannotMake(gifError(code));
        EGifSetGifVersion(gif_, true);  // for the extensions below
        // Looping forever: the application extension "NETSCAPE2.0" with the sub-block
        // {1, loop count low byte, high byte}, a count of 0 meaning no end.
        static constexpr char kLoopApplication[] = "NETSCAPE2.0";
        static constexpr GifByteType kLoopForever[] = {1, 0, 0};
        // No global colour map: every frame brings its own.
        return ok(EGifPutScreenDesc(gif_, width_, height_, kColourResolution, 0, nullptr)) &&
               ok(EGifPutExtensionLeader(gif_, APPLICATION_EXT_FUNC_CODE)) &&
               ok(EGifPutExtensionBlock(gif_, sizeof kLoopApplication - 1, kLoopApplication)) &&
               ok(EGifPutExtensionBlock(gif_, sizeof kLoopForever, kLoopForever)) && ok(EGifPutExtensionTrailer(gif_));
    }

    void abandon() override
    {
        if (gif_)
            EGifCloseFile(std::exchange(gif_, nullptr), nullptr);
        file_.remove();
    }

private:
    // Delays count hundredths of a second, in 16 bits (almost 11 minutes).
    static constexpr uint64_t kTicksPerSecond = 100;
    static constexpr uint64_t kMaxDelay = 0xFFFF;
    // Browsers show a delay of 0 or 1 as 10, so no frame gets less than this.
    static constexpr uint64_t kMinDelay = 2;
    static constexpr int kMaxSide = 0xFFFF;
    // Of a frame's 256 palette entries one stays free to mark the pixels that stay as they were.
    static constexpr int kPaletteSize = 256;
    static constexpr int kMaxColours = kPaletteSize - 1;
    static constexpr int kSmallestMap = 2;
    static constexpr int kColourResolution = 8;  // bits a primary in the pictures
    static constexpr std::size_t kControlSize = 4;

    struct Area {
        int x = 0, y = 0, width = 0, height = 0;
    };

    // Every byte giflib writes; once anything failed nothing more is, so the first error is told.
    static int put(GifFileType* gif, const GifByteType* bytes, int size)
    {
        auto* self = static_cast<GifOutput*>(gif->UserData);
        return self->error_.empty() && self->file_.write(bytes, std::size_t(size), self->error_) ? size : 0;
    }

    static std::string gifError(int code)
    {
        const char* text = GifErrorString(code);
        return text ? text : "giflib error " + std::to_string(code);
    }

    // A failed write of ours counts too: giflib does not check all of its writes.
    bool ok(int result)
    {
        if (result == GIF_ERROR)
            cannotWrite(gifError(gif_->Error));
        return error_.empty();
    }

    bool show(const Picture& picture, uint64_t startUs, uint64_t endUs, bool last) override
    {
        const uint64_t fromUs = carriedStartUs_.value_or(startUs);
        uint64_t delay = ticksBetween(fromUs, endUs, kTicksPerSecond);
        if (delay < kMinDelay && !last) {
            // Too short to show as it is: the next picture takes over its time.
            carriedStartUs_ = fromUs;
            return true;
        }
        carriedStartUs_.reset();
        // The last picture has no next one to take its time and is stretched instead: the whole
        // is then up to 20 ms longer than asked, and only when the last hold is near zero.
        delay = std::max(delay, kMinDelay);
        // A delay beyond the field's goes on in frames that change nothing.
        const uint64_t parts = (delay + kMaxDelay - 1) / kMaxDelay;
        bool written = putPicture(picture, int(delay / parts + delay % parts));
        for (uint64_t part = 1; written && part < parts; ++part)
            written = putUnchanged(int(delay / parts));
        return written;
    }

    bool complete() override
    {
        int code = 0;
        if (EGifCloseFile(std::exchange(gif_, nullptr), &code) == GIF_ERROR)
            cannotWrite(gifError(code));
        return error_.empty() && file_.commit(error_);
    }

    bool changed(const std::vector<uint8_t>& rgb, std::size_t pixel) const
    {
        const std::size_t at = pixel * kBytesPerPixel;
        return shown_.empty() || std::memcmp(&rgb[at], &shown_[at], kBytesPerPixel) != 0;
    }

    Area changedArea(const std::vector<uint8_t>& rgb) const
    {
        const std::size_t rowBytes = std::size_t(width_) * kBytesPerPixel;
        int left = width_, right = -1, top = -1, bottom = -1;
        for (int y = 0; y < height_; ++y) {
            if (!shown_.empty() && std::memcmp(&rgb[y * rowBytes], &shown_[y * rowBytes], rowBytes) == 0)
                continue;
            top = top < 0 ? y : top;
            bottom = y;
            for (int x = 0; x < width_; ++x) {
                if (changed(rgb, std::size_t(y) * width_ + x)) {
                    left = std::min(left, x);
                    right = std::max(right, x);
                }
            }
        }
        return top < 0 ? Area{} : Area{left, top, right - left + 1, bottom - top + 1};
    }

    bool putPicture(const Picture& picture, int delay)
    {
        const Area area = changedArea(picture.rgb);
        if (area.width == 0)
            return putUnchanged(delay);
        // The colours of the changed pixels, a plane each as the quantizer takes them, while
        // frame_ marks which pixels of the area they are.
        for (auto* values : {&red_, &green_, &blue_, &frame_})
            values->clear();
        for (int y = area.y; y < area.y + area.height; ++y) {
            for (int x = area.x; x < area.x + area.width; ++x) {
                const std::size_t pixel = std::size_t(y) * width_ + x;
                frame_.push_back(changed(picture.rgb, pixel));
                if (frame_.back()) {
                    red_.push_back(picture.rgb[pixel * kBytesPerPixel]);
                    green_.push_back(picture.rgb[pixel * kBytesPerPixel + 1]);
                    blue_.push_back(picture.rgb[pixel * kBytesPerPixel + 2]);
                }
            }
        }
        int colours = kMaxColours;
        std::vector<GifByteType> indices(red_.size());
        GifColorType palette[kPaletteSize]{};
        if (GifQuantizeBuffer(unsigned(red_.size()), 1, &colours, red_.data(), green_.data(), blue_.data(),
                              indices.data(), palette) == GIF_ERROR)
            return cannotWrite("out of memory to reduce a picture's colours");
        truePalette(indices, palette, colours);
        const int transparent = colours;
        for (std::size_t i = 0, next = 0; i < frame_.size(); ++i)
            frame_[i] = frame_[i] ? indices[next++] : GifByteType(transparent);
        const bool first = shown_.empty();
        shown_ = picture.rgb;
        return first ? putFrame(area, palette, colours, NO_TRANSPARENT_COLOR, delay)
                     : putFrame(area, palette, colours + 1, transparent, delay);
    }

    // The quantizer works on 5 bits a primary and gives each entry the plain mean of the 5-bit
    // cells it covers. The mean of the pixels' own colours is truer, and exact for a colour with
    // an entry to itself.
    void truePalette(const std::vector<GifByteType>& indices, GifColorType* palette, int colours) const
    {
        std::vector<std::array<uint64_t, 4>> sums(std::size_t(colours), {0, 0, 0, 0});  // red, green, blue, pixels
        for (std::size_t i = 0; i < indices.size(); ++i) {
            auto& sum = sums[indices[i]];
            sum[0] += red_[i], sum[1] += green_[i], sum[2] += blue_[i], ++sum[3];
        }
        for (int entry = 0; entry < colours; ++entry) {
            const auto& sum = sums[std::size_t(entry)];
            const auto mean = [&](uint64_t total) { return GifByteType((total + sum[3] / 2) / sum[3]); };
            if (sum[3] > 0)
                palette[entry] = {mean(sum[0]), mean(sum[1]), mean(sum[2])};
        }
    }

    // A frame that only carries time: one transparent pixel.
    bool putUnchanged(int delay)
    {
        const GifColorType palette[kSmallestMap]{};
        frame_.assign(1, 0);
        return putFrame({0, 0, 1, 1}, palette, kSmallestMap, 0, delay);
    }

    // frame_ over `area`: the graphic control extension (delay, transparent index, and the frame
    // left in place under the next), the image descriptor with the frame's colour map, the rows.
    bool putFrame(const Area& area, const GifColorType* palette, int entries, int transparent, int delay)
    {
        GraphicsControlBlock control{};
        control.DisposalMode = DISPOSE_DO_NOT;
        control.DelayTime = delay;
        control.TransparentColor = transparent;
        GifByteType extension[kControlSize];
        const std::size_t length = EGifGCBToExtension(&control, extension);
        // A colour map has a power of two entries.
        ColorMapObject* map = GifMakeMapObject(1 << GifBitSize(entries), palette);
        if (!map)
            return cannotWrite("out of memory for a colour map");
        bool written = ok(EGifPutExtension(gif_, GRAPHICS_EXT_FUNC_CODE, int(length), extension)) &&
                       ok(EGifPutImageDesc(gif_, area.x, area.y, area.width, area.height, false, map));
        GifFreeMapObject(map);
        for (int row = 0; written && row < area.height; ++row)
            written = ok(EGifPutLine(gif_, &frame_[std::size_t(row) * area.width], area.width));
        return written;
    }

    wholefile::File file_;
    GifFileType* gif_ = nullptr;
    std::vector<uint8_t> shown_;              // what the GIF shows after its last frame; empty before the first
    std::optional<uint64_t> carriedStartUs_;  // of pictures too short to show, whose time goes to the next
    std::vector<GifByteType> red_, green_, blue_, frame_;
};

// Numbered PNG files (8-bit RGB), "show-0001.png" on, each put in place as soon as it is written.
class PngOutput final : public Writer {
public:
    using Writer::Writer;
    ~PngOutput() override { abandon(); }

    bool start(const OutputSettings& settings) override
    {
        const std::size_t dot = settings.path.rfind('.');
        stem_ = settings.path.substr(0, dot) + "-";
        ending_ = settings.path.substr(dot);
        digits_ = std::max(kMinDigits, std::to_string(settings.frames).size());
        // Whether the directory takes files is better told now than after the first picture.
        wholefile::File probe;
        return probe.create(settings.path, error_);
    }

    bool add(const Picture& picture, uint64_t) override
    {
        if (!usable() || !fits(picture))
            return false;
        // Encoded in memory, so that every write to the file is checked here.
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        image.width = png_uint_32(width_);
        image.height = png_uint_32(height_);
        image.format = PNG_FORMAT_RGB;
        png_alloc_size_t size = PNG_IMAGE_PNG_SIZE_MAX(image);
        encoded_.resize(size);
        std::string number = std::to_string(written_.size() + 1);
        number.insert(0, digits_ - std::min(digits_, number.size()), '0');
        const std::string target = stem_ + number + ending_;
        if (!png_image_write_to_memory(&image, encoded_.data(), &size, 0, picture.rgb.data(), 0, nullptr)) {
            error_ = "cannot make " + target + ": " + image.message;
            return false;
        }
        wholefile::File file;
        if (!file.create(target, error_) || !file.write(encoded_.data(), size, error_) || !file.commit(error_))
            return false;
        written_.push_back(target);
        return true;
    }

    bool finish(uint64_t) override
    {
        if (usable() && written_.empty())
            cannotWrite("there is no picture to write");
        finished_ = error_.empty();
        return finished_;
    }

    void abandon() override
    {
        if (finished_)
            return;
        for (const std::string& path : written_)
            ::unlink(path.c_str());
        written_.clear();
    }

private:
    static constexpr std::size_t kMinDigits = 4;

    std::string stem_, ending_;
    std::size_t digits_ = kMinDigits;
    std::vector<std::string> written_;  // the files this run put in place
    std::vector<uint8_t> encoded_;
};

// The last lines ffmpeg wrote to its standard error, which at -loglevel error are few and short.
std::string lastLines(int log)
{
    constexpr off_t kTail = 4096;
    constexpr std::size_t kLines = 2;
    std::string text(kTail, '\0');
    const ssize_t got = ::pread(log, text.data(), text.size(), std::max<off_t>(0, ::lseek(log, 0, SEEK_END) - kTail));
    text.resize(got > 0 ? std::size_t(got) : 0);
    std::istringstream stream(text);
    std::vector<std::string> lines;
    for (std::string line; std::getline(stream, line);) {
        if (!line.empty())
            lines.push_back(line);
    }
    std::string said;
    for (std::size_t i = lines.size() - std::min(lines.size(), kLines); i < lines.size(); ++i)
        said += (said.empty() ? "" : " / ") + lines[i];
    return said;
}

// An MP4 or WebM video made by the ffmpeg program at a constant frame rate: each picture is
// sent once for every video frame that falls within its time.
class VideoOutput final : public HeldBack {
public:
    VideoOutput(const OutputSettings& settings, Format format) : HeldBack(settings), format_(format) {}
    ~VideoOutput() override { abandon(); }

    bool start(const OutputSettings& settings) override
    {
        fps_ = uint64_t(settings.fps);
        const std::string program = process::onPath("ffmpeg");
        if (settings.fps < kMinFps || settings.fps > kMaxFps)
            return cannotMake("the frame rate must be " + std::to_string(kMinFps) + " to " + std::to_string(kMaxFps));
        if (program.empty())
            return cannotMake("the program 'ffmpeg' is not installed (on Debian: apt-get install ffmpeg)");
        if (!file_.create(settings.path, error_))
            return false;
        // The frames go over a socket rather than a pipe, as send() with MSG_NOSIGNAL then tells of
        // an ffmpeg that has gone by EPIPE, with no SIGPIPE and no change to our signal handling.
        // What ffmpeg says goes to a file in memory, which can never fill up and stall it.
        int ends[2] = {-1, -1};
        int nothing = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        log_ = ::memfd_create("ffmpeg-messages", MFD_CLOEXEC);
        if (nothing < 0 || log_ < 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
            cannotMake(process::because("no way to talk to ffmpeg"));
            closeFd(nothing);
            return false;
        }
        process::Child::Setup setup;
        setup.in = ends[1];
        setup.out = nothing;
        setup.err = log_;
        input_ = ends[0];
        // An ffmpeg that cannot be run at all ends the tool, as every failure to run a program
        // does (process::Failure); the descriptors of this call go with it.
        ffmpeg_.start(arguments(program, settings), setup);
        closeFd(ends[1]);
        closeFd(nothing);
        return true;
    }

    void abandon() override
    {
        closeFd(input_);
        ffmpeg_.stop();
        // Only once ffmpeg is gone, as its last pass over an MP4 could make the file again.
        file_.remove();
        closeFd(log_);
    }

private:
    // ffmpeg's command line: frames exactly as a Picture holds them on standard input, the video
    // to the temporary file.
    std::vector<std::string> arguments(const std::string& program, const OutputSettings& settings) const
    {
        std::vector<std::string> args = {
            // -xerror: without it ffmpeg can end with status 0 after failing to write the file.
            program, "-hide_banner", "-loglevel", "error", "-nostats", "-xerror", "-f", "rawvideo", "-pix_fmt", "rgb24",
            "-s", std::to_string(width_) + "x" + std::to_string(height_), "-framerate", std::to_string(settings.fps),
            "-i", "pipe:0",
            // 4:2:0 chroma, which every player takes, needs even sides: a black edge makes them so.
            // The colours are converted and tagged as BT.709, so that no player has to guess.
            "-vf", "pad=ceil(iw/2)*2:ceil(ih/2)*2,scale=out_color_matrix=bt709:out_range=tv,format=yuv420p",
            "-colorspace", "bt709", "-color_primaries", "bt709", "-color_trc", "bt709"};
        if (format_ == Format::Mp4) {
            // Visually lossless; the index goes first so that a browser can start playing at once.
            args.insert(args.end(), {"-c:v", "libx264", "-preset", "medium", "-crf", "18", "-movflags", "+faststart",
                                     "-f", "mp4"});
        } else {
            // Constant quality (-b:v 0 lifts the bitrate cap); rows in parallel keep it from crawling.
            args.insert(args.end(), {"-c:v", "libvpx-vp9", "-crf", "32", "-b:v", "0", "-row-mt", "1", "-f", "webm"});
        }
        // "file:" keeps a ':' in the path from being taken for a protocol.
        args.insert(args.end(), {"-y", "file:" + file_.path()});
        return args;
    }

    bool show(const Picture& picture, uint64_t startUs, uint64_t endUs, bool last) override
    {
        uint64_t frames = ticksBetween(startUs, endUs, fps_);
        // However short the show, the video has a frame.
        if (last && sent_ + frames == 0)
            frames = 1;
        for (uint64_t frame = 0; frame < frames; ++frame) {
            if (!send(picture.rgb))
                return false;
        }
        sent_ += frames;
        return true;
    }

    bool send(const std::vector<uint8_t>& rgb)
    {
        for (std::size_t done = 0; done < rgb.size();) {
            const ssize_t n = ::send(input_, rgb.data() + done, rgb.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno != EINTR) {
                // ffmpeg stopped reading: why, as it tells it, comes first.
                const std::string failure = process::because("ffmpeg takes no more frames");
                const std::string why = awaitEnd();
                return cannotWrite(why.empty() ? failure : why);
            }
            done += n > 0 ? std::size_t(n) : 0;
        }
        return true;
    }

    bool complete() override
    {
        if (const std::string why = awaitEnd(); !why.empty())
            return cannotWrite(why);
        return file_.commit(error_);
    }

    // Ends ffmpeg's input and waits for it to finish; "" when it ended well, else why not.
    std::string awaitEnd()
    {
        closeFd(input_);
        const int status = ffmpeg_.wait();
        // At -loglevel error ffmpeg says nothing unless something went wrong, which its status
        // alone does not always show.
        const std::string said = lastLines(log_);
        std::string why;
        if (const int signal = ffmpeg_.signal())
            why = "ffmpeg was killed by signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
        else if (status != 0)
            why = "ffmpeg failed with exit status " + std::to_string(status);
        else if (!said.empty())
            why = "ffmpeg reported an error";
        return said.empty() ? why : why + ": " + said;
    }

    Format format_;
    uint64_t fps_ = 0;
    wholefile::File file_;
    process::Child ffmpeg_;
    int input_ = -1;     // our end of ffmpeg's standard input
    int log_ = -1;       // ffmpeg's standard error
    uint64_t sent_ = 0;  // video frames
};

}  // namespace

std::optional<Format> formatOf(const std::string& path)
{
    static constexpr std::pair<std::string_view, Format> kEndings[] = {
        {".gif", Format::Gif}, {".png", Format::Png}, {".mp4", Format::Mp4}, {".webm", Format::Webm}};
    const auto sameLetter = [](char ending, char given) {
        return ending == std::tolower(static_cast<unsigned char>(given));
    };
    for (const auto& [ending, format] : kEndings) {
        if (path.size() >= ending.size() &&
            std::equal(ending.begin(), ending.end(), path.end() - std::ptrdiff_t(ending.size()), sameLetter))
            return format;
    }
    return std::nullopt;
}

std::unique_ptr<Output> openOutput(const OutputSettings& settings, std::string& error)
{
    const std::optional<Format> format = formatOf(settings.path);
    std::unique_ptr<Writer> output;
    if (!format)
        error = "cannot make " + settings.path + ": the name must end in .gif, .png, .mp4 or .webm";
    else if (settings.width <= 0 || settings.height <= 0)
        error = "cannot make " + settings.path + ": the pictures have no size";
    else if (*format == Format::Gif)
        output = std::make_unique<GifOutput>(settings);
    else if (*format == Format::Png)
        output = std::make_unique<PngOutput>(settings);
    else
        output = std::make_unique<VideoOutput>(settings, *format);
    // A writer that cannot start removes on its destruction whatever it made on the way.
    if (output && !output->start(settings)) {
        error = output->error();
        output.reset();
    }
    return output;
}

}  // namespace render
