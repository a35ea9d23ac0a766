// Rain: drops fall from the top layer to the floor of the cube and splash.
//
// Run it one directory below the viewer's working directory, which holds
// "shared_buffer.txt":   rain [edge] [frames]
//
// Every frame follows the same idiom:
//   clear()            start from a dark cube,
//   autowrite(...)     light the LEDs of this frame,
//   releaseFrame(...)  show it,
//   msSleep(...)       hold it for a moment.

#include <lBox.h>

#include <cstdlib>
#include <vector>

namespace {

constexpr unsigned long kFrameMs = 60;
constexpr int kDefaultFrames = 200;
constexpr int kNewDropsPerFrame = 2;

// z points up: z = 0 is the floor layer, z = edge - 1 the top.
struct Drop {
    uint8_t x, y, z;
};

}  // namespace

int main(int argc, char** argv)
{
    // The edge must match the viewer: 12 for cubeview12, 5 for cubeview5.
    const int edge = argc > 1 && std::atoi(argv[1]) == 5 ? 5 : 12;
    const int frames = argc > 2 ? std::atoi(argv[2]) : kDefaultFrames;

    // One handle per program; it opens "../shared_buffer.txt" on first use.
    lBox* cube = lBox::getInstance(edge, edge, edge);

    const storeColor water{0.2f, 0.5f, 1.0f};   // r, g, b from 0.0 to 1.0
    const storeColor splash{0.9f, 0.9f, 1.0f};
    std::vector<Drop> drops;
    std::srand(7);  // the same rain every run

    for (int frame = 0; frame < frames; ++frame) {
        for (int i = 0; i < kNewDropsPerFrame; ++i)
            drops.push_back({static_cast<uint8_t>(std::rand() % edge), static_cast<uint8_t>(std::rand() % edge),
                             static_cast<uint8_t>(edge - 1)});

        cube->clear();
        for (const Drop& d : drops)
            cube->autowrite(d.x, d.y, d.z, d.z == 0 ? splash : water);
        // false: show exactly what was written. true would also keep every
        // LED still lit in the frame on show, for trails.
        cube->releaseFrame(false);
        cube->msSleep(kFrameMs);

        // Drops that splashed are gone; the others fall one layer.
        std::erase_if(drops, [](const Drop& d) { return d.z == 0; });
        for (Drop& d : drops)
            --d.z;
    }

    // Leave the cube dark. A frame released last still goes out when the
    // program ends; writes that were never released would be dropped.
    cube->clear();
    cube->releaseFrame(false);
    return 0;
}
