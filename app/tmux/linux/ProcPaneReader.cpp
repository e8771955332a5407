#include "app/tmux/linux/ProcPaneReader.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace torvane {

namespace {

// A small /proc file in one read; none when it cannot be opened or read.
std::optional<std::string> readSmall(const std::string& path, std::size_t limit = 4096) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string text(limit, '\0');
    const ssize_t n = ::read(fd, text.data(), text.size());
    const int error = errno;
    ::close(fd);
    if (n < 0) {
        errno = error;
        return std::nullopt;
    }
    text.resize(static_cast<std::size_t>(n));
    return text;
}

std::string link(const std::string& path) {
    std::array<char, 256> target{};
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    return n > 0 ? std::string(target.data(), static_cast<std::size_t>(n)) : std::string();
}

template <typename T> std::optional<T> number(std::string_view text, int base = 10) {
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end == text.data())
        return std::nullopt;
    return value;
}

std::vector<std::string_view> words(std::string_view text) {
    std::vector<std::string_view> out;
    while (!text.empty()) {
        const auto start = text.find_first_not_of(" \n\t");
        if (start == std::string_view::npos)
            break;
        text.remove_prefix(start);
        const auto end = text.find_first_of(" \n\t");
        out.push_back(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end);
    }
    return out;
}

// The line's value after "key" in a "key: value" file such as status or io.
std::string_view field(std::string_view text, std::string_view key) {
    const auto at = text.find(key);
    if (at == std::string_view::npos || (at > 0 && text[at - 1] != '\n'))
        return {};
    text.remove_prefix(at + key.size());
    text.remove_prefix(std::min(text.find_first_not_of(" \t"), text.size()));
    return text.substr(0, text.find('\n'));
}

// The waits a key on the terminal can end, by the architecture's syscall numbers.
enum class Call { other, read, poll, epoll, epollTimespec };

Call callOf(long nr) {
    switch (nr) {
    case SYS_read:
    case SYS_readv:
        return Call::read;
#ifdef SYS_poll
    case SYS_poll:
#endif
#ifdef SYS_select
    case SYS_select:
#endif
    case SYS_ppoll:
    case SYS_pselect6:
        return Call::poll;
#ifdef SYS_epoll_wait
    case SYS_epoll_wait:
#endif
    case SYS_epoll_pwait:
        return Call::epoll;
#ifdef SYS_epoll_pwait2
    case SYS_epoll_pwait2:
        return Call::epollTimespec;
#endif
    default:
        return Call::other;
    }
}

std::uint64_t digest(std::vector<int>& pids) {
    std::sort(pids.begin(), pids.end());
    std::uint64_t h = 1469598103934665603ull;
    for (int pid : pids)
        h = (h ^ static_cast<std::uint64_t>(pid)) * 1099511628211ull;
    return h;
}

} // namespace

std::unique_ptr<PaneReader> makePaneReader() {
    return std::make_unique<ProcPaneReader>();
}

ProcPaneReader::ProcPaneReader(Options options)
    : options_(std::move(options)), syscallsReadable_(options_.syscalls),
      childrenReadable_(options_.children && ::access((options_.proc + "/" + std::to_string(::getpid()) +
                                                       "/task/" + std::to_string(::getpid()) + "/children")
                                                          .c_str(),
                                                      R_OK) == 0) {}

std::optional<ProcPaneReader::Stat> ProcPaneReader::parseStat(std::string_view text) {
    // The command name may hold spaces and parentheses: the fields start after the last ")".
    const auto close = text.rfind(')');
    if (close == std::string_view::npos)
        return std::nullopt;
    const auto f = words(text.substr(close + 1));
    if (f.size() < 20 || f[0].size() != 1)
        return std::nullopt;
    Stat s;
    s.state = f[0][0];
    const auto parent = number<int>(f[1]), pgrp = number<int>(f[2]), session = number<int>(f[3]),
               tpgid = number<int>(f[5]);
    const auto start = number<std::uint64_t>(f[19]);
    if (!parent || !pgrp || !session || !tpgid || !start)
        return std::nullopt;
    s.parent = *parent;
    s.pgrp = *pgrp;
    s.session = *session;
    s.tpgid = *tpgid;
    s.start = *start;
    if (f.size() > 30) // "sigignore", decimal: enough for the classic signals
        s.ignored = number<std::uint64_t>(f[30]);
    for (int i = 11; i <= 14; ++i) {
        const auto ticks = number<std::int64_t>(f[static_cast<std::size_t>(i)]);
        if (!ticks)
            return std::nullopt;
        s.cpuTicks += static_cast<std::uint64_t>(std::max<std::int64_t>(0, *ticks));
    }
    return s;
}

