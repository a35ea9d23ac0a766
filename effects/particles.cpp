// Particles: rain, fireworks, bouncing balls, a starfield and lightning.

#include "effects/builtins.h"
#include "effects/drawing.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace ledcube::effects {

namespace {

// The time from one event of a steady random stream to the next, at `rate`
// events a second.
double nextGap(lRandom& random, double rate)
{
    return -std::log(1.0 - static_cast<double>(random.uniform())) / rate;
}

storeColor mixed(storeColor from, storeColor to, float share)
{
    return {from.r + (to.r - from.r) * share, from.g + (to.g - from.g) * share, from.b + (to.b - from.b) * share};
}

constexpr float kEvenChance = 0.5f;

// -1, 0 or 1, each as likely.
int wobble(lRandom& random)
{
    return random.below(3) - 1;
}

// Drops are born at random columns of the top layer, fall at a steady speed
// with a fading tail, and splash in a small ring on the floor.
class Rain : public lEffect {
public:
    void draw(lFrame& frame, double time) override
    {
        const int n = edge();
        // As many drops a second on the cube's floor as `drops` on a floor
        // of 8 × 8.
        const double rate = drops * n * n / kReferenceFloor;
        while (nextDrop_ <= time) {
            drops_.push_back({context().random.below(n), context().random.below(n), nextDrop_});
            nextDrop_ += nextGap(context().random, rate);
        }
        const double fallTime = n / speed;
        std::erase_if(drops_, [&](const Drop& d) { return time - d.born > fallTime + kSplashSeconds; });

        const storeColor water = colourOr(kWater);
        frame.clear();
        for (const Drop& d : drops_) {
            const double fallen = (time - d.born) * speed;
            const int head = n - 1 - static_cast<int>(fallen);
            const int tail = static_cast<int>(length);
            for (int i = 0; i < tail; ++i) {
                const float level = 1.0f - static_cast<float>(i) / static_cast<float>(tail);
                frame.set(d.x, d.y, head + i, {water.r * level, water.g * level, water.b * level});
            }
            if (head < 0) {
                // Landed: a ring that fades while it spreads.
                const float left = 1.0f - static_cast<float>((time - d.born - fallTime) / kSplashSeconds);
                const storeColor splash{kSplash.r * left, kSplash.g * left, kSplash.b * left};
                for (const auto& [dx, dy] : {std::pair{1, 0}, {-1, 0}, {0, 1}, {0, -1}})
                    frame.add(d.x + dx, d.y + dy, 0, splash);
            }
        }
    }

private:
    struct Drop {
        int x, y;
        double born;
    };
    static constexpr double kReferenceFloor = 64.0;
    static constexpr double kSplashSeconds = 0.15;
    static constexpr storeColor kWater{0.2f, 0.5f, 1.0f};
    static constexpr storeColor kSplash{0.6f, 0.8f, 1.0f};

    const double& drops = setting("drops", 24, 0.1, 1000, "drops a second on a floor of 8 x 8, scaled to the cube's");
    const double& speed = setting("speed", 10, 0.5, 100, "layers a drop falls a second");
    const double& length = setting("length", 3, 1, 16, "LEDs in a drop's tail");
    std::vector<Drop> drops_;
    double nextDrop_ = 0.0;
};

}  // namespace

std::unique_ptr<lEffect> rain()
{
    return std::make_unique<Rain>();
}


namespace {

// Rockets rise from the floor, slowing as they near their height, and burst
// into sparks. A spark flies out against the air's drag and falls under
// gravity, so where it is follows from its age alone.
class Fireworks : public lEffect {
public:
    void draw(lFrame& frame, double time) override
    {
        while (nextLaunch_ <= time) {
            launch(nextLaunch_);
            nextLaunch_ += nextGap(context().random, rate);
        }
        std::erase_if(rockets_, [&](const Rocket& r) { return time - r.burst > kLongestLife; });

        frame.clear();
        for (const Rocket& r : rockets_) {
            if (time < r.burst)
                drawRocket(frame, r, time);
            else
                drawSparks(frame, r, static_cast<float>(time - r.burst));
        }
    }

private:
    struct Spark {
        float vx, vy, vz;  // LEDs a second, at the burst
        float life;        // seconds
    };
    struct Rocket {
        float x, y, height;
        double launched, burst;
        storeColor colour;
        std::vector<Spark> sparks;
    };
    static constexpr float kMargin = 0.25f;  // of the edge, kept clear of the walls at launch
    static constexpr float kLowestBurst = 0.65f;
    static constexpr float kHighestBurst = 0.9f;
    static constexpr double kRiseSeconds = 0.8;
    static constexpr float kBurstReach = 0.4f;  // of the edge, before drag stops a spark
    static constexpr float kDrag = 2.5f;        // a second
    static constexpr int kSparksBase = 10;
    static constexpr int kSparksPerEdge = 3;
    static constexpr float kSlowestSpark = 0.6f;
    static constexpr float kShortestLife = 0.8f;
    static constexpr float kLongestLife = 1.5f;
    static constexpr float kHotSeconds = 0.25f;
    static constexpr float kTailSeconds = 0.07f;
    static constexpr float kTailLevel = 0.35f;
    static constexpr int kTrailDivisor = 5;
    static constexpr storeColor kRocket{1.0f, 0.85f, 0.6f};
    static constexpr storeColor kExhaust{1.0f, 0.4f, 0.05f};
    static constexpr storeColor kWhite{1.0f, 1.0f, 1.0f};

