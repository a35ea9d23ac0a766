// Arbitrary bytes as the parts of a request that cubeweb checks itself: an
// Origin and a Host, an Authorization header, a Content-Type, and a path
// that may name a static file. Lines split the input into those parts. No
// path may name a file outside the folder it is served from.

#include "web/gate.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// A page folder with a file and a folder in it, and a file beside it that no
// path may reach.
const fs::path& pageFolder()
{
    static const fs::path folder = [] {
        char pattern[] = "/tmp/cubeweb-fuzz-XXXXXX";
        const fs::path top = mkdtemp(pattern);
        fs::create_directories(top / "page/js");
        std::ofstream(top / "page/index.html") << "page";
        std::ofstream(top / "page/js/app.js") << "app";
        std::ofstream(top / "secret") << "secret";
        return fs::canonical(top / "page");
    }();
    return folder;
}

std::string_view nextLine(std::string_view& text)
{
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    return line;
}

// A header's value without the blanks that HTTP allows round it.
std::string_view trimmed(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string_view origin = nextLine(input), host = nextLine(input);
    const std::string_view authorization = nextLine(input), type = nextLine(input);
    const std::string_view path = nextLine(input);

    // An origin that matches ends with the host, blanks round either and
    // case aside.
    const std::string_view bareHost = trimmed(host), bareOrigin = trimmed(origin);
    if (web::sameOrigin(origin, host) &&
        (bareHost.empty() || bareOrigin.size() <= bareHost.size() ||
         !std::equal(bareHost.rbegin(), bareHost.rend(), bareOrigin.rbegin(),
                     [](char a, char b) { return std::tolower(a) == std::tolower(b); })))
        std::abort();
    const std::string_view token = web::bearerToken(authorization);
    if (!token.empty() && !web::tokenMatches(token, token))
        std::abort();
    (void)web::isJson(type);
    (void)web::isLoopback(host);

    const fs::path file = web::staticFile(pageFolder(), path);
    if (!file.empty()) {
        const auto inside = std::mismatch(pageFolder().begin(), pageFolder().end(), file.begin(), file.end());
        if (inside.first != pageFolder().end() || !fs::is_regular_file(file))
            std::abort();
    }
    return 0;
}
