#pragma once

#include "app/phone/LiveScreen.hpp"
#include "app/phone/Request.hpp"
#include "app/phone/RequestHandler.hpp"
#include "app/phone/Response.hpp"
#include "app/phone/RetryLedger.hpp"
#include "app/phone/StateDocument.hpp"
#include "app/tmux/Tmux.hpp"

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace torvane {

// The phone API over tmux sessions: each route's check, which the request alone decides (answered at
// once), and its handler, which calls tmux (run on a worker). The work in flight shares this object,
// so a request still running when the router is gone stays sound.
class ApiRoutes {
public:
    ApiRoutes(Tmux& tmux, StateDocument::PowerReader power, StateDocument::CapsLockReader capsLock)
        : tmux_(tmux), state_(tmux, std::move(power), std::move(capsLock)), live_(tmux, state_) {}

    struct Route {
        std::string_view method;
        std::string_view path;
        Response (ApiRoutes::*handle)(const Request&);
        std::optional<Response> (*check)(const Request&); // the answer to a bad request, or none
        // Instead of handle: answers when there is something to say (a long poll).
        void (ApiRoutes::*await)(const Request&, RequestHandler::Reply) = nullptr;
    };
    // The route of exactly this method and path; null when there is none.
    static const Route* find(std::string_view method, std::string_view path);
    // The keys /api/keys presses; anything else is a bad request.
    static const std::set<std::string, std::less<>>& allowedKeys();

    Response handle(const Route& route, const Request& request) { return (this->*route.handle)(request); }
    void await(const Route& route, const Request& request, RequestHandler::Reply reply) {
        (this->*route.await)(request, std::move(reply));
    }

    Tmux& tmux() { return tmux_; }
    StateDocument& state() { return state_; }
    LiveScreen& live() { return live_; }

private:
    Response readState(const Request& request);
    Response capture(const Request& request);
    Response send(const Request& request);
    Response pressKey(const Request& request);
    Response interrupt(const Request& request);
    Response setCarry(const Request& request);
    void awaitLive(const Request& request, RequestHandler::Reply reply);

    Tmux& tmux_;
    StateDocument state_;
    RetryLedger ledger_;
    LiveScreen live_; // last: its thread reads the state document
};

} // namespace torvane
