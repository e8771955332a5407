// The real tray app on a private X server with a real tray (trayer), driven as a user would: click,
// Caps Lock, stop signals, a display that goes away. Each test has its own home, settings, log, tmux
// directory and shared directory, and its own system bus: nothing of this machine is touched.
#include "common/UniqueFd.hpp"
#include "tests/e2e/ui/TrayHarness.hpp"
#include "tests/fakes/RealLogind.hpp"
#include "tests/fakes/XvfbServer.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

namespace torvane {
namespace {

using namespace std::chrono_literals;
using namespace test;

const std::string started = "=== Torvane 起動 ===";
const std::string ended = "=== Torvane 終了（通常の電源設定に戻しました）===";
const std::string noTray = "INFO: システムトレイが見つからないため、メニューなしで動作します";

void expectOrderlyExit(ChildProcess& app, const AppHome& home) {
    const std::optional<int> status = app.waitExit(20s);
    ASSERT_TRUE(status && WIFEXITED(*status)) << "the app did not end, or not by itself";
    EXPECT_EQ(home.requestContent(), "0") << "every orderly end leaves \"0\"";
    ASSERT_FALSE(home.logLines().empty());
    EXPECT_EQ(home.logLines().back(), ended);
}

class TrayEndToEnd : public ::testing::Test {
protected:
    // The app's system bus: the real logind serves it when this runs as root, else nobody does and the
    // app goes on without its locks.
    std::unique_ptr<RealLogind> logind = RealLogind::unavailable() ? nullptr : std::make_unique<RealLogind>();
    std::unique_ptr<PrivateBus> bare = logind ? nullptr : std::make_unique<PrivateBus>();
};

TEST_F(TrayEndToEnd, IconMenuCapsLockAndStopSignalWorkAsAUserSeesThem) {
    Xvfb x(std::nullopt, "800x600x24");
    AppHome home;
    auto tray = startTray(home, x.name());
    auto app = startApp(home, x.name());

    ASSERT_TRUE(waitFor([&] { return embeddedIcon(x.name()).has_value(); }, 30s))
        << "the tray never showed the icon\n"
        << readFile(home.output());
    EXPECT_TRUE(waitFor([&] { return home.logged(started); }));
    EXPECT_FALSE(home.logged(noTray));
    EXPECT_TRUE(waitFor([&] { return greenShare(x.name(), home) == 0; }, 20s)) << "inactive: nothing green";

    // A left click opens the menu, as a menu bar item does.
    const std::vector<std::string> rows = openMenu(x.name(), home);
    ASSERT_FALSE(rows.empty()) << "no menu was shown";
    EXPECT_EQ(rows[0], "D. ○ 持ち運びモード 無効");
    EXPECT_EQ(rows[3], "D. Caps Lock: OFF");
    EXPECT_EQ(rows[7], "D. ヘルパー: 応答なし");
    EXPECT_EQ(rows.back(), "E. 終了");
    ASSERT_TRUE(x11(x.name(), "/usr/bin/xdotool", {"key", "Escape"}).ok());

    // Caps Lock on: "1" at the next poll (every 0.25 s; the bound is for a loaded machine), locks taken,
    // icon green.
    x.pressCapsLock();
    EXPECT_TRUE(waitFor([&] { return home.requestContent() == "1"; }, 5s));
    EXPECT_TRUE(waitFor([&] { return greenShare(x.name(), home) > 0.125; }, 20s))
        << "the icon did not turn green";
    EXPECT_TRUE(!logind || waitFor([&] { return logind->inhibitors().size() == 2; }))
        << "idle and sleep locks";

    // The stop signal: "0" stays behind, the last line is written.
    app->signal(SIGTERM);
    expectOrderlyExit(*app, home);
}

// A tmux server that no longer answers (stopped) while the work-done guard wants its listing, and a
// password prompt left open: the main thread waits on neither.
TEST_F(TrayEndToEnd, AHungTmuxAndAnOpenPasswordPromptHoldUpNeitherHeartbeatMenuCapsLockNorTheEnd) {
    Xvfb x(std::nullopt, "800x600x24");
    AppHome home;
    const std::vector<std::string> tmuxEnv{"TMUX_TMPDIR=" + (home.path() / "tmux").string(),
                                           "PATH=/usr/bin:/bin"};
    auto tmux = [&](const std::vector<std::string>& args) {
        return runSubprocess("/usr/bin/tmux", args, {.timeLimit = 10s, .environment = tmuxEnv});
    };
    ASSERT_TRUE(tmux({"new-session", "-d", "-s", "job", "sleep 100000"}).ok());
    const pid_t server = std::stoi(tmux({"display-message", "-p", "#{pid}"}).out);
    ASSERT_EQ(::kill(server, SIGSTOP), 0);
    struct Reap {
        pid_t pid;
        ~Reap() { ::kill(pid, SIGKILL); }
    } reap{server};
    for (const char* dir : {"config/torvane", "resources"})
        std::filesystem::create_directories(home.path() / dir);
    writeFile(home.path() / "config/torvane/torvane.conf", "[General]\nreleaseWhenIdle=true\n");
    writeFile(home.path() / "resources/install-helper.sh", "exit 0\n");
    const auto prompt = home.path() / "prompt-pid";
    writeExecutable(home.path() / "pkexec",
                    "#!/bin/bash\necho $$ > '" + prompt.string() + "'\nexec sleep 40\n");
    std::vector<std::string> env = home.environment(x.name());
    env.push_back("TORVANE_TEST_PKEXEC=" + (home.path() / "pkexec").string());
    env.push_back("TORVANE_TEST_RESOURCES=" + (home.path() / "resources").string());
    auto tray = startTray(home, x.name());
    ChildProcess app({TORVANE_TEST_APP}, home.output(), env);

    ASSERT_TRUE(waitFor([&] { return !readFile(prompt).empty(); }, 30s)) << "the install never asked";
    const pid_t promptPid = std::stoi(readFile(prompt));
    x.pressCapsLock();
    ASSERT_TRUE(waitFor([&] { return home.requestContent() == "1"; }, 5s));
    ASSERT_TRUE(waitFor([&] { return greenShare(x.name(), home) > 0.125; }, 20s)) << "the tray never settled";

    // tmux holds each call for its 10 s limit and the prompt for 40 s: a main thread that waited on either
    // would miss the bounds below, which leave the rest for a loaded machine.
    // Every write of the request, by its time, over a review that wants the listing (every 15 s).
    std::set<std::filesystem::file_time_type> writes;
    const auto start = std::chrono::steady_clock::now();
    for (bool menuOpened = false; std::chrono::steady_clock::now() - start < 17s;
         std::this_thread::sleep_for(100ms)) {
        std::error_code ec;
        writes.insert(std::filesystem::last_write_time(home.request(), ec));
        if (!menuOpened && std::chrono::steady_clock::now() - start > 11s) {
            // By now the launch's listing has met its 10 s limit.
            menuOpened = true;
            const auto clicked = std::chrono::steady_clock::now();
            const std::vector<std::string> rows = openMenu(x.name(), home, 8s);
            EXPECT_LT(std::chrono::steady_clock::now() - clicked, 8s) << "the menu took its time";
            EXPECT_TRUE(std::count(rows.begin(), rows.end(), "D. 監視中の作業: tmux が応答しません"));
            x11(x.name(), "/usr/bin/xdotool", {"key", "Escape"});
        }
    }
    ASSERT_GE(writes.size(), 3u);
    for (auto a = writes.begin(), b = std::next(a); b != writes.end(); ++a, ++b)
        EXPECT_LT(*b - *a, 9s) << "the heartbeat (every 5 s) waited on something";

    x.pressCapsLock();
    EXPECT_TRUE(waitFor([&] { return home.requestContent() == "0"; }, 5s)) << "Caps Lock off waited";

    // The end does not wait for the prompt: it is closed (its process killed), nothing was installed.
    const auto signalled = std::chrono::steady_clock::now();
    app.signal(SIGTERM);
    expectOrderlyExit(app, home);
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, 5s);
    EXPECT_TRUE(waitFor([&] { return ::kill(promptPid, 0) != 0; }, 10s)) << "the prompt was left open";
}

TEST_F(TrayEndToEnd,
       WithoutATrayCarryModeFollowsCapsLockTheIconComesWithTheTrayAndLosingTheDisplayEndsInOrder) {
    Xvfb x(std::nullopt, "800x600x24");
    AppHome home;
    auto app = startApp(home, x.name());
    ASSERT_TRUE(waitFor([&] { return home.logged(noTray); }, 30s)) << readFile(home.output());
    x.pressCapsLock();
    EXPECT_TRUE(waitFor([&] { return home.requestContent() == "1"; }, 5s));

    auto tray = startTray(home, x.name());
    EXPECT_TRUE(waitFor([&] { return greenShare(x.name(), home) > 0.125; }, 30s))
        << "no green icon appeared when the tray did";
    const auto all = home.logLines();
    EXPECT_EQ(std::count(all.begin(), all.end(), noTray), 1) << "said once, not again when the tray came";

    // The display goes away under carry mode (logout, a crashed X server): the end still runs.
    x.stop();
    expectOrderlyExit(*app, home);
}

// For SIGHUP the app's standard error is a pipe nobody reads any more (a terminal long closed): its log
// lines must still reach the file, and the end must still run.
TEST_F(TrayEndToEnd, WithNoDisplayAtAllTheAppRunsOnceAndEndsInOrderOnEachStopSignal) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(sig);
        AppHome home;
        int pipeFds[2] = {-1, -1};
        ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
        ::close(pipeFds[0]);
        const UniqueFd deadPipe(pipeFds[1]);
        auto app = startApp(home, "", sig == SIGHUP ? deadPipe.get() : -1);
        ASSERT_TRUE(waitFor([&] { return home.logged(noTray); }, 30s)) << readFile(home.output());
        EXPECT_EQ(home.logLines().front(), started);
        if (sig == SIGTERM) {
            // A second copy in the same session says so and leaves; it never writes the request. Started
            // from a shell without XDG_RUNTIME_DIR (ssh, cron), it still finds the first.
            std::vector<std::string> env = home.environment("");
            std::erase_if(env, [](const std::string& e) { return e.starts_with("XDG_RUNTIME_DIR="); });
            // The first copy's launch left "0"; each write replaces the file, so its inode tells.
            struct stat before {};
            ASSERT_TRUE(waitFor([&] { return ::stat(home.request().c_str(), &before) == 0; }));
            auto second = std::make_unique<ChildProcess>(std::vector<std::string>{TORVANE_TEST_APP},
                                                         home.output(), env);
            EXPECT_EQ(second->waitExit(20s), 0) << readFile(home.output());
            const auto all = home.logLines();
            EXPECT_EQ(all.back(), "INFO: Torvane はすでに起動しています");
            EXPECT_EQ(std::count(all.begin(), all.end(), started), 1);
            struct stat after {};
            EXPECT_TRUE(::stat(home.request().c_str(), &after) == 0 && after.st_ino == before.st_ino);
        }
        app->signal(sig);
        expectOrderlyExit(*app, home);
        EXPECT_EQ(app->waitExit(0ms), 0);
    }
}

} // namespace
} // namespace torvane
