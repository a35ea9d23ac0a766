#include "web/api.h"

#include "common/process.h"
#include "web/control.h"
#include "web/live.h"
#include "web/recordings.h"
#include "web/status.h"

#include <nlohmann/json.hpp>

namespace ledcube::web {

namespace {

using json = nlohmann::json;

constexpr std::string_view kRecordingsPath = "/recordings";
constexpr std::string_view kRecordingsPrefix = "/recordings/";

// GET /recordings/NAME.FORMAT: the name and the format, split at the last dot.
std::pair<std::string_view, std::string_view> splitDownload(std::string_view file)
{
    const auto dot = file.rfind('.');
    if (dot == std::string_view::npos)
        return {file, {}};
    return {file.substr(0, dot), file.substr(dot + 1)};
}

Response noContent()
{
    return jsonResponse(status::kOk, json{{"ok", true}});
}

}  // namespace

std::string jsonText(const json& value)
{
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

Response jsonResponse(int status, const json& body)
{
    Response response;
    response.status = status;
    response.body = jsonText(body);
    return response;
}

Response errorResponse(int status, std::string_view message)
{
    return jsonResponse(status, json{{"error", message}});
}

json parseBody(std::string_view body)
{
    json parsed = json::parse(body, nullptr, false);
    if (parsed.is_discarded())
        throw Refusal{status::kBadRequest, "the body is not JSON"};
    if (!parsed.is_object())
        throw Refusal{status::kBadRequest, "the body is not a JSON object"};
    return parsed;
}

json Api::state() const
{
    json state = recordings_.state();
    state["edge"] = live_.edge();
    state["playing"] = control_.playing();
    state["program"] = live_.program;
    state["fps"] = live_.fps();
    state["brightness"] = live_.brightness();
    state["outputs"] = live_.outputs;
    state["clients"] = live_.clients;
    return state;
}

Response Api::handle(std::string_view method, std::string_view path, std::string_view body)
{
    // Whatever goes wrong with one request is that request's answer: the
    // server goes on serving the others.
    try {
        return route(method, path, body);
    } catch (const Refusal& refusal) {
        return errorResponse(refusal.status, refusal.message);
    } catch (const process::Failure& failure) {
        return errorResponse(status::kServerError, failure.what);
    } catch (const std::exception& error) {
        return errorResponse(status::kServerError, error.what());
    }
}

Response Api::route(std::string_view method, std::string_view path, std::string_view body)
{
    const auto only = [&](std::string_view allowed) {
        if (method != allowed)
            throw Refusal{status::kMethodNotAllowed, std::string(path) + " takes only " + std::string(allowed)};
    };
    if (path == "/state") {
        only("GET");
        return jsonResponse(status::kOk, state());
    }
    if (path == "/effects") {
        only("GET");
        return jsonResponse(status::kOk, Control::effects());
    }
    if (path == "/play") {
        only("POST");
        control_.play(parseBody(body));
        return jsonResponse(status::kOk, json{{"playing", control_.playing()}});
    }
    if (path == "/stop") {
        only("POST");
        control_.stop();
        return noContent();
    }
    if (path == "/brightness") {
        only("POST");
        const json request = parseBody(body);
        const auto value = request.find("brightness");
        if (value == request.end() || !value->is_number() || *value < 0 || *value > 1)
            throw Refusal{status::kBadRequest, "brightness takes a number from 0 to 1"};
        live_.setBrightness(value->get<double>());
        return jsonResponse(status::kOk, json{{"brightness", live_.brightness()}});
    }
    if (path == kRecordingsPath) {
        only("GET");
        return jsonResponse(status::kOk, recordings_.list());
    }
    if (path == "/sounds") {
        only("GET");
        return jsonResponse(status::kOk, recordings_.sounds());
    }
    if (path == "/recordings/record") {
        only("POST");
        const json request = parseBody(body);
        const auto name = request.find("name");
        if (name == request.end() || !name->is_string())
            throw Refusal{status::kBadRequest, "record takes {\"name\": NAME}"};
        recordings_.startRecording(name->get<std::string>());
        return jsonResponse(status::kOk, recordings_.state());
    }
    if (path == "/recordings/stop") {
        only("POST");
        recordings_.stopRecording();
        return jsonResponse(status::kOk, recordings_.state());
    }
    if (path.starts_with(kRecordingsPrefix)) {
        const std::string_view file = path.substr(kRecordingsPrefix.size());
        if (method == "DELETE") {
            recordings_.remove(file);
            return noContent();
        }
        if (method != "GET")
            throw Refusal{status::kMethodNotAllowed, "a recording takes GET and DELETE"};
        const auto [name, format] = splitDownload(file);
        if (format.empty())
            throw Refusal{status::kNotFound, "a recording is fetched as NAME.rec, .gif, .fseq, .bin or .h"};
        return recordings_.download(name, format);
    }
    throw Refusal{status::kNotFound, "no such call: " + std::string(path)};
}

}  // namespace ledcube::web