ProcPaneReader::~ProcPaneReader() {
    for (const auto& [key, file] : held_)
        ::close(file.fd);
}

std::optional<std::string> ProcPaneReader::pidFile(int pid, PidFile which) {
    static constexpr const char* names[] = {"stat",    "schedstat", "io",      "status",
                                            "syscall", "wchan",     "children"};
    const auto key = static_cast<std::uint64_t>(pid) << 8 | static_cast<std::uint8_t>(which);
    auto it = held_.find(key);
    if (it == held_.end()) {
        const std::string base = options_.proc + "/" + std::to_string(pid) + "/";
        const std::string path =
            (which == PidFile::children ? base + "task/" + std::to_string(pid) + "/" : base) +
            names[static_cast<std::size_t>(which)];
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return std::nullopt;
        if (held_.size() >= maxHeld) { // more than panes ever need: read it the plain way
            const ssize_t n = ::read(fd, buffer_.data(), buffer_.size());
            const int error = errno;
            ::close(fd);
            errno = error;
            return n < 0 ? std::nullopt
                         : std::optional(std::string(buffer_.data(), static_cast<std::size_t>(n)));
        }
        it = held_.emplace(key, Held{fd, round_}).first;
    }
    it->second.used = round_;
    // Read again from the start, the file is generated afresh; a process gone since reads as an error.
    const ssize_t n = ::pread(it->second.fd, buffer_.data(), buffer_.size(), 0);
    if (n < 0) {
        const int error = errno;
        ::close(it->second.fd);
        held_.erase(it);
        errno = error;
        return std::nullopt;
    }
    return std::string(buffer_.data(), static_cast<std::size_t>(n));
}

std::optional<ProcPaneReader::Stat> ProcPaneReader::stat(int pid) {
    const auto text = pidFile(pid, PidFile::stat);
    return text ? parseStat(*text) : std::nullopt;
}

void ProcPaneReader::beginRound() {
    // Files no look has read for a minute belong to processes that left every pane.
    schedstats_.clear();
    if (++round_ % 60 == 0)
        std::erase_if(held_, [&](const auto& h) {
            const bool drop = round_ - h.second.used > 60;
            if (drop)
                ::close(h.second.fd);
            return drop;
        });
    // Every pid's session, read once as it appears. Walking the children of a pane's processes finds
    // nearly every newcomer; the scan catches the rest (a child of another thread, an orphan), so it is
    // rare: listing /proc costs more than all the looks together, the more so the busier the machine.
    const auto now = std::chrono::steady_clock::now();
    if (!scan_ || now - lastScan_ < std::chrono::seconds(childrenReadable_ ? 30 : 5))
        return;
    scan_ = false;
    lastScan_ = now;
    DIR* dir = ::opendir(options_.proc.c_str());
    if (!dir)
        return;
    std::unordered_map<int, int> seen;
    seen.reserve(sessionOf_.size() + 16);
    while (const dirent* entry = ::readdir(dir)) {
        const auto pid = number<int>(entry->d_name);
        if (!pid || *pid <= 0)
            continue;
        if (const auto known = sessionOf_.find(*pid); known != sessionOf_.end())
            seen.emplace(*pid, known->second);
        else if (const auto text = readSmall(options_.proc + "/" + entry->d_name + "/stat", 1024))
            if (const auto s = parseStat(*text)) {
                seen.emplace(*pid, s->session); // not held: most belong to no pane
                still_.erase(s->session);       // a pane with a new process is looked at afresh
            }
    }
    ::closedir(dir);
    sessionOf_ = std::move(seen);
    std::erase_if(held_, [&](const auto& h) {
        const bool drop = !sessionOf_.contains(static_cast<int>(h.first >> 8));
        if (drop)
            ::close(h.second.fd);
        return drop;
    });
    std::erase_if(memo_, [&](const auto& m) { return !sessionOf_.contains(m.first); });
    std::erase_if(front_, [&](const auto& m) { return !sessionOf_.contains(m.first); });
    std::erase_if(still_, [&](const auto& m) { return !sessionOf_.contains(m.first); });
}

