// The real viewer (cubeview12, cubeview5) in a window on a private X server:
// driven with xdotool, fed through the frame channel, checked on screenshots.

#include "lbox/channel.h"
#include "testkit/support.h"
#include "testkit/xsession.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <functional>
#include <limits>
#include <numbers>
#include <optional>
#include <thread>

namespace {

using namespace std::chrono_literals;
using testsupport::RunDir;
using xsession::Image;
using xsession::Rgb;
using xsession::Viewer;
using xsession::Writer;
using xsession::XServer;

constexpr int kBigEdge = 12;
constexpr int kSmallEdge = 5;

constexpr storeColor kRed{1.0f, 0.0f, 0.0f};
constexpr storeColor kBlue{0.0f, 0.0f, 1.0f};

// ---- Where the viewer puts things: its camera, projection and cube frame.

using Vec = std::array<double, 3>;

struct Camera {
    double dist = 8.0;
    double phi = 25.0;
    double theta = 0.0;
    Vec pan{};
    double spin = 0.0;
};

constexpr double kNearPlane = 0.5;
constexpr double kHalfHeight = 0.23315f;  // the float the viewer uses
constexpr double kLedSpacing = 0.5;
constexpr double kLedHalfHeight = 0.1;  // the cylinder rises 0.2 from its place

Vec rotatedX(const Vec& v, double degrees)
{
    const double a = degrees * std::numbers::pi / 180.0;
    return {v[0], v[1] * std::cos(a) - v[2] * std::sin(a), v[1] * std::sin(a) + v[2] * std::cos(a)};
}

Vec rotatedY(const Vec& v, double degrees)
{
    const double a = degrees * std::numbers::pi / 180.0;
    return {v[0] * std::cos(a) + v[2] * std::sin(a), v[1], -v[0] * std::sin(a) + v[2] * std::cos(a)};
}

struct Point {
    double x;
    double y;
};

double distance(const Point& a, const Point& b)
{
    return std::hypot(a.x - b.x, a.y - b.y);
}

// Window coordinates (x to the right, y down, pixel centres at .5) of a
// point of the scene, the frame of the floor.
Point sceneToWindow(const Camera& cam, const Vec& scene, int width = Viewer::kWidth, int height = Viewer::kHeight)
{
    Vec v{scene[0] + cam.pan[0], scene[1] + cam.pan[1], scene[2] + cam.pan[2]};
    v = rotatedX(rotatedY(v, cam.theta), cam.phi);
    const double depth = cam.dist - v[2];
    const double halfWidth = double(width) / height * kHalfHeight;
    const double ndcX = kNearPlane * v[0] / depth / halfWidth;
    const double ndcY = kNearPlane * v[1] / depth / kHalfHeight;
    return {(ndcX + 1.0) / 2.0 * width, (1.0 - ndcY) / 2.0 * height};
}

// The centre of LED [x][y][z]'s cylinder: its place in the cube frame
// (z up, y away from the viewer, the centre LED at the origin), half the
// cylinder's height above it, spun and turned into the scene.
Point ledOnScreen(const Camera& cam, int edge, int x, int y, int z)
{
    const int c = edge / 2;
    const Vec cube{kLedSpacing * (x - c), kLedSpacing * (y - c), kLedSpacing * (z - c) + kLedHalfHeight};
    const Vec upright = rotatedX(cube, -90.0);
    return sceneToWindow(cam, rotatedX(rotatedY(upright, cam.spin), cam.spin));
}

// ---- What the pixels are.

bool isRed(Rgb p)
{
    return p.r >= 40 && p.g <= 10 && p.b <= 10;
}
bool isBlue(Rgb p)
{
    return p.b >= 40 && p.r <= 10 && p.g <= 10;
}
bool isText(Rgb p)
{
    return p.g >= 200 && p.r <= 10 && p.b <= 10;
}
bool isShadow(Rgb p)
{
    return p.g >= 15 && p.g <= 40 && p.r <= 10 && p.b <= 10;
}
bool isGrey(Rgb p)
{
    return p.r == p.g && p.g == p.b;
}
bool isBlack(Rgb p)
{
    return p == Rgb{};
}

// The lit unlit-grey floor: 0.3 grey under the default ambient light (0.2)
// plus the light (-1, 2, 3) falling on its upward normal.
const uint8_t kFloorGrey = static_cast<uint8_t>(255.0 * 0.3 * (0.2 + 2.0 / std::sqrt(14.0)));

struct Blob {
    int pixels = 0;
    Point centre{};
    int left = 0, right = 0, top = 0, bottom = 0;
    double leftMean = 0, rightMean = 0;  // brightness of the outer thirds
};

// Connected patches of pixels inside the window that `match` accepts; a few
// stray pixels where a patch is nearly hidden are not counted.
std::vector<Blob> blobs(const Image& image, const std::function<bool(Rgb)>& match)
{
    constexpr int kMinPixels = 12;
    const int w = Viewer::kWidth, h = Viewer::kHeight;
    std::vector<char> seen(std::size_t(w) * h, 0);
    std::vector<Blob> found;
    for (int y0 = 0; y0 < h; ++y0)
        for (int x0 = 0; x0 < w; ++x0) {
            if (seen[std::size_t(y0) * w + x0] || !match(image.at(x0, y0)))
                continue;
            std::vector<std::pair<int, int>> patch{{x0, y0}};
            seen[std::size_t(y0) * w + x0] = 1;
            for (std::size_t i = 0; i < patch.size(); ++i) {
                const auto [x, y] = patch[i];
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx) {
                        const int nx = x + dx, ny = y + dy;
                        if (nx < 0 || ny < 0 || nx >= w || ny >= h || seen[std::size_t(ny) * w + nx] ||
                            !match(image.at(nx, ny)))
                            continue;
                        seen[std::size_t(ny) * w + nx] = 1;
                        patch.emplace_back(nx, ny);
                    }
            }
            if (patch.size() < kMinPixels)
                continue;
            Blob b;
            b.pixels = int(patch.size());
            b.left = b.right = x0;
            b.top = b.bottom = y0;
            double sx = 0, sy = 0;
            for (auto [x, y] : patch) {
                sx += x + 0.5;
                sy += y + 0.5;
                b.left = std::min(b.left, x);
                b.right = std::max(b.right, x);
                b.top = std::min(b.top, y);
                b.bottom = std::max(b.bottom, y);
            }
            b.centre = {sx / b.pixels, sy / b.pixels};
            const int third = (b.right - b.left + 1) / 3;
            double l = 0, r = 0;
            int nl = 0, nr = 0;
            for (auto [x, y] : patch) {
                const Rgb p = image.at(x, y);
                const int level = std::max({p.r, p.g, p.b});
                if (x < b.left + third)
                    l += level, ++nl;
                else if (x > b.right - third)
                    r += level, ++nr;
            }
            b.leftMean = nl ? l / nl : 0;
            b.rightMean = nr ? r / nr : 0;
            found.push_back(b);
        }
    return found;
}

