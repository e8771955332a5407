#include "app/phone/Router.hpp"

#include "app/phone/Http.hpp"
#include "app/phone/PhonePage.hpp"

namespace torvane {

namespace {

// No token needed, any query (an old pairing URL carries t).
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
               PairingSecret& secret)
    : api_(std::make_shared<ApiRoutes>(tmux, std::move(power), std::move(capsLock))), secret_(secret),
      gate_(secret) {}

Router::Match Router::match(const Request& request) {
    using Kind = Match::Kind;
    if (request.method == "POST" && request.path == sealedPath) {
        return Match{Kind::envelope, std::nullopt, nullptr}; // no token: the envelope decides
    }
    if (request.method == "GET" && request.path == "/") {
        return Match{Kind::page, std::nullopt, nullptr};
    }
    const auto verdict = secret_.check(request.token, request.origin == Origin::loopback);
    const bool forKey = request.method == "GET" && request.path == keyPath;
    const ApiRoutes::Route* route = ApiRoutes::find(request.method, request.path);
    if (route == nullptr && !forKey) {
        return Match{Kind::answer, Response::notFound(), nullptr};
    }
    if (verdict == PairingSecret::Verdict::plainRefused) {
        return Match{Kind::answer, Response::text(403, "plain token refused"), nullptr};
    }
    if (verdict == PairingSecret::Verdict::refused) {
        return Match{Kind::answer, Response::unauthorized(), nullptr};
    }
    if (forKey) {
        // A page opened from an old "/?t=" bookmark asks once for the key, then seals everything.
        const auto key = secret_.key();
        return Match{Kind::answer, key ? Response::text(200, seal::keyText(*key)) : Response::failed(),
                     nullptr};
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
    plan.work = [api = api_, route = &route, request = std::move(request)](bool inTime) {
        // A turn that does not come within one tmux call's limit means tmux is stuck on the one before:
        // nothing is tried, so the same id may be sent again.
        return inTime ? api->handle(*route, request) : Response::tmuxNotAnswering();
    };
    return plan;
}

RequestHandler::Plan Router::planSealed(std::string_view envelope) {
    auto opened = gate_.open(envelope);
    if (auto* refusal = std::get_if<Response>(&opened)) {
        return Plan::at(std::move(*refusal));
    }
    auto& letter = std::get<SealedGate::Letter>(opened);
    Request& inner = letter.request;
    const SealedGate::Sealer& sealer = letter.sealer;
    const ApiRoutes::Route* route = ApiRoutes::find(inner.method, inner.path);
    if (route == nullptr) {
        return Plan::at(
            sealer.sealed(Response::notFound())); // only the API: not the page, the key or another envelope
    }
    Plan plan = carryOut(*route, std::move(inner));
    if (plan.answer) {
        plan.answer = sealer.sealed(*plan.answer);
    } else {
        plan.work = [work = std::move(plan.work), sealer = letter.sealer](bool inTime) {
            return sealer.sealed(work(inTime));
        };
    }
    return plan;
}

} // namespace torvane