    void launch(double at)
    {
        lRandom& random = context().random;
        const int n = edge();
        const float top = static_cast<float>(n - 1);
        Rocket r;
        r.x = random.uniform(top * kMargin, top * (1 - kMargin));
        r.y = random.uniform(top * kMargin, top * (1 - kMargin));
        r.height = top * random.uniform(kLowestBurst, kHighestBurst);
        r.launched = at;
        r.burst = at + kRiseSeconds;
        r.colour = colourOr(context().palette.at(random.uniform()));
        // Drag brings a spark to rest after its starting speed / kDrag.
        const float fastest = kBurstReach * static_cast<float>(n) * kDrag;
        const int sparks = kSparksBase + kSparksPerEdge * n;
        for (int i = 0; i < sparks; ++i) {
            // A direction even over the sphere: the height uniform, the
            // bearing uniform.
            const float up = random.uniform(-1.0f, 1.0f);
            const float bearing = random.uniform(0.0f, static_cast<float>(kTurn));
            const float across = std::sqrt(1 - up * up);
            const float speed = fastest * random.uniform(kSlowestSpark, 1.0f);
            r.sparks.push_back({speed * across * std::cos(bearing), speed * across * std::sin(bearing), speed * up,
                                random.uniform(kShortestLife, kLongestLife)});
        }
        rockets_.push_back(std::move(r));
    }

    void drawRocket(lFrame& frame, const Rocket& r, double time) const
    {
        const float rise = static_cast<float>((time - r.launched) / kRiseSeconds);
        // Fast off the floor, slowing towards the top.
        const float z = r.height * (1 - (1 - rise) * (1 - rise));
        const int x = static_cast<int>(std::lround(r.x));
        const int y = static_cast<int>(std::lround(r.y));
        const int head = static_cast<int>(std::lround(z));
        frame.set(x, y, head, kRocket);
        const int trail = std::max(1, edge() / kTrailDivisor);
        for (int i = 1; i <= trail; ++i)
            frame.add(x, y, head - i, scaled(kExhaust, 1 - static_cast<float>(i) / static_cast<float>(trail + 1)));
    }

    void drawSparks(lFrame& frame, const Rocket& r, float age) const
    {
        const float fall = static_cast<float>(perEdge(gravity, edge())) / kDrag;
        for (const Spark& s : r.sparks) {
            if (age >= s.life)
                continue;
            const float left = 1 - age / s.life;
            // White hot at first, the burst's colour as it cools.
            const storeColor colour = scaled(mixed(kWhite, r.colour, std::min(1.0f, age / kHotSeconds)), left * left);
            const Led at = place(r, s, age, fall);
            frame.add(at.x, at.y, at.z, colour);
            if (age > kTailSeconds) {
                const Led behind = place(r, s, age - kTailSeconds, fall);
                if (behind.x != at.x || behind.y != at.y || behind.z != at.z)
                    frame.add(behind.x, behind.y, behind.z, scaled(colour, kTailLevel));
            }
        }
    }

    struct Led {
        int x, y, z;
    };

    // `fall` is the speed at which drag and gravity balance.
    static Led place(const Rocket& r, const Spark& s, float age, float fall)
    {
        const float out = (1 - std::exp(-kDrag * age)) / kDrag;
        const auto at = [](float v) { return static_cast<int>(std::lround(v)); };
        return {at(r.x + s.vx * out), at(r.y + s.vy * out), at(r.height + s.vz * out - fall * (age - out))};
    }

