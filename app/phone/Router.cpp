#include "app/phone/Router.hpp"

#include "app/core/Config.hpp"
#include "app/core/Log.hpp"
#include "app/phone/Http.hpp"
#include "app/phone/JsonString.hpp"
#include "app/phone/PhonePage.hpp"
#include "common/Text.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

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
// Nothing typed now, but the first try of this id may have typed: the user has to look first.
std::string alreadyTried() {
    return plain("409 Conflict", "already tried");
}

std::string tmuxNotAnswering() {
    return plain("503 Service Unavailable", "tmux not answering");
}

const std::string* field(const std::map<std::string, std::string>& map, const std::string& key) {
    const auto found = map.find(key);
    return found == map.end() ? nullptr : &found->second;
}

// A field the route's check has made sure of.
const std::string& checked(const std::map<std::string, std::string>& map, const std::string& key) {
    static const std::string none;
    const std::string* value = field(map, key);
    return value == nullptr ? none : *value;
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

// Up to 64 of A-Z a-z 0-9 "-" "_"; empty means none.
bool isValidId(std::string_view id) {
    return id.size() <= 64 && std::all_of(id.begin(), id.end(), [](char c) {
               return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
           });
}

bool hasSession(const std::map<std::string, std::string>& fields) {
    const std::string* session = field(fields, "s");
    return session != nullptr && !session->empty();
}

// No session is named so: tmux shows control characters of a name escaped, and a name beyond the
// system's limit on an argument would only make every call fail (and be logged).
bool isBadName(const std::map<std::string, std::string>& fields) {
    const std::string& name = checked(fields, "s");
    return name.size() > 1024 || std::any_of(name.begin(), name.end(), [](char c) {
               return static_cast<unsigned char>(c) < 0x20 || c == '\x7f';
           });
}

std::string state(Router::Core& core, const Router::Request&) {
    const auto json = core.stateJSON();
    return json ? http::response("200 OK", http::applicationJson, *json) : tmuxNotAnswering();
}

std::optional<std::string> checkCapture(const Router::Request& request) {
    if (!hasSession(request.query)) {
        return plain("400 Bad Request", "session required");
    }
    return isBadName(request.query) ? std::optional(badRequest()) : std::nullopt;
}

std::string capture(Router::Core& core, const Router::Request& request) {
    const auto shot = core.tmux.answeredCapture(checked(request.query, "s"), 200);
    return shot.answered ? plain("200 OK", shot.screen.value_or("")) : tmuxNotAnswering();
}

std::optional<std::string> checkSend(const Router::Request& request) {
    const auto form = http::parseQuery(request.body);
    const std::string* id = field(form, "id");
    if (!hasSession(form) || field(form, "text") == nullptr) {
        return plain("400 Bad Request", "session and text required");
    }
    if ((id != nullptr && !isValidId(*id)) || isBadName(form)) {
        return badRequest();
    }
    if (checked(form, "text").find('\0') != std::string::npos) {
        return badRequest(); // a NUL cannot be typed: nothing of the text is
    }
    return std::nullopt;
}

std::string send(Router::Core& core, const Router::Request& request) {
    const auto form = http::parseQuery(request.body);
    const std::string& session = checked(form, "s");
    const std::string& text = checked(form, "text");
    const std::string* id = field(form, "id");
    const std::string* submitField = field(form, "submit");
    const bool submit = submitField == nullptr || *submitField != "0";
    switch (core.once(id ? *id : "", [&] { return core.tmux.send(session, text, submit); })) {
    case Router::Core::Outcome::done:
        return plain("200 OK", "sent");
    case Router::Core::Outcome::repeated:
        return plain("200 OK", "ok");
    case Router::Core::Outcome::tried:
        return alreadyTried();
    case Router::Core::Outcome::failed:
        break;
    }
    return failed();
}

std::optional<std::string> checkKeys(const Router::Request& request) {
    const auto form = http::parseQuery(request.body);
    const std::string* key = field(form, "k");
    const std::string* id = field(form, "id");
    if (!hasSession(form) || key == nullptr || !Router::allowedKeys().contains(*key) ||
        (id != nullptr && !isValidId(*id)) || isBadName(form)) {
        return badRequest();
    }
    return std::nullopt;
}

std::string keys(Router::Core& core, const Router::Request& request) {
    const auto form = http::parseQuery(request.body);
    const std::string* id = field(form, "id");
    switch (
        core.once(id ? *id : "", [&] { return core.tmux.sendKey(checked(form, "s"), checked(form, "k")); })) {
    case Router::Core::Outcome::tried:
        return alreadyTried();
    case Router::Core::Outcome::failed:
        return failed();
    default:
        return plain("200 OK", "ok");
    }
}

std::optional<std::string> checkInterrupt(const Router::Request& request) {
    const auto form = http::parseQuery(request.body);
    if (!hasSession(form)) {
        return plain("400 Bad Request", "session required");
    }
    return isBadName(form) ? std::optional(badRequest()) : std::nullopt;
}

std::string interrupt(Router::Core& core, const Router::Request& request) {
    if (!core.tmux.interrupt(checked(http::parseQuery(request.body), "s"))) {
        return failed();
    }
    return plain("200 OK", "interrupted");
}

std::optional<std::string> checkCarry(const Router::Request& request) {
    const auto form = http::parseQuery(request.body);
    const std::string* paused = field(form, "paused");
    if (paused == nullptr || (*paused != "1" && *paused != "0")) {
        return badRequest();
    }
    return std::nullopt;
}

std::string carry(Router::Core& core, const Router::Request& request) {
    if (!core.carry || !core.carry->setPaused(checked(http::parseQuery(request.body), "paused") == "1")) {
        return failed();
    }
    // The pause took effect: a tmux that does not answer now must not make it read as failed.
    auto json = core.stateJSON();
    return http::response("200 OK", http::applicationJson, json ? *json : core.stateJSON({}));
}

std::string carryJSON(const std::optional<CarryState>& c) {
    if (!c) {
        return "null";
    }
    std::string json = "{\"active\":";
    json += boolean(c->active);
    json += ",\"paused\":";
    json += boolean(c->paused);
    json += ",\"reason\":" + jsonString(c->reason);
    json += ",\"lidHeld\":";
    json += boolean(c->lidHeld);
    json += ",\"temperature\":" + (c->temperature ? std::to_string(*c->temperature) : std::string("null"));
    json += ",\"heatLimit\":" + std::to_string(c->heatLimit);
    json += ",\"floor\":" + std::to_string(c->floor) + "}";
    return json;
}

} // namespace

