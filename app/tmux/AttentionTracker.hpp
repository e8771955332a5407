#pragma once

#include "app/tmux/AgentSession.hpp"
#include "app/tmux/Attention.hpp"
#include "app/tmux/PaneReader.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace torvane {

// Each listed session's attention, kept up to date by a thread of its own that looks at every pane
// once per interval through a PaneReader (a few /proc reads, no tmux). The sessions come from the
// listings others take (`follow`); a pane whose process is gone is ended at the next look.
// Every member may be called from any thread.
class AttentionTracker {
public:
    static constexpr std::chrono::milliseconds defaultInterval{1000};

    // A change of one session's attention, told on the tracker's thread (never with its lock held).
    using Listener = std::function<void(const std::string& session, Attention from, Attention to)>;

    // The one the application shares between the tray and the phone link.
    static AttentionTracker& shared();

    explicit AttentionTracker(std::unique_ptr<PaneReader> reader = makePaneReader(),
                              std::chrono::milliseconds interval = defaultInterval);
    ~AttentionTracker();
    AttentionTracker(const AttentionTracker&) = delete;
    AttentionTracker& operator=(const AttentionTracker&) = delete;

    // A whole listing: new sessions (or a name now on another pane) are looked at at once, sessions
    // no longer listed are told ended and forgotten. Starts the thread on first use.
    void follow(const std::vector<AgentSession>& sessions);

    // None for a session not followed. Before its first look a session counts as working.
    std::optional<Attention> attention(const std::string& session) const;
    // Whether a change to `to` is news worth an alert. For `settling` after a session is followed its
    // judgements are facts found, not changes ("finished" for a shell found at its prompt would be
    // false), except a session that appeared after the first listing already waiting for the user:
    // nobody was told of that yet.
    static constexpr std::chrono::seconds settling{6};
    bool isNews(const std::string& session, Attention to) const;
    std::map<std::string, Attention> all() const;

    // Held for as long as its owner wants the changes; dropping it waits for a call under way.
    class Subscription {
    public:
        Subscription() = default;
        Subscription(Subscription&& other) noexcept;
        Subscription& operator=(Subscription&& other) noexcept;
        ~Subscription();

    private:
        friend class AttentionTracker;
        Subscription(AttentionTracker* tracker, int id) : tracker_(tracker), id_(id) {}
        AttentionTracker* tracker_ = nullptr;
        int id_ = 0;
    };
    [[nodiscard]] Subscription subscribe(Listener listener);
    // Told (on the tracker's thread) when tmux begins or ends a pane, seen at a look: a new session
    // to follow, perhaps, for whoever lists them.
    [[nodiscard]] Subscription subscribePanes(std::function<void()> listener);
    // Whether the last look could tell that (a kernel without /proc's children lists cannot).
    bool tellsOfPanes() const { return tellsOfPanes_; }

    // Ends the thread (also done by the destructor); later follows are kept but nobody looks.
    void stop();

private:
    struct Pane {
        int pid = 0;
        std::string tty;
        AttentionJudge judge;
        Attention shown = Attention::working;
        std::chrono::steady_clock::time_point followed = std::chrono::steady_clock::now();
        bool atStart = false; // in the first listing
    };
    struct Change {
        std::string session;
        Attention from, to;
    };

    void run();
    void lookRound();
    void tell(const std::vector<Change>& changes);
    void unsubscribe(int id);

    const std::unique_ptr<PaneReader> reader_; // the tracker's thread only
    const std::chrono::milliseconds interval_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::map<std::string, Pane> panes_; // guarded by mutex_
    // Ended panes no longer listed, so that a listing taken before their end does not bring them
    // back as working; guarded by mutex_.
    std::map<std::string, int> gone_;
    std::vector<Change> untold_; // from follow, told by the thread; guarded by mutex_
    bool lookSoon_ = false;      // guarded by mutex_
    bool stopping_ = false;      // guarded by mutex_
    bool firstListing_ = true;   // guarded by mutex_
    std::thread thread_;         // started under mutex_

    std::mutex listenersMutex_; // held while a listener is called
    std::map<int, Listener> listeners_;
    std::map<int, std::function<void()>> paneListeners_;
    std::optional<std::uint64_t> panesMark_; // the tracker's thread only
    std::atomic<bool> tellsOfPanes_ = false;
    int nextId_ = 1;
};

} // namespace torvane