    const double& rate = setting("rate", 1.2, 0.1, 20, "rockets a second");
    const double& gravity = setting("gravity", 5, 0, 50, "LEDs a second squared on a cube of 8, scaled to the cube's");
    std::vector<Rocket> rockets_;
    double nextLaunch_ = 0.0;
};

// Balls fly in straight lines and bounce off the walls. Bouncing between two
// walls is a triangle wave on each axis, so a ball's place follows from the
// time alone. Their edges are soft, so that small balls glide from LED to LED
// rather than jump.
class Balls : public lEffect {
public:
    void begin() override
    {
        lRandom& random = context().random;
        const int balls = static_cast<int>(std::lround(count));
        for (int i = 0; i < balls; ++i) {
            Ball ball;
            float length = 0;
            for (std::size_t axis = 0; axis < kAxes; ++axis) {
                ball.start[axis] = random.uniform();
                // No axis too slow, or a ball would only slide along a wall.
                const float along = random.uniform(kSlowestAxis, 1.0f);
                ball.direction[axis] = random.chance(kEvenChance) ? along : -along;
                length += along * along;
            }
            for (float& d : ball.direction)
                d /= std::sqrt(length);
            ball.colour = colourOr(context().palette.at(static_cast<float>(i) / static_cast<float>(balls)));
            balls_.push_back(ball);
        }
    }

    void draw(lFrame& frame, double time) override
    {
        const int n = edge();
        const float radius = std::max(kSmallestRadius, static_cast<float>(n) * kRadiusShare);
        // The centre's travel: a ball touches a wall when its edge reaches
        // the outside of the LEDs there, half an LED beyond their centres.
        const float low = radius - kHalfLed;
        const float span = static_cast<float>(n - 1) - 2 * low;
        const double travelled = perEdge(speed, n) * time;
        frame.clear();
        for (const Ball& ball : balls_) {
            std::array<float, kAxes> centre{};
            for (std::size_t axis = 0; axis < kAxes; ++axis) {
                const double along = ball.start[axis] * 2 * span + ball.direction[axis] * travelled;
                const auto folded = static_cast<float>(along - 2 * span * std::floor(along / (2 * span)));
                centre[axis] = low + (folded < span ? folded : 2 * span - folded);
            }
            drawBall(frame, centre, radius, ball.colour);
        }
    }

private:
    static constexpr std::size_t kAxes = 3;
    static constexpr float kSlowestAxis = 0.35f;
    static constexpr float kRadiusShare = 1.0f / 8;  // of the edge
    static constexpr float kSmallestRadius = 0.5f;
    static constexpr float kHalfLed = 0.5f;
    static constexpr float kFaintest = 0.12f;  // dimmer than this stays off

    struct Ball {
        std::array<float, kAxes> start;      // where on its round trip, 0 to 1
        std::array<float, kAxes> direction;  // of length 1
        storeColor colour;
    };

    // Full within the radius, fading to nothing half an LED beyond it.
    static void drawBall(lFrame& frame, const std::array<float, kAxes>& c, float radius, storeColor colour)
    {
        const float reach = radius + kHalfLed;
        const auto from = [&](float v) { return static_cast<int>(std::floor(v - reach)); };
        const auto to = [&](float v) { return static_cast<int>(std::ceil(v + reach)); };
        for (int x = from(c[0]); x <= to(c[0]); ++x)
            for (int y = from(c[1]); y <= to(c[1]); ++y)
                for (int z = from(c[2]); z <= to(c[2]); ++z) {
                    const float dx = static_cast<float>(x) - c[0];
                    const float dy = static_cast<float>(y) - c[1];
                    const float dz = static_cast<float>(z) - c[2];
                    const float level = std::min(1.0f, (reach - std::sqrt(dx * dx + dy * dy + dz * dz)) / kHalfLed);
                    if (level > kFaintest)
                        frame.add(x, y, z, scaled(colour, level));
                }
    }

    const double& count = setting("count", 3, 1, 20, "balls");
    const double& speed =
        setting("speed", 6, 0.1, 100, "LEDs a ball flies a second on a cube of 8, scaled to the cube's");
    std::vector<Ball> balls_;
};

// Stars are born at random on the back face and fly to the front, faster and
// brighter as they come near. They fly between layers smoothly, their light
// shared between the two LEDs that they lie between.
class Stars : public lEffect {
public:
    void begin() override
    {
        // The field is full from the first frame: the first stars were born
        // a whole flight ago.
        nextBirth_ = -flightSeconds();
    }

