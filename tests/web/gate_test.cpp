// The checks every request to cubeweb passes, and the frame message, as
// functions with known values.

#include "lbox/lFrame.h"
#include "web/gate.h"
#include "web/live.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

TEST(SameOrigin, TakesOnlyThePageOfTheHostThatWasAsked)
{
    EXPECT_TRUE(web::sameOrigin("http://127.0.0.1:8080", "127.0.0.1:8080"));
    EXPECT_TRUE(web::sameOrigin("HTTP://Cube.Local:80", "cube.local:80"));
    EXPECT_TRUE(web::sameOrigin("https://[::1]:8080", "[::1]:8080"));
    EXPECT_FALSE(web::sameOrigin("http://127.0.0.1:8081", "127.0.0.1:8080"));
    EXPECT_FALSE(web::sameOrigin("http://evil.example", "127.0.0.1:8080"));
    EXPECT_FALSE(web::sameOrigin("http://127.0.0.1:8080.evil.example", "127.0.0.1:8080"));
    EXPECT_FALSE(web::sameOrigin("null", "127.0.0.1:8080"));
    EXPECT_FALSE(web::sameOrigin("file://", ""));
    EXPECT_FALSE(web::sameOrigin("http://", ""));
    EXPECT_FALSE(web::sameOrigin("http://a b", "a b"));
    EXPECT_FALSE(web::sameOrigin("ws://127.0.0.1:8080", "127.0.0.1:8080"));
}

TEST(Token, MatchesOnlyTheWholeToken)
{
    EXPECT_TRUE(web::tokenMatches("s3cret", "s3cret"));
    EXPECT_FALSE(web::tokenMatches("s3cre", "s3cret"));
    EXPECT_FALSE(web::tokenMatches("s3crets", "s3cret"));
    EXPECT_FALSE(web::tokenMatches("S3cret", "s3cret"));
    EXPECT_FALSE(web::tokenMatches("", "s3cret"));
    EXPECT_FALSE(web::tokenMatches("", ""));  // no token set is checked elsewhere, never as a match

    EXPECT_EQ(web::bearerToken("Bearer s3cret"), "s3cret");
    EXPECT_EQ(web::bearerToken("  bearer   s3cret "), "s3cret");
    EXPECT_EQ(web::bearerToken("Basic czNjcmV0"), "");
    EXPECT_EQ(web::bearerToken("Bearer "), "");
    EXPECT_EQ(web::bearerToken("s3cret"), "");
}

TEST(Token, MadeAtRandomAs32HexDigits)
{
    const std::string first = web::randomToken(), second = web::randomToken();
    EXPECT_EQ(first.size(), 32u);
    EXPECT_EQ(first.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(first, second);
}

TEST(Gate, TellsJsonBodiesAndLoopbackAddresses)
{
    EXPECT_TRUE(web::isJson("application/json"));
    EXPECT_TRUE(web::isJson("Application/JSON; charset=utf-8"));
    EXPECT_FALSE(web::isJson("text/plain"));
    EXPECT_FALSE(web::isJson("application/jsonp"));
    EXPECT_FALSE(web::isJson(""));

    EXPECT_TRUE(web::isLoopback("127.0.0.1"));
    EXPECT_TRUE(web::isLoopback("127.3.2.1"));
    EXPECT_TRUE(web::isLoopback("::1"));
    EXPECT_TRUE(web::isLoopback("localhost"));
    EXPECT_FALSE(web::isLoopback("0.0.0.0"));
    EXPECT_FALSE(web::isLoopback("192.168.1.5"));
    EXPECT_FALSE(web::isLoopback("::"));
}

class StaticFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/cubeweb-static-XXXXXX";
        top_ = mkdtemp(pattern);
        fs::create_directories(top_ / "page/js");
        std::ofstream(top_ / "page/index.html") << "<p>";
        std::ofstream(top_ / "page/js/app.js") << "x";
        std::ofstream(top_ / "secret.txt") << "no";
        fs::create_symlink(top_ / "secret.txt", top_ / "page/out.txt");
        fs::create_symlink("js/app.js", top_ / "page/in.js");
    }
    void TearDown() override { fs::remove_all(top_); }

    fs::path served(std::string_view path) const { return web::staticFile(top_ / "page", path); }

    fs::path top_;
};

