#pragma once

#include "app/phone/ApiRoutes.hpp"
#include "app/phone/PairingSecret.hpp"
#include "app/phone/PhoneRegistry.hpp"
#include "app/phone/RequestHandler.hpp"
#include "app/phone/SealedGate.hpp"
#include "app/power/CarryLink.hpp"
#include "app/tmux/Tmux.hpp"

#include <memory>
#include <optional>
#include <string_view>

namespace torvane {

// The phone link's routing: matches a request to the page, the sealed gate or an API route, checks
// the token on the way, and hands the API's work on. The routes themselves are ApiRoutes; the
// envelopes and the phones' keys are SealedGate's; the token is PairingSecret's.
class Router final : public RequestHandler {
public:
    Router(Tmux& tmux, StateDocument::PowerReader power, StateDocument::CapsLockReader capsLock,
           PairingSecret& secret, PhoneRegistry& phones);

    // The page, and every refusal the header decides: 404, 401, 403 "plain token refused".
    std::optional<Response> answerHead(const Request& request) override;
    // Checks the request at once; only tmux work is left for a worker, in its session's line when it
    // acts on a session (a POST naming one).
    Plan plan(Request request) override;

    // Carry mode's state and pause; without it "carry" is null and /api/carry fails. Before serving.
    void setCarryLink(std::shared_ptr<CarryLink> link) {
        link->listen([api = std::weak_ptr<ApiRoutes>(api_)] {
            if (const auto routes = api.lock())
                routes->live().stateChanged();
        });
        api_->state().setCarryLink(std::move(link));
    }

    // Phones were revoked: their pages' waiting calls are answered now (sealed 410), not when their
    // wait ends.
    void phonesRevoked() { api_->live().answerWaiting(); }

    // Where the page's sealed calls go: the body is one envelope, the answer another.
    static constexpr std::string_view sealedPath = "/api/sealed";

private:
    // What the method, path and token decide.
    struct Match {
        enum class Kind { answer, page, envelope, api } kind;
        std::optional<Response> answer;
        const ApiRoutes::Route* route = nullptr;
    };
    Match match(const Request& request);
    // An API route's check, then its work.
    Plan carryOut(const ApiRoutes::Route& route, Request request);
    // The envelope opened, the inner request routed like a plain one, every answer sealed.
    Plan planSealed(std::string_view body);

    std::shared_ptr<ApiRoutes> api_;
    PairingSecret& secret_;
    PhoneRegistry& phones_;
    SealedGate gate_;
};

} // namespace torvane
