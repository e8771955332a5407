#include "app/phone/Router.hpp"

#include "app/core/Config.hpp"
#include "app/core/Log.hpp"
#include "app/phone/Http.hpp"
#include "app/phone/JsonString.hpp"
#include "app/phone/PhonePage.hpp"

#include <cmath>

namespace torvane {

namespace {

std::string plain(std::string_view status, std::string_view body) {
    return http::response(status, http::textPlain, body);
}

std::string badRequest() {
    return plain("400 Bad Request", "bad request");
}
std::string unauthorized() {
    return plain("401 Unauthorized", "合言葉が違います");
}
std::string notFound() {
    return plain("404 Not Found", "not found");
}
std::string failed() {
    return plain("500 Internal Server Error", "failed");
}

const std::string* field(const std::map<std::string, std::string>& map, const std::string& key) {
    const auto found = map.find(key);
    return found == map.end() ? nullptr : &found->second;
}

std::string_view boolean(bool value) {
    return value ? "true" : "false";
}

long long wholeMinutes(double seconds) {
    if (!std::isfinite(seconds)) {
        return 0;
    }
    return static_cast<long long>(std::trunc(seconds / 60.0));
}

} // namespace

Router::Router(Tmux& tmux, PowerReader power, CapsLockReader capsLock, Settings& settings,
               token::RandomSource random)
    : tmux_(tmux), power_(std::move(power)), capsLock_(std::move(capsLock)), settings_(settings),
      random_(std::move(random)), routes_(makeRoutes()) {}

std::vector<Router::Route> Router::makeRoutes() {
    return {
        // The phone page: no token, any query (the pairing URL carries t).
        {"GET", "/", false,
         [](const Request&) {
             return http::response("200 OK", "text/html; charset=utf-8", PhonePage::html);
         }},
        {"GET", "/api/state", true, [this](const Request& r) { return state(r); }},
        {"GET", "/api/capture", true, [this](const Request& r) { return capture(r); }},
        {"POST", "/api/send", true, [this](const Request& r) { return send(r); }},
        {"POST", "/api/interrupt", true, [this](const Request& r) { return interrupt(r); }},
    };
}

std::string Router::route(std::string_view headerText, std::string_view body) {
    const auto lines = http::splitDroppingEmpty(headerText, "\r\n");
    if (lines.empty()) {
        return badRequest();
    }
    const auto requestLine = http::splitDroppingEmpty(lines.front(), " ");
    if (requestLine.size() < 2) {
        return badRequest();
    }
    const std::string_view method = requestLine[0];
    const auto target = http::splitFirst(requestLine[1], '?');
    if (target.empty()) {
        return badRequest(); // "?" alone names no path
    }
    const std::string_view path = target[0];
    const auto query = target.size() > 1 ? http::parseQuery(target[1]) : std::map<std::string, std::string>{};

    std::optional<std::string> offered;
    if (const std::string* t = field(query, "t")) {
        offered = *t;
    } else {
        offered = http::headerValue("x-token", headerText);
    }
    const std::string expected = token();
    const bool authorised = offered && !expected.empty() && token::constantTimeEquals(*offered, expected);

    for (const Route& candidate : routes_) {
        if (candidate.method != method || candidate.path != path) {
            continue;
        }
        if (candidate.needsToken && !authorised) {
            return unauthorized();
        }
        return candidate.handle(Request{method, path, query, headerText, body});
    }
    return notFound();
}

std::string Router::state(const Request&) {
    return http::response("200 OK", http::applicationJson, stateJSON());
}

std::string Router::capture(const Request& request) {
    const std::string* session = field(request.query, "s");
    if (session == nullptr || session->empty()) {
        return plain("400 Bad Request", "session required");
    }
    return plain("200 OK", tmux_.capture(*session, 200).value_or(""));
}

std::string Router::send(const Request& request) {
    const auto form = http::parseQuery(request.body);
    const std::string* session = field(form, "s");
    const std::string* text = field(form, "text");
    if (session == nullptr || session->empty() || text == nullptr) {
        return plain("400 Bad Request", "session and text required");
    }
    const std::string* submitField = field(form, "submit");
    const bool submit = submitField == nullptr || *submitField != "0";
    if (!tmux_.send(*session, *text, submit)) {
        return failed();
    }
    return plain("200 OK", "sent");
}

std::string Router::interrupt(const Request& request) {
    const auto form = http::parseQuery(request.body);
    const std::string* session = field(form, "s");
    if (session == nullptr || session->empty()) {
        return plain("400 Bad Request", "session required");
    }
    if (!tmux_.interrupt(*session)) {
        return failed();
    }
    return plain("200 OK", "interrupted");
}

std::string Router::stateJSON() {
    const std::vector<AgentSession> sessions =
        tmux_.isAvailable() ? tmux_.sessions() : std::vector<AgentSession>{};
    const PowerState power = power_();

    std::string json = "{\"sessions\":[";
    bool first = true;
    for (const AgentSession& session : sessions) {
        if (!first) {
            json += ',';
        }
        first = false;
        json += "{\"name\":" + jsonString(session.name);
        json += ",\"working\":";
        json += boolean(session.isWorking());
        json += ",\"command\":" + jsonString(session.currentCommand);
        json += ",\"status\":" + jsonString(session.statusText());
        json += ",\"idle\":" + std::to_string(wholeMinutes(session.idleFor())) + "}";
    }
    json += "],\"tmux\":";
    json += boolean(tmux_.isAvailable());
    json += ",\"battery\":";
    json += power.percent ? std::to_string(*power.percent) : std::string("null");
    json += ",\"onAC\":";
    json += boolean(power.onAC);
    json += ",\"capsLock\":";
    json += boolean(capsLock_());
    json += '}';
    return json;
}

std::string Router::createToken() {
    auto fresh = token::generate(random_);
    if (!fresh) {
        Log::write("ERROR: 接続の合言葉を作れませんでした");
        return {};
    }
    settings_.setString(Config::Key::serverToken, *fresh);
    return *fresh;
}

std::string Router::token() {
    const std::lock_guard lock(tokenMutex_);
    if (auto stored = settings_.string(Config::Key::serverToken); stored && !stored->empty()) {
        return *stored;
    }
    return createToken();
}

void Router::regenerateToken() {
    const std::lock_guard lock(tokenMutex_);
    // The old token goes first, so that it is refused even if no new one can be made.
    settings_.setString(Config::Key::serverToken, "");
    if (!createToken().empty()) {
        Log::write("接続の合言葉を作り直しました");
    }
}

} // namespace torvane
