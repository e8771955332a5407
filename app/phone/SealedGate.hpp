#pragma once

#include "app/phone/PhoneRegistry.hpp"
#include "app/phone/ReplayGuard.hpp"
#include "app/phone/Request.hpp"
#include "app/phone/Response.hpp"
#include "app/phone/Seal.hpp"

#include <string>
#include <string_view>
#include <variant>

namespace torvane {

// How a sealed request (POST /api/sealed) is opened and its answer sealed. The body is the key's id,
// ".", and the envelope: the id names a phone's key or a pairing code's (PhoneRegistry). The envelope
// is opened under that key, its run id, time and id pass the checks, and what comes out is an ordinary
// Request (origin sealed) for the same routes as the token API; a pairing code's one request, the
// pairing itself, is carried out here.
class SealedGate {
public:
    explicit SealedGate(PhoneRegistry& phones);

    // Where a page trades its pairing code for a key of its own.
    static constexpr std::string_view pairPath = "/api/pair";

    // Seals the answers to one request: status, type and body, with the request's id and this run's
    // id, under a fresh nonce. On the wire the answer is always a 200.
    struct Sealer {
        seal::Key key;
        std::string id;
        std::string run;
        std::string keyId; // the phone (or code) whose key this is
        Response sealed(const Response& answer) const;
    };
    // A request let in, what seals its answer, and its time (milliseconds since the epoch).
    struct Letter {
        Request request;
        Sealer sealer;
        long long time = 0;
    };

    // The request inside, or the answer at once: 401 in the clear for a body that does not open (no
    // detail: unknown id, wrong key, altered or no envelope at all); sealed: 410 "revoked" for a
    // revoked phone, 412 "run" for another run's id (nothing recorded before a restart acts after
    // it; the page takes the run id from the answer and sends again), 408 "clock" for a time outside
    // the window, 403 "replayed" for an id let in before.
    std::variant<Letter, Response> open(std::string_view body);

    // This run's id: random, made at the start.
    const std::string& run() const { return run_; }

private:
    Response pair(std::string_view codeId, const Request& request, const Sealer& sealer);

    PhoneRegistry& phones_;
    const std::string run_;
    seal::ReplayGuard replayGuard_;
};

} // namespace torvane
