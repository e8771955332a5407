#pragma once

#include "app/tmux/AgentSession.hpp"
#include "common/Cancellation.hpp"

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace torvane {

// Finds and runs the tmux executable and turns its output into sessions, screens and keystrokes.
// Every member may be called from several threads at once; each call starts tmux processes of its own.
// Failures come back as empty, absent or false results; the few that matter are logged.
class Tmux {
public:
    static constexpr std::chrono::milliseconds defaultTimeLimit{10'000};

    // The default instance the application uses.
    static Tmux& shared();

    // The places tmux is looked for, in order; the user's PATH is not consulted.
    static std::vector<std::string> defaultSearchPaths();

    explicit Tmux(std::vector<std::string> searchPaths = defaultSearchPaths());
    Tmux(const Tmux&) = delete;
    Tmux& operator=(const Tmux&) = delete;

    // The first executable of the search paths. Once found it is kept for the life of the instance;
    // while none is found every call searches again, so a tmux installed later is picked up.
    std::optional<std::string> executablePath();
    bool isAvailable();
    // Whether the default server's socket is there: without it no server runs, and listing would
    // only start a process to learn that.
    static bool serverMayRun();

    // The sessions in tmux's order; empty on any failure (no tmux, no server, an error).
    std::vector<AgentSession> sessions();
    // The same, but nothing when tmux gave no answer (not found, not started, killed at the time limit):
    // a hung tmux is not a tmux without sessions. An error exit (no server running) is no sessions.
    std::optional<std::vector<AgentSession>> answeredSessions();

    // The pane's visible screen plus up to `lines` lines of history; absent on failure.
    std::optional<std::string> capture(const std::string& name, int lines = 200);
    struct Capture {
        bool answered = false;             // false: tmux gave no answer (hung, killed, not started)
        std::optional<std::string> screen; // absent when tmux answered with an error (no such session)
    };
    // The same, telling a tmux that gave no answer from a session that does not exist.
    Capture answeredCapture(const std::string& name, int lines = 200);

    // Types `text` literally (and presses Enter when `submit`). A text holding a control character
    // (a line break, Tab, ESC, …) goes as one paste instead, so that none of them acts as a key.
    // False for an empty text, a text holding NUL (nothing is typed) or any failure.
    bool send(const std::string& name, const std::string& text, bool submit = true);

    // Sends Control-C to the session's pane.
    bool interrupt(const std::string& name);

    // Presses one named key ("Enter", "Up", "C-d", …) in the session's pane.
    bool sendKey(const std::string& name, const std::string& key);

    // Pastes `text` as one piece (bracketed, when the program asked for it), then Enter when `submit`.
    // Paste start and end sequences in the text are left out; NUL is refused.
    bool paste(const std::string& name, const std::string& text, bool submit = true);

    // The commands that mean a session is waiting at a prompt; matched exactly (case, no trimming).
    static const std::set<std::string, std::less<>>& shellNames();

    // For the end of the application: calls under way end at once (their tmux is killed) and later
    // calls fail without starting tmux. Any thread.
    void cancelCalls();

    // A tmux that runs longer than this is killed and the call fails.
    void setTimeLimit(std::chrono::milliseconds limit);
    std::chrono::milliseconds timeLimit() const;

    // "list-sessions -F" output to sessions: each line holds exactly eight fields separated by U+001F
    // (name, created, activity, attached, command, last output, pane pid, pane tty); any other line is
    // skipped and, when `skipped` is given, added to it. A time that is not a number is 1970-01-01 00:00:00
    // UTC. The "list-sessions -F" format parseSessionList reads.
    static const std::string& sessionListFormat();
    static std::vector<AgentSession> parseSessionList(std::string_view output,
                                                      std::vector<std::string>* skipped = nullptr);

    // The log line of a call killed at `limit`.
    static std::string timeLimitMessage(std::chrono::milliseconds limit);

private:
    struct RunResult {
        bool ok = false;
        bool answered = false; // ran to its own exit
        std::string output;    // "" when tmux printed bytes that are not UTF-8
    };
    RunResult run(const std::vector<std::string>& arguments, std::optional<std::string> input = std::nullopt);
    // Puts `text` into a buffer of its own through tmux's standard input (never its argv, which
    // every local user can read), pastes it into the session's pane and deletes the buffer.
    bool pasteThroughBuffer(const std::string& target, std::string text, bool bracketed);

    const std::vector<std::string> searchPaths_;
    std::mutex pathMutex_;
    std::optional<std::string> cachedPath_; // guarded by pathMutex_
    std::atomic<std::chrono::milliseconds::rep> timeLimitMs_{defaultTimeLimit.count()};
    std::mutex skippedMutex_;
    std::set<std::string> reportedLines_; // listing lines already logged as skipped; guarded by skippedMutex_
    Cancellation cancellation_;
};

// Characters as a reader counts them: extended grapheme clusters. Each byte that is not part of valid
// UTF-8 counts as one.
std::size_t graphemeCount(std::string_view utf8);

} // namespace torvane
