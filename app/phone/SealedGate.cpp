#include "app/phone/SealedGate.hpp"

#include "app/phone/SealedCall.hpp"
#include "common/Text.hpp"

namespace torvane {

Response SealedGate::Sealer::sealed(const Response& answer) const {
    return Response::text(200, seal::seal(key, seal::formatAnswer(id, answer.status, seal::nowMillis(),
                                                                  answer.type, answer.body)));
}

std::variant<SealedGate::Letter, Response> SealedGate::open(std::string_view envelope) {
    const auto key = secret_.key();
    const auto plaintext = key ? seal::open(*key, envelope) : std::nullopt;
    // Decoded as a plain request's body is: bytes that are not UTF-8 must not reach tmux as they are.
    const auto call = plaintext ? seal::parseRequest(text::decodeUtf8Lossy(*plaintext)) : std::nullopt;
    if (!call) {
        return Response::unauthorized();
    }
    // The target may name no path; such a letter matches no route and is answered 404, sealed.
    auto inner = Request::fromTarget(call->method, call->target, Origin::sealed).value_or(Request{});
    inner.origin = Origin::sealed;
    inner.id = call->id;
    inner.setBody(call->body);
    const Sealer sealer{*key, call->id};
    // Refusals are sealed too: the page learns the server's clock from them, an onlooker nothing.
    switch (replayGuard_.admit(call->id, call->time, seal::nowMillis())) {
    case seal::ReplayGuard::Verdict::outsideWindow:
        return sealer.sealed(Response::text(408, "clock"));
    case seal::ReplayGuard::Verdict::replayed:
        return sealer.sealed(Response::text(403, "replayed"));
    case seal::ReplayGuard::Verdict::admitted:
        break;
    }
    return Letter{std::move(inner), sealer};
}

} // namespace torvane
