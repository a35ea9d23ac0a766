#include "common/mapping.h"

#include "common/cli.h"
#include "common/process.h"

#include <array>

namespace strip {

bool Mapping::take(cli::Parser& args)
{
    if (const char* order = args.option("--wiring")) {
        std::array<int, kAxes> axes{};
        if (!parseAxisOrder(order, axes))
            args.fail(std::string("--wiring takes an order of the axes x, y and z, such as xyz or zyx, not ") +
                      cli::quoted(order));
        wiringOrder = order;
        wiringGiven = true;
    } else if (args.flag("--serpentine")) {
        serpentine = wiringGiven = true;
    } else if (const char* path = args.option("--layout")) {
        layoutPath = path;
    } else if (const char* gamma = args.option("--gamma")) {
        colour.gamma = args.number("--gamma", gamma, 0, kMaxGamma);
        if (colour.gamma == 0)
            args.fail("--gamma takes a number above 0, not " + cli::quoted(gamma));
    } else if (const char* brightness = args.option("--brightness")) {
        colour.brightness = args.number("--brightness", brightness, 0, 1);
    } else if (const char* leds = args.option("--leds-per-universe")) {
        ledsPerUniverse = static_cast<unsigned>(
            args.count("--leds-per-universe", leds, 1, kMaxLedsPerUniverse));
    } else {
        return false;
    }
    return true;
}

void Mapping::check(const cli::Parser& args) const
{
    if (!layoutPath.empty() && wiringGiven)
        args.fail("--layout gives the whole wiring: it takes no --wiring or --serpentine");
}

Wiring Mapping::wiring(int edge) const
{
    if (layoutPath.empty()) {
        std::array<int, kAxes> axes{};
        parseAxisOrder(wiringOrder, axes);
        return axisWiring(edge, axes, serpentine);
    }
    std::string error;
    Wiring wiring = loadLayout(edge, layoutPath, error);
    if (wiring.empty())
        process::fail(error, cli::kUsageStatus);
    return wiring;
}

std::string Mapping::help(Use use)
{
    std::string help = "  --wiring ORDER          the strip's order along the axes, fastest first: xyz\n"
                       "                          (default: x, then y, then the layers z), yxz, zyx...\n"
                       "  --serpentine            every other row runs backwards\n"
                       "  --layout FILE           the LED of each pixel, one 'x y z' line per pixel\n";
    help += use == Use::listening ? "  --gamma G               undo a sender's gamma G: byte b as (b/255)^(1/G)\n"
                                    "  --brightness B          undo a sender's brightness B, 0 to 1 (default 1)\n"
                                  : "  --gamma G               send each component c as c^G (default 1)\n"
                                    "  --brightness B          scale every component by B, 0 to 1 (default 1)\n";
    if (use != Use::exporting)
        help += "  --leds-per-universe N   E1.31, Art-Net: LEDs in each universe, 1 to 170\n"
                "                          (default 170)\n";
    return help;
}

}  // namespace strip
