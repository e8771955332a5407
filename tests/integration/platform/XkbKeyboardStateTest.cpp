#include "app/platform/linux/LinuxKeyboardState.hpp"
#include "common/Subprocess.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

using namespace torvane;
using namespace std::chrono_literals;

namespace {

// A private X server. Without a number it lets the server pick a free display and report it.
class Xvfb {
public:
    explicit Xvfb(std::optional<int> number = std::nullopt) {
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
             {"-displayfd", "3", "-noreset", "-nolisten", "tcp", "-screen", "0", "320x240x24"})
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
        const auto deadline = std::chrono::steady_clock::now() + 20s;
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
                          {.timeLimit = 10s, .environment = std::vector<std::string>{"DISPLAY=" + name_}});
        ASSERT_TRUE(result.ok()) << result.startError << result.err;
    }

private:
    pid_t pid_ = -1;
    std::string name_;
};

std::size_t openFdCount() {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++count;
    }
    return count;
}

struct XkbKeyboardState : ::testing::Test {
    test::TempDir noLeds; // no Caps Lock LED, so the X server decides
};

} // namespace

TEST_F(XkbKeyboardState, CapsLockKeyTurnsTheStateOnAndOff) {
    Xvfb x;
    LinuxKeyboardState keyboard(noLeds.path(), x.name());
    EXPECT_FALSE(keyboard.capsLockOn());
    x.pressCapsLock();
    EXPECT_TRUE(test::waitFor([&] { return keyboard.capsLockOn(); }));
    EXPECT_EQ(keyboard.xkbState(), true);
    x.pressCapsLock();
    EXPECT_TRUE(test::waitFor([&] { return !keyboard.capsLockOn(); }));
}

TEST_F(XkbKeyboardState, ALedWhenPresentDecidesOverTheXServer) {
    Xvfb x;
    x.pressCapsLock();
    test::TempDir leds;
    std::filesystem::create_directories(leds / "input3::capslock");
    test::writeFile(leds / "input3::capslock" / "brightness", "0\n");
    LinuxKeyboardState keyboard(leds.path(), x.name());
    ASSERT_TRUE(test::waitFor([&] { return keyboard.xkbState() == true; }));
    EXPECT_FALSE(keyboard.capsLockOn());
}

TEST_F(XkbKeyboardState, OneConnectionServesEveryThread) {
    Xvfb x;
    x.pressCapsLock();
    LinuxKeyboardState keyboard(noLeds.path(), x.name());
    ASSERT_TRUE(test::waitFor([&] { return keyboard.capsLockOn(); }));
    const std::size_t fds = openFdCount();

    std::atomic<int> wrong{0};
    auto reader = [&] {
        for (int i = 0; i < 300; ++i)
            if (!keyboard.capsLockOn())
                ++wrong;
    };
    std::thread phoneLink(reader);
    reader();
    phoneLink.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(openFdCount(), fds);
}

TEST_F(XkbKeyboardState, ServerThatGoesAwayReadsAsOffAndIsReconnectedLater) {
    auto x = std::make_unique<Xvfb>();
    const int number = x->number();
    x->pressCapsLock();
    LinuxKeyboardState keyboard(noLeds.path(), x->name(), 0ms);
    ASSERT_TRUE(test::waitFor([&] { return keyboard.capsLockOn(); }));

    x.reset(); // the process must survive this
    EXPECT_FALSE(keyboard.capsLockOn());
    EXPECT_EQ(keyboard.xkbState(), std::nullopt);

    Xvfb again(number);
    again.pressCapsLock();
    EXPECT_TRUE(test::waitFor([&] { return keyboard.capsLockOn(); }));
}

TEST_F(XkbKeyboardState, FailedConnectionIsRetriedOnlyAfterTheInterval) {
    // Find a display number nobody serves, then serve it after the first failed attempt.
    auto probe = std::make_unique<Xvfb>();
    const int number = probe->number();
    probe.reset();
    LinuxKeyboardState keyboard(noLeds.path(), ":" + std::to_string(number), 1h);
    EXPECT_EQ(keyboard.xkbState(), std::nullopt);
    Xvfb x(number);
    x.pressCapsLock();
    EXPECT_EQ(keyboard.xkbState(), std::nullopt); // still inside the interval: not even tried
}
