#pragma once

#include "app/core/Settings.hpp"
#include "app/phone/Token.hpp"

#include <mutex>
#include <optional>
#include <string>

namespace torvane {

// The token kept in the settings, for scripts on this machine, and whether an offered token lets a
// plain (unsealed) request in. Phones never see it: they have keys of their own (PhoneRegistry).
// Thread-safe.
class PairingSecret {
public:
    explicit PairingSecret(Settings& settings, token::RandomSource random = token::secureRandom);

    // The stored token, created and stored when there is none; empty only when the secure
    // generator fails, and then no request is let in.
    std::string token();
    // Replaces the token; from then on the old one is refused. No phone is touched. False when the
    // change could not be stored for good (it holds for this process only) or no token was made.
    bool regenerate();

    enum class Verdict { admitted, refused, plainRefused };
    // An offered token: the current one lets a request in from this machine, and from the network
    // only with plainToken=true in the settings.
    Verdict check(const std::optional<std::string>& offered, bool fromLoopback);

private:
    std::string createToken(); // with tokenMutex_ held

    Settings& settings_;
    const token::RandomSource random_;
    // Read-or-create must be one step: two threads creating at once would hand out a token that is
    // not the stored one.
    std::mutex tokenMutex_;
};

} // namespace torvane
