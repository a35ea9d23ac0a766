// Placeholder: being written.
#include "sound/source.h"

namespace ledcube::sound {

std::unique_ptr<Source> open(const std::string& source, const RawFormat&, const std::string&)
{
    throw SoundError("cannot read sound from '" + source + "': not yet written");
}

bool isCapture(const std::string& source)
{
    return source == "capture" || source.starts_with("capture:");
}

std::string captureDevice(const std::string& source)
{
    return source == "capture" ? "default" : source.substr(source.find(':') + 1);
}

}  // namespace ledcube::sound
