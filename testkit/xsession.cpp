#include "testkit/xsession.h"

#include "lbox/channel.h"

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace xsession {

namespace {

constexpr const char* kViewerTitle = "Tavio Lumarix Using FreeGlut";
constexpr auto kClientDeadline = 60s;
constexpr auto kStartDeadline = 60s;
constexpr auto kPollInterval = 20ms;
constexpr int kStartAttempts = 10;
constexpr int kFirstDisplay = 100;
constexpr int kDisplayRange = 800;
constexpr int kDisplayStride = 97;

// Fields of the xwd file header: 25 big-endian 32-bit words.
enum XwdField {
    kHeaderSize = 0,
    kPixmapWidth = 4,
    kPixmapHeight = 5,
    kByteOrder = 7,
    kBitsPerPixel = 11,
    kBytesPerLine = 12,
    kRedMask = 14,
    kGreenMask = 15,
    kBlueMask = 16,
    kColorCount = 19,
    kXwdFields = 25,
};
constexpr std::size_t kXwdColorSize = 12;
constexpr uint32_t kMsbFirst = 1;

uint32_t bigEndianWord(const std::string& bytes, std::size_t offset)
{
    uint32_t word = 0;
    for (std::size_t i = 0; i < 4; ++i)
        word = word << 8 | static_cast<uint8_t>(bytes[offset + i]);
    return word;
}

uint8_t channelOf(uint32_t pixel, uint32_t mask)
{
    if (mask == 0)
        return 0;
    int shift = 0;
    while (!(mask >> shift & 1))
        ++shift;
    const uint32_t value = (pixel & mask) >> shift;
    const uint32_t top = mask >> shift;
    return static_cast<uint8_t>(value * 255 / top);
}

}  // namespace

void Image::savePpm(const std::string& path) const
{
    std::ofstream file(path, std::ios::binary);
    file << "P6\n" << width_ << ' ' << height_ << "\n255\n";
    for (const Rgb& p : pixels_)
        file.put(static_cast<char>(p.r)).put(static_cast<char>(p.g)).put(static_cast<char>(p.b));
}

Image decodeXwd(const std::string& bytes)
{
    if (bytes.size() < kXwdFields * 4)
        throw std::runtime_error("xwd output too short");
    uint32_t header[kXwdFields];
    for (int i = 0; i < kXwdFields; ++i)
        header[i] = bigEndianWord(bytes, std::size_t(i) * 4);

    const int width = static_cast<int>(header[kPixmapWidth]);
    const int height = static_cast<int>(header[kPixmapHeight]);
    const std::size_t lineBytes = header[kBytesPerLine];
    // Pixels of 3 or 4 bytes; lines may be padded beyond the last pixel.
    const std::size_t pixelBytes = header[kBitsPerPixel] / 8;
    const std::size_t start = header[kHeaderSize] + header[kColorCount] * kXwdColorSize;
    if (pixelBytes < 3 || pixelBytes > 4 || lineBytes < pixelBytes * std::size_t(width) ||
        bytes.size() < start + lineBytes * std::size_t(height))
        throw std::runtime_error("unexpected xwd pixel format");

    Image image(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const std::size_t at = start + std::size_t(y) * lineBytes + std::size_t(x) * pixelBytes;
            uint32_t pixel = 0;
            for (std::size_t i = 0; i < pixelBytes; ++i) {
                const uint32_t byte = static_cast<uint8_t>(bytes[at + i]);
                if (header[kByteOrder] == kMsbFirst)
                    pixel = pixel << 8 | byte;
                else
                    pixel |= byte << (8 * i);
            }
            image.at(x, y) = {channelOf(pixel, header[kRedMask]), channelOf(pixel, header[kGreenMask]),
                              channelOf(pixel, header[kBlueMask])};
        }
    return image;
}

Image windowOf(const Image& screen)
{
    Image window(Viewer::kWidth, Viewer::kHeight);
    for (int y = 0; y < Viewer::kHeight; ++y)
        for (int x = 0; x < Viewer::kWidth; ++x)
            window.at(x, y) = screen.at(x, y);
    return window;
}

std::string findProgram(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    std::size_t from = 0;
    while (from <= dirs.size()) {
        const std::size_t to = std::min(dirs.find(':', from), dirs.size());
        const std::string candidate = dirs.substr(from, to - from) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        from = to + 1;
    }
    throw std::runtime_error(name + " is not installed (not found on PATH)");
}

XServer::XServer()
{
    // Display numbers well above the few that people and other tools usually
    // take. A number in use makes Xvfb end at once, and the next is tried.
    std::string failures;
    for (int attempt = 0; attempt < kStartAttempts && display_.empty(); ++attempt) {
        const int number = kFirstDisplay + (int(::getpid()) + attempt * kDisplayStride) % kDisplayRange;
        // Appended, not ":" + a temporary: GCC 12 at -O3 warns falsely
        // (-Wrestrict) inside that operator.
        const std::string display = std::string(":").append(std::to_string(number));
        server_ = std::make_unique<testsupport::Process>(
            std::vector<std::string>{findProgram("Xvfb"), display, "-displayfd", "1", "-screen",
                                     "0",
                                     std::to_string(kScreenWidth) + "x" + std::to_string(kScreenHeight) + "x24",
                                     "-nolisten", "tcp", "-noreset"},
            testsupport::Process::Options{});
        // -noreset: by default the server starts over whenever its last
        // client leaves, and drops whoever connects meanwhile.
        // -displayfd 1: the number appears on standard output once the
        // server listens.
        const auto end = std::chrono::steady_clock::now() + kStartDeadline;
        while (server_->out().find('\n') == std::string::npos && server_->running() &&
               std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(kPollInterval);
        display_ = display;
        // Whatever answers there must be this server, with this screen.
        const Result probe = server_->running() ? run({"xdotool", "getdisplaygeometry"}) : Result{};
        const std::string expected = std::to_string(kScreenWidth) + " " + std::to_string(kScreenHeight) + "\n";
        if (probe.code != 0 || probe.out != expected || !server_->running()) {
            failures += display_ + ": " + server_->err() + probe.err + "\n";
            display_.clear();
            server_->signal(SIGTERM);
            server_->wait(kClientDeadline);
        }
    }
    if (display_.empty())
        throw std::runtime_error("no X server could be started:\n" + failures);
}

XServer::~XServer()
{
    server_->signal(SIGTERM);
    server_->wait(kClientDeadline);
}

std::string XServer::state() const
{
    return "X server " + display_ + (server_->running() ? " running" : " ended") + ", its log: " + server_->err();
}

std::vector<std::string> XServer::environment() const
{
    std::vector<std::string> env;
    for (char** entry = environ; *entry; ++entry)
        if (std::string(*entry).rfind("DISPLAY=", 0) != 0)
            env.emplace_back(*entry);
    env.push_back("DISPLAY=" + display_);
    return env;
}

testsupport::Process::Options XServer::optionsIn(const std::string& dir) const
{
    testsupport::Process::Options options;
    options.cwd = dir;
    options.env = environment();
    return options;
}

XServer::Result XServer::run(const std::vector<std::string>& argv) const
{
    std::vector<std::string> full = argv;
    full[0] = findProgram(argv[0]);
    testsupport::Process client(full, optionsIn("/"));
    const testsupport::Exit exit = client.wait(kClientDeadline);
    if (exit.timedOut)
        throw std::runtime_error(argv[0] + " did not finish");
    return {exit.code, client.out(), client.err()};
}

std::string XServer::xdotool(const std::vector<std::string>& args) const
{
    std::vector<std::string> argv{"xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    const Result result = run(argv);
    if (result.code != 0) {
        std::string command;
        for (const std::string& a : argv)
            command += a + " ";
        throw std::runtime_error(command + "failed: " + result.err);
    }
    return result.out;
}

Image XServer::screenshot() const
{
    const Result result = run({"xwd", "-root", "-silent", "-display", display_});
    if (result.code != 0)
        throw std::runtime_error("xwd failed: " + result.err);
    return decodeXwd(result.out);
}

Image XServer::waitForPicture(const std::function<bool(const Image&)>& accept,
                              std::chrono::milliseconds deadline) const
{
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        Image image = screenshot();
        if (accept(image) || std::chrono::steady_clock::now() >= end)
            return image;
        std::this_thread::sleep_for(kPollInterval);
    }
}

Viewer::Viewer(const XServer& x, const std::string& program, const std::string& dir,
               const std::vector<std::string>& env)
    : x_(x)
{
    testsupport::Process::Options options = x.optionsIn(dir);
    for (const std::string& entry : env) {
        const std::string name = entry.substr(0, entry.find('=') + 1);
        std::erase_if(*options.env, [&](const std::string& old) { return old.starts_with(name); });
        options.env->push_back(entry);
    }
    process_ = std::make_unique<testsupport::Process>(std::vector<std::string>{program}, options);
    const auto end = std::chrono::steady_clock::now() + kStartDeadline;
    for (;;) {
        // This process's window: one of a viewer that has just ended may
        // linger on the server for a moment.
        const XServer::Result found = x.run({"xdotool", "search", "--onlyvisible", "--pid",
                                             std::to_string(process_->pid()), "--name",
                                             std::string("^") + kViewerTitle + "$"});
        if (found.code == 0 && !found.out.empty()) {
            window_ = found.out.substr(0, found.out.find('\n'));
            break;
        }
        if (!process_->running())
            throw std::runtime_error("the viewer ended before its window appeared: " + process_->err() + x.state());
        if (std::chrono::steady_clock::now() >= end)
            throw std::runtime_error("the viewer's window did not appear; " + x.state());
        std::this_thread::sleep_for(kPollInterval);
    }
    // With no window manager the window opens just off the corner.
    x.xdotool({"windowmove", "--sync", window_, "0", "0"});
    x.xdotool({"windowfocus", "--sync", window_});
}

void Viewer::key(const std::vector<std::string>& keys) const
{
    std::vector<std::string> args{"key", "--delay", "0"};
    args.insert(args.end(), keys.begin(), keys.end());
    x_.xdotool(args);
}

std::string Viewer::geometry() const
{
    const std::string out = x_.xdotool({"getwindowgeometry", window_});
    const std::string label = "Geometry: ";
    const std::size_t at = out.find(label);
    if (at == std::string::npos)
        return {};
    const std::size_t from = at + label.size();
    return out.substr(from, out.find('\n', from) - from);
}

FrameLog::FrameLog(const std::string& dir) : path_(dir + "/frames.log") {}

std::vector<std::string> FrameLog::environment() const
{
    // An instrumented viewer's AddressSanitizer refuses to start unless its
    // runtime is the first library loaded; the preloaded probe comes first.
    const char* asan = std::getenv("ASAN_OPTIONS");
    return {std::string("LD_PRELOAD=") + CUBE_DISPLAY_PROBE, "CUBE_DISPLAY_LOG=" + path_,
            "ASAN_OPTIONS=" + (asan ? std::string(asan) + ":" : "") + "verify_asan_link_order=0"};
}

std::vector<DrawnFrame> FrameLog::frames() const
{
    std::vector<DrawnFrame> frames;
    std::istringstream lines(testsupport::readFile(path_));
    long long end = 0, wall = 0, cpu = 0;
    long faults = 0;
    // The probe writes each line whole; a missing file is no frame yet.
    while (lines >> end >> wall >> cpu >> faults) {
        DrawnFrame frame;
        frame.end = std::chrono::steady_clock::time_point(std::chrono::microseconds(end));
        frame.wall = std::chrono::microseconds(wall);
        frame.cpu = std::chrono::microseconds(cpu);
        frame.faults = faults;
        frames.push_back(frame);
    }
    return frames;
}

Writer::Writer(testsupport::RunDir& dir) : record_(dir.mapRecord()) {}

bool Writer::idle() const
{
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (channel::loadStatus(record_) != channel::kStatusIdle) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(100us);
    }
    return true;
}

bool Writer::send(uint8_t code, const std::vector<queueEntry>& entries)
{
    if (!idle())
        return false;
    for (std::size_t slot = 0; slot < entries.size(); ++slot)
        channel::packEntry(record_, slot, entries[slot]);
    channel::storeStatus(record_, code);
    return idle();
}

bool Writer::light(uint8_t x, uint8_t y, uint8_t z, storeColor color)
{
    return send(channel::kStatusBatchBase + 1, {{x, y, z, color}});
}

bool Writer::release()
{
    return send(channel::kStatusReleaseNoKeep);
}

}  // namespace xsession
