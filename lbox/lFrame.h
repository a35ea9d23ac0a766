#pragma once

// Whole frames, for programs that think in pictures: draw the cube's next
// picture into an lFrame, and an lFrameWriter shows it through lBox with the
// fewest LED writes that the channel's double buffering allows.
//
//   lBox* cube = lBox::getInstance(8, 8, 8);
//   lFrame frame(8);
//   lFrameWriter writer(cube, 8);
//   for (int k = 0; k < 100; ++k) {
//       frame.clear();                                  // every LED off
//       frame.line(0, 0, 0, 7, 7, k % 8, {1, 0, 0});    // draw
//       writer.show(frame);                             // write and release
//       cube->msSleep(40);
//   }
//
// Coordinates are those of lBox: x left to right, y front to back, z up.
// Drawing outside the cube is allowed and draws nothing there.

#include "lBox.h"

#include <chrono>
#include <cstdint>
#include <vector>

// The picture of a cube of edge N: N × N × N colours, every LED off (black)
// at first.
class lFrame {
public:
    // An LED that is off. Any colour with no component above 0 is off.
    static constexpr storeColor kOff{0.0f, 0.0f, 0.0f};
    // The grey that the viewer draws an unlit LED in; the writer sends an
    // LED that is off as this, and cubesend sends it dark.
    static constexpr storeColor kUnlit{0.3f, 0.3f, 0.3f};
    static constexpr int kGlyphWidth = 5;
    static constexpr int kGlyphHeight = 7;

    explicit lFrame(int edge);

    int edge() const { return edge_; }
    bool contains(int x, int y, int z) const;
    static bool isOff(const storeColor& colour);

    // One LED; outside the cube, set and add do nothing and get gives kOff.
    void set(int x, int y, int z, storeColor colour);
    storeColor get(int x, int y, int z) const;
    // Adds to the colour there, each component at most 1: light that meets
    // mixes.
    void add(int x, int y, int z, storeColor colour);
    void fill(storeColor colour);
    void clear();
    // Every colour times `factor` (0 to 1): what is left of the last picture
    // fades, for trails.
    void dim(float factor);

    // A straight line of LEDs between two points, both ends included.
    void line(float x0, float y0, float z0, float x1, float y1, float z1, storeColor colour);
    // The LEDs within half an LED of the sphere's surface, or with `solid`
    // every LED inside it too.
    void sphere(float cx, float cy, float cz, float radius, storeColor colour, bool solid = false);
    enum class Box { Edges, Faces, Solid };
    // The box with corners (x0, y0, z0) and (x1, y1, z1), both included.
    void box(int x0, int y0, int z0, int x1, int y1, int z1, storeColor colour, Box style = Box::Edges);
    // Character `ch` of the built-in 5 × 7 font, upright in the plane
    // y = depth: its left column at x, its top row at z = top. Lower case is
    // drawn as upper case; a character the font lacks draws nothing.
    void character(char ch, int x, int top, int depth, storeColor colour);

    // The font: 7 rows of `ch`, the top one first, bit 4 of each the left
    // column; nullptr for a character that the font lacks.
    static const uint8_t* glyph(char ch);
    // A colour from hue (turns: 0 red, 1/3 green, 2/3 blue, 1 red again),
    // saturation and value, each 0 to 1; a hue that is no finite number is red.
    static storeColor hsv(float hue, float saturation, float value);

    // Every LED, [x][y][z] at (x × N + y) × N + z, as the viewer's tables.
    const std::vector<storeColor>& leds() const { return leds_; }
    int index(int x, int y, int z) const { return (x * edge_ + y) * edge_ + z; }

private:
    int edge_;
    std::vector<storeColor> leds_;
};

// Shows lFrames through an lBox. The channel's receiver builds each frame on
// top of the frame before last, so the writer keeps what the receiver's two
// tables hold and sends only the LEDs that the one being built lacks; when
// clearing it and writing every lit LED is fewer, it does that instead. A
// frame therefore costs at most min(LEDs changed since the frame before
// last, lit LEDs + 1 clear) and one release without keep.
//
// A receiver started (or restarted) while the program runs holds neither
// table that the writer thinks. So once a second (kWholeEvery) the writer
// forgets what the tables hold, and the next two frames go out whole, one
// into each table: cleared, and every lit LED written. Such a receiver shows
// the right picture within that second.
class lFrameWriter {
public:
    static constexpr std::chrono::milliseconds kWholeEvery{1000};

    lFrameWriter(lBox* box, int edge);

    // Shows `frame` and returns the LED writes sent, the clear not counted.
    // A frame of another edge than the writer's is cut to the cube, or lies
    // in its corner with the rest off.
    int show(const lFrame& frame);
    // For a program that holds a picture for long: once kWholeEvery has
    // passed, shows the last frame again, whole, into both tables.
    void refresh();
    // How often the writer forgets the receiver's tables; 0 never does, and
    // a frame goes out whole only until both are known.
    void setWholeEvery(std::chrono::milliseconds every) { wholeEvery_ = every; }
    // Whether the last frame went out whole (a clear, then every lit LED).
    bool lastWasWhole() const { return lastWhole_; }

private:
    using Clock = std::chrono::steady_clock;

    // Forgets the receiver's tables when kWholeEvery has passed; true then.
    bool forgetWhenDue();
    void send(bool whole);

    lBox* box_;
    int edge_;
    std::chrono::milliseconds wholeEvery_ = kWholeEvery;
    // The frame to show, as the receiver will hold it (an LED that is off in
    // the unlit grey), and what the receiver's two tables hold: building_ is
    // the one that the next frame is built in. Unknown until written whole.
    std::vector<storeColor> target_;
    std::vector<storeColor> tables_[2];
    bool known_[2] = {false, false};
    int building_ = 0;
    Clock::time_point forgotAt_{};
    bool lastWhole_ = false;
};