bool isLitGrey(Rgb p)
{
    return isGrey(p) && !isBlack(p);
}

int countPixels(const Image& image, int left, int top, int right, int bottom, bool (*match)(Rgb))
{
    int n = 0;
    for (int y = top; y < bottom; ++y)
        for (int x = left; x < right; ++x)
            n += match(image.at(x, y));
    return n;
}

// ---- The text overlay: line i has its baseline 20 (i + 1) pixels below the
// top, in the 9x15 font: letters reach 10 rows above the baseline row and
// descenders 3 rows below.

constexpr int kLineSpacing = 20;
constexpr int kTextX = 5;
constexpr int kGlyphWidth = 9;
constexpr int kAscent = 10;
constexpr int kDescent = 3;

int baselineRow(int line)
{
    return kLineSpacing * (line + 1) - 1;
}

struct TextLine {
    int top = -1, bottom = -1, left = -1, right = -1;
    bool empty() const { return top < 0; }
};

// The bright text pixels in the band of one line.
TextLine textLine(const Image& image, int line)
{
    TextLine t;
    for (int y = baselineRow(line) - kAscent - 2; y <= baselineRow(line) + kDescent + 1; ++y)
        for (int x = 0; x < Viewer::kWidth; ++x)
            if (isText(image.at(x, y))) {
                if (t.empty())
                    t = {y, y, x, x};
                t.bottom = y;
                t.left = std::min(t.left, x);
                t.right = std::max(t.right, x);
            }
    return t;
}

// Each text pixel casts its dark copy 2 pixels right and 2 down: every
// shadow pixel has its text pixel there, and every text pixel's copy shows
// unless text covers it.
bool shadowsMatch(const Image& image, int bottomRow)
{
    constexpr int kOffset = 2;
    int shadows = 0;
    for (int y = kOffset; y < bottomRow; ++y)
        for (int x = kOffset; x < Viewer::kWidth; ++x) {
            const Rgb p = image.at(x, y);
            if (isShadow(p)) {
                ++shadows;
                if (!isText(image.at(x - kOffset, y - kOffset)) && !isShadow(image.at(x - kOffset, y - kOffset)))
                    return false;
            }
            if (isText(image.at(x - kOffset, y - kOffset)) && !isShadow(p) && !isText(p))
                return false;
        }
    return shadows > 0;
}

const char* const kHelpLines[] = {"Rotate: left mouse drag",
                                  " Scale: right mouse drag up/down",
                                  "   Pan: middle mouse drag",
                                  "",
                                  "Toggle fullscreen: f",
                                  "Toggle animation: space",
                                  "Animation speed: a, z",
                                  "Quit: escape"};
constexpr const char* kPrompt = "Press F1 for help";

