#pragma once

#include "app/phone/SealedCall.hpp"

#include <chrono>
#include <map>
#include <mutex>
#include <string>

namespace torvane::seal {

// Remembers the ids let in, each for as long as its time is inside the window, and refuses a
// request whose time is outside it or whose id was let in before. Thread-safe.
class ReplayGuard {
public:
    // How far a request's time may lie from the server's clock, either way.
    static constexpr std::chrono::milliseconds window{60000};
    enum class Verdict { admitted, replayed, outsideWindow };

    // Nothing timed before `floor` is let in: the ids let in before it (by an earlier run of the app)
    // are not known.
    explicit ReplayGuard(long long floor = nowMillis()) : floor_(floor) {}

    Verdict admit(const std::string& id, long long time, long long now);

private:
    std::mutex mutex_;
    long long floor_; // rises past each id forgotten, so a clock set back cannot bring one back
    std::map<std::string, long long> seen_;       // id → its request's time
    std::multimap<long long, std::string> order_; // the same by time: what leaves the window goes first
};

} // namespace torvane::seal
