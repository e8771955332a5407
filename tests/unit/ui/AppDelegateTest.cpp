#include "app/ui/AppDelegate.hpp"

#include "app/core/Config.hpp"
#include "app/core/Log.hpp"
#include "app/core/MemorySettings.hpp"
#include "app/core/VirtualMainLoop.hpp"
#include "tests/fakes/FakeAlertPresenter.hpp"
#include "tests/fakes/FakeDesktop.hpp"
#include "tests/fakes/FakeKeyboardState.hpp"
#include "tests/fakes/FakeLidSensor.hpp"
#include "tests/fakes/FakePowerAssertions.hpp"
#include "tests/fakes/FakePowerSources.hpp"
#include "tests/fakes/FakePrivilegedRunner.hpp"
#include "tests/fakes/FakeStatusView.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <gtest/gtest.h>

namespace torvane {
namespace {

using Lines = std::vector<std::string>;

const std::string started = "=== Torvane 起動 ===";
const std::string ended = "=== Torvane 終了（通常の電源設定に戻しました）===";
const std::string onLine = "持ち運びモード ON（ふた閉じ抑止: 有効（ヘルパー経由））";
const std::string offLine = "持ち運びモード OFF（通常の電源設定に戻す）";

std::string change(std::string_view reason, std::string_view power) {
    return "状態が変わります（きっかけ: " + std::string(reason) + "、電源: " + std::string(power) + "）";
}

class AppDelegateTest : public ::testing::Test {
protected:
    AppDelegateTest() { onBattery(80, true); }

    // The internal battery at `percent`, with or without external power.
    void onBattery(int percent, bool ac) {
        PowerDescription battery{{"Type", std::string("InternalBattery")},
                                 {"Current Capacity", std::int64_t{percent}},
                                 {"Max Capacity", std::int64_t{100}},
                                 {"Power Source State", std::string(ac ? "AC Power" : "Battery Power")}};
        sources.set(PowerSnapshot{{battery}});
    }
    void noBattery() { sources.set(PowerSnapshot{}); }

    AppDelegate& app() {
        if (!delegate)
            delegate = std::make_unique<AppDelegate>(AppDelegate::Ports{
                loop, settings, keyboard, sources, assertions, lid, RequestChannel(shared.path()), tmux, view,
                alerts, desktop, installer.get()});
        return *delegate;
    }

    void launch() {
        app().applicationDidFinishLaunching();
        log.clear();
    }

    // One Caps Lock change, seen by the next poll.
    void capsLock(bool on) {
        keyboard.on = on;
        loop.advance(std::chrono::duration<double>(Config::pollInterval));
    }
    void review() { loop.advance(std::chrono::duration<double>(AppDelegate::reviewInterval)); }

    std::string request() { return test::readFile(shared / "request"); }

