#include "app/phone/ApiRoutes.hpp"

#include <algorithm>
#include <array>
#include <cctype>

namespace torvane {

namespace {

// A field the route's check has made sure of.
const std::string& checked(const std::string* field) {
    static const std::string none;
    return field == nullptr ? none : *field;
}

// Up to 64 of A-Z a-z 0-9 "-" "_"; empty means none.
bool isValidId(const std::string* id) {
    return id == nullptr || (id->size() <= 64 && std::all_of(id->begin(), id->end(), [](char c) {
                                 return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
                             }));
}

bool hasSession(const std::string* session) {
    return session != nullptr && !session->empty();
}

// No session is named so: tmux shows control characters of a name escaped, and a name beyond the
// system's limit on an argument would only make every call fail (and be logged).
bool isBadName(const std::string* session) {
    const std::string& name = checked(session);
    return name.size() > 1024 || std::any_of(name.begin(), name.end(), [](char c) {
               return static_cast<unsigned char>(c) < 0x20 || c == '\x7f';
           });
}

// A request that names a session and nothing else.
std::optional<Response> checkSessionOnly(const std::string* session) {
    if (!hasSession(session)) {
        return Response::text(400, "session required");
    }
    return isBadName(session) ? std::optional(Response::badRequest()) : std::nullopt;
}

std::optional<Response> checkCapture(const Request& request) {
    return checkSessionOnly(request.queryField("s"));
}

std::optional<Response> checkSend(const Request& request) {
    const std::string* session = request.formField("s");
    const std::string* text = request.formField("text");
    if (!hasSession(session) || text == nullptr) {
        return Response::text(400, "session and text required");
    }
    if (!isValidId(request.formField("id")) || isBadName(session)) {
        return Response::badRequest();
    }
    if (text->find('\0') != std::string::npos) {
        return Response::badRequest(); // a NUL cannot be typed: nothing of the text is
    }
    return std::nullopt;
}

std::optional<Response> checkKeys(const Request& request) {
    const std::string* session = request.formField("s");
    const std::string* key = request.formField("k");
    if (!hasSession(session) || key == nullptr || !ApiRoutes::allowedKeys().contains(*key) ||
        !isValidId(request.formField("id")) || isBadName(session)) {
        return Response::badRequest();
    }
    return std::nullopt;
}

std::optional<Response> checkInterrupt(const Request& request) {
    return checkSessionOnly(request.formField("s"));
}

// "v" and "w" whole numbers when given; "s" a name or nothing.
std::optional<Response> checkLive(const Request& request) {
    for (const char* field : {"v", "w"}) {
        const std::string* value = request.queryField(field);
        if (value != nullptr &&
            (value->empty() || value->size() > 19 ||
             !std::all_of(value->begin(), value->end(), [](char c) { return c >= '0' && c <= '9'; }))) {
            return Response::badRequest();
        }
    }
    return isBadName(request.queryField("s")) ? std::optional(Response::badRequest()) : std::nullopt;
}

std::optional<Response> checkCarry(const Request& request) {
    const std::string* paused = request.formField("paused");
    if (paused == nullptr || (*paused != "1" && *paused != "0")) {
        return Response::badRequest();
    }
    return std::nullopt;
}

// Nothing typed now, but the first try of this id may have typed: the user has to look first.
Response alreadyTried() {
    return Response::text(409, "already tried");
}

} // namespace

const ApiRoutes::Route* ApiRoutes::find(std::string_view method, std::string_view path) {
    static const std::array<Route, 7> routes{{
        {"GET", "/api/state", &ApiRoutes::readState, nullptr},
        {"GET", "/api/capture", &ApiRoutes::capture, checkCapture},
        {"POST", "/api/send", &ApiRoutes::send, checkSend},
        {"POST", "/api/keys", &ApiRoutes::pressKey, checkKeys},
        {"POST", "/api/interrupt", &ApiRoutes::interrupt, checkInterrupt},
        {"POST", "/api/carry", &ApiRoutes::setCarry, checkCarry},
        {"GET", "/api/live", nullptr, checkLive, &ApiRoutes::awaitLive},
    }};
    const auto found = std::find_if(routes.begin(), routes.end(), [&](const Route& route) {
        return route.method == method && route.path == path;
    });
    return found == routes.end() ? nullptr : &*found;
}

const std::set<std::string, std::less<>>& ApiRoutes::allowedKeys() {
    static const std::set<std::string, std::less<>> keys{
        "Enter", "Escape", "Tab", "BTab", "Up", "Down",  "Left",  "Right", "BSpace", "C-c",   "C-d",
        "y",     "n",      "1",   "2",    "3",  "PPage", "NPage", "Home",  "End",    "Space", "q"};
    return keys;
}

Response ApiRoutes::readState(const Request&) {
    const auto json = state_.json();
    return json ? Response::json(*json) : Response::tmuxNotAnswering();
}

Response ApiRoutes::capture(const Request& request) {
    const auto shot = tmux_.answeredCapture(checked(request.queryField("s")), 200);
    return shot.answered ? Response::text(200, shot.screen.value_or("")) : Response::tmuxNotAnswering();
}

Response ApiRoutes::send(const Request& request) {
    const std::string& session = checked(request.formField("s"));
    const std::string& text = checked(request.formField("text"));
    const std::string* submitField = request.formField("submit");
    const bool submit = submitField == nullptr || *submitField != "0";
    switch (
        ledger_.once(checked(request.formField("id")), [&] { return tmux_.send(session, text, submit); })) {
    case RetryLedger::Outcome::done:
        return Response::text(200, "sent");
    case RetryLedger::Outcome::repeated:
        return Response::text(200, "ok");
    case RetryLedger::Outcome::tried:
        return alreadyTried();
    case RetryLedger::Outcome::failed:
        break;
    }
    return Response::failed();
}

Response ApiRoutes::pressKey(const Request& request) {
    const auto press = [&] {
        return tmux_.sendKey(checked(request.formField("s")), checked(request.formField("k")));
    };
    switch (ledger_.once(checked(request.formField("id")), press)) {
    case RetryLedger::Outcome::tried:
        return alreadyTried();
    case RetryLedger::Outcome::failed:
        return Response::failed();
    default:
        return Response::text(200, "ok");
    }
}

Response ApiRoutes::interrupt(const Request& request) {
    if (!tmux_.interrupt(checked(request.formField("s")))) {
        return Response::failed();
    }
    return Response::text(200, "interrupted");
}

void ApiRoutes::awaitLive(const Request& request, RequestHandler::Reply reply) {
    const auto number = [&](const char* field, std::uint64_t otherwise) {
        const std::string* value = request.queryField(field);
        return value == nullptr ? otherwise : std::stoull(*value);
    };
    live_.await(checked(request.queryField("s")), number("v", 0),
                std::chrono::milliseconds(std::min<std::uint64_t>(number("w", 15000), 60000)),
                std::move(reply));
}

Response ApiRoutes::setCarry(const Request& request) {
    const auto& carry = state_.carryLink();
    if (!carry || !carry->setPaused(checked(request.formField("paused")) == "1")) {
        return Response::failed();
    }
    // The pause took effect: a tmux that does not answer now must not make it read as failed.
    auto json = state_.json();
    return Response::json(json ? *json : state_.json({}));
}

} // namespace torvane
