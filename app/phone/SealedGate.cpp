#include "app/phone/SealedGate.hpp"

#include "app/core/Log.hpp"
#include "app/phone/JsonString.hpp"
#include "app/phone/SealedCall.hpp"
#include "common/Text.hpp"

namespace torvane {

SealedGate::SealedGate(PhoneRegistry& phones)
    : phones_(phones), run_(token::generate().value_or(std::to_string(seal::nowMillis()))) {}

Response SealedGate::Sealer::sealed(const Response& answer) const {
    return Response::text(200, seal::seal(key, seal::formatAnswer({id, answer.status, seal::nowMillis(), run,
                                                                   answer.type, answer.body})));
}

std::variant<SealedGate::Letter, Response> SealedGate::open(std::string_view body) {
    const auto dot = body.find('.');
    const std::string_view keyId = body.substr(0, dot);
    const auto entry =
        dot == std::string_view::npos || keyId.size() > 64 ? std::nullopt : phones_.find(keyId);
    const auto plaintext = entry ? seal::open(entry->key, body.substr(dot + 1)) : std::nullopt;
    // Decoded as a plain request's body is: bytes that are not UTF-8 must not reach tmux as they are.
    const auto call = plaintext ? seal::parseRequest(text::decodeUtf8Lossy(*plaintext)) : std::nullopt;
    if (!call) {
        return Response::unauthorized();
    }
    const Sealer sealer{entry->key, call->id, run_, std::string(keyId)};
    // Refusals are sealed too: the page learns the server's clock and run from them, an onlooker
    // nothing. A revoked phone is told so whatever else its request holds.
    if (entry->kind == PhoneRegistry::Kind::revoked) {
        return sealer.sealed(Response::text(410, "revoked"));
    }
    if (call->run != run_) {
        return sealer.sealed(Response::text(412, "run"));
    }
    switch (replayGuard_.admit(call->id, call->time, seal::nowMillis())) {
    case seal::ReplayGuard::Verdict::outsideWindow:
        return sealer.sealed(Response::text(408, "clock"));
    case seal::ReplayGuard::Verdict::replayed:
        return sealer.sealed(Response::text(403, "replayed"));
    case seal::ReplayGuard::Verdict::admitted:
        break;
    }
    // The target may name no path; such a letter matches no route and is answered 404, sealed.
    auto inner = Request::fromTarget(call->method, call->target, Origin::sealed).value_or(Request{});
    inner.origin = Origin::sealed;
    inner.id = call->id;
    inner.setBody(call->body);
    if (entry->kind == PhoneRegistry::Kind::code) {
        // A code opens the pairing and nothing else.
        return inner.method == "POST" && inner.path == pairPath ? pair(keyId, inner, sealer)
                                                                : sealer.sealed(Response::notFound());
    }
    phones_.seen(keyId);
    return Letter{std::move(inner), sealer, call->time};
}

Response SealedGate::pair(std::string_view codeId, const Request& request, const Sealer& sealer) {
    const std::string* offered = request.formField("name");
    const auto phone = phones_.redeem(codeId, offered == nullptr ? "" : *offered);
    if (!phone) {
        // Used a moment ago, or expired meanwhile: the page asks for a new code.
        return sealer.sealed(Response::text(403, "code used"));
    }
    Log::write("スマホを登録しました: " + phone->name);
    // The phone's key travels only inside this envelope, under the code's key.
    return sealer.sealed(Response::json("{\"phone\":" + jsonString(phone->id) +
                                        ",\"key\":" + jsonString(seal::keyText(phone->key)) +
                                        ",\"name\":" + jsonString(phone->name) + "}"));
}

} // namespace torvane
