#pragma once

#include "app/core/Settings.hpp"
#include "app/phone/RequestHandler.hpp"
#include "app/phone/Token.hpp"
#include "app/power/PowerState.hpp"
#include "app/tmux/Tmux.hpp"

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace torvane {

// The phone link's routes: the token check, the API over tmux sessions and the state document.
// It keeps nothing between requests but the token, which lives in the settings.
class Router final : public RequestHandler {
public:
    using PowerReader = std::function<PowerState()>;
    using CapsLockReader = std::function<bool()>;

    // What a route handler sees of its request.
    struct Request {
        std::string_view method;
        std::string_view path;
        const std::map<std::string, std::string>& query;
        std::string_view headerText;
        std::string_view body;
    };
    using Handler = std::function<std::string(const Request&)>;

    // One row of the route table: matched on method and path exactly, top to bottom.
    struct Route {
        std::string method;
        std::string path;
        bool needsToken;
        Handler handle;
    };

    Router(Tmux& tmux, PowerReader power, CapsLockReader capsLock, Settings& settings,
           token::RandomSource random = token::systemRandom);

    std::string route(std::string_view headerText, std::string_view body) override;

    // The stored token, created and stored when there is none; empty only when the secure
    // generator fails, and then no request is let in.
    std::string token() override;
    // Replaces the token; from then on the old one is refused.
    void regenerateToken() override;

    // {"sessions":[…],"tmux":…,"battery":…,"onAC":…,"capsLock":…} without any white space.
    std::string stateJSON();

    const std::vector<Route>& routes() const { return routes_; }

private:
    std::vector<Route> makeRoutes();
    std::string createToken(); // with tokenMutex_ held

    std::string state(const Request& request);
    std::string capture(const Request& request);
    std::string send(const Request& request);
    std::string interrupt(const Request& request);

    Tmux& tmux_;
    PowerReader power_;
    CapsLockReader capsLock_;
    Settings& settings_;
    token::RandomSource random_;
    // Read-or-create must be one step: two threads creating at once would hand out a token
    // that is not the stored one.
    std::mutex tokenMutex_;
    std::vector<Route> routes_;
};

} // namespace torvane