// The line's text from its first to its last glyph: leading blanks move the
// first glyph right by whole cells; a glyph leaves a column free on the left
// and does not reach the right edge of its cell.
void expectLineAt(const Image& image, int line, const std::string& text)
{
    SCOPED_TRACE("line " + std::to_string(line) + " \"" + text + "\"");
    const TextLine t = textLine(image, line);
    if (text.empty()) {
        EXPECT_TRUE(t.empty());
        return;
    }
    ASSERT_FALSE(t.empty());
    const int blanks = int(text.find_first_not_of(' '));
    EXPECT_EQ(t.left, kTextX + kGlyphWidth * blanks + 1);
    EXPECT_GT(t.right, kTextX + kGlyphWidth * (int(text.size()) - 1));
    EXPECT_LT(t.right, kTextX + kGlyphWidth * int(text.size()));
    EXPECT_GE(t.top, baselineRow(line) - kAscent);
    EXPECT_LE(t.bottom, baselineRow(line) + kDescent);
    // The letters stand on the baseline row; below it only a few
    // descenders reach.
    std::vector<int> perRow(t.bottom + 1, 0);
    for (int y = t.top; y <= t.bottom; ++y)
        for (int x = t.left; x <= t.right; ++x)
            perRow[y] += isText(image.at(x, y));
    const int busiest = *std::max_element(perRow.begin(), perRow.end());
    int standsOn = t.top;
    for (int y = t.top; y <= t.bottom; ++y)
        if (4 * perRow[y] >= busiest)
            standsOn = y;
    EXPECT_EQ(standsOn, baselineRow(line));
}

bool showsLines(const Image& image, int lines)
{
    for (int line = 0; line < lines; ++line)
        if (textLine(image, line).empty() && line != 3)
            return false;
    return textLine(image, lines).empty() && (lines == 1 || textLine(image, 3).empty());
}

// The cube is drawn and the prompt shows.
bool launched(const Image& image)
{
    constexpr int kSomeCylinders = 1000;
    return showsLines(image, 1) &&
           countPixels(image, 0, 0, Viewer::kWidth, Viewer::kHeight, isLitGrey) > kSomeCylinders;
}

// The window's part of a screenshot, outside the text box at the top left.
bool sameScene(const Image& a, const Image& b)
{
    constexpr int kTextBoxRight = 300, kTextBoxBottom = 170;
    for (int y = 0; y < Viewer::kHeight; ++y)
        for (int x = 0; x < Viewer::kWidth; ++x)
            if ((x >= kTextBoxRight || y >= kTextBoxBottom) && !(a.at(x, y) == b.at(x, y)))
                return false;
    return true;
}

bool sameWindow(const Image& a, const Image& b)
{
    for (int y = 0; y < Viewer::kHeight; ++y)
        for (int x = 0; x < Viewer::kWidth; ++x)
            if (!(a.at(x, y) == b.at(x, y)))
                return false;
    return true;
}

class ViewerTest : public ::testing::Test {
protected:
    void launch(int edge, const std::vector<std::string>& env = {})
    {
        viewer =
            std::make_unique<Viewer>(x, testsupport::binary("cubeview" + std::to_string(edge)), dir.root(), env);
    }

    // Screenshots until `accept` takes one; a failure leaves the last one
    // for a look.
    std::optional<Image> waitFor(const std::function<bool(const Image&)>& accept, const std::string& what)
    {
        Image image = x.waitForPicture(accept);
        if (accept(image))
            return image;
        const std::string path = std::filesystem::temp_directory_path() /
                                 (std::string("cubeview-") +
                                  ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".ppm");
        image.savePpm(path);
        ADD_FAILURE() << what << " did not show; last screenshot: " << path;
        return std::nullopt;
    }

    std::optional<Image> waitForLaunch() { return waitFor(launched, "the cube at launch"); }

    // The keys wait in the viewer's queue while it is stopped, so that it
    // takes them all before it draws again.
    void typeWhileStopped(const std::vector<std::string>& keys)
    {
        viewer->process().signal(SIGSTOP);
        viewer->key(keys);
        // A round trip: once the server answers, it has passed the keys on.
        x.xdotool({"getmouselocation"});
        viewer->process().signal(SIGCONT);
    }

    void drag(int button, int fromX, int fromY, int toX, int toY)
    {
        x.xdotool({"mousemove", std::to_string(fromX), std::to_string(fromY), "mousedown", std::to_string(button),
                   "mousemove", std::to_string(toX), std::to_string(toY), "mouseup", std::to_string(button)});
    }

    XServer x;
    RunDir dir;
    std::unique_ptr<Viewer> viewer;
};

