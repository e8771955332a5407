#include "app/ui/StatusMenu.hpp"
#include "app/ui/qt/Application.hpp"
#include "app/ui/qt/MenuRenderer.hpp"
#include "app/ui/qt/QtAlertPresenter.hpp"
#include "app/ui/qt/QtMainLoop.hpp"
#include "app/ui/qt/QtSettings.hpp"
#include "app/ui/qt/SignalBridge.hpp"
#include "app/ui/qt/StatusGlyph.hpp"
#include "app/ui/qt/TrayShell.hpp"
#include "tests/fakes/TestSupport.hpp"
#include "tests/integration/ui/QtTestApp.hpp"

#include <QAction>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <csignal>
#include <gtest/gtest.h>
#include <map>
#include <thread>

namespace torvane {
namespace {

using test::qtApp;

bool pump(const std::function<bool()>& done, int ms = 5000) {
    return test::waitFor(
        [&] {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            // Outside a running event loop deferred deletions wait for an explicit send.
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            return done();
        },
        std::chrono::milliseconds(ms));
}

StatusSnapshot sampleState() {
    StatusSnapshot s;
    s.paused = true;
    s.capsLockOn = true;
    s.floor = 15;
    s.powerDescription = "電源接続あり・100%";
    s.lidDescription = "ふた閉じ抑止: 無効";
    s.helperDescription = "ヘルパー: 稼働中";
    s.sessions = std::vector<SessionRow>{{"a&b\tc", true, "作業中（vim）", "3分"}};
    return s;
}

// Compares the rendered QMenu with the model row by row.
void expectSameMenu(const Menu& model, const QMenu& menu) {
    const QList<QAction*> actions = menu.actions();
    ASSERT_EQ(static_cast<std::size_t>(actions.size()), model.size());
    for (std::size_t i = 0; i < model.size(); ++i) {
        const MenuItem& item = model[i];
        const QAction* action = actions[static_cast<qsizetype>(i)];
        SCOPED_TRACE(item.title);
        EXPECT_EQ(action->isSeparator(), item.separator);
        if (item.separator)
            continue;
        EXPECT_EQ(action->isEnabled(), item.enabled);
        EXPECT_EQ(action->isChecked(), item.checked);
        EXPECT_EQ(action->menu() != nullptr, !item.submenu.empty());
        if (action->menu())
            expectSameMenu(item.submenu, *action->menu());
    }
}

TEST(QtMenuRenderer, BuildsTheSameRowsAsTheModel) {
    qtApp();
    StatusMenuActions actions{[] {}, [](int) {}, [] {}, [] {}, [] {}};
    const Menu model = StatusMenu::build(sampleState(), actions);
    QMenu menu;
    renderMenu(model, menu);
    expectSameMenu(model, menu);

    const QList<QAction*> rows = menu.actions();
    EXPECT_EQ(rows[0]->text(), QStringLiteral("○ 持ち運びモード 無効"));
    EXPECT_EQ(rows[1]->text(), QStringLiteral("\u3000一時停止中（Caps Lock を無視します）"));
    // "&" is shown, not taken as a mnemonic marker, and a tab does not open a shortcut column.
    EXPECT_EQ(rows[9]->text(), QStringLiteral("\u3000● a&&b c — 作業中（vim）・3分"));
    EXPECT_TRUE(QKeySequence::mnemonic(rows[9]->text()).isEmpty());
    EXPECT_EQ(rows.back()->text(), QStringLiteral("終了"));
    EXPECT_EQ(rows.back()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    const QMenu* floors = rows[12]->menu();
    ASSERT_NE(floors, nullptr);
    EXPECT_EQ(rows[12]->text(), QStringLiteral("バッテリー下限: 15%"));
    EXPECT_TRUE(floors->actions()[1]->isChecked());
    EXPECT_EQ(floors->actions()[1]->data().toInt(), 15);
}

TEST(QtMenuRenderer, ChosenRowsRunTheirActionAndRebuildsLeaveNothingBehind) {
    qtApp();
    std::vector<std::string> calls;
    StatusMenuActions actions{[&] { calls.push_back("pause"); },
                              [&](int p) { calls.push_back(std::to_string(p)); }, [] {}, [] {},
                              [&] { calls.push_back("quit"); }};
    QMenu menu;
    for (int i = 0; i < 5; ++i)
        renderMenu(StatusMenu::build(sampleState(), actions), menu);
    // Old rows and submenus go with the next turn of the event loop.
    EXPECT_TRUE(pump([&] { return menu.findChildren<QMenu*>().size() == 1; }));
    // Besides the rows: the floor submenu's own action and its five choices.
    EXPECT_EQ(menu.findChildren<QAction*>().size(), menu.actions().size() + 1 + 5);

    const QList<QAction*> rows = menu.actions();
    rows[11]->trigger();
    ASSERT_NE(rows[12]->menu(), nullptr);
    rows[12]->menu()->actions()[4]->trigger();
    rows.back()->trigger();
    rows[0]->trigger(); // an information line: disabled, does nothing
    EXPECT_EQ(calls, (std::vector<std::string>{"pause", "40", "quit"}));
}

TEST(QtMainLoop, RepeatsOnceAndCancelsByDroppingTheHandle) {
    qtApp();
    QtMainLoop loop;
    int ticks = 0;
    int once = 0;
    TimerHandle repeating = loop.repeating(std::chrono::milliseconds(10), [&] { ++ticks; });
    TimerHandle single = loop.once(std::chrono::milliseconds(10), [&] { ++once; });
    EXPECT_TRUE(pump([&] { return ticks >= 3; }));
    EXPECT_EQ(once, 1);
    repeating.reset();
    const int seen = ticks;
    QTimer::singleShot(100, [] {});
    pump([] { return false; }, 150);
    EXPECT_EQ(ticks, seen);
    EXPECT_EQ(once, 1);
}

TEST(QtMainLoop, TickMayDropItsOwnHandle) {
    qtApp();
    QtMainLoop loop;
    int ticks = 0;
    TimerHandle self;
    self = loop.repeating(std::chrono::milliseconds(5), [&] {
        ++ticks;
        self.reset(); // destroys the timer that is firing
    });
    EXPECT_TRUE(pump([&] { return ticks == 1 && !self; }));
    pump([] { return false; }, 60);
    EXPECT_EQ(ticks, 1);
}

TEST(QtSettings, StoresTypedValuesInTheConfigFile) {
    qtApp();
    test::TempDir dir;
    const auto file = dir / "sub/torvane.conf";
    {
        QtSettings settings(file);
        EXPECT_FALSE(settings.integer("batteryFloor"));
        EXPECT_FALSE(settings.boolean("paused"));
        settings.setInteger("batteryFloor", 30);
        settings.setBoolean("paused", true);
        settings.setString("serverToken", "abc_DEF-123");
    }
    EXPECT_TRUE(std::filesystem::exists(file));
    QtSettings again(file);
    EXPECT_EQ(again.integer("batteryFloor"), 30);
    EXPECT_EQ(again.boolean("paused"), true);
    EXPECT_EQ(again.string("serverToken"), "abc_DEF-123");
    again.setBoolean("paused", false);
    EXPECT_EQ(QtSettings(file).boolean("paused"), false);
}

TEST(QtSettings, SeesAnEditOfTheFileMadeWhileTheAppRuns) {
    qtApp();
    test::TempDir dir;
    QtSettings settings(dir / "t.conf");
    settings.setInteger("batteryFloor", 10);
    EXPECT_EQ(settings.integer("batteryFloor"), 10);
    // Edited by hand (or another program) in between: the next read has the new value.
    test::writeFile(dir / "t.conf", "[General]\nbatteryFloor=35\npaused=true\n");
    test::setModifiedAgo(dir / "t.conf", -2);
    EXPECT_EQ(settings.integer("batteryFloor"), 35);
    EXPECT_EQ(settings.boolean("paused"), true);
}

TEST(QtSettings, ValuesOfTheWrongKindReadAsAbsent) {
    qtApp();
    test::TempDir dir;
    test::writeFile(dir / "t.conf", "[General]\nbatteryFloor=lots\npaused=maybe\n");
    QtSettings settings(dir / "t.conf");
    EXPECT_FALSE(settings.integer("batteryFloor"));
    EXPECT_FALSE(settings.boolean("paused"));
}

TEST(QtSettings, DefaultFileFollowsXdgConfigHome) {
    qtApp();
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    const std::string keep = saved ? saved : "";
    ::setenv("XDG_CONFIG_HOME", "/x/conf", 1);
    EXPECT_EQ(QtSettings::defaultFile(), "/x/conf/torvane/torvane.conf");
    ::setenv("XDG_CONFIG_HOME", "relative", 1);
    EXPECT_EQ(QtSettings::defaultFile(),
              std::filesystem::path(std::getenv("HOME")) / ".config/torvane/torvane.conf");
    ::setenv("XDG_CONFIG_HOME", keep.c_str(), 1);
}

TEST(QtSettings, UnsavableChangeIsLogged) {
    qtApp();
    test::TempDir dir;
    // A directory where the file should be: no write can succeed, not even as root.
    std::filesystem::create_directories(dir / "torvane.conf");
    test::LogCapture log;
    QtSettings settings(dir / "torvane.conf");
    settings.setInteger("batteryFloor", 10);
    EXPECT_TRUE(log.contains("WARN: 設定を保存できません: " + (dir / "torvane.conf").string()));
}

TEST(QtSettings, CallsFromSeveralThreadsAtOnceStayConsistent) {
    qtApp();
    test::TempDir dir;
    QtSettings settings(dir / "t.conf");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                settings.setInteger("k" + std::to_string(t), i);
                (void)settings.integer("k" + std::to_string((t + 1) % 4));
            }
        });
    }
    for (auto& th : threads)
        th.join();
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(settings.integer("k" + std::to_string(t)), 49);
}

