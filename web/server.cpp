#include "web/server.h"

#include "common/process.h"
#include "web/api.h"
#include "web/gate.h"
#include "web/live.h"
#include "web/status.h"

#include <libwebsockets.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ledcube::web {

namespace {

constexpr std::string_view kApiPrefix = "/api/";
constexpr std::string_view kSocketPath = "/ws";
constexpr std::string_view kThreePrefix = "/three";
constexpr const char* kIndex = "/index.html";
constexpr lws_usec_t kTickUs = 100 * LWS_US_PER_MS;
// The request line and the headers, together, and how many requests may be
// reading theirs at once.
constexpr unsigned short kHeaderBytes = 4096;
constexpr unsigned short kHeaderPool = 2 * kMaxClients;
// A connection that sends nothing, or too slowly, for this long is closed.
constexpr unsigned kIdleSeconds = 5;
// A refused request's body is read and dropped up to this much, so that the
// client reads the answer rather than a reset; beyond, the connection closes.
constexpr std::size_t kMaxDropped = 1024 * 1024;
constexpr std::size_t kHeaderRoom = 1024;
constexpr std::size_t kTokenRoom = 256;

enum class Method { Get, Head, Post, Delete, Other };

std::string_view methodName(Method method)
{
    switch (method) {
    case Method::Get: return "GET";
    case Method::Head: return "HEAD";
    case Method::Post: return "POST";
    case Method::Delete: return "DELETE";
    case Method::Other: break;
    }
    return "OTHER";
}

std::string header(lws* wsi, lws_token_indexes token)
{
    const int length = lws_hdr_total_length(wsi, token);
    if (length <= 0)
        return {};
    std::string value(static_cast<std::size_t>(length) + 1, '\0');
    if (lws_hdr_copy(wsi, value.data(), length + 1, token) < 0)
        return {};
    value.resize(static_cast<std::size_t>(length));
    return value;
}

Method methodOf(lws* wsi)
{
    if (lws_hdr_total_length(wsi, WSI_TOKEN_GET_URI) > 0)
        return Method::Get;
    if (lws_hdr_total_length(wsi, WSI_TOKEN_POST_URI) > 0)
        return Method::Post;
    if (lws_hdr_total_length(wsi, WSI_TOKEN_DELETE_URI) > 0)
        return Method::Delete;
    if (lws_hdr_total_length(wsi, WSI_TOKEN_HEAD_URI) > 0)
        return Method::Head;
    return Method::Other;
}

std::string queryToken(lws* wsi)
{
    char buffer[kTokenRoom];
    const char* token = lws_get_urlarg_by_name(wsi, "token=", buffer, sizeof buffer);
    return token ? token : "";
}

// One HTTP request while its body comes in.
struct Request {
    Method method = Method::Other;
    std::string path;
    std::string body;
    std::optional<Response> refusal;  // answered once the body has been read
    std::size_t dropped = 0;
};

// One WebSocket client: what it has been sent.
struct Client {
    uint32_t frame = kNoFrame;
    bool stateDue = true;
};

// The tick's timer and the loop it belongs to; the timer comes first, so the
// callback finds the loop from the timer's address.
struct TickTimer {
    lws_sorted_usec_list_t sul{};
    struct Server::Loop* loop = nullptr;
};

}  // namespace

struct Server::Loop {
    Loop(Setup setup, Api& api, Live& live) : setup(std::move(setup)), api(api), live(live) { timer.loop = this; }

    Setup setup;
    Api& api;
    Live& live;
    lws_context* context = nullptr;
    lws_vhost* vhost = nullptr;
    lws_protocols protocols[2]{};
    TickTimer timer;
    std::function<bool()> tick;
    signals::StopOnSignal* stop = nullptr;

    std::map<lws*, Request> requests;
    std::map<lws*, Client> clients;
    // The newest frame and state as sent, after LWS_PRE bytes for lws's own
    // framing; every client is sent from these.
    std::vector<uint8_t> frame;
    uint32_t frameNumber = kNoFrame;
    std::vector<uint8_t> stateText;

    static int callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t length);
    static void onTick(lws_sorted_usec_list_t* sul);

    int startRequest(lws* wsi, std::string_view path);
    std::optional<Response> gate(lws* wsi, const Request& request) const;
    int finishRequest(lws* wsi);
    int respond(lws* wsi, const Response& response);
    int sendFile(lws* wsi, const std::filesystem::path& file, const char* type, const std::string& downloadName);
    int serveStatic(lws* wsi, Request request);
    std::optional<Response> refuseUpgrade(lws* wsi) const;
    int writeToClient(lws* wsi);
    void takeNewestFrame();
    void stateChanged();
    bool authorised(lws* wsi, bool queryAllowed) const;
};

