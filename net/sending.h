#pragma once

// The sending side of a receiver that lights real LEDs: the frames it shows
// go to LED controllers (net/targets.h), at most --max-fps a second and again
// once a second while nothing new comes, and with --forward every code goes
// on to a viewer in another directory. cubesend is this alone; cubeweb sends
// with the same code beside its page. It knows no cube edge at build time:
// the edge comes at run time, the tables as edge³ colours.
//
//   strip::SendOptions send;
//   while (args.next()) {
//       if (send.take(args)) {
//       } else if (args.positional()) { send.takeTarget(args, args.current());
//       } else ...
//   }
//   send.check(args, edge);
//   strip::Sending sending(name, send, edge);   // refuses to start here
//   ... start the receiver, whose hooks call sending.code() and sending.frame()
//   sending.start();

#include "common/mapping.h"
#include "common/mailbox.h"
#include "net/targets.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace strip {

// Where the frames go and how: the targets, the wiring and colour options,
// --max-fps and --forward.
struct SendOptions {
    static constexpr double kDefaultMaxFps = 40;
    static constexpr double kMaxMaxFps = 1000;

    std::vector<Destination> targets;
    Mapping mapping;
    double maxFps = kDefaultMaxFps;
    std::string forwardDir;  // empty: no --forward

    // Takes the parser's current argument when it is one of the options
    // (not a target: a tool takes those as it names them).
    bool take(cli::Parser& args);
    // Adds the target that `text` names; a usage error when it names none.
    void takeTarget(const cli::Parser& args, const char* text);
    // Once the command line is read: the mapping's options go together and
    // every target's universes fit a cube of `edge`.
    void check(const cli::Parser& args, int edge) const;
    // The lines of --help: the targets' forms, and the options.
    static std::string targetsHelp();
    static std::string help();
};

// Sends what a receiver shows. The receiver thread calls code() and frame();
// a thread of its own sends, once start() has been called.
class Sending {
public:
    // Opens the targets and the --forward record; fails (process::fail) when
    // one cannot serve, before anything is sent.
    Sending(std::string toolName, const SendOptions& options, int edge);
    ~Sending();
    Sending(const Sending&) = delete;
    Sending& operator=(const Sending&) = delete;

    // Once the channel serves: says on standard error how each target is
    // sent to and starts sending, the cube dark first. Nothing without a
    // target.
    void start();
    // The receiver thread, at each release: `shown` holds edge³ colours.
    void frame(const storeColor* shown);
    // The receiver thread, for every code before it acts on it: --forward
    // passes it on, waiting while the viewer there is busy. Nothing without.
    void code(uint8_t code, const uint8_t* record);
    bool forwards() const { return forward_ != nullptr; }
    // Any thread: scales every target's bytes, on top of --brightness; the
    // frame on show goes again at the next slot.
    void setBrightness(double brightness);
    double brightness() const;
    // The targets as given, and "forward DIR".
    std::vector<std::string> outputs() const;

private:
    using Table = std::vector<storeColor>;
    using Clock = std::chrono::steady_clock;

    void run();
    void sendFrame(Clock::time_point now);

    std::string name_;
    std::vector<Destination> destinations_;
    FrameShape shape_;
    Wiring wiring_;
    ColourCorrection colour_;
    Clock::duration slot_;
    std::string forwardDir_;
    uint8_t* forward_ = nullptr;
    std::vector<std::unique_ptr<strip::Target>> targets_;
    Mailbox<Table> newest_;
    Table frame_;
    std::vector<uint8_t> rgb_;
    // Written by any thread (cubeweb's API), read by the sender thread at
    // each frame: relaxed, as it is one number that goes with no other data
    // and a frame sent with the value before is as right as one sent after.
    std::atomic<double> brightness_{1.0};
    // Written by the destructor, which then wakes the sender through the
    // mailbox; read by the sender after each take: relaxed, as the
    // mailbox's lock orders the two.
    std::atomic<bool> stopping_{false};
    std::thread sender_;
};

}  // namespace strip
