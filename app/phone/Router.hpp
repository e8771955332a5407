#pragma once

#include "app/core/Settings.hpp"
#include "app/phone/RequestHandler.hpp"
#include "app/phone/Seal.hpp"
#include "app/phone/SealedCall.hpp"
#include "app/phone/SessionLine.hpp"
#include "app/phone/Token.hpp"
#include "app/power/CarryLink.hpp"
#include "app/power/PowerState.hpp"
#include "app/tmux/Tmux.hpp"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace torvane {

// The phone link's routes: the token check, the API over tmux sessions and the state document.
// It keeps nothing between requests but the token, which lives in the settings, the ids of recent
// sends, so that a retried send is not typed twice, and the line of each session's requests.
class Router final : public RequestHandler {
public:
    using PowerReader = std::function<PowerState()>;
    using CapsLockReader = std::function<bool()>;

    // What a route handler sees of its request.
    struct Request {
        std::string_view method;
        std::string_view path;
        const std::map<std::string, std::string>& query;
        std::string_view headerText;
        std::string_view body;
    };
    class Core;
    using Handler = std::function<std::string(Core&, const Request&)>;
    // What the request alone tells, at once: the answer to a bad request, or none.
    using Check = std::function<std::optional<std::string>(const Request&)>;

    // One row of the route table: matched on method and path exactly, top to bottom.
    struct Route {
        std::string method;
        std::string path;
        bool needsToken;
        Handler handle;
        Check check = nullptr;
        // Needs neither tmux nor the body: answered on the server's thread once the header is in.
        bool atOnce = false;
    };

    Router(Tmux& tmux, PowerReader power, CapsLockReader capsLock, Settings& settings,
           token::RandomSource random = token::systemRandom);

    std::string route(std::string_view headerText, std::string_view body) override;
    // The page, and every refusal the header decides: 400 for a malformed request line, 404, 401.
    // Without an origin, a request counts as one from this machine.
    std::optional<std::string> answerHeader(std::string_view headerText) override;
    std::optional<std::string> answerHeaderFrom(std::string_view headerText, bool fromLoopback) override;
    // Checks the token and the request and picks the route at once; only tmux work is left for a
    // worker, and that work owns the request and what it uses.
    Plan prepare(std::string_view headerText, std::string_view body) override;
    Plan prepareFrom(std::string_view headerText, std::string_view body, bool fromLoopback) override;

    // Where the page's sealed calls go: the body is one envelope, the answer another.
    static constexpr std::string_view sealedPath = "/api/sealed";
    // The key for the sealed calls, to a caller with the token (a page opened from a "/?t=" URL).
    static constexpr std::string_view keyPath = "/api/key";

    // The stored token, created and stored when there is none; empty only when the secure
    // generator fails, and then no request is let in.
    std::string token() override;
    // Replaces the token; from then on the old one is refused.
    void regenerateToken() override;

    // {"sessions":[…],"tmux":…,"battery":…,"onAC":…,"capsLock":…,"carry":…} without any white space;
    // none when tmux gave no answer in time.
    std::optional<std::string> stateJSON();

    // Carry mode's state and pause; without it "carry" is null and /api/carry fails. Before serving.
    void setCarryLink(std::shared_ptr<CarryLink> link) { core_->carry = std::move(link); }

    // The keys /api/keys presses; anything else is a bad request.
    static const std::set<std::string, std::less<>>& allowedKeys();
    // How long, and how many, ids of sends and keys are remembered: a phone that lost its answer may
    // retry much later.
    static constexpr std::chrono::hours idMemory{24};
    static constexpr std::size_t idsRemembered = 4096;

    // What a request's work uses, shared with the work: a request still running when the router
    // is gone stays sound.
    class Core {
    public:
        Core(Tmux& tmux, PowerReader power, CapsLockReader capsLock)
            : tmux(tmux), power(std::move(power)), capsLock(std::move(capsLock)) {}

        // None when tmux was asked and gave no answer: a hung tmux is not a tmux without sessions.
        std::optional<std::string> stateJSON();
        std::string stateJSON(const std::vector<AgentSession>& sessions);
        // repeated: the id's first try succeeded; tried: it failed or gave no answer in time, and may
        // still have typed something (a tmux killed at its time limit can carry out its command later).
        enum class Outcome { done, repeated, tried, failed };
        // Runs `action` unless `id` was tried before (within idMemory): an id counts from the moment its
        // first try starts, whatever the outcome. A repetition that arrives while the first is under way
        // waits for its outcome. No id: always runs.
        Outcome once(const std::string& id, const std::function<bool()>& action);

        Tmux& tmux;
        const PowerReader power;
        const CapsLockReader capsLock;
        std::shared_ptr<CarryLink> carry;
        SessionLine line;

    private:
        enum class Try { pending, done, failed };
        std::mutex idMutex_;
        std::condition_variable idSettled_;
        std::map<std::string, Try> ids_; // guarded by idMutex_
        // The same ids, oldest first, with the start of their first try; guarded by idMutex_.
        std::deque<std::pair<std::chrono::steady_clock::time_point, std::string>> idOrder_;
    };

private:
    // What the header decides: an answer at once, or the route with the request's target.
    struct Match {
        std::optional<std::string> answer;
        const Route* route = nullptr;
        std::string method;
        std::string path;
        std::map<std::string, std::string> query;
        bool sealed = false; // an envelope: its body decides
    };
    Match match(std::string_view headerText, bool fromLoopback);
    // What a chosen route makes of a request let in: its check, then an answer at once or the work.
    Plan carryOut(const Route& chosen, std::string method, std::string path,
                  std::map<std::string, std::string> query, std::string_view headerText,
                  std::string_view body);
    // Opens the envelope, refuses replays and stale times, and hands the inner request to the same
    // routes as the token API; the answer is sealed and bound to the request's id.
    Plan prepareSealed(std::string_view envelope);
    std::optional<seal::Key> key();

    std::vector<Route> makeRoutes();
    std::string createToken(); // with tokenMutex_ held

    std::shared_ptr<Core> core_;
    Settings& settings_;
    token::RandomSource random_;
    // Read-or-create must be one step: two threads creating at once would hand out a token
    // that is not the stored one.
    std::mutex tokenMutex_;
    std::vector<Route> routes_;
    sealed::ReplayGuard replayGuard_;
    std::mutex keyMutex_;
    std::string keyToken_;              // guarded by keyMutex_: the token `keyCache_` was derived from
    std::optional<seal::Key> keyCache_; // guarded by keyMutex_
};

} // namespace torvane
