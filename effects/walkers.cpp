// Things that move step by step: a snake, and the game of life.

#include "effects/builtins.h"
#include "effects/drawing.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <deque>
#include <vector>

namespace ledcube::effects {

namespace {

struct Cell {
    int x, y, z;
    bool operator==(const Cell&) const = default;
    Cell operator+(const Cell& step) const { return {x + step.x, y + step.y, z + step.z}; }
};

constexpr std::array<Cell, 6> kSteps{{{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}}};

int distance(const Cell& a, const Cell& b)
{
    return std::abs(a.x - b.x) + std::abs(a.y - b.y) + std::abs(a.z - b.z);
}

// The snake weighs each free way on: going on as it goes, nearing the food,
// and a little chance; a way with no way out of it is the last resort. When
// no way is free, a new snake starts somewhere else.
class Snake : public lEffect {
public:
    void begin() override
    {
        const int n = edge();
        taken_.assign(static_cast<std::size_t>(n * n * n), false);
        restart();
    }

    void draw(lFrame& frame, double time) override
    {
        const auto steps = static_cast<long>(std::floor(time * speed));
        for (; step_ < steps; ++step_)
            advance();

        frame.clear();
        const auto last = static_cast<float>(std::max<std::size_t>(1, body_.size() - 1));
        for (std::size_t i = 0; i < body_.size(); ++i) {
            const float along = static_cast<float>(i) / last;
            const storeColor colour = colourOr(context().palette.at(along * kBodyPalette));
            frame.set(body_[i].x, body_[i].y, body_[i].z, scaled(colour, 1 - (1 - kTailLevel) * along));
        }
        const auto pulse = static_cast<float>((1 + std::cos(kTurn * kFoodPulses * time)) / 2);
        frame.set(food_.x, food_.y, food_.z, scaled(kFood, kFoodLow + (1 - kFoodLow) * pulse));
    }

private:
    static constexpr float kBodyPalette = 0.5f;  // of the palette, from head to tail
    static constexpr float kTailLevel = 0.15f;
    static constexpr storeColor kFood{1.0f, 1.0f, 1.0f};
    static constexpr float kFoodLow = 0.35f;
    static constexpr double kFoodPulses = 2.0;  // a second
    static constexpr float kLongestStart = 0.5f;  // of the cells
    static constexpr float kWander = 2.0f;
    static constexpr float kKeepOn = 1.0f;
    static constexpr float kSeek = 1.5f;
    static constexpr float kDeadEnd = 10.0f;
    static constexpr int kFoodTries = 32;

    bool inside(const Cell& c) const
    {
        const int n = edge();
        return c.x >= 0 && c.y >= 0 && c.z >= 0 && c.x < n && c.y < n && c.z < n;
    }
    std::size_t at(const Cell& c) const
    {
        const int n = edge();
        return static_cast<std::size_t>((c.x * n + c.y) * n + c.z);
    }
    bool free(const Cell& c) const { return inside(c) && !taken_[at(c)]; }
    int exits(const Cell& c) const
    {
        const auto open = [&](const Cell& s) { return free(c + s); };
        return static_cast<int>(std::count_if(kSteps.begin(), kSteps.end(), open));
    }

    void advance()
    {
        lRandom& random = context().random;
        const Cell head = body_.front();
        int best = -1;
        float bestScore = 0;
        for (int way = 0; way < static_cast<int>(kSteps.size()); ++way) {
            const Cell next = head + kSteps[static_cast<std::size_t>(way)];
            if (!free(next))
                continue;
            float score = random.uniform(0.0f, kWander);
            if (way == heading_)
                score += kKeepOn;
            if (distance(next, food_) < distance(head, food_))
                score += kSeek;
            if (next != food_ && exits(next) == 0)
                score -= kDeadEnd;
            if (best < 0 || score > bestScore) {
                best = way;
                bestScore = score;
            }
        }
        if (best < 0) {
            restart();
            return;
        }
        heading_ = best;
        const Cell next = head + kSteps[static_cast<std::size_t>(best)];
        body_.push_front(next);
        taken_[at(next)] = true;
        if (next == food_) {
            if (!placeFood())
                restart();
            return;
        }
        taken_[at(body_.back())] = false;
        body_.pop_back();
    }