TEST_F(ViewerTest, LaunchShowsUnlitUprightCubeAboveFloorWithPrompt)
{
    launch(kBigEdge);
    const auto shot = waitForLaunch();
    ASSERT_TRUE(shot);
    const Image& image = *shot;

    // Unlit cylinders, floor, black and the green text: nothing else.
    for (int y = 0; y < Viewer::kHeight; ++y)
        for (int x = 0; x < Viewer::kWidth; ++x) {
            const Rgb p = image.at(x, y);
            ASSERT_TRUE(isGrey(p) || isText(p) || isShadow(p)) << x << "," << y;
        }

    expectLineAt(image, 0, kPrompt);
    EXPECT_TRUE(shadowsMatch(image, 2 * kLineSpacing));

    // The floor lies at y = -5 and reaches 5 to either side.
    const Camera cam;
    for (const Vec& onFloor : {Vec{-4.6, -5, -4.6}, Vec{4.6, -5, -4.6}, Vec{-4.6, -5, 0}}) {
        const Point p = sceneToWindow(cam, onFloor);
        EXPECT_EQ(image.at(int(p.x), int(p.y)), (Rgb{kFloorGrey, kFloorGrey, kFloorGrey})) << p.x << "," << p.y;
    }

    // The LEDs of the front face, each a grey cylinder where the walk puts
    // it; the lowest layers and the top left corner lie outside the window.
    int inWindow = 0;
    for (int z = 0; z < kBigEdge; ++z)
        for (int led = 0; led < kBigEdge; ++led) {
            const Point p = ledOnScreen(cam, kBigEdge, led, 0, z);
            if (p.x < 0 || p.y < 0 || p.x >= Viewer::kWidth || p.y >= Viewer::kHeight)
                continue;
            ++inWindow;
            EXPECT_TRUE(isLitGrey(image.at(int(p.x), int(p.y)))) << "LED " << led << ",0," << z;
        }
    EXPECT_GT(inWindow, kBigEdge * kBigEdge / 2);
}

TEST_F(ViewerTest, ReleasedLedShowsWhereCameraAndWalkPutIt)
{
    launch(kBigEdge);
    ASSERT_TRUE(waitForLaunch());
    Writer writer(dir);
    const Camera cam;

    ASSERT_TRUE(writer.light(1, 0, 6, kRed));
    // A picture drawn after the record was taken in: the help shows.
    x.xdotool({"key", "F1"});
    const auto before = waitFor([](const Image& i) { return showsLines(i, 8); }, "the help text");
    ASSERT_TRUE(before);
    EXPECT_TRUE(blobs(*before, isRed).empty()) << "the LED showed before its frame was released";

    ASSERT_TRUE(writer.release());
    const auto shown = waitFor([](const Image& i) { return !blobs(i, isRed).empty(); }, "the red LED");
    ASSERT_TRUE(shown);
    const auto red = blobs(*shown, isRed);
    ASSERT_EQ(red.size(), 1u);
    const Point expected = ledOnScreen(cam, kBigEdge, 1, 0, 6);
    EXPECT_NEAR(expected.x, 93, 1);
    EXPECT_NEAR(expected.y, 445, 1);
    EXPECT_LT(distance(red[0].centre, expected), 1.5) << red[0].centre.x << "," << red[0].centre.y;
    // Lit from the left: the cylinder's left side is brighter than its right.
    EXPECT_GT(red[0].leftMean, red[0].rightMean + 20);

    // The next frame is built on the frame before last, which had no LED lit.
    ASSERT_TRUE(writer.light(10, 0, 6, kRed));
    ASSERT_TRUE(writer.release());
    const Point next = ledOnScreen(cam, kBigEdge, 10, 0, 6);
    EXPECT_NEAR(next.x, 646, 1);
    EXPECT_NEAR(next.y, 445, 1);
    const auto moved = waitFor(
        [&](const Image& i) {
            const auto b = blobs(i, isRed);
            return b.size() == 1 && distance(b[0].centre, next) < 1.5;
        },
        "the red LED alone at [10][0][6]");
    EXPECT_TRUE(moved);
}

// Every edge built besides the big one: the small cube, and any other.
class SmallCubeTest : public ViewerTest, public ::testing::WithParamInterface<int> {};

TEST_P(SmallCubeTest, DrawsEachLedInItsOwnPlace)
{
    const int edge = GetParam();
    launch(edge);
    ASSERT_TRUE(waitForLaunch());
    Writer writer(dir);
    const Camera cam;

    // Second from the left in the bottom front row, and the top front right
    // corner.
    const uint8_t far = static_cast<uint8_t>(edge - 1);
    ASSERT_TRUE(writer.light(1, 0, 0, kRed));
    ASSERT_TRUE(writer.light(far, 0, far, kBlue));
    ASSERT_TRUE(writer.release());
    const auto shot = waitFor([](const Image& i) { return !blobs(i, isRed).empty() && !blobs(i, isBlue).empty(); },
                              "the red and the blue LED");
    ASSERT_TRUE(shot);
    const auto red = blobs(*shot, isRed);
    const auto blue = blobs(*shot, isBlue);
    ASSERT_EQ(red.size(), 1u);
    ASSERT_EQ(blue.size(), 1u);
    EXPECT_LT(distance(red[0].centre, ledOnScreen(cam, edge, 1, 0, 0)), 1.5);
    EXPECT_LT(distance(blue[0].centre, ledOnScreen(cam, edge, far, 0, far)), 1.5);
}

constexpr int kOtherEdges[] = {CUBE_OTHER_EDGES};
INSTANTIATE_TEST_SUITE_P(BuiltEdges, SmallCubeTest, ::testing::ValuesIn(kOtherEdges));

