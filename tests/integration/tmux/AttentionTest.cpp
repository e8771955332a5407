#include "app/tmux/AttentionTracker.hpp"
#include "app/tmux/Tmux.hpp"
#include "app/tmux/linux/ProcPaneReader.hpp"
#include "common/Subprocess.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <atomic>
#include <gtest/gtest.h>
#include <map>
#include <thread>

namespace torvane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// What coding agents look like to the kernel: the terminal in raw mode, a menu drawn, and an epoll on
// the terminal and an idle socket; with a timeout it redraws a spinner ten times a second instead.
constexpr const char* agent = R"(import os, select, socket, sys, termios, tty
spin = sys.argv[1] == "spin"
fd = sys.stdin.fileno()
saved = termios.tcgetattr(fd)
tty.setraw(fd)
idle, _peer = socket.socketpair()
ep = select.epoll()
ep.register(fd, select.EPOLLIN)
ep.register(idle.fileno(), select.EPOLLIN)
sys.stdout.write("Allow this?\r\n> 1. Yes\r\n  2. No\r\n")
sys.stdout.flush()
n = 0
while not ep.poll(0.1 if spin else -1):
    n += 1
    sys.stdout.write("\r" + "|/-\\"[n % 4] + " waiting for the network")
    sys.stdout.flush()
os.read(fd, 1)
termios.tcsetattr(fd, termios.TCSADRAIN, saved)
)";

// Each case against the real program in a real tmux of the test's own, with /proc/<pid>/syscall and the
// children lists read (true), or as a kernel under Yama's ptrace_scope 1 and without children lists
// (false: wchan and the open fds stand in for the one, a scan of /proc for the other).
class Attention : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmux_.isAvailable());
        static const std::string root = std::getenv("TMUX_TMPDIR");
        static int count = 0;
        const std::string dir = root + "/a" + std::to_string(++count);
        std::filesystem::create_directories(dir);
        ::setenv("TMUX_TMPDIR", dir.c_str(), 1);
        test::writeFile(dir_ / "agent.py", agent);
        test::writeFile(dir_ / "ask.sh", "read -p 'Overwrite? [y/N] ' answer\n");
    }
    void TearDown() override {
        tracker_.stop();
        raw({"kill-server"});
    }
    SubprocessResult raw(const std::vector<std::string>& arguments) {
        return runSubprocess(*tmux_.executablePath(), arguments, {.timeLimit = 10s});
    }
    void start(const std::string& name, const std::string& command) {
        ASSERT_TRUE(raw({"new-session", "-d", "-s", name, "-x", "100", "-y", "30", command}).ok()) << name;
    }
    // An interactive bash of no start files at its prompt.
    void startShell(const std::string& name) {
        start(name, "env PS1='ready> ' bash --norc --noprofile -i");
        waitScreen(name, "ready>");
    }
    void type(const std::string& name, const std::string& keys) {
        ASSERT_TRUE(raw({"send-keys", "-t", "=" + name + ":", "-l", keys}).ok());
        ASSERT_TRUE(raw({"send-keys", "-t", "=" + name + ":", "Enter"}).ok());
    }
    void waitScreen(const std::string& name, const std::string& text) {
        ASSERT_TRUE(test::waitFor(
            [&] {
                return raw({"capture-pane", "-p", "-t", "=" + name + ":"}).out.find(text) !=
                       std::string::npos;
            },
            15s))
            << name << " never showed " << text;
    }
    // How long until `name` reads `want`; none within `limit`.
    std::optional<Clock::duration> timeTo(const std::string& name, torvane::Attention want,
                                          Clock::duration limit) {
        const auto from = Clock::now();
        if (!test::waitFor([&] { return tracker_.attention(name) == want; },
                           std::chrono::duration_cast<std::chrono::milliseconds>(limit)))
            return std::nullopt;
        return Clock::now() - from;
    }
    void follow() { tracker_.follow(tmux_.sessions()); }

    const std::thread::id testThread_ = std::this_thread::get_id();
    test::TempDir dir_;
    Tmux tmux_;
    AttentionTracker tracker_{
        std::make_unique<ProcPaneReader>(ProcPaneReader::Options{"/proc", GetParam(), GetParam()})};
};