bool Server::Loop::authorised(lws* wsi, bool queryAllowed) const
{
    if (setup.token.empty())
        return true;
    if (tokenMatches(bearerToken(header(wsi, WSI_TOKEN_HTTP_AUTHORIZATION)), setup.token))
        return true;
    return queryAllowed && tokenMatches(queryToken(wsi), setup.token);
}

// What a request to the API is refused before its body matters, if anything.
std::optional<Response> Server::Loop::gate(lws* wsi, const Request& request) const
{
    if (!authorised(wsi, false))
        return errorResponse(status::kUnauthorized, "this cubeweb needs its token: Authorization: Bearer TOKEN");
    const std::string origin = header(wsi, WSI_TOKEN_ORIGIN);
    const bool changes = request.method != Method::Get && request.method != Method::Head;
    if (changes && !origin.empty() && !sameOrigin(origin, header(wsi, WSI_TOKEN_HOST)))
        return errorResponse(status::kForbidden, "a page from " + origin + " cannot steer this cube");
    if (lws_hdr_total_length(wsi, WSI_TOKEN_HTTP_TRANSFER_ENCODING) > 0)
        return errorResponse(status::kLengthRequired, "a body needs a Content-Length");
    const std::string length = header(wsi, WSI_TOKEN_HTTP_CONTENT_LENGTH);
    if (!length.empty() && std::strtoull(length.c_str(), nullptr, 10) > kMaxBody)
        return errorResponse(status::kTooLarge, "a body may hold at most 64 KiB");
    if (!length.empty() && length != "0" && !isJson(header(wsi, WSI_TOKEN_HTTP_CONTENT_TYPE)))
        return errorResponse(status::kUnsupportedType, "a body must be application/json");
    return std::nullopt;
}

int Server::Loop::startRequest(lws* wsi, std::string_view path)
{
    Request& request = requests[wsi] = Request{methodOf(wsi), std::string(path), {}, {}, 0};
    const bool hasBody = lws_hdr_total_length(wsi, WSI_TOKEN_HTTP_CONTENT_LENGTH) > 0 &&
                         header(wsi, WSI_TOKEN_HTTP_CONTENT_LENGTH) != "0";
    if (!path.starts_with(kApiPrefix)) {
        if (hasBody) {
            request.refusal = errorResponse(status::kMethodNotAllowed, std::string(path) + " takes only GET");
        } else {
            Request taken = std::move(request);
            requests.erase(wsi);
            return serveStatic(wsi, std::move(taken));
        }
    } else {
        request.refusal = gate(wsi, request);
    }
    // The body comes in pieces first, and the answer once it is whole.
    return hasBody ? 0 : finishRequest(wsi);
}

int Server::Loop::finishRequest(lws* wsi)
{
    const Request request = std::move(requests[wsi]);
    requests.erase(wsi);
    if (request.refusal)
        return respond(wsi, *request.refusal);
    const std::string_view apiPath = std::string_view(request.path).substr(kApiPrefix.size() - 1);
    const Response response = api.handle(methodName(request.method), apiPath, request.body);
    if (request.method != Method::Get && response.status < status::kFirstRefusal)
        stateChanged();
    if (!response.file.empty())
        return sendFile(wsi, response.file, response.contentType.c_str(), response.downloadName);
    return respond(wsi, response);
}

int Server::Loop::respond(lws* wsi, const Response& response)
{
    std::vector<uint8_t> buffer(LWS_PRE + kHeaderRoom + response.body.size());
    uint8_t* start = buffer.data() + LWS_PRE;
    uint8_t* p = start;
    uint8_t* end = buffer.data() + LWS_PRE + kHeaderRoom;
    const auto add = [&](const char* name, const char* value) {
        return lws_add_http_header_by_name(wsi, reinterpret_cast<const unsigned char*>(name),
                                           reinterpret_cast<const unsigned char*>(value),
                                           static_cast<int>(std::strlen(value)), &p, end) == 0;
    };
    if (lws_add_http_common_headers(wsi, static_cast<unsigned>(response.status), response.contentType.c_str(),
                                    response.body.size(), &p, end) != 0 ||
        !add("cache-control:", "no-store") || !add("x-content-type-options:", "nosniff") ||
        (response.status == status::kUnauthorized && !add("www-authenticate:", "Bearer")) || lws_finalize_http_header(wsi, &p, end) != 0)
        return -1;
    std::memcpy(p, response.body.data(), response.body.size());
    p += response.body.size();
    if (lws_write(wsi, start, static_cast<std::size_t>(p - start), LWS_WRITE_HTTP_FINAL) < 0)
        return -1;
    return lws_http_transaction_completed(wsi) ? -1 : 0;
}

