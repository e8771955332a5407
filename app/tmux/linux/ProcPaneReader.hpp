#pragma once

#include "app/tmux/PaneReader.hpp"

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace torvane {

// Looks at a pane through /proc: the terminal's foreground group (from the pane process's stat), its
// members (found through the children lists of the pane's processes), what they wait in (syscall, or
// wchan where syscall is refused), their CPU time and the bytes they wrote.
class ProcPaneReader final : public PaneReader {
public:
    struct Options {
        std::string proc = "/proc";
        // False reads as a kernel that refuses /proc/<pid>/syscall does (Yama's ptrace_scope 1):
        // wchan and the open fds then stand in for it.
        bool syscalls = true;
        // False reads as a kernel built without the children lists: the scan of /proc, more often,
        // finds the members.
        bool children = true;
    };
    ProcPaneReader() : ProcPaneReader(Options{}) {}
    explicit ProcPaneReader(Options options);
    ~ProcPaneReader() override;
    ProcPaneReader(const ProcPaneReader&) = delete;
    ProcPaneReader& operator=(const ProcPaneReader&) = delete;

    void beginRound() override;
    PaneLook look(int pid, const std::string& tty) override;
    std::optional<std::uint64_t> siblingsMark(int pid) override;

    struct Stat {
        char state = '?';
        int parent = 0;
        int pgrp = 0;
        int session = 0;
        int tpgid = 0;
        std::uint64_t cpuTicks = 0; // own and reaped children's, user and system
        std::uint64_t start = 0;
        std::optional<std::uint64_t> ignored; // the signals ignored, as a mask
    };
    // The fields of one /proc/<pid>/stat text; none when it does not parse.
    static std::optional<Stat> parseStat(std::string_view text);

private:
    // A watched process's own files, held open between looks: reading one again from its start costs
    // a third of opening it anew, and a held file never reaches a later process that took the pid.
    enum class PidFile : std::uint8_t { stat, schedstat, io, status, syscall, wchan, children };
    std::optional<std::string> pidFile(int pid, PidFile which);
    struct Held {
        int fd;
        std::uint64_t used; // the round of its last read
    };
    static constexpr std::size_t maxHeld = 256;
    std::unordered_map<std::uint64_t, Held> held_; // by pid << 8 | file
    std::uint64_t round_ = 0;
    std::array<char, 4096> buffer_{};

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
    };

    const Options options_;
    bool syscallsReadable_;
    bool childrenReadable_;
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
    std::unordered_map<int, std::optional<std::string>> schedstats_; // this round's reads
    // The children of the pane's known processes that no scan has seen: one seen in two walks in a
    // row is noted (a child gone within a second, such as a loop's sleep, costs nothing more).
    // Whether any was noted.
    bool walk(int pane);
    std::unordered_map<int, std::set<int>> sighted_; // by pane: children seen once

    // Whether a round scans /proc: only something that ran can have started a process. At most every
    // 30 s: new pids come from the whole machine (a build elsewhere starts hundreds a second), a job's
    // leader, the pid named by its group, is read directly and the walk finds the children.
    bool scan_ = true;
    std::chrono::steady_clock::time_point lastScan_{};
};

} // namespace torvane
