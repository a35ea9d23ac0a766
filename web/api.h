#pragma once

// The JSON API under /api/, as the page and other programs call it. The
// server has checked the token, the origin, the size and the type of a
// request before it comes here; this routes it to what plays (Control) and
// to the recordings, and turns their refusals into {"error": "..."}.
// Everything here runs on the server's loop thread.

#include <nlohmann/json_fwd.hpp>

#include <filesystem>
#include <string>
#include <string_view>

namespace ledcube::web {

class Control;
class Recordings;
class Live;

// A request that cannot be done: the HTTP status and why, for the client.
struct Refusal {
    int status = 400;
    std::string message;
};

struct Response {
    int status = 200;
    std::string body;             // JSON text, unless a file is sent
    std::filesystem::path file;   // sent as it is: a download
    std::string contentType = "application/json";
    std::string downloadName;     // the name a browser saves the file under
};

// JSON as text; bytes of a request that are not UTF-8 come back as U+FFFD.
std::string jsonText(const nlohmann::json& value);
Response jsonResponse(int status, const nlohmann::json& body);
Response errorResponse(int status, std::string_view message);

// The body of a POST as JSON: an object, or a Refusal 400 that says where the
// text goes wrong.
nlohmann::json parseBody(std::string_view body);

class Api {
public:
    Api(Control& control, Recordings& recordings, Live& live) : control_(control), recordings_(recordings), live_(live) {}

    // `path` is what follows "/api", such as "/play", without a query.
    Response handle(std::string_view method, std::string_view path, std::string_view body);

    // What GET /api/state answers, and what the WebSocket's text messages carry.
    nlohmann::json state() const;

private:
    Response route(std::string_view method, std::string_view path, std::string_view body);

    Control& control_;
    Recordings& recordings_;
    Live& live_;
};

}  // namespace ledcube::web

namespace web = ledcube::web;