std::optional<std::string> ProcPaneReader::schedstat(int pid) {
    // Once a round: the still check and the fresh look that may follow ask for the same members.
    if (const auto seen = schedstats_.find(pid); seen != schedstats_.end())
        return seen->second;
    auto text = pidFile(pid, PidFile::schedstat);
    return schedstats_[pid] = text && !text->empty() ? text : std::nullopt;
}

std::optional<std::uint64_t> ProcPaneReader::siblingsMark(int pid) {
    const auto s = childrenReadable_ ? stat(pid) : std::nullopt;
    const auto text = s && s->parent > 1 ? pidFile(s->parent, PidFile::children) : std::nullopt;
    if (!text)
        return std::nullopt;
    std::vector<int> pids;
    for (const auto word : words(*text))
        if (const auto p = number<int>(word))
            pids.push_back(*p);
    return digest(pids);
}

bool ProcPaneReader::walk(int pane) {
    if (!childrenReadable_)
        return false;
    std::vector<int> known;
    for (const auto& [p, session] : sessionOf_)
        if (session == pane && p != pane)
            known.push_back(p);
    known.push_back(pane); // a pane followed since the last scan is not noted before its first look
    std::set<int> newcomers;
    for (int p : known)
        if (const auto text = pidFile(p, PidFile::children))
            for (const auto child : words(*text))
                if (const auto c = number<int>(child); c && !sessionOf_.contains(*c))
                    newcomers.insert(*c);
    bool added = false;
    std::set<int>& before = sighted_[pane];
    for (auto it = newcomers.begin(); it != newcomers.end();) {
        if (!before.contains(*it)) {
            ++it;
            continue;
        }
        if (const auto s = stat(*it)) {
            sessionOf_[*it] = s->session;
            added = true;
        }
        it = newcomers.erase(it);
    }
    before = std::move(newcomers);
    if (before.empty())
        sighted_.erase(pane);
    return added;
}

PaneLook ProcPaneReader::look(int pid, const std::string& tty) {
    const auto it = still_.find(pid);
    bool still =
        it != still_.end() && std::all_of(it->second.schedstats.begin(), it->second.schedstats.end(),
                                          [&](const auto& k) { return schedstat(k.first) == k.second; });
    // What ran may have started a process; one seen last time and still there is looked at.
    if ((!still || sighted_.contains(pid)) && walk(pid))
        still = false;
    if (still)
        return it->second.look;
    if (it != still_.end())
        still_.erase(it);
    PaneLook out = lookAfresh(pid, tty);
    if (!out.present) {
        sighted_.erase(pid);
        return out;
    }
    std::vector<std::pair<int, std::string>> kept;
    for (const auto& [p, session] : sessionOf_) {
        const auto memo = memo_.find(p);
        if (session == pid && memo != memo_.end() && !memo->second.schedstat.empty())
            kept.emplace_back(p, memo->second.schedstat);
    }
    if (!std::any_of(kept.begin(), kept.end(), [&](const auto& k) { return k.first == pid; }))
        if (auto own = schedstat(pid))
            kept.emplace_back(pid, std::move(*own));
    still_[pid] = Still{out, std::move(kept)};
    return out;
}