    void restart()
    {
        lRandom& random = context().random;
        const int n = edge();
        std::fill(taken_.begin(), taken_.end(), false);
        body_.clear();
        const auto longest = static_cast<std::size_t>(static_cast<float>(taken_.size()) * kLongestStart);
        const std::size_t wanted = std::clamp<std::size_t>(static_cast<std::size_t>(std::lround(length)), 1, longest);
        // The body trails behind the head along a random walk.
        Cell cell{random.below(n), random.below(n), random.below(n)};
        while (true) {
            body_.push_back(cell);
            taken_[at(cell)] = true;
            if (body_.size() >= wanted)
                break;
            std::array<Cell, kSteps.size()> ways{};
            std::size_t count = 0;
            for (const Cell& s : kSteps)
                if (free(cell + s))
                    ways[count++] = cell + s;
            if (count == 0)
                break;
            cell = ways[static_cast<std::size_t>(random.below(static_cast<int>(count)))];
        }
        heading_ = random.below(static_cast<int>(kSteps.size()));
        if (body_.size() > 1)
            for (std::size_t way = 0; way < kSteps.size(); ++way)
                if (body_[1] + kSteps[way] == body_[0])
                    heading_ = static_cast<int>(way);
        placeFood();
    }

    // False when the snake fills the cube.
    bool placeFood()
    {
        lRandom& random = context().random;
        const int n = edge();
        const auto pick = [&] { return Cell{random.below(n), random.below(n), random.below(n)}; };
        for (int i = 0; i < kFoodTries; ++i) {
            food_ = pick();
            if (free(food_))
                return true;
        }
        // A crowded cube: the first free cell from a random one on.
        const auto cells = static_cast<int>(taken_.size());
        const int from = random.below(cells);
        for (int i = 0; i < cells; ++i) {
            const int c = (from + i) % cells;
            if (!taken_[static_cast<std::size_t>(c)]) {
                food_ = {c / (n * n), c / n % n, c % n};
                return true;
            }
        }
        return false;
    }

    const double& speed = setting("speed", 8, 0.5, 100, "steps a second");
    const double& length = setting("length", 4, 1, 100, "LEDs of the snake at the start, at most half the cube");
    std::vector<bool> taken_;
    std::deque<Cell> body_;  // the head first
    Cell food_{};
    int heading_ = 0;        // into kSteps
    long step_ = 0;
};

// Conway's game on the cube's cells, the faces wrapping round: a cell is born
// with exactly 5 of its 26 neighbours alive and lives on with 4 or 5. From a
// random fill that runs for some dozens of generations; once everything has
// died, or the cells have settled into a still or a short cycle, a new random
// fill starts.
class Life : public lEffect {
public:
    void begin() override
    {
        const auto cells = static_cast<std::size_t>(edge() * edge() * edge());
        age_.assign(cells, 0);
        alive_.assign(cells, 0);
        sums_[0].assign(cells, 0);
        sums_[1].assign(cells, 0);
        for (int age = 1; age <= kOldAge; ++age)
            colours_[static_cast<std::size_t>(age)] = colourOr(context().palette.at(
                kAgePalette * static_cast<float>(age - 1) / static_cast<float>(kOldAge - 1)));
        seed();
    }

