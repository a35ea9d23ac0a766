// A small animation program for the library tests: it plays one named
// scenario through lBox and reports what only it can see on standard output.
// It runs in its own process because each process has one lBox.

#include "lbox/channel.h"
#include "lbox/lBox.h"
#include "lbox/lFrame.h"
#include "tests/lbox/call_mix.h"
#include "tests/lbox/frame_sequence.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

namespace {

void say(const char* text)
{
    std::printf("%s\n", text);
    std::fflush(stdout);
}

// What lFrameWriter::show returned and whether the frame went out whole.
void report(int writes, const lFrameWriter& writer)
{
    std::printf("writes=%d whole=%d\n", writes, writer.lastWasWhole() ? 1 : 0);
    std::fflush(stdout);
}

void writeIds(lBox* box, uint32_t first, uint32_t count)
{
    for (uint32_t id = first; id < first + count; ++id) {
        const queueEntry e = callmix::entryFor(id);
        box->autowrite(e.x, e.y, e.z, e.color);
    }
}

// The library drops whatever is still unsent when the program ends, so each
// scenario ends with a clear and waits for the viewer's answer to it: by then
// every earlier code has been handled too.
void drain(lBox* box)
{
    box->clear();
    uint8_t* record = channel::mapRecord("../shared_buffer.txt", "unable to open shared_buffer.txt");
    while (channel::loadStatus(record) != channel::kStatusIdle) {
    }
}

unsigned long arg(int argc, char** argv, int i, unsigned long fallback)
{
    return i < argc ? std::strtoul(argv[i], nullptr, 10) : fallback;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string name = argc > 1 ? argv[1] : "";
    lBox* box = lBox::getInstance(5, 5, 5);

    if (name == "four-writes") {
        // The clear keeps the record busy until the test has seen "queued",
        // so all four writes are pending when the pusher next finds it idle.
        box->clear();
        box->autowrite(1, 2, 3, {1.0f, 0.0f, 0.0f});
        box->autowrite(4, 5, 6, {0.0f, 1.0f, 0.0f});
        box->autowrite(7, 8, 9, {0.0f, 0.0f, 1.0f});
        box->autowrite(10, 11, 12, {0.5f, 0.25f, 2.0f});
        say("queued");
        box->releaseFrame(false);
    } else if (name == "calls") {
        // calls <seed> <count>: a random mix of every operation.
        callmix::play(box, callmix::randomMix(static_cast<uint32_t>(arg(argc, argv, 2, 1)), arg(argc, argv, 3, 1000)));
        box->releaseFrame(false);
    } else if (name == "write-then-clear" || name == "clear-then-write") {
        const bool writeFirst = name == "write-then-clear";
        const uint32_t pairs = static_cast<uint32_t>(arg(argc, argv, 2, 1000));
        for (uint32_t id = 0; id < pairs; ++id) {
            if (writeFirst)
                writeIds(box, id, 1);
            box->clear();
            if (!writeFirst)
                writeIds(box, id, 1);
        }
        box->releaseFrame(false);
    } else if (name == "release-burst") {
        // Releases in quick succession, each followed at once by a write of
        // the next frame.
        const uint32_t rounds = static_cast<uint32_t>(arg(argc, argv, 2, 1000));
        for (uint32_t id = 0; id < rounds; ++id) {
            box->releaseFrame(id % 3 == 0);
            writeIds(box, id, 1);
        }
        box->releaseFrame(true);
    } else if (name == "full-queue") {
        // full-queue <extra>: fills the ring while the viewer is stalled.
        box->clear();
        writeIds(box, 0, lBox::kQueueSize);
        say("ring full");
        writeIds(box, lBox::kQueueSize, static_cast<uint32_t>(arg(argc, argv, 2, 10)));
        say("all queued");
        box->releaseFrame(false);
    } else if (name == "blocked") {
        // blocked <release|clear>: the test holds the viewer's answer to the
        // first clear, so the call after "waiting" cannot return until then.
        const std::string call = argc > 2 ? argv[2] : "";
        box->clear();
        if (call == "release")
            writeIds(box, 0, 1);
        say("waiting");
        if (call == "release")
            box->releaseFrame(false);
        else
            box->clear();
    } else if (name == "sizes") {
        lBox* again = lBox::getInstance(12, 12, 12);
        std::printf("same=%d sizes=%u,%u,%u,%u,%u write=%d\n", again == box, box->getSize(0), box->getSize(1),
                    box->getSize(2), box->getSize(3), box->getSize(255), box->write(1, 1, 1, {1.0f, 1.0f, 1.0f}));
        std::fflush(stdout);
        box->releaseFrame(true);
    } else if (name == "sleep") {
        const auto start = std::chrono::steady_clock::now();
        box->msSleep(arg(argc, argv, 2, 250));
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
        std::printf("slept_us=%lld\n", static_cast<long long>(us.count()));
        return 0;
    } else if (name == "stop-with-queue") {
        // Leaves a batch unhandled and more writes queued, then exits.
        writeIds(box, 0, 10);
        say("queued");
        box->msSleep(arg(argc, argv, 2, 100));
        return 0;
    } else if (name == "release-at-end") {
        // Asks for a release while the test holds the answer to a clear, and
        // ends at once.
        box->clear();
        box->releaseFrame(arg(argc, argv, 2, 0) != 0);
        say("released");
        return 0;
    } else if (name == "unfinished-frame") {
        // unfinished-frame <writes>: one long frame in blue over the cube of
        // edge 5 that is never released; the test kills the program while
        // the pusher still streams it.
        constexpr uint32_t kEdge = 5;
        const uint32_t writes = static_cast<uint32_t>(arg(argc, argv, 2, 30000));
        for (uint32_t i = 0; i < writes; ++i)
            box->autowrite(static_cast<uint8_t>(i / (kEdge * kEdge) % kEdge), static_cast<uint8_t>(i / kEdge % kEdge),
                           static_cast<uint8_t>(i % kEdge), {0.0f, 0.0f, 1.0f});
        say("queued");
        for (;;)
            box->msSleep(1000);
    } else if (name == "frames") {
        // The sequence through a writer that sends a frame whole only while
        // it does not know the receiver's tables.
        lFrameWriter writer(box, frames::kEdge);
        writer.setWholeEvery(std::chrono::milliseconds(0));
        for (int k = 0; k < frames::kSequenceLength; ++k)
            report(writer.show(frames::sequenceFrame(k)), writer);
    } else if (name == "other-edges") {
        // Frames of edges 3, 7 and 0 through a writer for the cube of edge 5.
        lFrameWriter writer(box, frames::kEdge);
        writer.setWholeEvery(std::chrono::milliseconds(0));
        for (std::size_t k = 0; k < std::size(frames::kOtherEdges); ++k) {
            lFrame frame(frames::kOtherEdges[k]);
            frames::drawOtherEdge(static_cast<int>(k), frame);
            report(writer.show(frame), writer);
        }
    } else if (name == "never-forget") {
        // With wholeEvery 0 a frame after more than kWholeEvery still goes
        // out as a difference, and refresh() sends nothing.
        lFrameWriter writer(box, frames::kEdge);
        writer.setWholeEvery(std::chrono::milliseconds(0));
        for (int k = 0; k < 2; ++k)
            report(writer.show(frames::numberedFrame(k)), writer);
        box->msSleep(static_cast<unsigned long>((lFrameWriter::kWholeEvery + lFrameWriter::kWholeEvery / 10).count()));
        writer.refresh();
        report(writer.show(frames::numberedFrame(2)), writer);
    } else if (name == "forget-tables") {
        // A period of a millisecond makes forgetting due at once; 0 keeps
        // the tables known until the next such frame.
        constexpr std::chrono::milliseconds kAtOnce{1};
        lFrameWriter writer(box, frames::kEdge);
        for (int k = 0; k < frames::kForgetLength; ++k) {
            writer.setWholeEvery(k == frames::kForgetAt ? kAtOnce : std::chrono::milliseconds(0));
            report(writer.show(frames::numberedFrame(k)), writer);
        }
        writer.setWholeEvery(kAtOnce);
        box->msSleep(2 * kAtOnce.count());
        writer.refresh();
    } else if (name == "numbered-frames") {
        // A frame every tenth of a second, with the writer's whole frames.
        lFrameWriter writer(box, frames::kEdge);
        for (int k = 0; k < frames::kNumberedLength; ++k) {
            writer.show(frames::numberedFrame(k));
            box->msSleep(100);
        }
    } else if (name == "idle") {
        return 0;
    } else {
        std::fprintf(stderr, "unknown scenario '%s'\n", name.c_str());
        return 2;
    }
    drain(box);
    return 0;
}
