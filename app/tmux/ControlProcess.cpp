#include "app/tmux/ControlProcess.hpp"

#include "common/Text.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

extern char** environ;

namespace torvane::control {

Spawned spawnClient(const std::string& path, const std::vector<std::string>& arguments) {
    Spawned s;
    int sockets[2];
    int pipeFds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
        s.error = text::errorText(errno);
        return s;
    }
    UniqueFd ours(sockets[0]), theirs(sockets[1]);
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        s.error = text::errorText(errno);
        return s;
    }
    UniqueFd outRead(pipeFds[0]), outWrite(pipeFds[1]);

    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const auto& a : arguments)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, theirs.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outWrite.get(), STDOUT_FILENO);
    // tmux writes its answers and errors on standard output in control mode.
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
#if defined(__GLIBC__)
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
#endif
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults, none;
    sigemptyset(&defaults);
    sigemptyset(&none);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setsigmask(&attr, &none);
    // A group of its own: a terminal's Ctrl-C for the app does not reach it, and it is ended as a whole.
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
    const int rc = ::posix_spawn(&s.pid, path.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        s.pid = -1;
        s.error = text::errorText(rc);
        return s;
    }
    s.input = std::move(ours);
    s.output = std::move(outRead);
    return s;
}

int openPidFd(pid_t pid) {
#if defined(SYS_pidfd_open)
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

bool writeAll(int fd, std::string_view bytes, std::chrono::steady_clock::time_point deadline) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{fd, POLLOUT, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) < 0)
                return false;
            continue;
        }
        return false;
    }
    return true;
}

} // namespace torvane::control
