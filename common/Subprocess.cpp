#include "common/Subprocess.hpp"

#include "common/Text.hpp"
#include "common/UniqueFd.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace torvane {

namespace {

bool makePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
    int p[2];
#if defined(__linux__)
    if (::pipe2(p, O_CLOEXEC) != 0)
        return false;
#else
    if (::pipe(p) != 0)
        return false;
    ::fcntl(p[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(p[1], F_SETFD, FD_CLOEXEC);
#endif
    readEnd.reset(p[0]);
    writeEnd.reset(p[1]);
    return true;
}

// Reads what is available; closes the fd at end of file. Returns false once closed.
bool drain(UniqueFd& fd, std::string& into) {
    std::array<char, 65536> buf;
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf.data(), buf.size());
        if (n > 0) {
            into.append(buf.data(), static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        fd.reset();
        return false;
    }
}

// A pidfd lets poll() wake when the child exits even if a grandchild keeps the pipes open.
int openPidFd(pid_t pid) {
#if defined(__linux__) && defined(SYS_pidfd_open)
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

// A socket rather than a pipe: writing to a child that stopped reading fails with EPIPE instead of
// raising SIGPIPE in the whole process.
bool makeInputSocket(UniqueFd& ours, UniqueFd& child) {
    int s[2];
    int type = SOCK_STREAM;
#if defined(__linux__)
    type |= SOCK_CLOEXEC;
#endif
    if (::socketpair(AF_UNIX, type, 0, s) != 0)
        return false;
    ours.reset(s[0]);
    child.reset(s[1]);
#if !defined(__linux__)
    ::fcntl(s[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(s[1], F_SETFD, FD_CLOEXEC);
    const int one = 1;
    ::setsockopt(s[0], SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
    ::fcntl(s[0], F_SETFL, ::fcntl(s[0], F_GETFL) | O_NONBLOCK);
    return true;
}

// Writes what the socket takes now; closes it once all is written or the child stopped reading.
void feed(UniqueFd& fd, std::string_view& left) {
#if defined(MSG_NOSIGNAL)
    constexpr int flags = MSG_NOSIGNAL;
#else
    constexpr int flags = 0;
#endif
    while (!left.empty()) {
        const ssize_t n = ::send(fd.get(), left.data(), left.size(), flags);
        if (n > 0) {
            left.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        break;
    }
    fd.reset(); // end of file for the child
}

int waitForExit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

} // namespace

SubprocessResult runSubprocess(const std::string& executable, const std::vector<std::string>& arguments,
                               const SubprocessOptions& options) {
    SubprocessResult result;

    UniqueFd outRead, outWrite, errRead, errWrite, inOurs, inChild;
    if (!makePipe(outRead, outWrite) || !makePipe(errRead, errWrite) ||
        (options.input && !makeInputSocket(inOurs, inChild))) {
        result.startError = text::errorText(errno);
        return result;
    }

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(executable.c_str()));
    for (const auto& a : arguments)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    std::vector<char*> envp;
    if (options.environment) {
        for (const auto& e : *options.environment)
            envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.input)
        posix_spawn_file_actions_adddup2(&actions, inChild.get(), STDIN_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outWrite.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errWrite.get(), STDERR_FILENO);
    // The child gets its three streams and nothing else, whatever the caller (or a library in it)
    // left inheritable: a socket or lock held by a child outlives our use of it.
#if defined(__GLIBC__)
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
#endif

    // The caller may ignore or block stop signals (the daemon does); the child starts clean.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD})
        sigaddset(&defaults, s);
    sigset_t noneBlocked;
    sigemptyset(&noneBlocked);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setsigmask(&attr, &noneBlocked);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
#if defined(__APPLE__)
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#endif
    posix_spawnattr_setflags(&attr, flags);

    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, executable.c_str(), &actions, &attr, argv.data(),
                                 options.environment ? envp.data() : environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        result.startError = text::errorText(rc);
        return result;
    }
    result.started = true;
    outWrite.reset();
    errWrite.reset();
    inChild.reset();
    std::string_view input = options.input ? std::string_view(*options.input) : std::string_view();
    if (inOurs)
        feed(inOurs, input);
    ::fcntl(outRead.get(), F_SETFL, ::fcntl(outRead.get(), F_GETFL) | O_NONBLOCK);
    ::fcntl(errRead.get(), F_SETFL, ::fcntl(errRead.get(), F_GETFL) | O_NONBLOCK);

    UniqueFd pidFd(openPidFd(pid));
    const auto start = std::chrono::steady_clock::now();
    bool reaped = false;
    int status = 0;

    // Until the child exits, not merely until it closes its pipes: the time limit holds either way.
    for (;;) {
        int timeoutMs = -1;
        if (options.timeLimit) {
            const auto left = *options.timeLimit - std::chrono::duration_cast<std::chrono::milliseconds>(
                                                       std::chrono::steady_clock::now() - start);
            if (left.count() <= 0) {
                ::kill(pid, SIGKILL);
                result.timedOut = true;
                break;
            }
            timeoutMs = static_cast<int>(left.count());
        }
        if (pidFd.get() < 0) // no pidfd: look at the child now and then
            timeoutMs = timeoutMs < 0 ? 50 : std::min(timeoutMs, 50);

        std::array<pollfd, 5> fds{};
        fds[0] = {outRead.get(), POLLIN, 0};
        fds[1] = {errRead.get(), POLLIN, 0};
        fds[2] = {pidFd.get(), POLLIN, 0};
        fds[3] = {options.cancelFd, POLLIN, 0};
        fds[4] = {inOurs.get(), POLLOUT, 0};
        const int n = ::poll(fds.data(), fds.size(), timeoutMs);
        if (n < 0 && errno != EINTR)
            break;
        if (fds[3].revents & (POLLIN | POLLHUP | POLLERR)) {
            result.cancelled = true;
            if (::kill(pid, SIGKILL) != 0)
                return result; // not ours to end any more: it finishes on its own
            break;
        }
        if (inOurs && (fds[4].revents & (POLLOUT | POLLHUP | POLLERR)))
            feed(inOurs, input);
        if (outRead.get() >= 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)))
            drain(outRead, result.out);
        if (errRead.get() >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
            drain(errRead, result.err);

        bool childGone = pidFd.get() >= 0 && (fds[2].revents & POLLIN);
        if (pidFd.get() < 0 && ::waitpid(pid, &status, WNOHANG) == pid) {
            reaped = true;
            childGone = true;
        }
        if (childGone) {
            // What the child wrote is in the pipes now; a grandchild holding them open is not waited for.
            if (outRead.get() >= 0)
                drain(outRead, result.out);
            if (errRead.get() >= 0)
                drain(errRead, result.err);
            break;
        }
    }

    if (!reaped)
        status = waitForExit(pid);
    if (WIFEXITED(status)) {
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signaled = true;
        result.exitStatus = WTERMSIG(status);
    }
    return result;
}

} // namespace torvane
