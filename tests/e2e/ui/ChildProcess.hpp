#pragma once

#include "tests/fakes/TestSupport.hpp"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace torvane::test {

// A program the test starts and keeps running in the background (a tray, the app), with its output
// in a file. Killed and reaped on destruction if it is still running.
class ChildProcess {
public:
    ChildProcess(std::vector<std::string> argv, std::vector<std::string> env,
                 const std::filesystem::path& output) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::vector<char*> a, e;
        for (auto& s : argv)
            a.push_back(s.data());
        for (auto& s : env)
            e.push_back(s.data());
        a.push_back(nullptr);
        e.push_back(nullptr);
        const int rc = ::posix_spawn(&pid_, a[0], &actions, nullptr, a.data(), e.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0)
            throw std::runtime_error("cannot start " + argv[0]);
    }
    ~ChildProcess() {
        if (!status_ && ::kill(pid_, SIGKILL) == 0)
            ::waitpid(pid_, nullptr, 0);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void signal(int sig) const { ::kill(pid_, sig); }

    // The wait status once the process has ended within `limit`; absent if it still runs.
    std::optional<int> waitExit(std::chrono::milliseconds limit) {
        int status = 0;
        if (!status_ && test::waitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, limit))
            status_ = status;
        return status_;
    }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

} // namespace torvane::test
