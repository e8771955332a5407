// The real tray app on a private X server with a real tray (trayer), driven as a user would: click,
// Caps Lock, stop signals. Each test has its own home, settings, log, tmux directory and shared
// directory, and its own bus with a stand-in logind, so nothing of this machine is touched.
#include "tests/e2e/ui/TrayHarness.hpp"
#include "tests/fakes/FakeLogind.hpp"
#include "tests/fakes/XvfbServer.hpp"

#include <gtest/gtest.h>

namespace torvane {
namespace {

using namespace std::chrono_literals;
using namespace test;

const std::string started = "=== Torvane 起動 ===";
const std::string ended = "=== Torvane 終了（通常の電源設定に戻しました）===";
const std::string noTray = "INFO: システムトレイが見つからないため、メニューなしで動作します";

int greenPixels(const QImage& image, const Rect& r) {
    int n = 0;
    for (int y = r.y; y < r.y + r.height && y < image.height(); ++y)
        for (int x = r.x; x < r.x + r.width && x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.green() > 150 && c.red() < 120 && c.blue() < 140)
                ++n;
        }
    return n;
}

int darkPixels(const QImage& image, const Rect& r) {
    int n = 0;
    for (int y = r.y; y < r.y + r.height && y < image.height(); ++y)
        for (int x = r.x; x < r.x + r.width && x < image.width(); ++x)
            if (image.pixelColor(x, y).lightness() < 80)
                ++n;
    return n;
}

// The tray may still move its panel (and so the icon) after embedding, so the icon's place is read
// again with every screenshot.
struct IconShot {
    Rect icon;
    QImage screen;
    int green() const { return greenPixels(screen, icon); }
    int dark() const { return darkPixels(screen, icon); }
    bool isGreen() const { return green() > icon.width * icon.height / 8; }
};

std::optional<IconShot> iconShot(const std::string& display, const AppHome& home) {
    const std::optional<Rect> icon = embeddedIcon(display);
    if (!icon)
        return std::nullopt;
    QImage screen = screenshot(display, home);
    if (screen.isNull() || embeddedIcon(display).value_or(Rect{}).x != icon->x)
        return std::nullopt; // moved while the picture was taken
    return IconShot{*icon, std::move(screen)};
}

// Kept beside the build for people to look at (README links the copies in docs/screenshots).
void keep(const QImage& image, const QRect& area, const std::string& name) {
    const std::filesystem::path dir = std::filesystem::path(TORVANE_BINARY_DIR) / "screenshots";
    std::filesystem::create_directories(dir);
    image.copy(area).save(QString::fromStdString((dir / name).string()));
}

TEST(TrayEndToEnd, IconMenuCapsLockAndStopSignalWorkAsAUserSeesThem) {
    test::FakeLogind logind; // the app's power locks go to this bus, not the machine's
    test::Xvfb x(std::nullopt, "800x600x24");
    AppHome home;
    auto tray = startTray(home, x.name());
    auto app = startApp(home, x.name());

    std::optional<Rect> icon;
    ASSERT_TRUE(test::waitFor([&] { return (icon = embeddedIcon(x.name())).has_value(); }, 30s))
        << "the tray never showed the icon\n"
        << test::readFile(home.output());
    EXPECT_TRUE(test::waitFor([&] { return home.logged(started); }));
    EXPECT_FALSE(home.logged(noTray));

    // Inactive: an outline, nothing green.
    std::optional<IconShot> seen;
    ASSERT_TRUE(test::waitFor([&] { return (seen = iconShot(x.name(), home)) && seen->dark() > 10; }, 20s))
        << "no outline drawn in the tray";
    EXPECT_EQ(seen->green(), 0);
    icon = seen->icon;
    keep(seen->screen, QRect(icon->x - 40, 0, 80 + icon->width, 40).intersected(seen->screen.rect()),
         "tray-inactive.png");

    // A left click opens the menu, as a menu bar item does.
    ASSERT_TRUE(
        x11(x.name(), "/usr/bin/xdotool",
            {"mousemove", std::to_string(icon->centerX()), std::to_string(icon->centerY()), "click", "1"})
            .ok());
    ASSERT_TRUE(test::waitFor([&] { return !probeRows(home).empty(); }, 10s)) << "no menu was shown";
    const std::vector<std::string> rows = probeRows(home);
    EXPECT_EQ(rows[0], "D. ○ 持ち運びモード 無効");
    EXPECT_EQ(rows[3], "D. Caps Lock: OFF");
    EXPECT_EQ(rows[6], "D. ヘルパー: 応答なし");
    EXPECT_EQ(rows.back(), "E. 終了");
    // The screenshot is taken once the menu has been painted on the screen.
    QImage shot;
    test::waitFor(
        [&] {
            shot = screenshot(x.name(), home);
            return !shot.isNull() && darkPixels(shot, Rect{400, 40, 400, 200}) > 200;
        },
        5s);
    keep(shot, QRect(380, 0, 420, 320), "menu-open.png");
    ASSERT_TRUE(x11(x.name(), "/usr/bin/xdotool", {"key", "Escape"}).ok());

    // The right click, the tray's usual way, opens it too, rebuilt afresh.
    std::filesystem::remove(home.probe());
    ASSERT_TRUE(
        x11(x.name(), "/usr/bin/xdotool",
            {"mousemove", std::to_string(icon->centerX()), std::to_string(icon->centerY()), "click", "3"})
            .ok());
    ASSERT_TRUE(test::waitFor([&] { return !probeRows(home).empty(); }, 10s)) << "no menu on a right click";
    EXPECT_EQ(probeRows(home)[0], "D. ○ 持ち運びモード 無効");
    ASSERT_TRUE(x11(x.name(), "/usr/bin/xdotool", {"key", "Escape"}).ok());

    // Caps Lock on: "1" within half a second (one poll is 0.25 s), locks taken, icon green.
    x.pressCapsLock();
    EXPECT_TRUE(test::waitFor([&] { return home.requestContent() == "1"; }, 500ms))
        << "request: " << home.requestContent();
    ASSERT_TRUE(test::waitFor([&] { return home.requestContent() == "1"; }, 5s));
    ASSERT_TRUE(test::waitFor([&] { return (seen = iconShot(x.name(), home)) && seen->isGreen(); }, 20s))
        << "the icon did not turn green";
    keep(seen->screen,
         QRect(seen->icon.x - 40, 0, 80 + seen->icon.width, 40).intersected(seen->screen.rect()),
         "tray-active.png");
    EXPECT_TRUE(test::waitFor([&] { return logind.heldCount() == 2; }));
    std::vector<std::string> whats;
    for (const auto& call : logind.inhibitCalls())
        whats.push_back(call.what);
    EXPECT_EQ(whats, (std::vector<std::string>{"idle", "sleep"}));

    // Caps Lock off: "0", locks released, icon back to the outline.
    x.pressCapsLock();
    EXPECT_TRUE(test::waitFor([&] { return home.requestContent() == "0"; }, 500ms));
    EXPECT_TRUE(logind.waitForRelease(0));
    EXPECT_TRUE(logind.waitForRelease(1));
    EXPECT_TRUE(test::waitFor(
        [&] { return (seen = iconShot(x.name(), home)) && seen->green() == 0 && seen->dark() > 10; }, 20s));

    // On again, then the stop signal: "0" stays behind, the locks go, the last line is written.
    x.pressCapsLock();
    ASSERT_TRUE(test::waitFor([&] { return home.requestContent() == "1"; }, 5s));
    ASSERT_TRUE(test::waitFor([&] { return logind.heldCount() == 2; }));
    app->signal(SIGTERM);
    const std::optional<int> status = app->waitExit(20s);
    ASSERT_TRUE(status) << "the app did not end on SIGTERM";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << test::readFile(home.output());
    EXPECT_EQ(home.requestContent(), "0");
    EXPECT_EQ(logind.heldCount(), 0u);
    const auto lines = home.logLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), ended);
    EXPECT_NE(lines[lines.size() - 2], "持ち運びモード OFF（通常の電源設定に戻す）")
        << "no OFF line on the way out";
}

