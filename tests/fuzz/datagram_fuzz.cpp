// Every datagram decoder of the lighting protocols on the same bytes: none
// reads past them, and what one hands back lies within them.

#include "net/protocols.h"

#include <cstdlib>
#include <span>

namespace {

void expectWithin(std::span<const uint8_t> part, std::span<const uint8_t> whole)
{
    if (!part.empty() && (part.data() < whole.data() || part.data() + part.size() > whole.data() + whole.size()))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::span<const uint8_t> datagram(data, size);
    if (const auto e131 = strip::decodeE131(datagram))
        expectWithin(e131->slots, datagram);
    if (const auto artnet = strip::decodeArtNet(datagram)) {
        expectWithin(artnet->data, datagram);
        if (artnet->kind == strip::ArtNetPacket::Kind::Dmx && (artnet->data.size() % 2 != 0 || artnet->portAddress > 0x7fff))
            std::abort();
    }
    if (const auto ddp = strip::decodeDdp(datagram))
        expectWithin(ddp->pixels, datagram);
    return 0;
}
