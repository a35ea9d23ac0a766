#include "net/admission.h"

#include <algorithm>

namespace input {

bool RateLimit::allow(const std::string& key, Clock::time_point now)
{
    const auto known = last_.find(key);
    if (known != last_.end()) {
        if (now - known->second < interval_)
            return false;
        known->second = now;
        return true;
    }
    if (last_.size() >= capacity_)
        std::erase_if(last_, [&](const auto& entry) { return now - entry.second >= interval_; });
    if (last_.size() >= capacity_)
        return false;
    last_.emplace(key, now);
    return true;
}

std::optional<std::size_t> idlePlace(std::span<const Clock::time_point> lastHeard, Clock::time_point now,
                                     Clock::duration idle)
{
    const auto oldest = std::min_element(lastHeard.begin(), lastHeard.end());
    if (oldest == lastHeard.end() || now - *oldest < idle)
        return std::nullopt;
    return static_cast<std::size_t>(oldest - lastHeard.begin());
}

}  // namespace input