int Server::Loop::sendFile(lws* wsi, const std::filesystem::path& file, const char* type,
                           const std::string& downloadName)
{
    uint8_t headers[kHeaderRoom];
    uint8_t* p = headers;
    const auto add = [&](const char* name, const std::string& value) {
        return lws_add_http_header_by_name(wsi, reinterpret_cast<const unsigned char*>(name),
                                           reinterpret_cast<const unsigned char*>(value.c_str()),
                                           static_cast<int>(value.size()), &p, headers + sizeof headers) == 0;
    };
    // A recording's plain name holds no control character, but may hold a
    // quote or a backslash, which would end the header's quoted name early.
    std::string saved = downloadName;
    std::ranges::replace_if(saved, [](char c) { return c == '"' || c == '\\'; }, '_');
    if (!add("x-content-type-options:", "nosniff") ||
        (!saved.empty() && !add("content-disposition:", "attachment; filename=\"" + saved + "\"")))
        return -1;
    const int served = lws_serve_http_file(wsi, file.c_str(), type, reinterpret_cast<const char*>(headers),
                                           static_cast<int>(p - headers));
    if (served < 0 || (served > 0 && lws_http_transaction_completed(wsi)))
        return -1;
    return 0;
}

int Server::Loop::serveStatic(lws* wsi, Request request)
{
    if (request.method != Method::Get && request.method != Method::Head)
        return respond(wsi, errorResponse(status::kMethodNotAllowed, request.path + " takes only GET"));
    std::string_view path = request.path;
    std::filesystem::path file;
    if (path == kThreePrefix || path.starts_with(std::string(kThreePrefix) + "/"))
        file = staticFile(setup.three, path.substr(kThreePrefix.size()));
    else
        file = staticFile(setup.page, path == "/" ? kIndex : path);
    if (file.empty())
        return respond(wsi, errorResponse(status::kNotFound, "no such file: " + request.path));
    return sendFile(wsi, file, mimeType(file), "");
}

// Why an upgrade to the WebSocket is refused, if it is.
std::optional<Response> Server::Loop::refuseUpgrade(lws* wsi) const
{
    if (header(wsi, WSI_TOKEN_GET_URI) != kSocketPath)
        return errorResponse(status::kNotFound, "the WebSocket is at /ws");
    if (!authorised(wsi, true))
        return errorResponse(status::kUnauthorized, "this cubeweb needs its token: ?token=TOKEN");
    const std::string origin = header(wsi, WSI_TOKEN_ORIGIN);
    if (!origin.empty() && !sameOrigin(origin, header(wsi, WSI_TOKEN_HOST)))
        return errorResponse(status::kForbidden, "a page from " + origin + " cannot watch this cube");
    if (clients.size() >= static_cast<std::size_t>(kMaxClients))
        return errorResponse(status::kUnavailable, "cubeweb serves at most 32 clients at once");
    return std::nullopt;
}

int Server::Loop::writeToClient(lws* wsi)
{
    Client& client = clients[wsi];
    if (client.stateDue) {
        client.stateDue = false;
        if (lws_write(wsi, stateText.data() + LWS_PRE, stateText.size() - LWS_PRE, LWS_WRITE_TEXT) < 0)
            return -1;
        if (client.frame != frameNumber)
            lws_callback_on_writable(wsi);
        return 0;
    }
    if (client.frame == frameNumber)
        return 0;
    client.frame = frameNumber;
    return lws_write(wsi, frame.data() + LWS_PRE, frame.size() - LWS_PRE, LWS_WRITE_BINARY) < 0 ? -1 : 0;
}

void Server::Loop::takeNewestFrame()
{
    const uint32_t before = frameNumber;
    frameNumber = live.newest(frameNumber, LWS_PRE, frame);
    if (frameNumber == before)
        return;
    for (auto& [wsi, client] : clients)
        lws_callback_on_writable(wsi);
}

void Server::Loop::stateChanged()
{
    live.clients = static_cast<int>(clients.size());
    const std::string text = jsonText(api.state());
    stateText.assign(LWS_PRE, 0);
    stateText.insert(stateText.end(), text.begin(), text.end());
    for (auto& [wsi, client] : clients) {
        client.stateDue = true;
        lws_callback_on_writable(wsi);
    }
}

