#include "app/ui/AppDelegate.hpp"

#include "app/core/Config.hpp"
#include "app/core/Log.hpp"
#include "app/ui/linux/AutostartEntry.hpp"
#include "tests/fakes/FakeDelegatePorts.hpp"

#include <gtest/gtest.h>

namespace torvane {
namespace {

using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

const std::string started = "=== Torvane 起動 ===";
const std::string ended = "=== Torvane 終了（通常の電源設定に戻しました）===";

std::string change(std::string_view reason, std::string_view power) {
    return "状態が変わります（きっかけ: " + std::string(reason) + "、電源: " + std::string(power) + "）";
}

class AppDelegateTest : public ::testing::Test, protected test::FakeDelegatePorts {
protected:
    AppDelegateTest() {
        onBattery(80, true);
        startDaemon();
    }

    // The internal battery at `percent` (none: its charge cannot be read), with or without external power.
    void onBattery(std::optional<int> percent, bool ac) {
        PowerDescription battery{{"Type", std::string("InternalBattery")},
                                 {"Max Capacity", std::int64_t{100}},
                                 {"Power Source State", std::string(ac ? "AC Power" : "Battery Power")}};
        if (percent)
            battery["Current Capacity"] = std::int64_t{*percent};
        sources.set(PowerSnapshot{{battery}});
    }

    void launch() {
        app.launch();
        log.clear();
    }
    // One Caps Lock change, seen by the next poll.
    void capsLock(bool on) {
        keyboard.on = on;
        loop.advance(std::chrono::duration<double>(Config::pollInterval));
    }
    std::string request() { return test::readFile(shared / "request"); }
    // The notices sent so far are `texts`: they go out on a worker.
    bool noticed(const Lines& texts) {
        return test::waitFor([&] {
            const std::lock_guard lock(notices.mutex);
            return notices.texts == texts;
        });
    }
    // The row with this title, if the menu has one.
    std::optional<MenuItem> row(std::string_view title) {
        const Menu menu = app.rebuild();
        const auto it =
            std::find_if(menu.begin(), menu.end(), [&](const MenuItem& m) { return m.title == title; });
        return it == menu.end() ? std::nullopt : std::optional(*it);
    }