    void draw(lFrame& frame, double time) override
    {
        const auto generations = static_cast<long>(std::floor(time * speed));
        for (; generation_ < generations; ++generation_)
            step();

        const int n = edge();
        frame.clear();
        for (std::size_t i = 0; i < age_.size(); ++i)
            if (age_[i] > 0) {
                const int c = static_cast<int>(i);
                frame.set(c / (n * n), c / n % n, c % n, colours_[std::min<std::size_t>(age_[i], kOldAge)]);
            }
    }

private:
    static constexpr int kBorn = 5;
    static constexpr int kFewestToLive = 4;
    static constexpr int kMostToLive = 5;
    static constexpr int kOldAge = 8;             // generations; older cells look alike
    static constexpr float kAgePalette = 0.75f;  // of the palette, from newborn to old
    static constexpr uint8_t kOldest = 255;
    static constexpr std::size_t kHistory = 12;   // the longest cycle that ends a run
    static constexpr int kLinger = 4;             // generations a settled run is shown
    static constexpr uint64_t kFnvOffsetBasis = 0xcbf29ce484222325ull;
    static constexpr uint64_t kFnvPrime = 0x100000001b3ull;

    void seed()
    {
        lRandom& random = context().random;
        for (uint8_t& a : age_)
            a = random.chance(static_cast<float>(density)) ? 1 : 0;
        seen_ = 0;
        lingering_ = 0;
    }

    // Each cell's own 3-wide sum along one axis (`stride` apart in the
    // table), the ends wrapping round.
    void sumAlong(const std::vector<uint8_t>& from, std::vector<uint8_t>& to, int stride) const
    {
        const int n = edge();
        const int wrap = (n - 1) * stride;
        for (int i = 0; i < static_cast<int>(from.size()); ++i) {
            const int along = i / stride % n;
            const int before = along == 0 ? i + wrap : i - stride;
            const int after = along == n - 1 ? i - wrap : i + stride;
            to[static_cast<std::size_t>(i)] = static_cast<uint8_t>(
                from[static_cast<std::size_t>(before)] + from[static_cast<std::size_t>(i)] +
                from[static_cast<std::size_t>(after)]);
        }
    }

    void step()
    {
        const int n = edge();
        for (std::size_t i = 0; i < age_.size(); ++i)
            alive_[i] = age_[i] > 0;
        // The 3 × 3 × 3 block round each cell, one axis at a time.
        sumAlong(alive_, sums_[0], 1);
        sumAlong(sums_[0], sums_[1], n);
        sumAlong(sums_[1], sums_[0], n * n);

        uint64_t hash = kFnvOffsetBasis;
        int population = 0;
        for (std::size_t i = 0; i < age_.size(); ++i) {
            const int neighbours = sums_[0][i] - alive_[i];
            uint8_t& age = age_[i];
            const bool lives = age > 0 ? neighbours >= kFewestToLive && neighbours <= kMostToLive : neighbours == kBorn;
            age = !lives ? 0 : age < kOldest ? static_cast<uint8_t>(age + 1) : kOldest;
            hash = (hash ^ (age > 0)) * kFnvPrime;
            population += age > 0;
        }

        if (population == 0) {
            seed();
        } else if (lingering_ > 0) {
            if (--lingering_ == 0)
                seed();
        } else {
            const std::size_t known = std::min(seen_, kHistory);
            if (std::find(history_.begin(), history_.begin() + static_cast<long>(known), hash) !=
                history_.begin() + static_cast<long>(known))
                lingering_ = kLinger;
            history_[seen_++ % kHistory] = hash;
        }
    }

    const double& speed = setting("speed", 4, 0.1, 60, "generations a second");
    const double& density = setting("density", 0.2, 0.01, 1, "share of the cells alive at the start");
    std::vector<uint8_t> age_;    // generations alive; 0 is dead
    std::vector<uint8_t> alive_;  // 1 or 0, to sum
    std::array<std::vector<uint8_t>, 2> sums_;
    std::array<storeColor, kOldAge + 1> colours_{};  // by age
    std::array<uint64_t, kHistory> history_{};        // the last generations' hashes
    std::size_t seen_ = 0;
    int lingering_ = 0;
    long generation_ = 0;
};

}  // namespace

std::unique_ptr<lEffect> snake()
{
    return std::make_unique<Snake>();
}

std::unique_ptr<lEffect> life()
{
    return std::make_unique<Life>();
}

}  // namespace ledcube::effects
