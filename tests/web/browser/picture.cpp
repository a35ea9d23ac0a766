// A writer of the channel for the page's browser tests: it shows one known
// picture and holds it until it is stopped, as the toolkit's writers stop.
//
//   web_picture EDGE X,Y,Z=R,G,B ...     (R, G, B as bytes, 0 to 255)
//
// Every LED not named is off. "shown" on standard output says that the
// picture has been released.

#include "common/process.h"
#include "common/writer.h"
#include "lbox/lBox.h"
#include "lbox/lFrame.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr float kByteMax = 255.0f;
constexpr auto kHoldStep = std::chrono::milliseconds(100);

struct Led {
    int x = 0, y = 0, z = 0;
    storeColor colour{};
};

bool parseLed(const char* text, Led& led)
{
    unsigned r = 0, g = 0, b = 0;
    int end = 0;
    if (std::sscanf(text, "%d,%d,%d=%u,%u,%u%n", &led.x, &led.y, &led.z, &r, &g, &b, &end) != 6 || text[end] != '\0')
        return false;
    led.colour = {static_cast<float>(r) / kByteMax, static_cast<float>(g) / kByteMax, static_cast<float>(b) / kByteMax};
    return r <= kByteMax && g <= kByteMax && b <= kByteMax;
}

}  // namespace

int main(int argc, char** argv)
{
    const int edge = argc > 1 ? std::atoi(argv[1]) : 0;
    if (edge < 1) {
        std::fprintf(stderr, "usage: web_picture EDGE X,Y,Z=R,G,B ...\n");
        return 2;
    }
    lFrame frame(edge);
    for (int i = 2; i < argc; ++i) {
        Led led;
        if (!parseLed(argv[i], led)) {
            std::fprintf(stderr, "web_picture: not an LED and its colour: %s\n", argv[i]);
            return 2;
        }
        frame.set(led.x, led.y, led.z, led.colour);
    }

    return ledcube::process::run("web_picture", [&] {
        ledcube::writer::Guard guard("web_picture", edge, argc, argv);
        const auto side = static_cast<uint8_t>(edge);
        lFrameWriter writer(lBox::getInstance(side, side, side), edge);
        writer.show(frame);
        std::printf("shown\n");
        std::fflush(stdout);
        while (guard.sleepUntil(std::chrono::steady_clock::now() + kHoldStep))
            writer.refresh();
        return 0;
    });
}
