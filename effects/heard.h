#pragma once

// What the effects that follow the sound share: the bands spread over the
// cube's columns, bars as tall as their level, and the last frames' rows
// that run away to the back. Internal to the effects' library.

#include "effects/lEffect.h"

#include <cstddef>
#include <deque>
#include <vector>

namespace ledcube::effects {

// The level, 0 to 1, that column x of `columns` shows of `bands`. The bands
// are spread evenly over the columns, the lowest at x = 0: with fewer bands
// than columns a band is several columns wide, and with more each column
// shows the loudest of the bands that fall in it, so that no band goes
// unseen. Without bands, 0.
float columnLevel(const std::vector<float>& bands, int x, int columns);
// columnLevel for every column of a cube of `edge`.
std::vector<float> columnLevels(const lSound& sound, int edge);
// The LEDs that a bar of `level` (0 to 1) lights on a cube of `edge`:
// round(level × edge), the analysis being made for exactly that.
int barHeight(float level, int edge);

// A row of values for each of the last frames, the newest first: what an
// effect drew at y = 0 moves back one row a frame.
class History {
public:
    explicit History(std::size_t depth = 0) : depth_(depth) {}

    void push(std::vector<float> row);
    // The row `age` frames old; empty when there is none, or nothing was
    // heard then.
    const std::vector<float>& row(std::size_t age) const;

private:
    std::size_t depth_;
    std::deque<std::vector<float>> rows_;
};

}  // namespace ledcube::effects

namespace effects = ledcube::effects;