    test::TempDir config;
    Tmux tmux{std::vector<std::string>{"/nonexistent/tmux"}};
    AutostartEntry login{config / "autostart", "/bin/sh"};
    struct Notices final : Notifier {
        std::mutex mutex;
        Lines texts;
        void notify(std::string_view text) override {
            const std::lock_guard lock(mutex);
            texts.emplace_back(text);
        }
    } notices;
    struct Session final : SessionActivity {
        bool active = true;
        std::function<void()> changed;
        bool isActive() const override { return active; }
        void onChange(std::function<void()> fn) override { changed = std::move(fn); }
        void set(bool value) {
            active = value;
            changed();
        }
    } session;
    AppDelegate app{AppDelegate::Ports{loop, settings, keyboard, sources, assertions, channel(), tmux, view,
                                       alerts, desktop, nullptr, &login, nullptr, &notices, systemNow, false,
                                       &session}};
};

TEST_F(AppDelegateTest, CapsLockDecidesFromLaunchOnAndPauseHoldsCarryModeOffWhileChangesAreStillSeen) {
    keyboard.on = true;
    app.launch();
    EXPECT_EQ(log.lines(), (Lines{started, change("launch", "電源接続あり・80%"), onLine}));
    EXPECT_EQ(request(), "1");
    ASSERT_FALSE(view.menu.empty()) << "a tray may read the menu before it ever opens it";
    EXPECT_EQ(view.menu[0].title, "● 持ち運びモード 有効");
    log.clear();

    app.togglePause();
    EXPECT_EQ(log.lines(), (Lines{"一時停止しました", change("pause", "電源接続あり・80%"), offLine}));
    EXPECT_EQ(request(), "0");
    log.clear();
    capsLock(false);
    capsLock(true);
    review();
    EXPECT_EQ(log.lines(), (Lines{"Caps Lock OFF", "Caps Lock ON"})) << "seen, and nothing changed";

    // Lifted behind the app's back: opening the menu evaluates first, so its rows show the outcome.
    settings.setBoolean("paused", false);
    log.clear();
    EXPECT_EQ(app.menuOpening()[0].title, "● 持ち運びモード 有効");
    EXPECT_EQ(log.lines(), (Lines{change("menu", "電源接続あり・80%"), onLine}));
}

// When the battery guard acts is its own tests' (GuardsTest); here what the delegate makes of it.
TEST_F(AppDelegateTest, BatteryReleasesAreLoggedAndToldOnlyWhenActiveAndALatchIsSilentUntilMains) {
    settings.setInteger("batteryFloor", 30);
    onBattery(50, false);
    launch();
    onBattery(25, false);
    review();
    EXPECT_EQ(log.lines(), Lines{"バッテリー 25%（下限 30%）。安全のため自動解除します"})
        << "the stored floor";

    onBattery(std::nullopt, true);
    log.clear();
    capsLock(true);
    EXPECT_EQ(log.lines(), (Lines{"Caps Lock ON", "バッテリー条件が回復しました",
                                  change("capslock", "電源接続あり・残量不明"), onLine}));
    onBattery(19, false);
    log.clear();
    review();
    EXPECT_EQ(log.lines(), (Lines{"バッテリー 19%（下限 30%）。安全のため自動解除します",
                                  change("timer", "バッテリー駆動・19%"), offLine}));
    EXPECT_EQ(desktop.beeps, 1) << "a release while inactive is only logged";
    log.clear();
    review();
    capsLock(false);
    capsLock(true);
    EXPECT_EQ(log.lines(), (Lines{"Caps Lock OFF", "Caps Lock ON"})) << "the latch is silent while it holds";

    onBattery(50, true);
    review();
    ASSERT_TRUE(app.power().isActive());
    onBattery(std::nullopt, false);
    log.clear();
    review();
    review();
    const std::string text = "バッテリー残量を読み取れません（下限 30%）。安全のため自動解除します";
    EXPECT_EQ(log.lines(), (Lines{"WARN: " + text, change("timer", "バッテリー駆動・残量不明"), offLine}));
    EXPECT_EQ(desktop.beeps, 2);
    EXPECT_TRUE(noticed({"バッテリー 19%（下限 30%）。安全のため自動解除します", text}));
    EXPECT_EQ(app.rebuild()[4].title, "電源: バッテリー駆動・残量不明");
}

TEST_F(AppDelegateTest, GuardSettingsOutsideTheirRangesCountAsDefaultsWithOneWarningPerValue) {
    settings.setInteger("batteryFloor", 5);
    settings.setInteger("heatLimit", 120);
    onBattery(8, false);
    keyboard.on = true;
    app.launch();
    review();
    settings.setString("batteryFloor", "-1%");
    review();
    const Lines all = log.lines();
    EXPECT_EQ(Lines(all.begin() + 1, all.begin() + 4),
              (Lines{"WARN: 設定 batteryFloor=5 は範囲外（10〜40）のため既定値 20 を使います",
                     "バッテリー 8%（下限 20%）。安全のため自動解除します",
                     "WARN: 設定 heatLimit=120 は範囲外（75〜95）のため既定値 90 を使います"}));
    EXPECT_EQ(all.back(), "WARN: 設定 batteryFloor=-1% は範囲外（10〜40）のため既定値 20 を使います");
    EXPECT_EQ(all.size(), 5u) << "warned again at a later evaluation";
    EXPECT_EQ(app.carryState().heatLimit, 90);
}

TEST_F(AppDelegateTest, APauseThatCannotBeSavedHoldsForThisRunAndTheUserIsToldOnce) {
    settings.failSaves = true;
    keyboard.on = true;
    launch();
    for (int i = 0; i < 3; ++i)
        app.togglePause();
    loop.advance(std::chrono::duration<double>(0));
    EXPECT_TRUE(log.contains("WARN: 一時停止を保存できませんでした。この起動中だけ有効です"));
    EXPECT_FALSE(app.power().isActive());
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].message, "一時停止を保存できませんでした");
}

// Timers on virtual time: the daemon touches the ack at every even second while the request is "0" or "1".
TEST_F(AppDelegateTest, TheLidIsPromisedOnlyOnAnAckThatMovedSinceTheWishWentInAndWithinFiveSeconds) {
    const std::string lost = "ふた閉じ抑止が効いていません。ふたを閉じるとスリープします";
    const std::string back = "ふた閉じ抑止が戻りました。ふたを閉じても動き続けます";
    auto after = [&](double seconds) { loop.advance(std::chrono::duration<double>(seconds)); };
    auto shows = [&](bool held) {
        const Menu menu = app.rebuild();
        EXPECT_EQ(menu[1].title,
                  held ? "\u3000ふたを閉じても動き続けます" : "\u3000ふたを閉じるとスリープします");
        EXPECT_EQ(menu[6].title,
                  held ? "ふた閉じ抑止: 有効（ヘルパー経由）"
                       : "ふた閉じ抑止: ⚠️ ふたを閉じるとスリープします");
        EXPECT_EQ(view.appearance.tooltip,
                  held ? "Torvane: 持ち運びモード 有効（ふたを閉じても動きます）"
                       : "Torvane: 持ち運びモード 有効（ふたを閉じるとスリープします）");
        EXPECT_EQ(app.carryState().lidHeld, held);
    };
    test::writeFile(shared / "request", "0");
    after(2.5); // the "0" acknowledged at 2 s confirms no "1"
    keyboard.on = true;
    launch();
    shows(false);
    after(2); // t = 4.5: the first ack came at 4, shown without a notice
    shows(true);

    // The request cannot be written: the daemon soon lets the lid go, and the tray says so at once.
    std::filesystem::remove(shared / "request");
    std::filesystem::create_directory(shared / "request");
    after(5); // t = 9.5: the heartbeat's write failed at 7.5
    shows(false);
    std::filesystem::remove(shared / "request");
    after(3.5); // t = 13: written again at 12.5, but nothing acknowledged it yet
    shows(false);
    after(1.5);
    shows(true);

    // The daemon dies right after its ack at 14: six seconds later the tray says so.
    daemon.reset();
    after(4.5);
    shows(true);
    after(1);
    shows(false);

    // Back, then the wall clock set back an hour and the daemon dead: its last ack is an hour ahead.
    startDaemon();
    after(2.5);
    shows(true);
    wallStep = -3600;
    daemon.reset();
    after(6);
    shows(false);
    EXPECT_TRUE(noticed({lost, back, lost, back, lost})) << "one notice per change, none per beat";

    // A new start of carry mode gives the daemon a few seconds for its first ack, then tells.
    log.clear();
    capsLock(false);
    capsLock(true);
    shows(false);
    EXPECT_FALSE(log.contains("WARN: " + lost));
    after(PowerManager::ackGraceSeconds);
    EXPECT_TRUE(log.contains("WARN: " + lost));
}

