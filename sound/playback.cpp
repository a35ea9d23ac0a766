// Placeholder: being written.
#include "sound/playback.h"

#include "sound/source.h"

namespace ledcube::sound {

struct Playback::State {};

Playback::Playback(const std::string& file, const std::string&)
{
    throw SoundError("cannot play '" + file + "': not yet written");
}

Playback::~Playback() = default;

}  // namespace ledcube::sound