TEST_F(ViewerTest, F1ShowsAndHidesTheHelpText)
{
    launch(kSmallEdge);
    const auto start = waitForLaunch();
    ASSERT_TRUE(start);

    x.xdotool({"key", "F1"});
    const auto help = waitFor([](const Image& i) { return showsLines(i, 8); }, "the help text");
    ASSERT_TRUE(help);
    for (int line = 0; line < 8; ++line)
        expectLineAt(*help, line, kHelpLines[line]);
    EXPECT_TRUE(textLine(*help, 8).empty());
    EXPECT_TRUE(shadowsMatch(*help, 9 * kLineSpacing));

    x.xdotool({"key", "F1"});
    const auto back = waitFor([&](const Image& i) { return sameWindow(i, *start); }, "the launch picture");
    EXPECT_TRUE(back);
}

TEST_F(ViewerTest, QAndEscapeEndTheViewerWithStatusZero)
{
    for (const std::string key : {"q", "Escape"}) {
        SCOPED_TRACE(key);
        launch(kSmallEdge);
        ASSERT_TRUE(waitForLaunch());
        x.xdotool({"key", key});
        const testsupport::Exit exit = viewer->process().wait(30s);
        EXPECT_EQ(exit.code, 0);
        EXPECT_EQ(exit.signal, 0);
        viewer.reset();
    }
}

TEST_F(ViewerTest, SpaceSpinsTheCubeAndSpaceAgainPrintsTheFrameRate)
{
    launch(kSmallEdge);
    const auto still = waitForLaunch();
    ASSERT_TRUE(still);

    x.xdotool({"key", "space"});
    ASSERT_TRUE(waitFor([&](const Image& i) { return !sameScene(i, *still); }, "the spinning cube"));
    x.xdotool({"key", "space"});
    ASSERT_TRUE(viewer->process().waitForOutput([](const std::string& out) { return !out.empty(); }));
    const std::string out = viewer->process().out();
    const auto rate = testsupport::printedRate(out);
    ASSERT_TRUE(rate) << out;
    EXPECT_GT(*rate, 0);

    // Stopped, the cube is drawn unspun at once.
    EXPECT_TRUE(waitFor([&](const Image& i) { return sameWindow(i, *still); }, "the unspun cube"));
}

TEST_F(ViewerTest, StopInTheStartingMillisecondPrintsRateZero)
{
    launch(kSmallEdge);
    ASSERT_TRUE(waitForLaunch());

    // Both presses wait while the viewer is stopped, so it handles them in one
    // go: no frame in between and, nearly always, no clock tick either.
    typeWhileStopped({"space", "space"});
    ASSERT_TRUE(viewer->process().waitForOutput([](const std::string& out) { return !out.empty(); }));
    EXPECT_EQ(viewer->process().out(), "framerate: 0.00 fps\n");

    x.xdotool({"key", "q"});
    EXPECT_EQ(viewer->process().wait(30s).code, 0);
}

// The spin turns the cube by 0.1 degree a frame at the slowest of its three
// speeds and by 2.5 degrees at the fastest. The first spun picture after the
// start tells them apart: LED [1][0][6] of the big cube moves about 10
// pixels a degree, and the first picture that differs from the still cube
// comes a frame or two after the start (a slow start would have to go
// unseen for a dozen frames to look fast).
class SpinSpeedTest : public ViewerTest {
protected:
    static constexpr double kHalfFastStep = 1.25;  // degrees

    // Launches the big cube with its one red LED and returns its still picture.
    std::optional<Image> launchWithRedLed()
    {
        launch(kBigEdge);
        if (!waitForLaunch())
            return std::nullopt;
        Writer writer(dir);
        if (!writer.light(1, 0, 6, kRed) || !writer.release())
            return std::nullopt;
        return waitFor([](const Image& i) { return blobs(i, isRed).size() == 1; }, "the red LED");
    }

    // Types `keys` in one go while the viewer is stopped, so that no frame is
    // drawn between them, and tells whether the first spun picture after
    // them moved the LED less than half a fast step would.
    std::optional<bool> startsSlowly(const Image& still, const std::vector<std::string>& keys)
    {
        typeWhileStopped(keys);
        const auto spun = waitFor([&](const Image& i) { return !sameScene(i, still); }, "the spinning cube");
        if (!spun)
            return std::nullopt;
        const auto from = blobs(still, isRed);
        const auto to = blobs(*spun, isRed);
        if (to.size() != 1)
            return false;  // turned out of sight: far more than a slow step
        Camera halfStep;
        halfStep.spin = kHalfFastStep;
        const double threshold =
            distance(ledOnScreen(Camera{}, kBigEdge, 1, 0, 6), ledOnScreen(halfStep, kBigEdge, 1, 0, 6));
        EXPECT_GT(threshold, 5.0);
        return distance(from[0].centre, to[0].centre) < threshold;
    }
};