TEST_F(StaticFiles, ServesFilesBelowThePageFolder)
{
    EXPECT_EQ(served("/index.html"), fs::canonical(top_ / "page/index.html"));
    EXPECT_EQ(served("/js/app.js"), fs::canonical(top_ / "page/js/app.js"));
    EXPECT_EQ(served("/in.js"), fs::canonical(top_ / "page/js/app.js"));  // a link that stays inside
}

TEST_F(StaticFiles, RefusesEverythingThatLeavesItOrIsNoFile)
{
    for (const char* path : {"/../secret.txt", "/js/../../secret.txt", "/./index.html", "//index.html", "/js/",
                             "/js", "/out.txt", "/missing.html", "index.html", "", "/js\\app.js"})
        EXPECT_EQ(served(path), fs::path{}) << path;
    EXPECT_EQ(served(std::string_view("/index.html\0.js", 15)), fs::path{});
}

TEST(MimeType, ByExtension)
{
    EXPECT_STREQ(web::mimeType("a/index.html"), "text/html; charset=utf-8");
    EXPECT_STREQ(web::mimeType("three.module.js"), "text/javascript; charset=utf-8");
    EXPECT_STREQ(web::mimeType("style.css"), "text/css; charset=utf-8");
    EXPECT_STREQ(web::mimeType("web.png"), "image/png");
    EXPECT_STREQ(web::mimeType("README"), "application/octet-stream");
}

TEST(FrameMessage, HeaderThenEveryLedInStripOrder)
{
    constexpr int kEdge = 3;
    std::vector<storeColor> table(kEdge * kEdge * kEdge, lFrame::kUnlit);
    const auto at = [&](int x, int y, int z) -> storeColor& { return table[(x * kEdge + y) * kEdge + z]; };
    at(1, 2, 0) = {1.0f, 0.5f, 0.0f};
    at(0, 0, 2) = {0.2f, 0.4f, 0.6f};
    at(2, 2, 2) = {2.0f, -1.0f, std::numeric_limits<float>::quiet_NaN()};
    std::vector<uint8_t> message;
    web::packFrame(table.data(), strip::axisWiring(kEdge, {0, 1, 2}, false), 0x01020304, 2, message);

    ASSERT_EQ(message.size(), 2 + web::kFrameHeaderSize + 27 * 3);
    const std::vector<uint8_t> header(message.begin() + 2, message.begin() + 8);
    EXPECT_EQ(header, (std::vector<uint8_t>{1, 3, 1, 2, 3, 4}));
    std::vector<uint8_t> rgb(27 * 3, 0);
    const auto put = [&](int x, int y, int z, std::vector<uint8_t> bytes) {
        std::copy(bytes.begin(), bytes.end(), rgb.begin() + 3 * (x + kEdge * (y + kEdge * z)));
    };
    put(1, 2, 0, {255, 128, 0});
    put(0, 0, 2, {51, 102, 153});
    put(2, 2, 2, {255, 0, 0});
    EXPECT_EQ(std::vector<uint8_t>(message.begin() + 8, message.end()), rgb);
}

TEST(Live, HandsTheNewestFrameOnceAndCountsFromZero)
{
    web::Live live(3);
    int woken = 0;
    live.onFrame = [&] { ++woken; };
    std::vector<uint8_t> out;
    EXPECT_EQ(live.newest(web::kNoFrame, 0, out), 0u);  // the unlit cube before any release
    EXPECT_EQ(out.size(), web::kFrameHeaderSize + 81);
    EXPECT_EQ(out[6], 0);

    std::vector<storeColor> table(27, storeColor{1.0f, 1.0f, 1.0f});
    live.shown(table.data());
    live.shown(table.data());
    EXPECT_EQ(woken, 2);
    out.clear();
    EXPECT_EQ(live.newest(0, 4, out), 2u);
    EXPECT_EQ(out.size(), 4 + web::kFrameHeaderSize + 81);
    EXPECT_EQ(out[4 + 5], 2);
    EXPECT_EQ(out[4 + 6], 255);
    out.clear();
    EXPECT_EQ(live.newest(2, 0, out), 2u);
    EXPECT_TRUE(out.empty());  // nothing newer
}

TEST(Live, BrightnessIsClampedAndPassedOn)
{
    web::Live live(3);
    double passed = -1;
    live.onBrightness = [&](double brightness) { passed = brightness; };
    live.setBrightness(0.25);
    EXPECT_EQ(passed, 0.25);
    live.setBrightness(7);
    EXPECT_EQ(live.brightness(), 1.0);
    EXPECT_EQ(passed, 1.0);
}

}  // namespace