Router::Router(Tmux& tmux, PowerReader power, CapsLockReader capsLock, Settings& settings,
               token::RandomSource random)
    : core_(std::make_shared<Core>(tmux, std::move(power), std::move(capsLock))), settings_(settings),
      random_(std::move(random)), routes_(makeRoutes()) {}

const std::set<std::string, std::less<>>& Router::allowedKeys() {
    static const std::set<std::string, std::less<>> keys{"Enter", "Escape", "Tab",    "BTab", "Up",  "Down",
                                                         "Left",  "Right",  "BSpace", "C-c",  "C-d", "y",
                                                         "n",     "1",      "2",      "3"};
    return keys;
}

std::vector<Router::Route> Router::makeRoutes() {
    return {
        // The phone page: no token, any query (the pairing URL carries t).
        {"GET", "/", false,
         [](Core&, const Request& request) {
             static const std::string compressed = http::gzip(PhonePage::html);
             if (!compressed.empty() && http::acceptsGzip(request.headerText)) {
                 return http::response("200 OK", "text/html; charset=utf-8", compressed,
                                       "\r\nContent-Encoding: gzip\r\nVary: Accept-Encoding");
             }
             return http::response("200 OK", "text/html; charset=utf-8", PhonePage::html,
                                   "\r\nVary: Accept-Encoding");
         },
         nullptr, true},
        {"GET", "/api/state", true, state},
        {"GET", "/api/capture", true, capture, checkCapture},
        {"POST", "/api/send", true, send, checkSend},
        {"POST", "/api/keys", true, keys, checkKeys},
        {"POST", "/api/interrupt", true, interrupt, checkInterrupt},
        {"POST", "/api/carry", true, carry, checkCarry},
    };
}

std::string Router::route(std::string_view headerText, std::string_view body) {
    Plan plan = prepare(headerText, body);
    return plan.work ? plan.work() : std::move(plan.answer);
}

