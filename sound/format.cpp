// Placeholder: being written.
#include "sound/format.h"

namespace ledcube::sound {

bool parseRawFormat(const std::string&, RawFormat&, std::string& error)
{
    error = "not yet read";
    return false;
}

int bytesPerSample(Encoding encoding)
{
    return encoding == Encoding::S16le ? 2 : 4;
}

void decode(Encoding, std::span<const unsigned char>, std::vector<float>&) {}

void mixDown(std::span<const float>, int, std::vector<float>&) {}

}  // namespace ledcube::sound
