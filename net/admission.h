#pragma once

// What cubelisten grants the senders it hears, since it hears any host by
// default: an answer to a poller at most once an interval, and the places
// of clients that have gone quiet for a new client. Time comes in as an
// argument, so that each rule can be tried on its own.

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <span>
#include <string>

namespace input {

using Clock = std::chrono::steady_clock;

// At most one event for each key in any `interval`: one set of ArtPollReplies
// for each poller's address. The keys of the last interval are kept, at most
// `capacity` of them; while that many have had their event, a new key waits
// until one of them is an interval old.
class RateLimit {
public:
    RateLimit(Clock::duration interval, std::size_t capacity) : interval_(interval), capacity_(capacity) {}

    // Whether the event for `key` at `now` goes; once it went, the next one
    // goes an interval later.
    bool allow(const std::string& key, Clock::time_point now);
    std::size_t remembered() const { return last_.size(); }

private:
    Clock::duration interval_;
    std::size_t capacity_;
    std::map<std::string, Clock::time_point> last_;  // each key's last event
};

// When every client place is taken: the place whose client, last heard at
// `lastHeard[i]`, has been silent longest, if that is `idle` or more by
// `now`; else none, and the new client is refused.
std::optional<std::size_t> idlePlace(std::span<const Clock::time_point> lastHeard, Clock::time_point now,
                                     Clock::duration idle);

}  // namespace input