Router::Match Router::match(std::string_view headerText, bool fromLoopback) {
    Match found;
    const auto lines = http::splitDroppingEmpty(headerText, "\r\n");
    const auto requestLine =
        lines.empty() ? std::vector<std::string_view>{} : http::splitDroppingEmpty(lines.front(), " ");
    const auto target =
        requestLine.size() < 2 ? std::vector<std::string_view>{} : http::splitFirst(requestLine[1], '?');
    if (target.empty()) {
        found.answer = badRequest(); // no request line, or "?" alone names no path
        return found;
    }
    found.method = requestLine[0];
    found.path = target[0];
    if (found.method == "POST" && found.path == sealedPath) {
        found.sealed = true;
        return found;
    }
    if (target.size() > 1) {
        found.query = http::parseQuery(target[1]);
    }

    std::optional<std::string> offered;
    if (const std::string* t = field(found.query, "t")) {
        offered = *t;
    } else {
        offered = http::headerValue("x-token", headerText);
    }
    const std::string expected = token();
    const bool authorised = offered && !expected.empty() && token::constantTimeEquals(*offered, expected);
    // Only where the token lets something in: the page itself needs none, and an old "/?t=" bookmark
    // must still open it.
    const bool plainRefused =
        authorised && !fromLoopback && !settings_.boolean(Config::Key::plainToken).value_or(true);
    if (found.method == "GET" && found.path == keyPath) {
        // A page opened from an old "/?t=" bookmark asks once for the key, then seals everything.
        const auto derived = authorised ? seal::deriveKey(expected) : std::nullopt;
        found.answer = plainRefused  ? plain("403 Forbidden", "plain token refused")
                       : !authorised ? unauthorized()
                       : derived     ? plain("200 OK", seal::keyText(*derived))
                                     : failed();
        return found;
    }

    for (const Route& candidate : routes_) {
        if (candidate.method != found.method || candidate.path != found.path) {
            continue;
        }
        if (candidate.needsToken && plainRefused) {
            found.answer = plain("403 Forbidden", "plain token refused");
        } else if (candidate.needsToken && !authorised) {
            found.answer = unauthorized();
        } else {
            found.route = &candidate;
        }
        return found;
    }
    found.answer = notFound();
    return found;
}

std::optional<std::string> Router::answerHeader(std::string_view headerText) {
    return answerHeaderFrom(headerText, true);
}

std::optional<std::string> Router::answerHeaderFrom(std::string_view headerText, bool fromLoopback) {
    Match found = match(headerText, fromLoopback);
    if (found.sealed || found.answer || !found.route->atOnce) {
        return std::move(found.answer);
    }
    return found.route->handle(*core_, Request{found.method, found.path, found.query, headerText, {}});
}

RequestHandler::Plan Router::prepare(std::string_view headerText, std::string_view body) {
    return prepareFrom(headerText, body, true);
}

RequestHandler::Plan Router::prepareFrom(std::string_view headerText, std::string_view body,
                                         bool fromLoopback) {
    Match found = match(headerText, fromLoopback);
    if (found.sealed) {
        return prepareSealed(body);
    }
    if (found.answer) {
        return {std::move(*found.answer), {}};
    }
    return carryOut(*found.route, std::move(found.method), std::move(found.path), std::move(found.query),
                    headerText, body);
}

RequestHandler::Plan Router::carryOut(const Route& chosen, std::string method, std::string path,
                                      std::map<std::string, std::string> query, std::string_view headerText,
                                      std::string_view body) {
    const Request request{method, path, query, headerText, body};
    if (chosen.check) {
        if (auto refused = chosen.check(request)) {
            return {std::move(*refused), {}};
        }
    }
    if (chosen.atOnce) {
        return {chosen.handle(*core_, request), {}};
    }
    // What acts on a session (a POST naming one) takes its turn in that session's line, in the
    // order the requests came in: the place is taken here, before the work goes to a worker.
    std::shared_ptr<SessionLine::Place> place;
    if (method == "POST") {
        const auto form = http::parseQuery(body);
        if (const std::string* session = field(form, "s"); session != nullptr && !session->empty()) {
            place = core_->line.join(*session);
        }
    }
    return {{},
            [core = core_, handle = chosen.handle, method = std::move(method), path = std::move(path),
             query = std::move(query), header = std::string(headerText), content = std::string(body), place] {
                // A turn that does not come within one tmux call's limit means tmux is stuck on the one
                // before: nothing is tried, so the same id may be sent again.
                if (place && !place->waitTurn(core->tmux.timeLimit())) {
                    return tmuxNotAnswering();
                }
                std::string answer = handle(*core, Request{method, path, query, header, content});
                if (place) {
                    place->leave();
                }
                return answer;
            }};
}

std::optional<seal::Key> Router::key() {
    const std::string current = token();
    const std::lock_guard lock(keyMutex_);
    if (current != keyToken_ || !keyCache_) {
        keyCache_ = seal::deriveKey(current);
        keyToken_ = current;
    }
    return keyCache_;
}

