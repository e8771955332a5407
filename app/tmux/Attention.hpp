#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace torvane {

// What a session asks of its user, as the tray and the phone show it.
enum class Attention {
    input,   // a program waits for the user
    working, // output flows or the foreground program is busy; also whatever the facts cannot tell
    shell,   // the shell's own prompt, nothing running
    ended,   // the session (its pane's process) is gone
};

// "input", "working", "shell", "ended": the state API's word.
std::string_view attentionName(Attention a);
// ◆ ● ○ ×: the same symbol on the tray and the phone.
std::string_view attentionSymbol(Attention a);
// 「入力待ち」「作業中（cmd）」「待機中」「終了」; `command` is the pane's current command.
std::string attentionText(Attention a, std::string_view command);
// The menu's order: input first, ended last.
int attentionRank(Attention a);

// How the foreground waits on the pane's terminal.
enum class TerminalWait {
    none,    // not blocked on the terminal (running, asleep on something else, or unknown)
    maybe,   // blocked where a key would wake it, but something else (a timeout, another fd) may too
    certain, // blocked where only the terminal can wake it
};

// One look at a pane's processes; what the platform can tell.
struct PaneLook {
    bool present = true;        // the pane's process is still there
    std::uint64_t identity = 0; // changes when the pane's pid is reused (its start time)
    bool shellInFront = false;  // the foreground is the pane's own job-control shell
    TerminalWait wait = TerminalWait::none;
    int foreground = 0;                    // the terminal's foreground process group
    std::uint64_t members = 0;             // a digest of the group's pids: a different set is a different job
    std::optional<std::uint64_t> cpuTicks; // the group's CPU time; absent when unreadable
    std::optional<std::uint64_t> written;  // bytes the group wrote; absent when unreadable
};

// The decision for one pane from its looks in order. Leaving `input` is immediate; reaching it takes
// a quiet wait that lasted: a false "needs you" costs more than a late one.
class AttentionJudge {
public:
    using Clock = std::chrono::steady_clock;

    // A wait only the terminal ends, held this long with nothing written, is input.
    static constexpr std::chrono::milliseconds certainAfter{900};
    // One that a timeout or another fd may also end needs longer: periodic programs wake within it.
    static constexpr std::chrono::milliseconds maybeAfter{2900};
    // CPU ticks (1/100 s) a waiting group may use between two looks: housekeeping, not work.
    static constexpr std::uint64_t idleTicks = 2;

    Attention next(const PaneLook& look, Clock::time_point now);
    Attention current() const { return current_; }

private:
    Attention current_ = Attention::working;
    std::optional<PaneLook> last_;
    std::optional<std::uint64_t> identity_;
    std::optional<Clock::time_point> quietSince_; // the first look of the present quiet wait
};

} // namespace torvane
