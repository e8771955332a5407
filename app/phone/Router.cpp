#include "app/phone/Router.hpp"

#include "app/phone/Http.hpp"
#include "app/phone/PhonePage.hpp"

namespace torvane {

namespace {

// No token needed, any query: an old "/?t=" bookmark gets the page, which tells the user to pair again.
Response page(bool gzip) {
    static const std::string compressed = http::gzip(PhonePage::html);
    Response page{
        200, "text/html; charset=utf-8", std::string(PhonePage::html), {{"Vary", "Accept-Encoding"}}};
    if (!compressed.empty() && gzip) {
        page.body = compressed;
        page.headers.insert(page.headers.begin(), {"Content-Encoding", "gzip"});
    }
    return page;
}

} // namespace

Router::Router(Tmux& tmux, StateDocument::PowerReader power, StateDocument::CapsLockReader capsLock,
               PairingSecret& secret, PhoneRegistry& phones)
    : api_(std::make_shared<ApiRoutes>(tmux, std::move(power), std::move(capsLock))), secret_(secret),
      phones_(phones), gate_(phones) {}

Router::Match Router::match(const Request& request) {
    using Kind = Match::Kind;
    if (request.method == "POST" && request.path == sealedPath) {
        return Match{Kind::envelope, std::nullopt, nullptr}; // no token: the envelope decides
    }
    if (request.method == "GET" && request.path == "/") {
        return Match{Kind::page, std::nullopt, nullptr};
    }
    const auto verdict = secret_.check(request.token, request.origin == Origin::loopback);
    const ApiRoutes::Route* route = ApiRoutes::find(request.method, request.path);
    if (route == nullptr) {
        return Match{Kind::answer, Response::notFound(), nullptr};
    }
    if (verdict == PairingSecret::Verdict::plainRefused) {
        return Match{Kind::answer, Response::text(403, "plain token refused"), nullptr};
    }
    if (verdict == PairingSecret::Verdict::refused) {
        return Match{Kind::answer, Response::unauthorized(), nullptr};
    }
    return {Kind::api, std::nullopt, route};
}

std::optional<Response> Router::answerHead(const Request& request) {
    Match found = match(request);
    if (found.kind == Match::Kind::page) {
        return page(request.acceptsGzip);
    }
    return std::move(found.answer);
}

RequestHandler::Plan Router::plan(Request request) {
    Match found = match(request);
    switch (found.kind) {
    case Match::Kind::answer:
        return Plan::at(std::move(*found.answer));
    case Match::Kind::page:
        return Plan::at(page(request.acceptsGzip));
    case Match::Kind::envelope:
        return planSealed(request.body);
    case Match::Kind::api:
        break;
    }
    return carryOut(*found.route, std::move(request));
}

RequestHandler::Plan Router::carryOut(const ApiRoutes::Route& route, Request request) {
    if (route.check) {
        if (auto refused = route.check(request)) {
            return Plan::at(std::move(*refused));
        }
    }
    Plan plan;
    // What acts on a session (a POST naming one) takes its turn in that session's line, in the order
    // the requests came in.
    if (const std::string* session = request.formField("s");
        request.method == "POST" && session != nullptr && !session->empty()) {
        plan.session = *session;
        plan.turnLimit = api_->tmux().timeLimit();
    }
    if (route.await != nullptr) {
        plan.later = [api = api_, route = &route, request = std::move(request)](Reply reply) {
            api->await(*route, request, std::move(reply));
        };
        return plan;
    }
    plan.work = [api = api_, route = &route, request = std::move(request)](bool inTime) {
        // A turn that does not come within one tmux call's limit means tmux is stuck on the one before:
        // nothing is tried, so the same id may be sent again.
        return inTime ? api->handle(*route, request) : Response::tmuxNotAnswering();
    };
    return plan;
}

RequestHandler::Plan Router::planSealed(std::string_view body) {
    auto opened = gate_.open(body);
    if (auto* refusal = std::get_if<Response>(&opened)) {
        return Plan::at(std::move(*refusal));
    }
    auto& letter = std::get<SealedGate::Letter>(opened);
    Request& inner = letter.request;
    const SealedGate::Sealer& sealer = letter.sealer;
    const ApiRoutes::Route* route = ApiRoutes::find(inner.method, inner.path);
    if (route == nullptr) {
        return Plan::at(
            sealer.sealed(Response::notFound())); // only the API: not the page or another envelope
    }
    Plan plan = carryOut(*route, std::move(inner));
    if (plan.answer) {
        plan.answer = sealer.sealed(*plan.answer);
    } else if (plan.later) {
        plan.later = [later = std::move(plan.later), sealer = letter.sealer, phones = &phones_](Reply reply) {
            later([reply = std::move(reply), sealer, phones](Response answer) {
                // Revoked while it waited: nothing more of the screen goes out under that key.
                const auto entry = phones->find(sealer.keyId);
                reply(!entry ? Response::unauthorized()
                      : entry->kind == PhoneRegistry::Kind::phone
                          ? sealer.sealed(answer)
                          : sealer.sealed(Response::text(410, "revoked")));
            });
        };
    } else {
        plan.work = [work = std::move(plan.work), sealer = letter.sealer, time = letter.time](bool inTime) {
            // A work that waited for its turn until the page may have given up is not begun: the page
            // may send the same action again (seal::ReplayGuard::behind). Nothing was tried.
            if (seal::nowMillis() - time > seal::ReplayGuard::behind.count()) {
                return sealer.sealed(Response::text(408, "late"));
            }
            return sealer.sealed(work(inTime));
        };
    }
    return plan;
}

} // namespace torvane