TEST(TrayEndToEnd, WithoutATrayCarryModeStillFollowsCapsLockAndTheIconAppearsWithTheTray) {
    test::FakeLogind logind;
    test::Xvfb x(std::nullopt, "800x600x24");
    AppHome home;
    auto app = startApp(home, x.name());
    ASSERT_TRUE(test::waitFor([&] { return home.logged(noTray); }, 30s)) << test::readFile(home.output());
    const auto lines = home.logLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), noTray), 1);

    x.pressCapsLock();
    EXPECT_TRUE(test::waitFor([&] { return home.requestContent() == "1"; }, 5s));

    auto tray = startTray(home, x.name());
    std::optional<IconShot> seen;
    ASSERT_TRUE(test::waitFor([&] { return (seen = iconShot(x.name(), home)) && seen->isGreen(); }, 30s))
        << "no green icon appeared when the tray did";
    const auto later = home.logLines();
    EXPECT_EQ(std::count(later.begin(), later.end(), noTray), 1) << "said once, not again when the tray came";

    app->signal(SIGTERM);
    ASSERT_TRUE(app->waitExit(20s));
    EXPECT_EQ(home.requestContent(), "0");
}

TEST(TrayEndToEnd, WithNoDisplayAtAllTheAppRunsAndEndsInOrderOnEachStopSignal) {
    test::FakeLogind logind;
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(sig);
        AppHome home;
        auto app = startApp(home, "");
        ASSERT_TRUE(test::waitFor([&] { return home.logged(noTray); }, 30s)) << test::readFile(home.output());
        EXPECT_EQ(home.logLines().front(), started);
        app->signal(sig);
        const std::optional<int> status = app->waitExit(20s);
        ASSERT_TRUE(status);
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << test::readFile(home.output());
        EXPECT_EQ(home.requestContent(), "0") << "every orderly end leaves \"0\"";
        EXPECT_EQ(home.logLines().back(), ended);
    }
}

} // namespace
} // namespace torvane
