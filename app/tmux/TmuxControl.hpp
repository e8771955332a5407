#pragma once

#include "app/tmux/Tmux.hpp"
#include "common/Cancellation.hpp"
#include "common/UniqueFd.hpp"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <thread>

namespace torvane {

// One tmux control-mode client ("tmux -C") on one session, so that changes arrive as they happen and
// commands run without a process each. The server is the one `Tmux` uses (its executable, and the
// environment's TMUX_TMPDIR / TMUX). Started by watch(), ended by stop(); nothing runs in between.
//
// The client is attached with the ignore-size flag: it counts among the session's attached clients
// but never changes a window's size.
//
// Threads: every member may be called from any thread, except that the change handler must not call
// watch(), stop() or the destructor (command() from it fails at once: its answer would be read by the
// very thread that waits for it).
class TmuxControl {
public:
    enum class Kind {
        output,       // a pane of the watched session printed: id is the pane ("%3"), data the bytes
        layout,       // a window's layout changed (its size, its panes): id is the window ("@2")
        windows,      // a window was added to or closed in the watched session: id is the window
        otherWindows, // the same for a window of another session
        session,      // now watching the session named id (after watch() or a switch)
        renamed,      // the watched session is now called id
        sessions,     // a session was created or ended somewhere on the server
        ended,        // the client ended: the session ended, the client was detached, or it could not
                      // attach (data: why). The component is stopped
        serverGone,   // the client ended because the server did. The component is stopped
    };
    struct Change {
        Kind kind;
        std::string_view id = {};
        std::string_view data = {}; // output: the decoded bytes; ended, serverGone: the reason
        // output: the decoded size. For a line too long to keep, data is empty and this is its escaped
        // size: the pane did print.
        std::size_t bytes = 0;
    };
    // Called on the client's reader thread, one change at a time, in the order tmux told them; `id` and
    // `data` are valid during the call only. It should return quickly: tmux waits while it runs.
    using ChangeHandler = std::function<void(const Change&)>;

    static constexpr std::size_t lineCap = std::size_t{4} << 20;
    // After a client that failed to attach, watch() starts none for this long, so a caller that retries
    // in a loop does not start tmux in a loop.
    static constexpr std::chrono::milliseconds retryPause{1000};
    static constexpr std::chrono::milliseconds defaultLimit{3000};

    TmuxControl(Tmux& tmux, ChangeHandler onChange);
    ~TmuxControl();
    TmuxControl(const TmuxControl&) = delete;
    TmuxControl& operator=(const TmuxControl&) = delete;

    // Watches the session named exactly `session`: starts the client, or moves a running one there.
    // True once attached within `limit`; false (and nothing running that was not before) otherwise.
    bool watch(const std::string& session, std::chrono::milliseconds limit = defaultLimit);
    // Ends the client and waits for it (about a second at most, unless the change handler is running).
    // No change is reported for it.
    void stop();
    bool isWatching() const;
    // The watched session's name; "" while stopped.
    std::string session() const;
    // The client's process, for tests and measurements; -1 while none runs.
    pid_t clientPid() const;

    // Runs one command line (see control::isSingleCommand; quote arguments with control::quoteArgument)
    // and returns its output, each line ending in "\n". None when tmux answered with an error, the line
    // is refused, no client runs, it ends, or the answer takes longer than `limit`.
    std::optional<std::string> command(std::string line, std::chrono::milliseconds limit = defaultLimit);

private:
    struct Pending;
    struct Reading;
    using Clock = std::chrono::steady_clock;

    bool start(const std::string& session, Clock::time_point deadline, std::unique_lock<std::mutex>& lock);
    bool switchTo(const std::string& session, Clock::time_point deadline);
    void read(int outFd, int pidFd);
    void handleLine(Reading& r, std::string_view line, std::size_t overlong);
    void handleNotification(Reading& r, std::string_view line, std::size_t overlong);
    void finish(Reading& r);
    void end();       // stop() with controlMutex_ held
    void endClient(); // asks a running client to end; mutex_ held
    void emit(const Change& change);
    bool onReaderThread() const;

    Tmux& tmux_;
    const ChangeHandler onChange_;

    std::mutex controlMutex_;    // one watch() or stop() at a time
    std::timed_mutex sendMutex_; // one command line written at a time, so the answers come in that order
    mutable std::mutex mutex_;   // guards what follows
    std::condition_variable changed_;
    std::thread reader_;
    std::thread::id readerId_;
    pid_t pid_ = -1; // until reaped
    UniqueFd input_; // the client's standard input; written under sendMutex_ too
    bool running_ = false;
    bool attached_ = false;
    bool stopping_ = false;
    std::string session_;   // the session watched
    std::string wanted_;    // the session asked for (differs from session_ during a switch)
    std::string sessionId_; // "$N" of session_
    std::string told_;      // the session the last `session` change named
    std::deque<std::shared_ptr<Pending>> pending_; // written, not yet answered, in order
    std::shared_ptr<Cancellation> probeStop_;      // ends the look at the server when stop() comes
    std::optional<Clock::time_point> failedAt_;
};

} // namespace torvane
