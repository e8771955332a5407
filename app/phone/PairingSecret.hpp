#pragma once

#include "app/core/Settings.hpp"
#include "app/phone/Seal.hpp"
#include "app/phone/Token.hpp"

#include <mutex>
#include <optional>
#include <string>

namespace torvane {

// The pairing secret: the token kept in the settings, and the sealed calls' key derived from it.
// Also decides whether an offered token lets a plain (unsealed) request in. Thread-safe.
class PairingSecret {
public:
    explicit PairingSecret(Settings& settings, token::RandomSource random = token::secureRandom);

    // The stored token, created and stored when there is none; empty only when the secure
    // generator fails, and then no request is let in.
    std::string token();
    // Replaces the token; from then on the old one (and its key) is refused.
    void regenerate();
    // The key of the current token; none without a token.
    std::optional<seal::Key> key();

    enum class Verdict { admitted, refused, plainRefused };
    // An offered token: the current one lets a request in, unless plainToken=false in the settings
    // and the request comes from the network.
    Verdict check(const std::optional<std::string>& offered, bool fromLoopback);

private:
    std::string createToken(); // with tokenMutex_ held

    Settings& settings_;
    const token::RandomSource random_;
    // Read-or-create must be one step: two threads creating at once would hand out a token that is
    // not the stored one.
    std::mutex tokenMutex_;
    std::mutex keyMutex_;
    std::string keyToken_;              // guarded by keyMutex_: the token `keyCache_` was derived from
    std::optional<seal::Key> keyCache_; // guarded by keyMutex_
};

} // namespace torvane
