#pragma once

// Call sequences shared by the scenario program (which makes the calls) and
// the tests (which predict what the channel must carry).

#include "lbox/lBox.h"

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace callmix {

struct Call {
    enum Kind : uint8_t { Write, Release, Clear, Reset } kind;
    bool keep = false;  // Release only
    uint32_t id = 0;    // Write only: numbers the writes from 0
};

// Each write carries its number in its coordinates and its red component
// (exact up to 2^24), so a lost, doubled or reordered write shows.
inline queueEntry entryFor(uint32_t id)
{
    return {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id >> 16),
            {static_cast<float>(id), 0.5f, 0.25f}};
}

inline uint32_t idOf(const queueEntry& entry)
{
    return static_cast<uint32_t>(entry.color.r);
}

// A reproducible random mix, mostly writes, with releases of both kinds,
// clears and queue resets in between.
// The event token of write `id`. Built by appending: GCC 12 at -O3 warns
// falsely (-Wrestrict) inside "literal" + std::string.
inline std::string writeEvent(uint32_t id)
{
    std::string event = "W";
    event += std::to_string(id);
    return event;
}

inline std::vector<Call> randomMix(uint32_t seed, std::size_t count)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> percent(0, 99);
    std::vector<Call> calls;
    uint32_t nextId = 0;
    while (calls.size() < count) {
        const int p = percent(random);
        if (p < 70)
            calls.push_back({Call::Write, false, nextId++});
        else if (p < 82)
            calls.push_back({Call::Release, percent(random) < 50, 0});
        else if (p < 92)
            calls.push_back({Call::Clear, false, 0});
        else
            calls.push_back({Call::Reset, false, 0});
    }
    return calls;
}

// What the reader must see for a call sequence, one token per write ("W<id>"),
// release ("R1" keep, "R0" no keep) and clear ("C"); a reset sends nothing.
inline std::vector<std::string> expectedEvents(const std::vector<Call>& calls)
{
    std::vector<std::string> events;
    for (const Call& call : calls) {
        switch (call.kind) {
        case Call::Write:
            events.push_back(writeEvent(call.id));
            break;
        case Call::Release:
            events.push_back(call.keep ? "R1" : "R0");
            break;
        case Call::Clear:
            events.push_back("C");
            break;
        case Call::Reset:
            break;
        }
    }
    return events;
}

inline void play(lBox* box, const std::vector<Call>& calls)
{
    for (const Call& call : calls) {
        switch (call.kind) {
        case Call::Write: {
            const queueEntry e = entryFor(call.id);
            box->autowrite(e.x, e.y, e.z, e.color);
            break;
        }
        case Call::Release:
            box->releaseFrame(call.keep);
            break;
        case Call::Clear:
            box->clear();
            break;
        case Call::Reset:
            box->clearSystem();
            break;
        }
    }
}

}  // namespace callmix