int greenPixels(const QImage& image) {
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.alpha() > 200 && c.green() > 150 && c.red() < 120 && c.blue() < 140)
                ++n;
        }
    return n;
}

TEST(StatusGlyph, ActiveIsFilledGreenAndInactiveIsAnOutline) {
    qtApp();
    for (int size : {16, 22, 32}) {
        SCOPED_TRACE(size);
        const QImage on = StatusGlyph::render(true, size, Qt::black, Qt::white);
        const QImage off = StatusGlyph::render(false, size, Qt::black, Qt::white);
        ASSERT_EQ(on.size(), QSize(size, size));
        EXPECT_GT(greenPixels(on), size * size / 6);
        EXPECT_EQ(greenPixels(off), 0);
        // Inside the arrow's stem: filled when active, see-through when not.
        const QPoint stem(size / 2, size * 19 / 32);
        EXPECT_GT(on.pixelColor(stem).alpha(), 200);
        EXPECT_LT(off.pixelColor(stem).alpha(), 60);
        // The corners stay transparent in both.
        EXPECT_EQ(on.pixelColor(0, 0).alpha(), 0);
        EXPECT_EQ(off.pixelColor(size - 1, 0).alpha(), 0);
    }
    EXPECT_FALSE(StatusGlyph::icon(true, Qt::black, Qt::white).availableSizes().isEmpty());
}

