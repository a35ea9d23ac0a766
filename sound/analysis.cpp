// Placeholder: being written.
#include "sound/analysis.h"

#include <cmath>

namespace ledcube::sound {

double bandLow(int i, int bands)
{
    return kLowestHz * std::pow(kHighestHz / kLowestHz, static_cast<double>(i) / bands);
}

struct Analyser::State {
    lSound sound;
    std::size_t window = 2048;
};

Analyser::Analyser(int, int bands, double) : state_(std::make_unique<State>())
{
    state_->sound.given = true;
    state_->sound.bands.assign(static_cast<std::size_t>(bands), 0.0f);
}

Analyser::~Analyser() = default;

std::size_t Analyser::windowSize() const
{
    return state_->window;
}

const lSound& Analyser::analyse(std::span<const float>, double)
{
    return state_->sound;
}

}  // namespace ledcube::sound
