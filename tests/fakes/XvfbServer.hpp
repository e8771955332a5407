#pragma once

#include "common/Subprocess.hpp"
#include "common/UniqueFd.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace torvane::test {

// A private X server. Without a number it lets the server pick a free display and report it.
class Xvfb {
public:
    explicit Xvfb(std::optional<int> number = std::nullopt, const std::string& screen = "320x240x24") {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe2 failed");
        UniqueFd display(fds[0]), write(fds[1]);
        std::vector<std::string> args{"/usr/bin/Xvfb"};
        if (number)
            args.push_back(":" + std::to_string(*number));
        args.insert(args.end(), {"-displayfd", "3", "-noreset", "-nolisten", "tcp", "-screen", "0", screen});
        server_ = std::make_unique<ChildProcess>(args, "/dev/null", std::nullopt, write.get());
        write.reset(); // a server that dies ends the read below
        // The server writes its display number once it accepts connections.
        std::string reply;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (reply.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd p{display.get(), POLLIN, 0};
            if (::poll(&p, 1, 200) <= 0)
                continue;
            char buffer[32];
            const ssize_t got = ::read(display.get(), buffer, sizeof buffer);
            if (got <= 0)
                break;
            reply.append(buffer, static_cast<std::size_t>(got));
        }
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

    // SIGTERM lets the server remove its lock file and socket; one that does not end is killed.
    void stop() {
        if (server_) {
            server_->signal(SIGTERM);
            server_->waitExit(std::chrono::seconds(20));
        }
        server_.reset();
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
    std::unique_ptr<ChildProcess> server_;
    std::string name_;
};

} // namespace torvane::test
