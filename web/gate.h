#pragma once

// The checks every request to cubeweb passes before it reaches the API or a
// file: the token, the origin, the body's size and type, and the static
// file a path may name. cubeweb controls a cube and must not be a way into
// the machine; these are kept apart from the server so that they are tested
// and fuzzed alone.

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace ledcube::web {

inline constexpr std::size_t kMaxBody = 64 * 1024;

// Whether `origin`, an Origin header, names the host that the request was
// sent to (its Host header): http or https, the same host and port, case
// aside. "null" and anything malformed do not.
bool sameOrigin(std::string_view origin, std::string_view host);

// Whether `given` is `token`, taking as long whatever the first byte that
// differs, so that the time of an answer gives nothing away.
bool tokenMatches(std::string_view given, std::string_view token);

// The token of an Authorization header, "Bearer TOKEN"; empty for any other.
std::string_view bearerToken(std::string_view authorization);

// Whether a Content-Type header says JSON: application/json, with or
// without parameters such as a charset.
bool isJson(std::string_view contentType);

// Whether cubeweb bound to `address` is reachable from this machine alone.
bool isLoopback(std::string_view address);

// 128 random bits as 32 hexadecimal digits, for a token made at start.
std::string randomToken();

// The regular file below `root` that a request's path names ("/app.js",
// "/build/three.module.js"), or an empty path: nothing with a "..", "."
// or empty segment, a backslash or a NUL, and nothing whose real path (its
// links followed) lies outside the real path of `root`.
std::filesystem::path staticFile(const std::filesystem::path& root, std::string_view path);

// The Content-Type of a static file, by its extension.
const char* mimeType(const std::filesystem::path& file);

}  // namespace ledcube::web

namespace web = ledcube::web;
