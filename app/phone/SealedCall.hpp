#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

// What travels inside the phone page's sealed envelopes, and the guard against replays.
//
// A request's plaintext: "Q\n" id "\n" time "\n" method "\n" target "\n" form body. An answer's:
// "A\n" id "\n" status "\n" server time "\n" content type "\n" body. Times are milliseconds since the
// epoch. The leading letter keeps an answer from ever passing for a request under the shared key,
// and the id binds an answer to its request.
namespace torvane::sealed {

struct Request {
    std::string id; // 16 to 64 of A-Z a-z 0-9 "-" "_"
    long long time = 0;
    std::string method;
    std::string target; // path and query
    std::string body;
};

std::optional<Request> parseRequest(std::string_view plaintext);
std::string formatRequest(const Request& request);
std::string formatAnswer(std::string_view id, int status, long long serverTime, std::string_view contentType,
                         std::string_view body);

long long nowMillis();

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

} // namespace torvane::sealed
