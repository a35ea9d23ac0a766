#include "net/sending.h"

#include "lbox/channel.h"
#include "common/cli.h"
#include "common/process.h"
#include "lbox/lFrame.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>

namespace strip {

namespace {

using Clock = std::chrono::steady_clock;

// E1.31 receivers give up on a source after 2.5 s without data, so the frame
// on show goes again once a second while nothing new comes.
constexpr auto kResendAfter = std::chrono::seconds(1);
// How often the forwarding end looks whether the viewer there has answered.
constexpr auto kForwardPoll = std::chrono::microseconds(10);

// The viewer's record in DIR, mapped as a writer maps it; never the channel
// that this process serves itself.
uint8_t* openForward(const std::string& toolName, const std::string& dir)
{
    namespace fs = std::filesystem;
    const fs::path path = fs::path(dir) / channel::kFileName;
    struct stat there {}, here {};
    if (stat(path.c_str(), &there) == 0 && stat(channel::kFileName, &here) == 0 && there.st_dev == here.st_dev &&
        there.st_ino == here.st_ino)
        process::fail("--forward " + dir + " is the channel that " + toolName + " serves itself");
    std::string error;
    uint8_t* record = channel::tryMapRecord(path.c_str(), error);
    if (!record)
        process::fail(error + " (--forward)");
    return record;
}

}  // namespace

bool SendOptions::take(cli::Parser& args)
{
    if (mapping.take(args))
        return true;
    if (const char* fps = args.option("--max-fps")) {
        maxFps = args.number("--max-fps", fps, 0, kMaxMaxFps);
        if (maxFps == 0)
            args.fail("--max-fps takes a number above 0, not " + cli::quoted(fps));
        return true;
    }
    if (const char* dir = args.option("--forward")) {
        forwardDir = dir;
        return true;
    }
    return false;
}

void SendOptions::takeTarget(const cli::Parser& args, const char* text)
{
    std::string error;
    auto target = parseTarget(text, error);
    if (!target)
        args.fail("target " + cli::quoted(text) + " " + error);
    targets.push_back(*target);
}

void SendOptions::check(const cli::Parser& args, int edge) const
{
    mapping.check(args);
    checkUniverses(args, targets, "target", edge, mapping.ledsPerUniverse);
}

std::string SendOptions::targetsHelp()
{
    return "  ddp://HOST[:PORT]               DDP over UDP (port 4048)\n"
           "  e131://HOST[:PORT][/UNIVERSE]   E1.31 (sACN) over unicast UDP (port 5568),\n"
           "                                  from UNIVERSE on (default 1)\n"
           "  artnet://HOST[:PORT][/UNIVERSE] Art-Net over unicast UDP (port 6454), from\n"
           "                                  the Port-Address UNIVERSE on (default 0)\n"
           "  opc://HOST[:PORT][/CHANNEL]     Open Pixel Control over TCP (port 7890,\n"
           "                                  channel 0)\n"
           "  serial:DEVICE[?baud=N&framing=adalight|tpm2]\n"
           "                                  a serial port, 8N1 (115200 baud, adalight)\n";
}

std::string SendOptions::help()
{
    return Mapping::help(Mapping::Use::sending) +
           "  --max-fps F             at most F frames a second (default 40)\n"
           "  --forward DIR           also pass every code on to the viewer serving DIR\n";
}

Sending::Sending(std::string toolName, const SendOptions& options, int edge)
    : name_(std::move(toolName)),
      destinations_(options.targets),
      shape_{static_cast<std::size_t>(edge) * edge * edge, options.mapping.ledsPerUniverse},
      wiring_(options.mapping.wiring(edge)),
      colour_(options.mapping.colour),
      slot_(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / options.maxFps))),
      forwardDir_(options.forwardDir),
      newest_(Table(shape_.leds, lFrame::kUnlit)),
      frame_(shape_.leds, lFrame::kUnlit),
      rgb_(wiring_.size() * kBytesPerPixel)
{
    // Everything that can refuse to start does so here, before the channel
    // is touched: the layout, the names of the hosts, the forwarding record.
    for (const Destination& destination : destinations_) {
        std::string error;
        auto target = openTarget(destination, shape_, error);
        if (!target)
            process::fail(error);
        targets_.push_back(std::move(target));
    }
    if (!forwardDir_.empty())
        forward_ = openForward(name_, forwardDir_);
}

Sending::~Sending()
{
    if (!sender_.joinable())
        return;
    stopping_.store(true, std::memory_order_relaxed);
    newest_.put([](Table&) {});  // wakes the sender
    sender_.join();
}

void Sending::start()
{
    if (targets_.empty())
        return;
    // On standard error, like the reports: under cubeplay standard output
    // belongs to the receiver that shows the frames.
    for (const Destination& destination : destinations_)
        std::fprintf(stderr, "%s: %s: %s\n", name_.c_str(), destination.text.c_str(),
                     describe(destination, shape_).c_str());
    sender_ = std::thread([this] { run(); });
}

void Sending::frame(const storeColor* shown)
{
    newest_.put([&](Table& table) { std::copy_n(shown, table.size(), table.begin()); });
}

// The animation waits while the viewer there is still busy with the last
// code, so that viewer paces it as if it drove it directly.
void Sending::code(uint8_t code, const uint8_t* record)
{
    if (!forward_)
        return;
    while (channel::loadStatus(forward_) != channel::kStatusIdle)
        std::this_thread::sleep_for(kForwardPoll);
    std::memcpy(forward_ + 1, record + 1, channel::kRecordSize - 1);
    channel::storeStatus(forward_, code);
}

void Sending::setBrightness(double brightness)
{
    brightness_.store(std::clamp(brightness, 0.0, 1.0), std::memory_order_relaxed);
    newest_.put([](Table&) {});  // the frame on show goes again, as bright as now asked
}

double Sending::brightness() const
{
    return brightness_.load(std::memory_order_relaxed);
}

std::vector<std::string> Sending::outputs() const
{
    std::vector<std::string> texts;
    for (const Destination& destination : destinations_)
        texts.push_back(destination.text);
    if (forward_)
        texts.push_back("forward " + forwardDir_);
    return texts;
}

// Takes the newest frame at each slot (at most --max-fps a second, and once
// a second when no release comes) and sends it to every target.
void Sending::run()
{
    Clock::time_point lastSent = Clock::now();
    sendFrame(lastSent);  // the cube starts dark, as the viewer starts unlit
    for (;;) {
        // Nothing new by the resend time: the frame on show goes again.
        const bool fresh = newest_.take(frame_, lastSent + kResendAfter);
        if (stopping_.load(std::memory_order_relaxed))
            return;
        if (fresh && Clock::now() < lastSent + slot_) {
            // Too soon after the last frame: the one on show when the slot
            // comes goes out, and the ones between are skipped.
            std::this_thread::sleep_until(lastSent + slot_);
            newest_.take(frame_, Clock::time_point{});
        }
        lastSent = Clock::now();
        sendFrame(lastSent);
    }
}

void Sending::sendFrame(Clock::time_point now)
{
    ColourCorrection colour = colour_;
    colour.brightness *= brightness_.load(std::memory_order_relaxed);
    toPixels(frame_.data(), wiring_, colour, rgb_.data());
    for (const auto& target : targets_) {
        target->encoder->encode(rgb_, target->packets);
        if (const auto said = target->report.update(target->name, target->link->send(target->packets), now))
            std::fprintf(stderr, "%s: %s\n", name_.c_str(), said->c_str());
    }
}

}  // namespace strip