TEST_P(Attention, ProgramsWaitingForTheUserReadInputWithinTheirDelaysAndAKilledSessionEnds) {
    startShell("prompt");
    startShell("script");
    start("python", "python3 -c 'input(\"name? \")'");
    start("agent", "python3 " + (dir_ / "agent.py").string() + " menu");
    follow();
    EXPECT_TRUE(timeTo("prompt", torvane::Attention::shell, 3s)) << "bash at its prompt";
    EXPECT_FALSE(tracker_.isNews("prompt", torvane::Attention::shell))
        << "found at its prompt: no program finished there";
    ASSERT_TRUE(timeTo("script", torvane::Attention::shell, 3s));

    type("script", "bash " + (dir_ / "ask.sh").string());
    waitScreen("script", "Overwrite? [y/N]");
    EXPECT_TRUE(timeTo("script", torvane::Attention::input, 3s)) << "read -p";
    waitScreen("python", "name?");
    EXPECT_TRUE(timeTo("python", torvane::Attention::input, 3s)) << "input()";
    waitScreen("agent", "2. No");
    EXPECT_TRUE(timeTo("agent", torvane::Attention::input, 5s)) << "a raw-mode menu";
    EXPECT_FALSE(tracker_.isNews("agent", torvane::Attention::input)) << "waiting before the first listing";

    // A session that appears later, already asking: nobody was told of it yet. Its pane is seen
    // begun without a listing, so whoever lists the sessions can follow it.
    std::atomic<int> begun = 0;
    const auto panes = tracker_.subscribePanes([&] { ++begun; });
    start("late", "python3 -c 'input(\"late? \")'");
    EXPECT_EQ(tracker_.tellsOfPanes(), GetParam()) << "through the children lists";
    EXPECT_EQ(test::waitFor([&] { return begun > 0; }, GetParam() ? 3s : 1500ms), GetParam())
        << "a pane begun";
    follow();
    waitScreen("late", "late?");
    EXPECT_TRUE(timeTo("late", torvane::Attention::input, 3s));
    EXPECT_TRUE(tracker_.isNews("late", torvane::Attention::input));
    EXPECT_FALSE(tracker_.isNews("late", torvane::Attention::shell));

    type("script", "y");
    EXPECT_TRUE(timeTo("script", torvane::Attention::shell, 3s)) << "answered: back at the prompt";
    // The asking program is a child of the job's leader, which only waits for it.
    type("script", "bash -c 'echo starting; sleep 1; python3 -c \"input(\\\"child? \\\")\"; echo done'");
    waitScreen("script", "child? ");
    EXPECT_TRUE(timeTo("script", torvane::Attention::input, GetParam() ? 5s : 10s))
        << "a script's program asking";
    type("script", "n");
    EXPECT_TRUE(timeTo("script", torvane::Attention::shell, 3s));

    std::mutex mutex;
    std::vector<std::string> told;
    const auto subscription =
        tracker_.subscribe([&](const std::string& s, torvane::Attention from, torvane::Attention to) {
            std::lock_guard lock(mutex);
            told.push_back(s + " " + std::string(attentionName(from)) + "→" + std::string(attentionName(to)) +
                           (std::this_thread::get_id() == testThread_ ? " (test thread)" : ""));
        });
    ASSERT_TRUE(raw({"kill-session", "-t", "=python"}).ok());
    EXPECT_TRUE(timeTo("python", torvane::Attention::ended, 3s)) << "without a new listing";
    std::lock_guard lock(mutex);
    EXPECT_EQ(told, std::vector<std::string>{"python input→ended"}) << "told once, on the tracker's thread";
}

TEST_P(Attention, BusyOrQuietProgramsThatDoNotReadTheTerminalNeverReadInput) {
    startShell("loop");
    startShell("sleep");
    start("compile", "sh -c 'while :; do :; done'");
    start("spinner", "python3 " + (dir_ / "agent.py").string() + " spin");
    follow();
    ASSERT_TRUE(timeTo("loop", torvane::Attention::shell, 3s));
    ASSERT_TRUE(timeTo("sleep", torvane::Attention::shell, 3s));
    type("loop", "while :; do echo tick; sleep 1; done");
    type("sleep", "sleep 600");
    EXPECT_TRUE(timeTo("loop", torvane::Attention::working, 3s)) << "a line every second";
    EXPECT_TRUE(timeTo("sleep", torvane::Attention::working, 3s));
    waitScreen("spinner", "waiting for the network");

    // Sampled for longer than any quiet stretch the judge waits for.
    std::map<std::string, int> inputs;
    const auto until = Clock::now() + 7s;
    while (Clock::now() < until) {
        for (const auto& [name, a] : tracker_.all())
            inputs[name] += a == torvane::Attention::input;
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(inputs,
              (std::map<std::string, int>{{"compile", 0}, {"loop", 0}, {"sleep", 0}, {"spinner", 0}}));
    for (const auto& [name, a] : tracker_.all())
        EXPECT_EQ(a, torvane::Attention::working) << name;
}

INSTANTIATE_TEST_SUITE_P(ProcFacts, Attention, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "SyscallChildren" : "WchanScan"; });

} // namespace
} // namespace torvane
