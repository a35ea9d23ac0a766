#include "web/gate.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <stdexcept>
#include <sys/random.h>
#include <system_error>

namespace ledcube::web {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kTokenBytes = 16;

bool equalNoCase(std::string_view a, std::string_view b)
{
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// A host and port as a URL writes them: letters, digits, '.', '-', ':' and
// the brackets of an IPv6 address. Anything else makes an origin unusable.
bool plainHost(std::string_view host)
{
    return !host.empty() && std::ranges::all_of(host, [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':' || c == '[' || c == ']';
    });
}

bool safeSegment(std::string_view segment)
{
    return !segment.empty() && segment != "." && segment != ".." &&
           segment.find_first_of(std::string_view("\\\0", 2)) == std::string_view::npos;
}

}  // namespace

bool sameOrigin(std::string_view origin, std::string_view host)
{
    origin = trimmed(origin);
    host = trimmed(host);
    for (std::string_view scheme : {"http://", "https://"}) {
        if (origin.size() > scheme.size() && equalNoCase(origin.substr(0, scheme.size()), scheme)) {
            const std::string_view named = origin.substr(scheme.size());
            return plainHost(named) && plainHost(host) && equalNoCase(named, host);
        }
    }
    return false;
}

bool tokenMatches(std::string_view given, std::string_view token)
{
    unsigned char differ = given.size() == token.size() ? 0 : 1;
    for (std::size_t i = 0; i < given.size(); ++i)
        differ |= static_cast<unsigned char>(given[i] ^ (token.empty() ? 0 : token[i % token.size()]));
    return differ == 0 && !token.empty();
}

std::string_view bearerToken(std::string_view authorization)
{
    constexpr std::string_view kScheme = "Bearer ";
    authorization = trimmed(authorization);
    if (authorization.size() <= kScheme.size() || !equalNoCase(authorization.substr(0, kScheme.size()), kScheme))
        return {};
    return trimmed(authorization.substr(kScheme.size()));
}

bool isJson(std::string_view contentType)
{
    constexpr std::string_view kJson = "application/json";
    const std::string_view type = trimmed(contentType.substr(0, contentType.find(';')));
    return equalNoCase(type, kJson);
}

bool isLoopback(std::string_view address)
{
    return address == "localhost" || address == "::1" || address == "[::1]" || address.starts_with("127.");
}

std::string randomToken()
{
    std::array<unsigned char, kTokenBytes> bytes{};
    if (getrandom(bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
        throw std::system_error(errno, std::generic_category(), "cannot make a random token");
    std::string token;
    for (unsigned char byte : bytes) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", byte);
        token += hex;
    }
    return token;
}

fs::path staticFile(const fs::path& root, std::string_view path)
{
    if (!path.starts_with('/'))
        return {};
    path.remove_prefix(1);
    fs::path file = root;
    while (!path.empty()) {
        const std::size_t slash = path.find('/');
        const std::string_view segment = path.substr(0, slash);
        if (!safeSegment(segment))
            return {};
        file /= std::string(segment);
        path = slash == std::string_view::npos ? std::string_view{} : path.substr(slash + 1);
        if (slash != std::string_view::npos && path.empty())
            return {};  // "/dir/": no listing
    }
    std::error_code error;
    const fs::path real = fs::canonical(file, error);
    const fs::path realRoot = fs::canonical(root, error);
    if (error || !fs::is_regular_file(real, error))
        return {};
    return std::ranges::mismatch(realRoot, real).in1 == realRoot.end() ? real : fs::path{};
}

const char* mimeType(const fs::path& file)
{
    static constexpr std::pair<std::string_view, const char*> kTypes[] = {
        {".html", "text/html; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".json", "application/json"},
        {".png", "image/png"},
        {".svg", "image/svg+xml"},
        {".ico", "image/x-icon"},
    };
    const std::string extension = file.extension().string();
    for (const auto& [ending, type] : kTypes)
        if (extension == ending)
            return type;
    return "application/octet-stream";
}

}  // namespace ledcube::web