PaneLook ProcPaneReader::lookAfresh(int pid, const std::string& tty) {
    PaneLook out;
    const auto pane = pid > 0 ? stat(pid) : std::nullopt;
    if (!pane || pane->state == 'Z' || pane->state == 'X') {
        out.present = false;
        return out;
    }
    out.identity = pane->start;
    out.foreground = pane->tpgid;
    // First seen in the instant between tmux's fork and its setsid, the pane would be missing below.
    sessionOf_[pid] = pane->session;
    if (!sessionOf_.contains(pane->tpgid))
        if (const auto leader = stat(pane->tpgid))
            sessionOf_[pane->tpgid] = leader->session;
    if (pane->tpgid <= 0)
        return out;

    // The group's members: fresh stats of the pane's session, since a job's pgrp is set after fork.
    std::vector<int> members;
    std::uint64_t cpu = 0;
    std::optional<std::uint64_t> wrote = 0;
    bool busy = false;
    std::vector<int> gone;
    for (auto& [p, session] : sessionOf_) {
        if (session != pid)
            continue;
        const auto s = p == pid ? pane : stat(p);
        if (!s) {
            gone.push_back(p);
            continue;
        }
        session = s->session;
        if (s->pgrp != pane->tpgid || s->state == 'Z')
            continue;
        members.push_back(p);
        cpu += s->cpuTicks;
        busy = busy || s->state == 'R' || s->state == 'D';
        Memo& memo = memo_[p];
        const auto sched = schedstat(p);
        if (!sched || *sched != memo.schedstat) {
            scan_ = true;
            memo = Memo{sched.value_or(""), TerminalWait::none, false, written(p)};
        }
        wrote = wrote && memo.written ? std::optional(*wrote + *memo.written) : std::nullopt;
    }
    for (int p : gone) {
        sessionOf_.erase(p); // a later process under the pid comes back with the next scan
        memo_.erase(p);
    }
    if (const auto [it, added] = front_.try_emplace(pid, pane->tpgid); added || it->second != pane->tpgid) {
        it->second = pane->tpgid;
        scan_ = true;
    }
    if (members.empty()) {
        scan_ = true;
        lastScan_ = {}; // a group found in no pid: at the next round
        return out;     // a group not found yet: nothing to judge on
    }
    out.members = digest(members);
    out.cpuTicks = cpu;
    out.written = wrote;
    if (pane->tpgid == pane->pgrp) {
        // A job-control shell ignores SIGTSTP (bash, zsh, dash, fish when interactive); the programs it
        // runs get the default back, and a script's shell never took it.
        out.shellInFront = pane->ignored ? (*pane->ignored >> (SIGTSTP - 1) & 1) != 0 : ignoresStop(pid);
    }
    if (busy)
        return out;
    for (int p : members) {
        Memo& memo = memo_[p];
        if (!memo.waitKnown) {
            memo.wait = waitOf(p, tty);
            memo.waitKnown = !memo.schedstat.empty();
        }
        out.wait = std::max(out.wait, memo.wait);
    }
    return out;
}

std::optional<std::uint64_t> ProcPaneReader::written(int pid) {
    const auto text = pidFile(pid, PidFile::io);
    return text ? number<std::uint64_t>(field(*text, "wchar:")) : std::nullopt;
}

bool ProcPaneReader::ignoresStop(int pid) {
    // Where stat lacks the field.
    const auto text = pidFile(pid, PidFile::status);
    if (!text)
        return false;
    const auto mask = number<std::uint64_t>(field(*text, "SigIgn:"), 16);
    return mask && (*mask >> (SIGTSTP - 1) & 1) != 0;
}

TerminalWait ProcPaneReader::waitOf(int pid, const std::string& tty) {
    if (syscallsReadable_) {
        if (const auto text = pidFile(pid, PidFile::syscall))
            return waitFromSyscall(pid, tty, *text);
        // Refused for every process alike (ptrace rules): stop asking.
        if (errno == EPERM || errno == EACCES || errno == ENOENT)
            syscallsReadable_ = false;
    }
    return waitFromWchan(pid, tty);
}