TEST_F(AppDelegateTest, QuittingWhileActiveLeavesZeroAndReleasesBeforeTheLastLineOnceOnly) {
    int phoneStops = 0;
    app.setStopPhoneLink([&] { ++phoneStops; });
    keyboard.on = true;
    launch();
    std::string requestAtEnd;
    std::size_t heldAtEnd = 99;
    const auto tap = Log::shared().addTap([&](std::string_view message) {
        if (message == ended) {
            requestAtEnd = request();
            heldAtEnd = assertions.held.size();
        }
    });
    app.quit();
    daemon.reset();
    EXPECT_EQ(desktop.terminations, 1) << "quit asks the event loop to end; the end runs after it";
    app.terminate();
    app.terminate();
    Log::shared().removeTap(tap);
    EXPECT_EQ(log.lines(), Lines{ended});
    EXPECT_EQ(requestAtEnd, "0");
    EXPECT_EQ(heldAtEnd, 0u);
    EXPECT_EQ(phoneStops, 1);
    EXPECT_EQ(loop.pendingCount(), 0u) << "poll, review and heartbeat timers are all gone";

    // A late trigger, say the re-evaluation after an alert that the end interrupted.
    app.evaluate("helper");
    EXPECT_FALSE(app.power().isActive());
}

// Two users on one Caps Lock LED: while another session is in front, its user's Caps Lock is not this
// user's wish; carry mode comes back with this session if Caps Lock is still on.
TEST_F(AppDelegateTest, CapsLockActsOnlyForTheUserWhoseSessionIsInFront) {
    launch();
    capsLock(true);
    EXPECT_EQ(request(), "1");

    log.clear();
    session.set(false);
    EXPECT_EQ(log.lines(), (Lines{"ログインセッションが切り替わったため持ち運びモードを解除しました",
                                  change("session", "電源接続あり・80%"), offLine}));
    EXPECT_EQ(request(), "0");
    capsLock(false);
    capsLock(true);
    review();
    EXPECT_EQ(request(), "0") << "the other user's Caps Lock started carry mode";
    EXPECT_EQ(app.rebuild()[1].title, "\u3000ほかのログインセッションに切り替わっているため解除中");

    log.clear();
    session.set(true);
    EXPECT_EQ(log.lines(), (Lines{change("session", "電源接続あり・80%"), onLine,
                                  "ログインセッションに戻ったため持ち運びモードを再開しました"}));
    EXPECT_EQ(request(), "1");
}

TEST_F(AppDelegateTest, ALaunchWithCapsLockOffTakesBackACrashedRunsOneAndTheLoginRowWritesTheEntry) {
    test::writeFile(shared / "request", "1");
    launch();
    EXPECT_EQ(request(), "0");
    loop.advance(std::chrono::duration<double>(2));
    EXPECT_TRUE(row("ヘルパー: 稼働中")) << "the daemon answered";

    const std::string autostart = "ログイン時に起動";
    EXPECT_FALSE(row(autostart)->checked);
    row(autostart)->action();
    EXPECT_EQ(log.lines(), Lines{"ログイン時に起動: 有効"});
    EXPECT_NE(test::readFile(login.file()).find("\nExec=/bin/sh\nTryExec=/bin/sh\n"), std::string::npos);
    EXPECT_TRUE(row(autostart)->checked);
    // An entry left behind by a build that is gone does not count.
    test::writeFile(login.file(), "[Desktop Entry]\nExec=\"/gone/to rvane\" --x\n");
    EXPECT_FALSE(row(autostart)->checked);
    test::writeFile(login.file(), "[Desktop Entry]\nExec=\"/bin/sh\" --x\n");
    log.clear();
    row(autostart)->action();
    EXPECT_EQ(log.lines(), Lines{"ログイン時に起動: 無効"});
    EXPECT_FALSE(std::filesystem::exists(login.file()));
}

} // namespace
} // namespace torvane