TEST_F(SpinSpeedTest, SpeedUpKeyIsIgnoredWhileTheSpinIsOff)
{
    const auto still = launchWithRedLed();
    ASSERT_TRUE(still);
    EXPECT_EQ(startsSlowly(*still, {"a", "a", "space"}), true);
}

TEST_F(SpinSpeedTest, SpeedUpKeyActsWhileTheSpinIsOn)
{
    const auto still = launchWithRedLed();
    ASSERT_TRUE(still);
    EXPECT_EQ(startsSlowly(*still, {"space", "a", "a"}), false);
}

TEST_F(SpinSpeedTest, SlowDownKeyIsIgnoredWhileTheSpinIsOff)
{
    const auto still = launchWithRedLed();
    ASSERT_TRUE(still);
    EXPECT_EQ(startsSlowly(*still, {"space", "a", "a", "space", "z", "z", "space"}), false);
    // The stop in between printed its line (no frame was drawn in it).
    EXPECT_EQ(viewer->process().out(), "framerate: 0.00 fps\n");
}

TEST_F(SpinSpeedTest, SlowDownKeyActsWhileTheSpinIsOn)
{
    const auto still = launchWithRedLed();
    ASSERT_TRUE(still);
    EXPECT_EQ(startsSlowly(*still, {"space", "a", "a", "z", "z"}), true);
}

TEST_F(ViewerTest, MouseDragsTurnPanAndMoveTheCamera)
{
    launch(kBigEdge);
    ASSERT_TRUE(waitForLaunch());
    Writer writer(dir);
    ASSERT_TRUE(writer.light(3, 0, 6, kRed));
    ASSERT_TRUE(writer.light(9, 0, 6, kBlue));
    ASSERT_TRUE(writer.release());

    Camera cam;
    auto showsCamera = [&](const std::string& what) {
        const Point red = ledOnScreen(cam, kBigEdge, 3, 0, 6);
        const Point blue = ledOnScreen(cam, kBigEdge, 9, 0, 6);
        return waitFor(
            [&](const Image& i) {
                const auto r = blobs(i, isRed);
                const auto b = blobs(i, isBlue);
                return r.size() == 1 && b.size() == 1 && distance(r[0].centre, red) < 1.5 &&
                       distance(b[0].centre, blue) < 1.5;
            },
            what);
    };
    const auto start = showsCamera("the LEDs at launch");
    ASSERT_TRUE(start);
    const double apartAtStart = distance(blobs(*start, isRed)[0].centre, blobs(*start, isBlue)[0].centre);

    // Right button up 10 pixels: 1 nearer, so the cube is drawn larger.
    drag(3, 400, 300, 400, 290);
    cam.dist = 7.0;
    const auto nearer = showsCamera("the cube from nearer");
    ASSERT_TRUE(nearer);
    EXPECT_GT(distance(blobs(*nearer, isRed)[0].centre, blobs(*nearer, isBlue)[0].centre), apartAtStart * 1.1);

    // Left button 20 right and 10 up: azimuth 10, elevation 20.
    drag(1, 400, 300, 420, 290);
    cam.theta = 10.0;
    cam.phi = 20.0;
    ASSERT_TRUE(showsCamera("the turned cube"));

    // Middle button 30 left and 10 down: the scene follows the pointer, along
    // the screen's right and up directions in the scene.
    drag(2, 400, 300, 370, 310);
    const double theta = cam.theta * std::numbers::pi / 180.0;
    const double phi = cam.phi * std::numbers::pi / 180.0;
    const Vec right{std::cos(theta), 0.0, std::sin(theta)};
    const Vec up{std::sin(theta) * std::sin(phi), std::cos(phi), -std::cos(theta) * std::sin(phi)};
    for (int axis = 0; axis < 3; ++axis)
        cam.pan[axis] = 0.01 * (-30 * right[axis] - 10 * up[axis]);
    EXPECT_TRUE(showsCamera("the panned cube"));
}

TEST_F(ViewerTest, StaleRecordAtStartIsAnsweredAndNotShown)
{
    // Left over from an earlier run: a batch of three red LEDs.
    std::vector<uint8_t> stale(channel::kRecordSize, 0);
    for (std::size_t slot = 0; slot < channel::kMaxEntries; ++slot)
        channel::packEntry(stale.data(), slot, {uint8_t(slot), 0, 0, kRed});
    stale[0] = channel::kStatusBatchBase + channel::kMaxEntries;
    dir.writeRecordBytes(stale);

    launch(kSmallEdge);
    ASSERT_TRUE(waitForLaunch());
    Writer writer(dir);
    ASSERT_TRUE(writer.idle());
    ASSERT_TRUE(writer.light(4, 0, 4, kBlue));
    ASSERT_TRUE(writer.release());
    const auto shot = waitFor([](const Image& i) { return !blobs(i, isBlue).empty(); }, "the blue LED");
    ASSERT_TRUE(shot);
    EXPECT_TRUE(blobs(*shot, isRed).empty());
}

