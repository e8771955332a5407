#pragma once

#include "app/tmux/PaneReader.hpp"

#include <chrono>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace torvane {

// Looks at a pane through /proc: the terminal's foreground group (from the pane process's stat), its
// members (every process's session, noted once per pid as it appears), what they wait in (syscall, or
// wchan where syscall is refused), their CPU time and the bytes they wrote.
class ProcPaneReader final : public PaneReader {
public:
    struct Options {
        std::string proc = "/proc";
        // False reads as a kernel that refuses /proc/<pid>/syscall does (Yama's ptrace_scope 1):
        // wchan and the open fds then stand in for it.
        bool syscalls = true;
    };
    ProcPaneReader() : ProcPaneReader(Options{}) {}
    explicit ProcPaneReader(Options options);

    void beginRound() override;
    PaneLook look(int pid, const std::string& tty) override;

    struct Stat {
        char state = '?';
        int pgrp = 0;
        int session = 0;
        int tpgid = 0;
        std::uint64_t cpuTicks = 0; // own and reaped children's, user and system
        std::uint64_t start = 0;
    };
    // The fields of one /proc/<pid>/stat text; none when it does not parse.
    static std::optional<Stat> parseStat(std::string_view text);

private:
    std::optional<Stat> stat(int pid);
    PaneLook lookAfresh(int pid, const std::string& tty);
    TerminalWait waitOf(int pid, const std::string& tty);
    TerminalWait waitFromSyscall(int pid, const std::string& tty, std::string_view text);
    TerminalWait waitFromWchan(int pid, const std::string& tty);
    bool isTty(int pid, long fd, const std::string& tty);
    // Whether the pane's terminal is open and nothing else that could wake a wait is (sockets, pipes,
    // event fds, other devices).
    bool onlyWaitableIsTty(int pid, const std::string& tty);
    // Whether any epoll instance of the process (or only `epfd`) watches the terminal, and whether
    // that is all it watches.
    struct EpollSet {
        bool tty = false;
        bool others = false;
    };
    EpollSet epollSet(int pid, std::optional<long> epfd, const std::string& tty);
    bool ignoresStop(int pid);
    std::optional<std::uint64_t> written(int pid);

    // What a member's last look found; kept while its schedstat (run time, times run) stays the same,
    // since a process that has not run since waits where it waited and wrote nothing.
    struct Memo {
        std::string schedstat;
        TerminalWait wait = TerminalWait::none;
        bool waitKnown = false;
        std::optional<std::uint64_t> written;
        std::optional<bool> stops; // ignores SIGTSTP (an exec may change that: it ran since)
    };

    const Options options_;
    bool syscallsReadable_;
    std::unordered_map<int, int> sessionOf_; // pid → session, as first seen; refreshed for watched ones
    std::unordered_map<int, Memo> memo_;     // by member pid; dropped with the pid
    std::unordered_map<int, int> front_;     // each pane's foreground group at its last look
    // Each pane's last look and the schedstat of its process and its group's members then: while
    // none of them has run, nothing about the pane can have changed.
    struct Still {
        PaneLook look;
        std::vector<std::pair<int, std::string>> schedstats;
    };
    std::unordered_map<int, Still> still_;
    std::optional<std::string> schedstat(int pid);
    // Whether a round scans /proc: only something that ran can have started a process. At most every
    // few seconds: new pids come from the whole machine (a build elsewhere starts hundreds a second),
    // and a job's leader, the pid named by its group, is read directly.
    bool scan_ = true;
    std::chrono::steady_clock::time_point lastScan_{};
};

} // namespace torvane