RequestHandler::Plan Router::prepareSealed(std::string_view envelope) {
    const auto currentKey = key();
    const auto plaintext = currentKey ? seal::open(*currentKey, envelope) : std::nullopt;
    // Decoded as a plain request's body is: bytes that are not UTF-8 must not reach tmux as they are.
    const auto inner = plaintext ? sealed::parseRequest(text::decodeUtf8Lossy(*plaintext)) : std::nullopt;
    if (!inner) {
        return {unauthorized(), {}}; // no detail: wrong key, altered or not an envelope at all
    }
    // The routes answer "HTTP/1.1 NNN …"; the page gets the status, the type and the body, sealed.
    const auto sealAnswer = [key = *currentKey, id = inner->id](const std::string& response) {
        const auto headEnd = response.find("\r\n\r\n");
        const std::string_view head = std::string_view(response).substr(0, headEnd);
        const std::string_view body = headEnd == std::string::npos
                                          ? std::string_view()
                                          : std::string_view(response).substr(headEnd + 4);
        const std::string type =
            http::headerValue("content-type", head).value_or(std::string(http::textPlain));
        const int status = response.size() >= 12 ? std::atoi(response.substr(9, 3).c_str()) : 500;
        return http::response(
            "200 OK", http::textPlain,
            seal::seal(key, sealed::formatAnswer(id, status, sealed::nowMillis(), type, body)));
    };
    // Refusals are sealed too: the page learns the server's clock from them, an onlooker nothing.
    switch (replayGuard_.admit(inner->id, inner->time, sealed::nowMillis())) {
    case sealed::ReplayGuard::Verdict::outsideWindow:
        return {sealAnswer(plain("408 Request Timeout", "clock")), {}};
    case sealed::ReplayGuard::Verdict::replayed:
        return {sealAnswer(plain("403 Forbidden", "replayed")), {}};
    case sealed::ReplayGuard::Verdict::admitted:
        break;
    }
    const auto target = http::splitFirst(inner->target, '?');
    const Route* chosen = nullptr;
    for (const Route& candidate : routes_) {
        if (!target.empty() && candidate.needsToken && candidate.method == inner->method &&
            candidate.path == target[0]) {
            chosen = &candidate;
        }
    }
    if (chosen == nullptr) {
        return {sealAnswer(notFound()), {}}; // only the API: not the page, the key or another envelope
    }
    Plan plan =
        carryOut(*chosen, inner->method, std::string(target[0]),
                 target.size() > 1 ? http::parseQuery(target[1]) : std::map<std::string, std::string>{},
                 inner->method + " " + inner->target + " HTTP/1.1", inner->body);
    if (!plan.work) {
        return {sealAnswer(plan.answer), {}};
    }
    return {{}, [work = std::move(plan.work), sealAnswer] { return sealAnswer(work()); }};
}

std::optional<std::string> Router::stateJSON() {
    return core_->stateJSON();
}

Router::Core::Outcome Router::Core::once(const std::string& id, const std::function<bool()>& action) {
    if (id.empty()) {
        return action() ? Outcome::done : Outcome::failed;
    }
    std::unique_lock lock(idMutex_);
    const auto now = std::chrono::steady_clock::now();
    for (auto it = idOrder_.begin();
         it != idOrder_.end() && (now - it->first >= idMemory || idOrder_.size() >= idsRemembered);) {
        // One still being tried stays: a retry meanwhile must wait for its outcome, not run it again.
        if (const auto entry = ids_.find(it->second); entry != ids_.end() && entry->second == Try::pending) {
            ++it;
            continue;
        }
        ids_.erase(it->second);
        it = idOrder_.erase(it);
    }
    for (auto found = ids_.find(id); found != ids_.end(); found = ids_.find(id)) {
        if (found->second == Try::done) {
            return Outcome::repeated;
        }
        if (found->second == Try::failed) {
            return Outcome::tried;
        }
        idSettled_.wait(lock);
    }
    ids_.emplace(id, Try::pending);
    idOrder_.emplace_back(now, id);
    lock.unlock();
    bool ok = false;
    const auto settle = [&] {
        lock.lock();
        if (const auto found = ids_.find(id); found != ids_.end()) {
            found->second = ok ? Try::done : Try::failed;
        }
        idSettled_.notify_all();
    };
    try {
        ok = action();
    } catch (...) {
        settle();
        throw;
    }
    settle();
    return ok ? Outcome::done : Outcome::failed;
}

std::optional<std::string> Router::Core::stateJSON() {
    if (!tmux.isAvailable()) {
        return stateJSON({});
    }
    const auto sessions = tmux.answeredSessions();
    if (!sessions) {
        return std::nullopt;
    }
    return stateJSON(*sessions);
}

std::string Router::Core::stateJSON(const std::vector<AgentSession>& sessions) {
    const PowerState powerState = power();
    const SystemTime now = systemNow();

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
        json += ",\"idle\":" + std::to_string(wholeMinutes(session.idleFor(now)));
        json += ",\"activity\":" + std::to_string(session.activitySeconds(now));
        json += ",\"quiet\":";
        json += boolean(session.isQuiet(now));
        json += '}';
    }
    json += "],\"tmux\":";
    json += boolean(tmux.isAvailable());
    json += ",\"battery\":";
    json += powerState.percent ? std::to_string(*powerState.percent) : std::string("null");
    json += ",\"onAC\":";
    json += boolean(powerState.onAC);
    json += ",\"capsLock\":";
    json += boolean(capsLock());
    json += ",\"carry\":" + carryJSON(carry ? carry->state() : std::nullopt);
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