    VirtualMainLoop loop;
    MemorySettings settings;
    test::FakeKeyboardState keyboard;
    test::FakePowerSources sources;
    test::FakePowerAssertions assertions;
    test::FakeLidSensor lid;
    test::TempDir shared;
    Tmux tmux{std::vector<std::string>{"/nonexistent/tmux"}};
    test::FakeStatusView view;
    test::FakeAlertPresenter alerts;
    test::FakeDesktop desktop;
    std::unique_ptr<HelperInstaller> installer;
    test::LogCapture log;
    std::unique_ptr<AppDelegate> delegate;
};

TEST_F(AppDelegateTest, CapsLockOnAtLaunchActivatesThroughTheLaunchEvaluation) {
    keyboard.on = true;
    app().applicationDidFinishLaunching();
    EXPECT_EQ(log.lines(), (Lines{started, change("launch", "電源接続あり・80%"), onLine}));
    EXPECT_EQ(request(), "1");
    EXPECT_EQ(view.installs, 1);
    ASSERT_FALSE(view.shown.empty());
    EXPECT_TRUE(view.shown.back().active);
    EXPECT_EQ(view.shown.back().symbol, "capslock.fill");
    EXPECT_TRUE(view.shown.back().tinted);
}

TEST_F(AppDelegateTest, CapsLockEdgesSwitchCarryModeOnAndOff) {
    app().applicationDidFinishLaunching();
    EXPECT_EQ(log.lines(), Lines{started});
    EXPECT_FALSE(std::filesystem::exists(shared / "request")) << "nothing to ask for yet";
    EXPECT_FALSE(view.lastActive());
    log.clear();

    capsLock(true);
    EXPECT_EQ(log.lines(), (Lines{"Caps Lock ON", change("capslock", "電源接続あり・80%"), onLine}));
    EXPECT_EQ(request(), "1");
    EXPECT_TRUE(view.lastActive());
    EXPECT_EQ(assertions.held.size(), 2u);

    log.clear();
    capsLock(false);
    EXPECT_EQ(log.lines(), (Lines{"Caps Lock OFF", change("capslock", "電源接続あり・80%"), offLine}));
    EXPECT_EQ(request(), "0");
    EXPECT_FALSE(view.lastActive());
    EXPECT_EQ(view.shown.back().tooltip, "Torvane: 無効（Caps Lock をオンにすると有効）");
    EXPECT_TRUE(assertions.held.empty());
}

TEST_F(AppDelegateTest, PauseHoldsCarryModeOffWhileCapsLockChangesAreStillSeen) {
    launch();
    capsLock(true);
    log.clear();

    app().togglePause();
    EXPECT_EQ(log.lines(), (Lines{"一時停止しました", change("pause", "電源接続あり・80%"), offLine}));
    EXPECT_EQ(settings.boolean("paused"), true);
    EXPECT_EQ(request(), "0");

    log.clear();
    capsLock(false);
    capsLock(true);
    review();
    EXPECT_EQ(log.lines(), (Lines{"Caps Lock OFF", "Caps Lock ON"}));
    EXPECT_FALSE(app().power().isActive());

    log.clear();
    app().togglePause();
    EXPECT_EQ(log.lines(), (Lines{"一時停止を解除しました", change("pause", "電源接続あり・80%"), onLine}));
    EXPECT_EQ(settings.boolean("paused"), false);
    EXPECT_EQ(request(), "1");
}

TEST_F(AppDelegateTest, BatteryBelowTheFloorReleasesOnceWithOneBeepAndComesBack) {
    onBattery(50, false);
    keyboard.on = true;
    launch();
    ASSERT_TRUE(app().power().isActive());

    onBattery(19, false);
    review();
    EXPECT_EQ(log.lines(), (Lines{"バッテリー 19%（下限 20%）。安全のため自動解除します",
                                  change("timer", "バッテリー駆動・19%"), offLine}));
    EXPECT_EQ(desktop.beeps, 1);
    EXPECT_TRUE(app().batteryBlocked());

    log.clear();
    review();
    review();
    capsLock(false);
    capsLock(true);
    EXPECT_EQ(log.lines(), (Lines{"Caps Lock OFF", "Caps Lock ON"})) << "the latch is silent while it holds";
    EXPECT_EQ(desktop.beeps, 1);

    // Exactly at the floor is enough.
    log.clear();
    onBattery(20, false);
    review();
    EXPECT_EQ(log.lines(),
              (Lines{"バッテリー条件が回復しました", change("timer", "バッテリー駆動・20%"), onLine}));
    EXPECT_FALSE(app().batteryBlocked());

    // Plugging in lifts the latch at the next evaluation, whatever the charge.
    onBattery(12, false);
    review();
    EXPECT_EQ(desktop.beeps, 2);
    log.clear();
    onBattery(12, true);
    EXPECT_EQ(log.lines(), Lines{}) << "plugging in alone evaluates nothing";
    review();
    EXPECT_EQ(log.lines(),
              (Lines{"バッテリー条件が回復しました", change("timer", "電源接続あり・12%"), onLine}));
}

TEST_F(AppDelegateTest, CrossingTheFloorWhileInactiveLogsWithoutBeeping) {
    onBattery(30, false);
    launch();
    onBattery(10, false);
    review();
    EXPECT_EQ(log.lines(), Lines{"バッテリー 10%（下限 20%）。安全のため自動解除します"});
    EXPECT_EQ(desktop.beeps, 0);
    // The status line says why Caps Lock is not obeyed.
    capsLock(true);
    const Menu menu = app().rebuild();
    EXPECT_EQ(menu[1].title, "\u3000バッテリー下限を割ったため自動解除中");
}

TEST_F(AppDelegateTest, FloorDefaultsToTwentyAndFollowsTheStoredValue) {
    EXPECT_EQ(app().batteryFloor(), 20);
    settings.setInteger("batteryFloor", 0);
    EXPECT_EQ(app().batteryFloor(), 20);
    settings.setInteger("batteryFloor", 5'000'000'000LL);
    EXPECT_EQ(app().batteryFloor(), 20) << "not a percentage an int can hold";

    keyboard.on = true;
    onBattery(24, false);
    launch();
    EXPECT_TRUE(app().power().isActive());

    app().setFloor(30);
    EXPECT_EQ(settings.integer("batteryFloor"), 30);
    EXPECT_EQ(log.lines(), (Lines{"バッテリー下限を 30% にしました",
                                  "バッテリー 24%（下限 30%）。安全のため自動解除します",
                                  change("floor", "バッテリー駆動・24%"), offLine}));
    EXPECT_EQ(desktop.beeps, 1);

    // A floor set by other means applies just the same.
    settings.setInteger("batteryFloor", 25);
    log.clear();
    onBattery(25, false);
    review();
    EXPECT_EQ(log.lines(),
              (Lines{"バッテリー条件が回復しました", change("timer", "バッテリー駆動・25%"), onLine}));
}

TEST_F(AppDelegateTest, WithoutABatteryTheFloorNeverApplies) {
    noBattery();
    settings.setInteger("batteryFloor", 40);
    keyboard.on = true;
    launch();
    review();
    EXPECT_TRUE(app().power().isActive());
    EXPECT_FALSE(app().batteryBlocked());
    EXPECT_EQ(app().rebuild()[4].title, "電源: 常時電源（バッテリー未検出）");
}

TEST_F(AppDelegateTest, EvaluationThatChangesNothingLogsNothingButRefreshesTheIcon) {
    keyboard.on = true;
    launch();
    const std::size_t before = view.shown.size();
    review();
    review();
    app().evaluate("menu");
    EXPECT_EQ(log.lines(), Lines{});
    EXPECT_EQ(view.shown.size(), before + 3);
    EXPECT_TRUE(view.lastActive());
}

TEST_F(AppDelegateTest, QuittingWhileActiveLeavesZeroAndReleasesBeforeTheLastLine) {
    keyboard.on = true;
    launch();
    ASSERT_EQ(request(), "1");

    std::string requestAtEnd;
    std::size_t heldAtEnd = 99;
    const auto tap = Log::shared().addTap([&](std::string_view message) {
        if (message == ended) {
            requestAtEnd = request();
            heldAtEnd = assertions.held.size();
        }
    });
    app().quit();
    EXPECT_EQ(desktop.terminations, 1) << "quit asks the event loop to end; the end runs after it";
    app().applicationWillTerminate();
    Log::shared().removeTap(tap);

    EXPECT_EQ(log.lines(), Lines{ended});
    EXPECT_EQ(requestAtEnd, "0");
    EXPECT_EQ(heldAtEnd, 0u);
    EXPECT_EQ(loop.pendingCount(), 0u) << "poll, review and heartbeat timers are all gone";
}

TEST_F(AppDelegateTest, TerminationRunsOnceAndNothingReactivatesAfterIt) {
    int phoneStops = 0;
    app().setStopPhoneLink([&] { ++phoneStops; });
    keyboard.on = true;
    launch();
    app().applicationWillTerminate();
    app().applicationWillTerminate();
    EXPECT_EQ(phoneStops, 1);
    log.clear();

    // A late trigger, say the re-evaluation after an alert that the end interrupted.
    app().evaluate("helper");
    loop.advance(std::chrono::seconds(60));
    EXPECT_EQ(request(), "0");
    EXPECT_FALSE(app().power().isActive());
    EXPECT_EQ(log.lines(), Lines{});
}

TEST_F(AppDelegateTest, UnwritableSharedDirectoryIsReportedAtLaunch) {
    const std::filesystem::path missing = shared / "absent";
    AppDelegate delegate(AppDelegate::Ports{loop, settings, keyboard, sources, assertions, lid,
                                            RequestChannel(missing), tmux, view, alerts, desktop});
    keyboard.on = true;
    delegate.applicationDidFinishLaunching();
    const Lines lines = log.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], "WARN: " + missing.string() + " に書き込めません。ヘルパー未導入の可能性があります");
    EXPECT_EQ(
        lines.back(),
        "持ち運びモード ON（ふた閉じ抑止: ⚠️ 未確認（ヘルパー未導入））");
    const Menu menu = delegate.rebuild();
    EXPECT_EQ(menu[5].title, "ふた閉じ抑止: ⚠️ 未確認（ヘルパー未導入）");
    EXPECT_EQ(menu[6].title, "ヘルパー: 未導入");
}

TEST_F(AppDelegateTest, OpeningTheMenuEvaluatesFirst) {
    settings.setBoolean("paused", true);
    keyboard.on = true;
    launch();
    settings.setBoolean("paused", false); // changed behind the app's back: nothing evaluates yet
    const Menu menu = app().menuWillOpen();
    EXPECT_EQ(log.lines(), (Lines{change("menu", "電源接続あり・80%"), onLine}));
    EXPECT_EQ(menu[0].title, "● 持ち運びモード 有効");
    EXPECT_EQ(menu[5].title, "ふた閉じ抑止: 有効（ヘルパー経由）");
    EXPECT_EQ(menu[6].title, "ヘルパー: 応答なし") << "the directory is there but nobody acknowledges";
    EXPECT_EQ(menu[8].title, "tmux 未導入（sudo apt install tmux）");

    test::writeFile(shared / "ack", "ok");
    EXPECT_EQ(app().rebuild()[6].title, "ヘルパー: 稼働中");
}

TEST_F(AppDelegateTest, MenuRowsCallTheDelegate) {
    launch();
    Menu menu = app().rebuild();
    auto find = [&](std::string_view title) -> const MenuItem& {
        for (const MenuItem& m : menu)
            if (m.title == title)
                return m;
        throw std::runtime_error("no row " + std::string(title));
    };
    find("一時停止").action();
    EXPECT_EQ(settings.boolean("paused"), true);
    menu = app().rebuild();
    EXPECT_TRUE(find("一時停止").checked);
    find("バッテリー下限: 20%").submenu.at(1).action();
    EXPECT_EQ(settings.integer("batteryFloor"), 15);
    find("終了").action();
    EXPECT_EQ(desktop.terminations, 1);
}

TEST_F(AppDelegateTest, PhoneLinkRowsAreAskedForAtEveryOpening) {
    int asked = 0;
    app().setPhoneLinkRows([&] {
        ++asked;
        return std::vector<MenuItem>{MenuItem::command("スマホ連携を開始", [] {})};
    });
    launch();
    app().menuWillOpen();
    const Menu menu = app().menuWillOpen();
    EXPECT_EQ(asked, 2);
    EXPECT_TRUE(std::any_of(menu.begin(), menu.end(),
                            [](const MenuItem& m) { return m.title == "スマホ連携を開始"; }));
}

TEST_F(AppDelegateTest, AboutShowsTheTextWithTheCurrentFloor) {
    settings.setInteger("batteryFloor", 30);
    app().showAbout();
    ASSERT_EQ(alerts.shown.size(), 1u);
    const Alert& a = alerts.shown[0];
    EXPECT_EQ(a.style, AlertStyle::informational);
    EXPECT_EQ(a.message, "Torvane");
    EXPECT_EQ(a.buttons, std::vector<std::string>{"OK"});
    // U+26A0 without a variation selector, U+3000 plus a space as the indent, no final line feed.
    EXPECT_EQ(a.informativeText,
              "Caps Lock をオンにしている間だけ、ふたを閉じてもMacがスリープしなくなります。\n"
              "オフにすれば、いつものMacに戻ります。\n\n"
              "\xE2\x9A\xA0 ふたを閉じたMacは排熱できません。\n"
              "\xE3\x80\x80 密閉した鞄には入れないでください。\n\n"
              "\xE2\x9A\xA0 電源に繋がっていないと、電池は普段よりずっと速く減ります。\n"
              "\xE3\x80\x80 残り 30% を割ると自動的に解除します。\n\n"
              "アプリが予期せず終了した場合も、常駐ヘルパーが\n"
              "15秒以内に通常の電源設定へ戻します。");
}

TEST_F(AppDelegateTest, OpenLogCreatesTheFileFirstWhenThereIsNone) {
    // A log of this test's own: tests running side by side share the scratch home.
    test::TempDir state;
    const std::string saved = std::getenv("XDG_STATE_HOME") ? std::getenv("XDG_STATE_HOME") : "";
    ::setenv("XDG_STATE_HOME", state.path().c_str(), 1);
    struct Restore {
        std::string value;
        ~Restore() { ::setenv("XDG_STATE_HOME", value.c_str(), 1); }
    } restore{saved};
    const std::filesystem::path file = Config::logURL();
    ASSERT_EQ(file, state / "torvane/Torvane.log");
    bool existedWhenOpened = false;
    desktop.onOpen = [&](const std::filesystem::path& p) { existedWhenOpened = std::filesystem::exists(p); };
    app().openLog();
    EXPECT_EQ(log.lines(), Lines{"ログを開きました"});
    ASSERT_EQ(desktop.opened, std::vector<std::filesystem::path>{file});
    EXPECT_TRUE(existedWhenOpened);

    log.clear();
    app().openLog();
    EXPECT_EQ(log.lines(), Lines{}) << "an existing log is opened without a line";
    EXPECT_EQ(desktop.opened.size(), 2u);
}

TEST_F(AppDelegateTest, HelperRowOffersInstallationOrRemovalAndRunsTheFlow) {
    test::TempDir resources;
    test::writeFile(resources / "install-helper.sh", "exit 0\n");
    auto runner = std::make_shared<test::FakePrivilegedRunner>();
    installer = std::make_unique<HelperInstaller>(resources.path(), runner);
    launch();

    Menu menu = app().rebuild();
    ASSERT_EQ(menu[7].title, "\u3000ふた閉じ抑止を有効にする…");
    EXPECT_TRUE(menu[7].enabled);
    EXPECT_TRUE(menu[8].separator);

    // "やめる": nothing runs, nothing is logged.
    alerts.answers = {1};
    menu[7].action();
    EXPECT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].message, "ふた閉じ抑止を有効にしますか？");
    EXPECT_TRUE(runner->calls.empty());
    EXPECT_EQ(log.lines(), Lines{});

    // "続ける": the script runs, carry mode is re-evaluated before the success alert. An input
    // changed behind the app's back shows that evaluation.
    settings.setBoolean("paused", true);
    capsLock(true);
    settings.setBoolean("paused", false);
    log.clear();
    alerts.answers = {0, 0};
    alerts.onShow = [&](const Alert& a) {
        if (a.message == "ふた閉じ抑止を有効にしました") {
            EXPECT_TRUE(app().power().isActive()) << "evaluated with \"helper\" before the alert";
        }
    };
    menu[7].action();
    ASSERT_EQ(runner->calls.size(), 1u);
    EXPECT_EQ(runner->calls[0].scriptPath, (resources / "install-helper.sh").string());
    EXPECT_EQ(alerts.shown.back().message, "ふた閉じ抑止を有効にしました");
    EXPECT_EQ(log.lines(),
              (Lines{"install-helper.sh を実行しました", change("helper", "電源接続あり・80%"), onLine}));

    test::writeFile(shared / "ack", "ok");
    EXPECT_EQ(app().rebuild()[7].title, "\u3000ヘルパーを取り外す…");

    // Without the installation script the row is absent.
    std::filesystem::remove(resources / "install-helper.sh");
    EXPECT_TRUE(app().rebuild()[7].separator);
}

} // namespace
} // namespace torvane