    void draw(lFrame& frame, double time) override
    {
        const int n = edge();
        const double flight = flightSeconds();
        // As many stars in the cube at once as `stars` in a cube of 8, for
        // the cube's face.
        const double born = stars * n * n / (kReferenceEdge * kReferenceEdge) / flight;
        while (nextBirth_ <= time) {
            lRandom& random = context().random;
            const int x = random.below(n);
            const int z = random.below(n);
            const storeColor tint = kTints[static_cast<std::size_t>(random.below(static_cast<int>(kTints.size())))];
            stars_.push_back({x, z, nextBirth_, colourOr(tint)});
            nextBirth_ += nextGap(random, born);
        }
        const float back = static_cast<float>(n - 1);
        // Slow far away, fast close by, as things look when you fly.
        const auto depthOf = [&](const Star& s) {
            return back * (1 - std::pow(static_cast<float>((time - s.born) / flight), kApproach));
        };
        // Kept until a whole layer past the front, so that it leaves smoothly.
        std::erase_if(stars_, [&](const Star& s) { return depthOf(s) <= -1; });

        frame.clear();
        for (const Star& s : stars_) {
            const float depth = depthOf(s);
            const float near = std::clamp(1 - depth / back, 0.0f, 1.0f);
            const float level = kFarLevel + (1 - kFarLevel) * near * near;
            const float layer = std::floor(depth);
            const float share = depth - layer;
            const int y = static_cast<int>(layer);
            frame.add(s.x, y, s.z, scaled(s.colour, level * (1 - share)));
            frame.add(s.x, y + 1, s.z, scaled(s.colour, level * share));
            // Close stars streak.
            const int streak = static_cast<int>(near * near * static_cast<float>(n) * kStreakShare);
            for (int i = 1; i <= streak; ++i) {
                const float fading = 1 - static_cast<float>(i) / static_cast<float>(streak + 1);
                frame.add(s.x, y + 1 + i, s.z, scaled(s.colour, level * kStreakLevel * fading));
            }
        }
    }

private:
    struct Star {
        int x, z;
        double born;
        storeColor colour;
    };
    static constexpr float kApproach = 1.6f;
    static constexpr float kFarLevel = 0.25f;
    static constexpr float kStreakShare = 0.25f;  // of the edge, at the front
    static constexpr float kStreakLevel = 0.5f;
    static constexpr std::array<storeColor, 4> kTints{
        {{1.0f, 1.0f, 1.0f}, {0.7f, 0.8f, 1.0f}, {1.0f, 0.9f, 0.6f}, {0.9f, 0.95f, 1.0f}}};

    double flightSeconds() const { return kReferenceEdge / speed; }

    const double& stars =
        setting("stars", 20, 0.5, 500, "stars in the cube at once on a cube of 8, scaled to its face");
    const double& speed =
        setting("speed", 5, 0.2, 100, "layers a star flies a second on a cube of 8, scaled to the cube's");
    std::vector<Star> stars_;
    double nextBirth_ = 0.0;
};

// A bolt is a random walk from the top layer to the floor, one layer a step,
// with a few short branches, out of a dim cloud on the top layer. It grows
// downwards in a moment, flickers and fades, and its flash lights the whole
// cube faintly.
class Lightning : public lEffect {
public:
    void draw(lFrame& frame, double time) override
    {
        while (nextStrike_ <= time) {
            strike(nextStrike_);
            // Evenly spread round the mean, so that no wait is long.
            nextStrike_ += context().random.uniform(kShortestGap, 2 - kShortestGap) / rate;
        }
        std::erase_if(bolts_, [&](const Bolt& b) { return time - b.struck >= kStrikeSeconds; });

        float flash = 0;
        for (const Bolt& b : bolts_)
            flash += level(b, time);
        frame.fill(scaled(kSky, std::min(1.0f, flash)));
        drawCloud(frame, time);
        const storeColor colour = colourOr(kBolt);
        const float top = static_cast<float>(edge() - 1);
        for (const Bolt& b : bolts_) {
            const float brightness = level(b, time);
            // The leader comes down from the top layer first.
            const float reached = top - static_cast<float>((time - b.struck) / kLeaderSeconds) * top;
            for (const Point& p : b.path)
                if (static_cast<float>(p.z) >= reached)
                    frame.add(p.x, p.y, p.z, scaled(colour, brightness * p.level));
        }
    }

private:
    static constexpr int kFlickers = 9;
    static constexpr double kFlickerSeconds = 0.05;
    static constexpr double kStrikeSeconds = kFlickers * kFlickerSeconds;
    static constexpr double kLeaderSeconds = 0.06;
    static constexpr float kShortestGap = 0.5f;  // of the mean
    static constexpr std::size_t kFirstStroke = 2;  // flickers
    static constexpr float kStrokeChance = 0.55f;
    static constexpr float kWeakestStroke = 0.7f;
    static constexpr float kDarkestLull = 0.08f;
    static constexpr float kBrightestLull = 0.3f;
    static constexpr float kBranchChance = 0.2f;
    static constexpr float kBranchLevel = 0.45f;
    static constexpr float kBranchShare = 0.35f;  // of the edge, the longest branch
    static constexpr storeColor kBolt{0.75f, 0.85f, 1.0f};
    static constexpr storeColor kSky{0.05f, 0.06f, 0.16f};
    static constexpr storeColor kCloud{0.1f, 0.1f, 0.16f};
    static constexpr float kCloudLow = 0.3f;
    static constexpr float kCloudWave = 0.9f;   // a radian an LED
    static constexpr float kCloudDrift = 0.6f;  // radians a second
    static constexpr float kCloudSkew = 0.7f;

