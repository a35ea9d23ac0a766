#include "effects/options.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <utility>

namespace ledcube::effects {

namespace {

constexpr float kByteLevels = 255.0f;
constexpr std::size_t kHexLength = 7;  // #rrggbb

const std::pair<const char*, storeColor> kColours[] = {
    {"red", {1, 0, 0}},        {"green", {0, 1, 0}},     {"blue", {0, 0, 1}},     {"white", {1, 1, 1}},
    {"yellow", {1, 1, 0}},     {"cyan", {0, 1, 1}},      {"magenta", {1, 0, 1}},  {"orange", {1, 0.45f, 0}},
    {"purple", {0.5f, 0, 1}},  {"pink", {1, 0.3f, 0.6f}},
};

}  // namespace

bool parseColour(const std::string& text, storeColor& out)
{
    for (const auto& [name, colour] : kColours) {
        if (text == name) {
            out = colour;
            return true;
        }
    }
    unsigned r = 0, g = 0, b = 0;
    int end = 0;
    if (text.size() == kHexLength && std::sscanf(text.c_str(), "#%2x%2x%2x%n", &r, &g, &b, &end) == 3 &&
        end == static_cast<int>(kHexLength)) {
        out = storeColor{r / kByteLevels, g / kByteLevels, b / kByteLevels};
        return true;
    }
    float c[3] = {};
    if (std::sscanf(text.c_str(), "%f,%f,%f%n", &c[0], &c[1], &c[2], &end) == 3 &&
        static_cast<std::size_t>(end) == text.size() &&
        std::all_of(std::begin(c), std::end(c), [](float v) { return v >= 0.0f && v <= 1.0f; })) {
        out = storeColor{c[0], c[1], c[2]};
        return true;
    }
    return false;
}

std::string colourForms()
{
    std::string names;
    for (const auto& [name, colour] : kColours)
        names += (names.empty() ? "" : ", ") + std::string(name);
    return "a colour name (" + names + "), #rrggbb or r,g,b from 0 to 1";
}

}  // namespace ledcube::effects
