#pragma once

#include "app/phone/PairingSecret.hpp"
#include "app/phone/ReplayGuard.hpp"
#include "app/phone/Request.hpp"
#include "app/phone/Response.hpp"
#include "app/phone/Seal.hpp"

#include <string>
#include <string_view>
#include <variant>

namespace torvane {

// How a sealed request (POST /api/sealed) is opened and its answer sealed: the envelope is opened
// under the pairing key, its time and id pass the replay guard, and what comes out is an ordinary
// Request (origin sealed) for the same routes as the token API.
class SealedGate {
public:
    explicit SealedGate(PairingSecret& secret) : secret_(secret) {}

    // Seals the answers to one request: status, type and body, with the request's id, under a fresh
    // nonce. On the wire the answer is always a 200.
    struct Sealer {
        seal::Key key;
        std::string id;
        Response sealed(const Response& answer) const;
    };
    // A request let in, and what seals its answer.
    struct Letter {
        Request request;
        Sealer sealer;
    };

    // The request inside, or the answer at once: 401 in the clear for an envelope that does not open
    // (no detail: wrong key, altered or no envelope at all), a sealed 408 "clock" for a time outside
    // the window, a sealed 403 "replayed" for an id let in before.
    std::variant<Letter, Response> open(std::string_view envelope);

private:
    PairingSecret& secret_;
    seal::ReplayGuard replayGuard_;
};

} // namespace torvane
