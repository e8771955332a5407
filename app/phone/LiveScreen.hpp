#pragma once

#include "app/phone/Response.hpp"
#include "app/phone/StateDocument.hpp"
#include "app/tmux/ScreenDocument.hpp"
#include "app/tmux/Tmux.hpp"
#include "app/tmux/TmuxControl.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>

namespace torvane {

// What the page waits on: "anything newer than version V" of the state document and of one
// session's screen, answered as soon as there is. A tmux control client per watched session tells
// when its pane changes; the screen is then read through that client (no process per look), and
// the client ends when no page has asked for the session for a while. Versions grow over the run
// and begin at the run's start time in milliseconds, so a page's version of an earlier run reads as
// older than anything here and gets everything afresh.
//
// The answer: {"v":N} plus, when newer than the page's version, "state" (the state document) and
// "screen": {"session","ended":false,"from","trim","at","del","ins","lines","top","cursor",
// "width","height","alt"}, the lines the page has (those of version "from", none for 0) turned into
// the current ones (LineSplice), or {"session","ended":true} once the session is gone. While tmux
// does not answer the look at the sessions, the waiting pages get 503 "tmux not answering".
class LiveScreen {
public:
    using Reply = std::function<void(Response)>;
    using Clock = std::chrono::steady_clock;

    struct Options {
        std::chrono::milliseconds keep{30000}; // a session no page asked for this long is let go
        // Between two looks at one pane: output after a quiet spell is looked at at once, a busy pane's
        // lines are taken in batches, about seven times a second.
        std::chrono::milliseconds minInterval{150};
        // The state document is looked at this often, and at once when told it changed (carry mode,
        // a session's attention) or tmux says sessions came or went.
        std::chrono::milliseconds stateInterval{5000};
        std::chrono::milliseconds maxWait{20000};
        std::size_t maxWaiting = 64; // beyond, a request is answered at once
    };

    LiveScreen(Tmux& tmux, StateDocument& state) : LiveScreen(tmux, state, Options{}) {}
    LiveScreen(Tmux& tmux, StateDocument& state, Options options);
    ~LiveScreen(); // drops the requests still waiting (unanswered) and ends the clients
    LiveScreen(const LiveScreen&) = delete;
    LiveScreen& operator=(const LiveScreen&) = delete;

    // Answers through `reply` (once, on any thread) with what is newer than `version`: at once when
    // there is something, else when something comes within `wait`, else with the version alone.
    // An empty session asks for the state only.
    void await(std::string session, std::uint64_t version, std::chrono::milliseconds wait, Reply reply);

    // Something in the state document changed: the waiting pages are told at once.
    void stateChanged();
    // Answers every waiting page now with what there is (a phone revoked meanwhile is told so by
    // whoever seals the answer).
    void answerWaiting();

    // The control client watching `session`; -1 when none runs. For tests and measurements.
    pid_t clientPid(const std::string& session) const;

private:
    struct Shot {
        std::uint64_t version = 0;
        std::shared_ptr<const ScreenDocument::Look> look; // null: the session has ended
    };
    struct Watch {
        explicit Watch(std::string name) : name(std::move(name)) {}
        const std::string name;
        std::atomic<bool> dirty{true};
        std::atomic<bool> lost{false};     // the client ended: the session may have
        std::atomic<bool> sessions{false}; // sessions were added, ended or renamed
        std::atomic<bool> output{false};   // the pane was looked at after it printed
        ScreenDocument document;           // the loop thread's
        std::deque<Shot> shots;            // newest last; guarded by mutex_
        Clock::time_point wanted{}, looked{};
        int failures = 0;                     // looks in a row that failed
        std::unique_ptr<TmuxControl> control; // last: its reader thread uses the members above
    };
    struct Waiter {
        std::string session;
        std::uint64_t version;
        Clock::time_point deadline;
        Reply reply;
        Clock::time_point asked = Clock::now();
    };

    void loop();
    // On the loop thread, without mutex_: starts, looks at or lets go of each watch.
    // True when it has more to look at soon.
    bool tend(Watch& watch, Clock::time_point now);
    void poke(); // something changed: the loop looks again
    bool look(Watch& watch);
    void refreshState(Clock::time_point now);
    void record(Watch& watch, std::shared_ptr<const ScreenDocument::Look> look); // a new shot
    // mutex_ held: the answer for `waiter`, or "" when nothing is newer.
    std::string answerFor(const Waiter& waiter, bool always) const;

    Tmux& tmux_;
    StateDocument& state_;
    const Options options_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool poked_ = false;
    bool silent_ = false; // tmux did not answer the last look at the sessions
    bool stateDirty_ = false;
    std::uint64_t version_;
    std::list<Waiter> waiters_;
    std::map<std::string, std::unique_ptr<Watch>> watches_; // entries added and erased on the loop thread
    std::string stateJson_, stateKey_;
    std::uint64_t stateVersion_ = 0;
    Clock::time_point stateLooked_{};
    std::thread thread_;
    AttentionTracker::Subscription attentionChanges_; // last: it calls stateChanged()
};

} // namespace torvane