TEST_F(ViewerTest, UnusedKeysAndMouseButtonsChangeNothing)
{
    launch(kSmallEdge);
    const auto start = waitForLaunch();
    ASSERT_TRUE(start);

    // Upper-case letters, Return without Alt, other function keys; then the
    // buttons past the eighth (X numbers them from 1, the viewer from 0).
    viewer->key({"A", "F", "Q", "Z", "Return", "F2", "x"});
    x.xdotool({"mousemove", "400", "300", "click", "9", "click", "10"});
    // Handled in order: once the help shows, all of the above has been seen.
    x.xdotool({"key", "F1"});
    const auto help = waitFor([](const Image& i) { return showsLines(i, 8); }, "the help text");
    ASSERT_TRUE(help);
    EXPECT_TRUE(sameScene(*help, *start));
    EXPECT_TRUE(viewer->process().running());
    EXPECT_EQ(viewer->geometry(), "800x600");
    EXPECT_EQ(viewer->process().out(), "");
}

TEST_F(ViewerTest, MissingOrShortChannelFileEndsTheViewerBeforeDrawing)
{
    struct Case {
        std::string name;
        std::function<void()> prepare;
        std::string message;
    };
    const std::vector<Case> cases{
        {"missing", [&] { std::filesystem::remove(dir.recordPath()); },
         "unable to open shared_mem.txt Exiting: No such file or directory\n"},
        {"10 bytes", [&] { dir.writeRecordBytes(std::vector<uint8_t>(10, channel::kStatusIdle)); },
         "shared_buffer.txt is too short"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.prepare();
        testsupport::Process process({testsupport::binary("cubeview" + std::to_string(kBigEdge))},
                                     x.optionsIn(dir.root()));
        const testsupport::Exit exit = process.wait(30s);
        EXPECT_NE(exit.code, 0);
        EXPECT_EQ(exit.signal, 0);
        EXPECT_NE(process.err().find(c.message), std::string::npos) << process.err();
        EXPECT_EQ(process.out(), "");
    }
}

}  // namespace

// ---- Redraws: a frame costs more than a tick in software GL, so the viewer
// draws when its picture changes, and only then.

class RedrawTest : public ViewerTest {
protected:
    // The viewer with the display probe, which logs every frame it draws.
    std::optional<Image> launchLogged(int edge)
    {
        launch(edge, log.environment());
        return waitForLaunch();
    }

    std::size_t drawn() const { return log.frames().size(); }

    // Waits until the viewer has drawn nothing for a second, some thirty
    // ticks, and returns how many frames it had drawn by then.
    std::optional<std::size_t> settledCount()
    {
        constexpr auto kQuiet = 1s;
        const auto end = std::chrono::steady_clock::now() + 60s;
        std::size_t count = drawn();
        auto since = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(50ms);
            const std::size_t now = drawn();
            if (now != count) {
                count = now;
                since = std::chrono::steady_clock::now();
            } else if (std::chrono::steady_clock::now() - since >= kQuiet) {
                return count;
            }
        }
        ADD_FAILURE() << "the viewer kept drawing: " << count << " frames";
        return std::nullopt;
    }

    xsession::FrameLog log{dir.root()};
};

TEST_F(RedrawTest, IdleViewerDrawsOnlyWhenThePictureChanges)
{
    ASSERT_TRUE(launchLogged(kSmallEdge));
    const auto atLaunch = settledCount();
    ASSERT_TRUE(atLaunch);

    // A record changes the frame being built, not the one on show.
    Writer writer(dir);
    ASSERT_TRUE(writer.light(1, 0, 0, kRed));
    EXPECT_EQ(settledCount(), atLaunch);

    ASSERT_TRUE(writer.release());
    ASSERT_TRUE(waitFor([](const Image& i) { return blobs(i, isRed).size() == 1; }, "the red LED"));
    const auto released = settledCount();
    ASSERT_TRUE(released);
    EXPECT_GT(*released, *atLaunch);

    x.xdotool({"key", "F1"});
    ASSERT_TRUE(waitFor([](const Image& i) { return showsLines(i, 8); }, "the help text"));
    const auto help = settledCount();
    ASSERT_TRUE(help);
    EXPECT_GT(*help, *released);
}