Alert question() {
    Alert a;
    a.style = AlertStyle::warning;
    a.message = "ヘルパーを取り外しますか？";
    a.informativeText = "<b>1行目</b>\n2行目";
    a.buttons = {"取り外す", "やめる"};
    return a;
}

TEST(QtAlertPresenter, BuildsAPlainTextBoxWithButtonsInOrder) {
    qtApp();
    auto box = QtAlertPresenter::makeMessageBox(question());
    EXPECT_EQ(box->text(), QStringLiteral("ヘルパーを取り外しますか？"));
    EXPECT_EQ(box->informativeText(), QStringLiteral("<b>1行目</b>\n2行目"));
    EXPECT_EQ(box->icon(), QMessageBox::Warning);
    auto* info = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"));
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->textFormat(), Qt::PlainText);
    ASSERT_EQ(box->buttons().size(), 2);
    EXPECT_EQ(box->defaultButton()->text(), QStringLiteral("取り外す"));
    EXPECT_EQ(box->escapeButton()->text(), QStringLiteral("やめる"));

    Alert pairing;
    pairing.buttons = {"OK", "URLをコピー", "合言葉を作り直す"};
    pairing.image = GrayImage{220, 220, std::vector<std::uint8_t>(220 * 220, 255)};
    auto three = QtAlertPresenter::makeMessageBox(pairing);
    // Escape must never renew the token: it stands for "OK".
    EXPECT_EQ(three->escapeButton()->text(), QStringLiteral("OK"));
    EXPECT_EQ(three->iconPixmap().size(), QSize(220, 220));
}

// Clicks the button with `title` in the modal box once it is up.
void clickWhenShown(const QString& title) {
    QTimer::singleShot(0, [title] {
        pump([&] { return QApplication::activeModalWidget() != nullptr; });
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        for (QAbstractButton* b : box->buttons())
            if (b->text() == title)
                b->click();
    });
}