void Server::Loop::onTick(lws_sorted_usec_list_t* sul)
{
    Loop& loop = *reinterpret_cast<TickTimer*>(sul)->loop;
    const bool changed = loop.tick();
    if (loop.live.measure(Live::Clock::now()) || changed)
        loop.stateChanged();
    lws_sul_schedule(loop.context, 0, sul, onTick, kTickUs);
}

int Server::Loop::callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t length)
{
    lws_context* context = lws_get_context(wsi);
    Loop* loop = context ? static_cast<Loop*>(lws_context_user(context)) : nullptr;
    if (!loop)
        return lws_callback_http_dummy(wsi, reason, user, in, length);
    switch (reason) {
    case LWS_CALLBACK_HTTP:
        return loop->startRequest(wsi, static_cast<const char*>(in));  // the path, ended by a NUL
    case LWS_CALLBACK_HTTP_BODY: {
        Request& request = loop->requests[wsi];
        if (request.refusal) {
            request.dropped += length;
            return request.dropped > kMaxDropped ? -1 : 0;
        }
        if (request.body.size() + length > kMaxBody) {
            request.refusal = errorResponse(status::kTooLarge, "a body may hold at most 64 KiB");
            return 0;
        }
        request.body.append(static_cast<const char*>(in), length);
        return 0;
    }
    case LWS_CALLBACK_HTTP_BODY_COMPLETION:
        return loop->finishRequest(wsi);
    case LWS_CALLBACK_HTTP_CONFIRM_UPGRADE:
        if (const auto refusal = loop->refuseUpgrade(wsi)) {
            loop->respond(wsi, *refusal);
            return 1;
        }
        return 0;
    case LWS_CALLBACK_ESTABLISHED:
        loop->clients[wsi] = Client{};
        loop->stateChanged();
        return 0;
    case LWS_CALLBACK_SERVER_WRITEABLE:
        return loop->writeToClient(wsi);
    case LWS_CALLBACK_CLOSED:
        if (loop->clients.erase(wsi))
            loop->stateChanged();
        return 0;
    case LWS_CALLBACK_CLOSED_HTTP:
        loop->requests.erase(wsi);
        return 0;
    case LWS_CALLBACK_EVENT_WAIT_CANCELLED:
        loop->takeNewestFrame();
        return 0;
    default:
        return lws_callback_http_dummy(wsi, reason, user, in, length);
    }
}

Server::Server(Setup setup, Api& api, Live& live) : loop_(std::make_unique<Loop>(std::move(setup), api, live))
{
    lws_set_log_level(LLL_ERR, nullptr);
    Loop& loop = *loop_;
    loop.protocols[0] = {"http", Loop::callback, 0, 0, 0, nullptr, 0};

    lws_context_creation_info info{};
    info.port = loop.setup.port;
    info.iface = loop.setup.bind.c_str();
    info.protocols = loop.protocols;
    info.user = &loop;
    info.server_string = "cubeweb";
    info.max_http_header_data = kHeaderBytes;
    info.max_http_header_pool = kHeaderPool;
    info.timeout_secs = kIdleSeconds;
    info.timeout_secs_ah_idle = kIdleSeconds;
    info.keepalive_timeout = kIdleSeconds;
    info.options = LWS_SERVER_OPTION_VALIDATE_UTF8;
    loop.context = lws_create_context(&info);
    if (!loop.context)
        process::fail("cannot serve on " + loop.setup.bind + " port " + std::to_string(loop.setup.port) +
                      ": the address is taken or not this machine's");
    loop.vhost = lws_get_vhost_by_name(loop.context, "default");
    if (!loop.vhost || lws_get_vhost_listen_port(loop.vhost) <= 0) {
        lws_context_destroy(loop.context);
        process::fail("cannot serve on " + loop.setup.bind + " port " + std::to_string(loop.setup.port));
    }
}

Server::~Server()
{
    if (loop_->context)
        lws_context_destroy(loop_->context);
}

int Server::port() const
{
    return lws_get_vhost_listen_port(loop_->vhost);
}

void Server::run(signals::StopOnSignal& stop, const std::function<bool()>& tick)
{
    Loop& loop = *loop_;
    loop.tick = tick;
    loop.stop = &stop;
    loop.stateChanged();
    lws_sul_schedule(loop.context, 0, &loop.timer.sul, Loop::onTick, kTickUs);
    while (!stop.requested() && lws_service(loop.context, 0) >= 0) {
    }
}

void Server::wake()
{
    lws_cancel_service(loop_->context);
}

}  // namespace ledcube::web