TerminalWait ProcPaneReader::waitFromSyscall(int pid, const std::string& tty, std::string_view text) {
    // "nr arg0 … arg5 sp pc", or "running", or "-1 sp pc" outside a call.
    const auto f = words(text);
    if (f.size() < 7)
        return TerminalWait::none;
    const auto nr = number<long>(f[0]);
    auto arg = [&](std::size_t i) { return number<std::uint64_t>(f[i + 1].substr(2), 16).value_or(0); };
    if (!nr || !f[1].starts_with("0x"))
        return TerminalWait::none;
    switch (callOf(*nr)) {
    case Call::read:
        return isTty(pid, static_cast<long>(arg(0)), tty) ? TerminalWait::certain : TerminalWait::none;
    case Call::poll:
        // The watched fds sit in the process's memory; with the terminal its only waitable fd, the
        // terminal is what it waits on, maybe with a timeout.
        return onlyWaitableIsTty(pid, tty) ? TerminalWait::maybe : TerminalWait::none;
    case Call::epoll:
    case Call::epollTimespec: {
        const auto set = epollSet(pid, static_cast<long>(arg(0)), tty);
        if (!set.tty)
            return TerminalWait::none;
        const bool forever =
            callOf(*nr) == Call::epoll ? static_cast<std::int32_t>(arg(3)) == -1 : arg(3) == 0;
        return forever && !set.others ? TerminalWait::certain : TerminalWait::maybe;
    }
    case Call::other:
        return TerminalWait::none;
    }
    return TerminalWait::none;
}

TerminalWait ProcPaneReader::waitFromWchan(int pid, const std::string& tty) {
    const auto text = pidFile(pid, PidFile::wchan);
    if (!text)
        return TerminalWait::none;
    const std::string_view wchan = *text;
    if (wchan == "wait_woken" || wchan == "n_tty_read")
        // A blocked read, but sockets sleep there too: only a process with nothing else to read.
        return onlyWaitableIsTty(pid, tty) ? TerminalWait::certain : TerminalWait::none;
    if (wchan == "do_epoll_wait" || wchan == "ep_poll")
        return epollSet(pid, std::nullopt, tty).tty ? TerminalWait::maybe : TerminalWait::none;
    if (wchan.starts_with("poll_schedule_timeout") || wchan == "do_select" || wchan == "do_sys_poll" ||
        wchan == "core_sys_select")
        return onlyWaitableIsTty(pid, tty) ? TerminalWait::maybe : TerminalWait::none;
    return TerminalWait::none;
}

bool ProcPaneReader::isTty(int pid, long fd, const std::string& tty) {
    return fd >= 0 && link(options_.proc + "/" + std::to_string(pid) + "/fd/" + std::to_string(fd)) == tty;
}

bool ProcPaneReader::onlyWaitableIsTty(int pid, const std::string& tty) {
    const std::string dir = options_.proc + "/" + std::to_string(pid) + "/fd";
    DIR* d = ::opendir(dir.c_str());
    if (!d)
        return false;
    bool sawTty = false, others = false;
    while (const dirent* entry = ::readdir(d)) {
        if (entry->d_name[0] == '.')
            continue;
        const std::string target = link(dir + "/" + entry->d_name);
        if (target == tty)
            sawTty = true;
        else if (target.starts_with("socket:") || target.starts_with("pipe:") ||
                 target.starts_with("anon_inode:") ||
                 (target.starts_with("/dev/") && target != "/dev/null" && target != "/dev/zero" &&
                  target != "/dev/urandom" && target != "/dev/random"))
            others = true;
    }
    ::closedir(d);
    return sawTty && !others;
}

ProcPaneReader::EpollSet ProcPaneReader::epollSet(int pid, std::optional<long> epfd, const std::string& tty) {
    const std::string base = options_.proc + "/" + std::to_string(pid);
    std::vector<long> fds;
    if (epfd) {
        fds.push_back(*epfd);
    } else if (DIR* d = ::opendir((base + "/fd").c_str())) {
        while (const dirent* entry = ::readdir(d))
            if (const auto fd = number<long>(entry->d_name);
                fd && link(base + "/fd/" + entry->d_name) == "anon_inode:[eventpoll]")
                fds.push_back(*fd);
        ::closedir(d);
    }
    EpollSet set;
    for (long fd : fds) {
        const auto info = readSmall(base + "/fdinfo/" + std::to_string(fd), 16384);
        if (!info)
            continue;
        // One "tfd: N events: …" line per watched fd.
        for (std::string_view rest = *info;;) {
            const auto at = rest.find("tfd:");
            if (at == std::string_view::npos)
                break;
            rest.remove_prefix(at + 4);
            const auto fields = words(rest.substr(0, rest.find('\n')));
            const auto target = fields.empty() ? std::nullopt : number<long>(fields[0]);
            (target && isTty(pid, *target, tty) ? set.tty : set.others) = true;
        }
    }
    return set;
}

} // namespace torvane
