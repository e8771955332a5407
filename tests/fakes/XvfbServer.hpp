#pragma once

#include "common/Subprocess.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace torvane::test {

// A private X server. Without a number it lets the server pick a free display and report it.
class Xvfb {
public:
    explicit Xvfb(std::optional<int> number = std::nullopt, const std::string& screen = "320x240x24") {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe2 failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 3); // dup2 leaves fd 3 open across exec
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        std::vector<std::string> args{"/usr/bin/Xvfb"};
        if (number)
            args.push_back(":" + std::to_string(*number));
        for (const char* arg :
             {"-displayfd", "3", "-noreset", "-nolisten", "tcp", "-screen", "0", screen.c_str()})
            args.emplace_back(arg);
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        const int spawned = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        if (spawned != 0) {
            ::close(fds[0]);
            throw std::runtime_error("cannot start Xvfb");
        }
        // The server writes its display number once it accepts connections.
        std::string reply;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (reply.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fds[0], POLLIN, 0};
            if (::poll(&p, 1, 200) <= 0)
                continue;
            char buffer[32];
            const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
            if (got <= 0)
                break;
            reply.append(buffer, static_cast<std::size_t>(got));
        }
        ::close(fds[0]);
        if (reply.find('\n') == std::string::npos) {
            stop();
            throw std::runtime_error("Xvfb did not report a display");
        }
        name_ = ":" + reply.substr(0, reply.find('\n'));
    }
    ~Xvfb() { stop(); }
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;

    const std::string& name() const { return name_; }
    int number() const { return std::stoi(name_.substr(1)); }

    void stop() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

    // Presses and releases Caps Lock on this server.
    void pressCapsLock() const {
        const SubprocessResult result =
            runSubprocess("/usr/bin/xdotool", {"key", "Caps_Lock"},
                          {.timeLimit = std::chrono::seconds(10),
                           .environment = std::vector<std::string>{"DISPLAY=" + name_}});
        if (!result.ok())
            throw std::runtime_error("xdotool failed: " + result.startError + result.err);
    }

private:
    pid_t pid_ = -1;
    std::string name_;
};

} // namespace torvane::test