    struct Point {
        int x, y, z;
        float level;
    };
    struct Bolt {
        double struck;
        std::vector<Point> path;
        std::array<float, kFlickers> flicker;
    };

    // The storm cloud glowers on the top layer between strikes: two slow
    // waves that cross.
    void drawCloud(lFrame& frame, double time) const
    {
        const int n = edge();
        const auto t = static_cast<float>(time);
        for (int x = 0; x < n; ++x)
            for (int y = 0; y < n; ++y) {
                const float wave = std::sin(static_cast<float>(x) * kCloudWave + t * kCloudDrift) *
                                   std::sin(static_cast<float>(y) * kCloudWave - t * kCloudDrift * kCloudSkew);
                frame.add(x, y, n - 1, scaled(kCloud, kCloudLow + (1 - kCloudLow) * (1 + wave) / 2));
            }
    }

    static float level(const Bolt& b, double time)
    {
        const double age = time - b.struck;
        const int slot = std::min(kFlickers - 1, static_cast<int>(age / kFlickerSeconds));
        return b.flicker[static_cast<std::size_t>(slot)] * static_cast<float>(1 - age / kStrikeSeconds);
    }

    void strike(double at)
    {
        lRandom& random = context().random;
        const int n = edge();
        const auto step = [&](int v) { return std::clamp(v + wobble(random), 0, n - 1); };
        Bolt b{at, {}, {}};
        int x = random.below(n), y = random.below(n);
        for (int z = n - 1; z >= 0; --z) {
            b.path.push_back({x, y, z, 1.0f});
            if (z > 1 && random.chance(kBranchChance)) {
                // A branch leans away to one side and dies out above the floor.
                const int dx = wobble(random);
                const int dy = dx == 0 ? (random.chance(kEvenChance) ? 1 : -1) : wobble(random);
                const int longest = std::max(1, static_cast<int>(static_cast<float>(n) * kBranchShare));
                const int length = 1 + random.below(longest);
                int bx = x, by = y;
                for (int i = 1; i <= length && z - i > 0; ++i) {
                    bx += random.chance(kEvenChance) ? dx : 0;
                    by += random.chance(kEvenChance) ? dy : 0;
                    b.path.push_back({bx, by, z - i, kBranchLevel});
                }
            }
            x = step(x);
            y = step(y);
        }
        // The first stroke at full strength, then strokes again and lulls.
        for (std::size_t i = 0; i < b.flicker.size(); ++i) {
            const bool stroke = i < kFirstStroke || random.chance(kStrokeChance);
            b.flicker[i] = stroke ? random.uniform(kWeakestStroke, 1.0f) : random.uniform(kDarkestLull, kBrightestLull);
        }
        bolts_.push_back(std::move(b));
    }

    const double& rate = setting("rate", 1.2, 0.1, 20, "strikes a second");
    std::vector<Bolt> bolts_;
    double nextStrike_ = 0.0;
};

}  // namespace

std::unique_ptr<lEffect> fireworks()
{
    return std::make_unique<Fireworks>();
}

std::unique_ptr<lEffect> balls()
{
    return std::make_unique<Balls>();
}

std::unique_ptr<lEffect> stars()
{
    return std::make_unique<Stars>();
}

std::unique_ptr<lEffect> lightning()
{
    return std::make_unique<Lightning>();
}

}  // namespace ledcube::effects
