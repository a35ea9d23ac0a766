#pragma once

// cubeweb's web server: the page and three.js as static files, the JSON API
// under /api/, and the WebSocket /ws that carries every frame on show and
// the state, all in one libwebsockets event loop on the thread that runs it.
// The receiver thread hands frames over through Live, which wakes the loop.

#include "common/signals.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace ledcube::web {

class Api;
class Live;

inline constexpr int kMaxClients = 32;

class Server {
public:
    struct Setup {
        std::string bind = "127.0.0.1";
        int port = 0;             // 0: a free one
        std::string token;        // empty: none needed
        std::filesystem::path page;
        std::filesystem::path three;  // served under /three/
    };

    // Listens; fails (process::fail) saying why when it cannot.
    Server(Setup setup, Api& api, Live& live);
    ~Server();

    int port() const;

    // Serves until `stop` is asked. `tick` runs about ten times a second on
    // the loop and returns true when the state changed, which every client
    // is then sent.
    void run(signals::StopOnSignal& stop, const std::function<bool()>& tick);

    // From any thread: a new frame is on show.
    void wake();

    struct Loop;  // the event loop and what it serves; server.cpp alone knows it

private:
    std::unique_ptr<Loop> loop_;
};

}  // namespace ledcube::web

namespace web = ledcube::web;
