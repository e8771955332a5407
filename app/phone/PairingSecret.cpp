#include "app/phone/PairingSecret.hpp"

#include "app/core/Config.hpp"
#include "app/core/Log.hpp"

namespace torvane {

PairingSecret::PairingSecret(Settings& settings, token::RandomSource random)
    : settings_(settings), random_(std::move(random)) {}

std::string PairingSecret::createToken() {
    auto fresh = token::generate(random_);
    if (!fresh) {
        Log::write("ERROR: 接続の合言葉を作れませんでした");
        return {};
    }
    settings_.setString(Config::Key::serverToken, *fresh);
    return *fresh;
}

std::string PairingSecret::token() {
    const std::lock_guard lock(tokenMutex_);
    if (auto stored = settings_.string(Config::Key::serverToken); stored && !stored->empty()) {
        return *stored;
    }
    return createToken();
}

bool PairingSecret::regenerate() {
    const std::lock_guard lock(tokenMutex_);
    // The old token goes first, so that it is refused even if no new one can be made.
    const bool dropped = settings_.setString(Config::Key::serverToken, "");
    const auto fresh = token::generate(random_);
    if (!fresh) {
        Log::write("ERROR: 接続の合言葉を作れませんでした");
        return false;
    }
    const bool stored = settings_.setString(Config::Key::serverToken, *fresh);
    Log::write("接続の合言葉を作り直しました");
    return dropped && stored;
}

PairingSecret::Verdict PairingSecret::check(const std::optional<std::string>& offered, bool fromLoopback) {
    const std::string expected = token();
    if (!offered || expected.empty() || !token::constantTimeEquals(*offered, expected)) {
        return Verdict::refused;
    }
    // A token sent across the network is readable on the way: from there only when asked for.
    return !fromLoopback && !settings_.boolean(Config::Key::plainToken).value_or(false)
               ? Verdict::plainRefused
               : Verdict::admitted;
}

} // namespace torvane
