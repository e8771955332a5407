// The real tray app on a private X server with a real tray (trayer), driven as a user would: click,
// Caps Lock, stop signals, a display that goes away. Each test has its own home, settings, log, tmux
// directory and shared directory, and its own system bus: nothing of this machine is touched.
#include "common/UniqueFd.hpp"
#include "tests/e2e/ui/TrayHarness.hpp"
#include "tests/fakes/RealLogind.hpp"
#include "tests/fakes/XvfbServer.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>

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

    std::optional<Rect> icon;
    ASSERT_TRUE(waitFor([&] { return (icon = embeddedIcon(x.name())).has_value(); }, 30s))
        << "the tray never showed the icon\n"
        << readFile(home.output());
    EXPECT_TRUE(waitFor([&] { return home.logged(started); }));
    EXPECT_FALSE(home.logged(noTray));
    EXPECT_TRUE(waitFor([&] { return greenShare(x.name(), home) == 0; }, 20s)) << "inactive: nothing green";

    // A left click opens the menu, as a menu bar item does. The icon is found again for each try: the
    // tray may still move its panel after embedding.
    ASSERT_TRUE(waitFor(
        [&] {
            return (icon = embeddedIcon(x.name())) &&
                   x11(x.name(), "/usr/bin/xdotool",
                       {"mousemove", std::to_string(icon->x + icon->width / 2),
                        std::to_string(icon->y + icon->height / 2), "click", "1"})
                       .ok() &&
                   waitFor([&] { return !readLines(home.probe()).empty(); }, 2s);
        },
        20s))
        << "no menu was shown";
    const std::vector<std::string> rows = readLines(home.probe());
    EXPECT_EQ(rows[0], "D. ○ 持ち運びモード 無効");
    EXPECT_EQ(rows[3], "D. Caps Lock: OFF");
    EXPECT_EQ(rows[7], "D. ヘルパー: 応答なし");
    EXPECT_EQ(rows.back(), "E. 終了");
    ASSERT_TRUE(x11(x.name(), "/usr/bin/xdotool", {"key", "Escape"}).ok());

    // Caps Lock on: "1" within half a second (one poll is 0.25 s), locks taken, icon green.
    x.pressCapsLock();
    EXPECT_TRUE(waitFor([&] { return home.requestContent() == "1"; }, 500ms));
    EXPECT_TRUE(waitFor([&] { return greenShare(x.name(), home) > 0.125; }, 20s))
        << "the icon did not turn green";
    EXPECT_TRUE(!logind || waitFor([&] { return logind->inhibitors().size() == 2; }))
        << "idle and sleep locks";

    // The stop signal: "0" stays behind, the last line is written.
    app->signal(SIGTERM);
    expectOrderlyExit(*app, home);
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
            auto second = std::make_unique<ChildProcess>(std::vector<std::string>{TORVANE_TEST_APP},
                                                         home.output(), env);
            EXPECT_EQ(second->waitExit(20s), 0) << readFile(home.output());
            const auto all = home.logLines();
            EXPECT_EQ(all.back(), "INFO: Torvane はすでに起動しています");
            EXPECT_EQ(std::count(all.begin(), all.end(), started), 1);
            EXPECT_FALSE(std::filesystem::exists(home.request()));
        }
        app->signal(sig);
        expectOrderlyExit(*app, home);
        EXPECT_EQ(app->waitExit(0ms), 0);
    }
}

} // namespace
} // namespace torvane
