#include "effects/lEffect.h"

#include "common/edges.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <utility>

namespace {

// splitmix64: a whole 64-bit state stepped by a constant and mixed; fast,
// and the same numbers on every machine.
constexpr uint64_t kGolden = 0x9e3779b97f4a7c15ull;
constexpr uint64_t kMix1 = 0xbf58476d1ce4e5b9ull;
constexpr uint64_t kMix2 = 0x94d049bb133111ebull;
constexpr float kTwoTo24 = 16777216.0f;
constexpr unsigned kFloatBits = 24;  // of a float's mantissa, so uniform() never rounds up to 1

const std::map<std::string, std::vector<storeColor>>& paletteStops()
{
    static const std::map<std::string, std::vector<storeColor>> stops = {
        {"rainbow", {{1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 1, 1}, {0, 0, 1}, {1, 0, 1}, {1, 0, 0}}},
        {"fire", {{0.1f, 0, 0}, {0.6f, 0, 0}, {1, 0.2f, 0}, {1, 0.6f, 0}, {1, 1, 0.3f}, {1, 1, 1}}},
        {"ice", {{1, 1, 1}, {0.6f, 0.9f, 1}, {0.2f, 0.5f, 1}, {0, 0.1f, 0.8f}, {0.6f, 0.9f, 1}, {1, 1, 1}}},
        {"ocean", {{0, 0.05f, 0.4f}, {0, 0.4f, 0.6f}, {0, 0.8f, 0.8f}, {0.4f, 1, 0.8f}, {0, 0.05f, 0.4f}}},
        {"forest", {{0, 0.25f, 0}, {0.1f, 0.6f, 0.1f}, {0.6f, 0.8f, 0.1f}, {0.4f, 0.25f, 0.05f}, {0, 0.25f, 0}}},
        {"candy", {{1, 0.3f, 0.6f}, {0.6f, 0.2f, 1}, {0.2f, 0.9f, 1}, {1, 1, 0.4f}, {1, 0.3f, 0.6f}}},
    };
    return stops;
}

}  // namespace

const int lMinEdge = cli::kMinEdge;
const int lMaxEdge = cli::kMaxEdge;
const int lDefaultEdge = cli::kDefaultEdge;

lRandom::lRandom(uint64_t seed) : state_(seed) {}

uint32_t lRandom::next()
{
    uint64_t z = (state_ += kGolden);
    z = (z ^ (z >> 30)) * kMix1;
    z = (z ^ (z >> 27)) * kMix2;
    return static_cast<uint32_t>((z ^ (z >> 31)) >> 32);
}

float lRandom::uniform()
{
    return static_cast<float>(next() >> (32 - kFloatBits)) / kTwoTo24;
}

float lRandom::uniform(float low, float high)
{
    return low + (high - low) * uniform();
}

int lRandom::below(int n)
{
    return n <= 0 ? 0 : static_cast<int>(next() % static_cast<uint32_t>(n));
}

bool lRandom::chance(float probability)
{
    return uniform() < probability;
}

const std::vector<std::string>& lPalette::names()
{
    static const std::vector<std::string> names = [] {
        std::vector<std::string> list{"rainbow"};
        for (const auto& [name, stops] : paletteStops())
            if (name != list.front())
                list.push_back(name);
        return list;
    }();
    return names;
}

bool lPalette::find(const std::string& name, lPalette& palette)
{
    const auto found = paletteStops().find(name);
    if (found == paletteStops().end())
        return false;
    palette.stops_ = found->second;
    return true;
}

lPalette::lPalette()
{
    find("rainbow", *this);
}

storeColor lPalette::at(float position) const
{
    const float wrapped = position - std::floor(position);
    const float along = wrapped * static_cast<float>(stops_.size() - 1);
    const std::size_t i = std::min(static_cast<std::size_t>(along), stops_.size() - 2);
    const float f = along - static_cast<float>(i);
    const storeColor& a = stops_[i];
    const storeColor& b = stops_[i + 1];
    return {a.r + (b.r - a.r) * f, a.g + (b.g - a.g) * f, a.b + (b.b - a.b) * f};
}

const double& lEffect::setting(const std::string& key, double initial, double min, double max,
                               const std::string& help)
{
    settings_.push_back({key, initial, min, max, help});
    return settings_.back().value;
}

bool lEffect::set(const std::string& key, const std::string& value, std::string& error)
{
    for (Setting& setting : settings_) {
        if (setting.key != key)
            continue;
        char* end = nullptr;
        const double number = std::strtod(value.c_str(), &end);
        if (value.empty() || *end != '\0' || !std::isfinite(number) || number < setting.min || number > setting.max) {
            char range[64];
            std::snprintf(range, sizeof range, "%g to %g", setting.min, setting.max);
            error = "takes a number from " + std::string(range) + ", not '" + value + "'";
            return false;
        }
        setting.value = number;
        return true;
    }
    std::string known;
    for (const Setting& setting : settings_)
        known += (known.empty() ? "" : ", ") + setting.key;
    error = "is not a setting" + (known.empty() ? std::string(" (it takes none)") : " (it takes " + known + ")");
    return false;
}

void lEffect::start(lEffectContext context)
{
    context_ = std::move(context);
    begin();
}

void lEffect::reactToSound()
{
    if (react_ == nullptr)
        react_ = &setting("react", 0, 0, 1, "how much the sound's level moves the brightness and the speed");
}

double lEffect::react() const
{
    return react_ == nullptr ? 0.0 : *react_;
}

const lSound& lEffect::sound() const
{
    static const lSound silence;
    return context_.sound == nullptr ? silence : *context_.sound;
}
