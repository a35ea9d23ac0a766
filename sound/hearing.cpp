#include "sound/hearing.h"

namespace ledcube::sound {

Hearing::Hearing(std::unique_ptr<Source> source, int bands, double gateDb, double offsetSeconds)
    : source_(std::move(source)), analyser_(source_->rate(), bands, gateDb), offset_(offsetSeconds),
      window_(analyser_.windowSize())
{
}

const lSound& Hearing::at(double time)
{
    const double heard = time - offset_;
    source_->window(heard, window_);
    return analyser_.analyse(window_, heard);
}

bool Hearing::endedBefore(double time)
{
    return source_->endedBefore(time - offset_);
}

std::optional<double> Hearing::length() const
{
    const std::optional<double> sound = source_->length();
    if (!sound)
        return std::nullopt;
    return *sound + offset_;
}

}  // namespace ledcube::sound