TEST(QtAlertPresenter, ReturnsTheIndexOfTheChosenButton) {
    qtApp();
    QtAlertPresenter presenter;
    clickWhenShown(QStringLiteral("やめる"));
    EXPECT_EQ(presenter.run(question()), 1u);
    clickWhenShown(QStringLiteral("取り外す"));
    EXPECT_EQ(presenter.run(question()), 0u);

    Alert three;
    three.buttons = {"OK", "URLをコピー", "合言葉を作り直す"};
    clickWhenShown(QStringLiteral("合言葉を作り直す"));
    EXPECT_EQ(presenter.run(three), 2u);
}

TEST(SignalBridge, DeliversEachStopSignalOnTheEventLoop) {
    qtApp();
    for (int sig : SignalBridge::handledSignals()) {
        SCOPED_TRACE(sig);
        int got = 0;
        {
            SignalBridge bridge([&](int s) { got = s; });
            ASSERT_TRUE(bridge.isInstalled());
            ::raise(sig);
            EXPECT_EQ(got, 0) << "the handler itself does nothing but write to the pipe";
            EXPECT_TRUE(pump([&] { return got != 0; }));
            EXPECT_EQ(got, sig);
        }
        struct sigaction now {};
        ::sigaction(sig, nullptr, &now);
        EXPECT_EQ(now.sa_handler, SIG_DFL) << "the default action is back once the bridge is gone";
    }
}

TEST(Application, FallsBackToOffscreenWhenThereIsNoDisplay) {
    // Only the environment is looked at; no application object is made.
    const std::vector<std::string> names{"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"};
    std::map<std::string, std::optional<std::string>> saved;
    for (const auto& n : names)
        saved[n] = std::getenv(n.c_str()) ? std::optional<std::string>(std::getenv(n.c_str())) : std::nullopt;
    auto chosen = [&](std::optional<std::string> display, std::optional<std::string> wayland) {
        ::unsetenv("QT_QPA_PLATFORM");
        display ? (void)::setenv("DISPLAY", display->c_str(), 1) : (void)::unsetenv("DISPLAY");
        wayland ? (void)::setenv("WAYLAND_DISPLAY", wayland->c_str(), 1)
                : (void)::unsetenv("WAYLAND_DISPLAY");
        choosePlatform();
        return std::string(std::getenv("QT_QPA_PLATFORM"));
    };
    EXPECT_EQ(chosen(std::nullopt, std::nullopt), "offscreen");
    EXPECT_EQ(chosen(std::string(), std::string()), "offscreen") << "empty means unset";
    EXPECT_EQ(chosen(":0", std::nullopt), "xcb;offscreen");
    EXPECT_EQ(chosen(":0", "wayland-0"), "wayland;xcb;offscreen");
    ::setenv("QT_QPA_PLATFORM", "minimal", 1);
    choosePlatform();
    EXPECT_STREQ(std::getenv("QT_QPA_PLATFORM"), "minimal") << "the user's choice stands";
    for (const auto& [n, v] : saved)
        v ? (void)::setenv(n.c_str(), v->c_str(), 1) : (void)::unsetenv(n.c_str());
}

TEST(TrayShell, RebuildsTheMenuFromItsSourceEachTimeItOpens) {
    qtApp();
    int builds = 0;
    TrayShell shell([&] {
        ++builds;
        return Menu{MenuItem::info("build " + std::to_string(builds))};
    });
    EXPECT_EQ(shell.trayIcon().contextMenu(), &shell.menu());
    for (int i = 1; i <= 2; ++i) {
        shell.menu().popup(QPoint(0, 0));
        EXPECT_TRUE(pump([&] { return shell.menu().isVisible(); }));
        EXPECT_EQ(builds, i);
        ASSERT_EQ(shell.menu().actions().size(), 1);
        EXPECT_EQ(shell.menu().actions()[0]->text(), QString::fromStdString("build " + std::to_string(i)));
        shell.menu().hide();
    }
}

TEST(TrayShell, ShowsTheAppearanceOfTheMode) {
    qtApp();
    TrayShell shell([] { return Menu{}; });
    EXPECT_EQ(shell.trayIcon().toolTip(), QStringLiteral("Torvane: 無効（Caps Lock をオンにすると有効）"));
    const qint64 inactiveKey = shell.trayIcon().icon().cacheKey();
    shell.show(StatusAppearance::forMode(true));
    EXPECT_EQ(shell.trayIcon().toolTip(),
              QStringLiteral("Torvane: 持ち運びモード 有効（ふたを閉じても動きます）"));
    EXPECT_NE(shell.trayIcon().icon().cacheKey(), inactiveKey);
    const QImage image = shell.trayIcon().icon().pixmap(22, 22).toImage();
    EXPECT_GT(greenPixels(image), 0);
}

} // namespace
} // namespace torvane