TEST_F(RedrawTest, SpinKeepsDrawingAndItsRateLineCountsTheFramesDrawn)
{
    const auto still = launchLogged(kSmallEdge);
    ASSERT_TRUE(still);
    const auto settled = settledCount();
    ASSERT_TRUE(settled);
    const std::size_t before = *settled;

    constexpr std::size_t kSpunFrames = 20;
    x.xdotool({"key", "space"});
    const auto end = std::chrono::steady_clock::now() + 60s;
    while (drawn() < before + kSpunFrames && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(20ms);
    x.xdotool({"key", "space"});
    ASSERT_TRUE(viewer->process().waitForOutput([](const std::string& out) { return !out.empty(); }));
    const std::string out = viewer->process().out();
    const auto rate = testsupport::printedRate(out);
    ASSERT_TRUE(rate) << out;
    const long printed = *rate;
    ASSERT_TRUE(waitFor([&](const Image& i) { return sameWindow(i, *still); }, "the unspun cube"));

    // Every frame since the start was spun but the last, drawn for the stop.
    const auto stopped = settledCount();
    ASSERT_TRUE(stopped);
    const std::size_t after = *stopped;
    const auto frames = log.frames();
    ASSERT_GE(after, before + kSpunFrames + 1);
    const std::size_t spun = after - before - 1;
    // The spin ran at least from the start of its first frame to the end of
    // its last; the viewer's clock counts whole milliseconds.
    const xsession::DrawnFrame& first = frames[before];
    const xsession::DrawnFrame& last = frames[after - 2];
    const long shortestMs =
        long(std::chrono::duration_cast<std::chrono::milliseconds>(last.end - first.end + first.wall).count());
    ASSERT_GT(shortestMs, 0);
    EXPECT_GT(printed, 0);
    EXPECT_LE(printed, long(spun) * 100000 / shortestMs);
}

TEST_F(RedrawTest, WindowShownAgainIsDrawnAgain)
{
    const auto start = launchLogged(kSmallEdge);
    ASSERT_TRUE(start);
    const auto before = settledCount();
    ASSERT_TRUE(before);

    x.xdotool({"windowunmap", "--sync", viewer->window()});
    ASSERT_TRUE(waitFor([&](const Image& i) { return !sameWindow(i, *start); }, "the screen without the window"));
    x.xdotool({"windowmap", "--sync", viewer->window()});
    EXPECT_TRUE(waitFor([&](const Image& i) { return sameWindow(i, *start); }, "the cube drawn again"));
    EXPECT_GT(drawn(), *before);
}

TEST_F(RedrawTest, FullScreenIsDrawnAtOnce)
{
    ASSERT_TRUE(launchLogged(kSmallEdge));
    const auto before = settledCount();
    ASSERT_TRUE(before);

    // The screen has the window's shape: the picture grows to fill it, and
    // this corner of the floor comes to lie below the window's old edge.
    const Point corner = sceneToWindow(Camera{}, {3.5, -5, -1}, XServer::kScreenWidth, XServer::kScreenHeight);
    ASSERT_GT(corner.y, Viewer::kHeight);
    const Rgb floor{kFloorGrey, kFloorGrey, kFloorGrey};
    viewer->key({"f"});
    EXPECT_TRUE(waitFor(
        [&](const Image& i) { return i.at(int(corner.x), int(corner.y)) == floor && showsLines(i, 1); },
        "the full-screen picture"));
    EXPECT_GT(drawn(), *before);
}

TEST_F(RedrawTest, FKeyAndAltEnterToggleFullScreen)
{
    ASSERT_TRUE(launchLogged(kSmallEdge));
    const std::string windowed = std::to_string(Viewer::kWidth) + "x" + std::to_string(Viewer::kHeight);
    const std::string full = std::to_string(XServer::kScreenWidth) + "x" + std::to_string(XServer::kScreenHeight);
    EXPECT_EQ(viewer->geometry(), windowed);

    // Leaving full screen, freeglut sets the restored size once more on its
    // next pass, which undoes a toggle handled before that pass. No hand is
    // that quick, but a test on a busy machine is: so the viewer settles
    // between the keys.
    auto toggle = [&](const std::vector<std::string>& keys, const std::string& expected) {
        viewer->key(keys);
        const auto end = std::chrono::steady_clock::now() + 30s;
        while (viewer->geometry() != expected && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(20ms);
        settledCount();
        return viewer->geometry();
    };
    // Return without Alt does nothing: had it gone full screen, 'f' would
    // bring the window back.
    EXPECT_EQ(toggle({"Return", "f"}, full), full);
    EXPECT_EQ(toggle({"alt+Return"}, windowed), windowed);
    EXPECT_EQ(toggle({"alt+Return"}, full), full);
    EXPECT_EQ(toggle({"f"}, windowed), windowed);
}

// cubeplay with a display: the viewer for the edge serves the animation and
// stays open once it has ended, until the user quits it.
TEST(CubeplayWindow, ViewerStaysOpenAfterTheAnimationUntilQuit)
{
    XServer x;
    RunDir dir;
    // Without "12" the show plays its warm-up alone and ends within seconds.
    testsupport::Process play({testsupport::binary("cubeplay"), "--edge", "5", "--dir", dir.root() + "/play", "cubeshow"},
                              x.optionsIn(dir.root()));
    const std::string ended = "cubeplay: the animation has ended; the viewer stays open until you quit it (Escape or q).\n";
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (play.err() != ended && play.running() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(play.err(), ended);

    const std::string windows =
        x.xdotool({"search", "--sync", "--onlyvisible", "--name", "^Tavio Lumarix Using FreeGlut$"});
    ASSERT_EQ(testsupport::splitLines(windows).size(), 1u) << windows;
    EXPECT_TRUE(play.running());
    x.xdotool({"windowfocus", "--sync", testsupport::splitLines(windows)[0]});
    x.xdotool({"key", "q"});
    EXPECT_EQ(play.wait(30s).code, 0);
}
