#pragma once

#include "app/phone/SealedCall.hpp"

#include <chrono>
#include <map>
#include <mutex>
#include <string>

namespace torvane::seal {

// Remembers the ids let in, each for as long as its time is inside the window, and refuses a
// request whose time is outside it or whose id was let in before. Ids of an earlier run of the app
// are not known: its requests carry another run id and are refused before they get here
// (SealedGate). Thread-safe.
class ReplayGuard {
public:
    // How far a request's time may lie ahead of the server's clock: the page's estimate of that clock
    // comes from round trips under a second, so more is a clock gone wrong or a request made to be
    // kept for later.
    static constexpr std::chrono::milliseconds ahead{5000};
    // How far behind. The page gives up on a request after 25 s (REQUEST_LIMIT_MS in phone.html) and
    // may then send its action again under the same id; a request older than 20 s is neither let in
    // nor, once let in, begun (Router), so one the page has given up on never acts late. The 5 s
    // between cover the page's clock estimate and the tmux call itself.
    static constexpr std::chrono::milliseconds behind{20000};
    enum class Verdict { admitted, replayed, outsideWindow };

    Verdict admit(const std::string& id, long long time, long long now);

private:
    std::mutex mutex_;
    long long floor_ = 0; // rises past each id forgotten, so a clock set back cannot bring one back
    std::map<std::string, long long> seen_;       // id → its request's time
    std::multimap<long long, std::string> order_; // the same by time: what leaves the window goes first
};

} // namespace torvane::seal
