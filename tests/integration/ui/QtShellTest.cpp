#include "app/ui/qt/QtSettings.hpp"
#include "app/ui/qt/TrayShell.hpp"
#include "tests/fakes/TestSupport.hpp"
#include "tests/integration/ui/QtTestApp.hpp"

#include <QAbstractButton>
#include <QAction>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace torvane {
namespace {

// Counts rows added to or removed from a menu: each one makes a D-Bus tray fetch the whole layout.

struct LayoutChanges : QObject {
    int count = 0;
    bool eventFilter(QObject*, QEvent* e) override {
        count += e->type() == QEvent::ActionAdded || e->type() == QEvent::ActionRemoved;
        return false;
    }
};

TEST(TrayShell, FilledAtLaunchAndUpdatedInPlaceWhenItOpens) {
    test::qtApp();
    Menu model{MenuItem::info("a & b"), MenuItem::makeSeparator(), MenuItem::info("x")};
    int chosen = 0;
    TrayShell shell([&] { return model; });
    // A row whose action reopens the menu while it runs, as a modal alert from the menu can.
    model[2] = MenuItem::command("x", [&] {
        shell.menu().aboutToShow();
        ++chosen;
    });
    shell.setMenu(model);
    const QList<QAction*> rows = shell.menu().actions();
    ASSERT_EQ(rows.size(), 3);
    EXPECT_EQ(rows[0]->text(), QStringLiteral("a && b")) << "\"&\" is shown, not taken as a mnemonic";

    LayoutChanges changes;
    shell.menu().installEventFilter(&changes);
    model[0] = MenuItem::info("changed");
    shell.menu().aboutToShow();
    EXPECT_EQ(changes.count, 0) << "same rows, new text: no layout change";
    EXPECT_EQ(shell.menu().actions(), rows);
    EXPECT_EQ(rows[0]->text(), QStringLiteral("changed"));
    rows[2]->trigger();
    rows[2]->trigger();
    EXPECT_EQ(chosen, 2);

    model.push_back(MenuItem::info("more"));
    shell.menu().aboutToShow();
    ASSERT_EQ(shell.menu().actions().size(), 4);
    EXPECT_EQ(shell.menu().actions()[3]->text(), QStringLiteral("more"));
}

TEST(QtSettings, TheFileAndAnyDirectoryMadeForItAreTheOwnersAlone) {
    test::qtApp();
    test::TempDir dir;
    const mode_t saved = ::umask(022);
    auto mode = [](const std::filesystem::path& p) {
        return unsigned(std::filesystem::status(p).permissions());
    };
    QtSettings fresh(dir / "new/torvane/torvane.conf");
    fresh.setString("serverToken", "abc_DEF-123");
    EXPECT_EQ(mode(dir / "new/torvane/torvane.conf"), 0600u);
    EXPECT_EQ(mode(dir / "new/torvane"), 0700u);
    EXPECT_EQ(mode(dir / "new"), 0700u);
    EXPECT_EQ(QtSettings(dir / "new/torvane/torvane.conf").string("serverToken"), "abc_DEF-123");

    // An older file readable by everyone is tightened when the token is written.
    test::writeFile(dir / "old.conf", "[General]\nbatteryFloor=30\n");
    std::filesystem::permissions(dir / "old.conf", std::filesystem::perms(0644));
    QtSettings old(dir / "old.conf");
    old.setString("serverToken", "xyz");
    EXPECT_EQ(mode(dir / "old.conf"), 0600u);
    EXPECT_EQ(old.integer("batteryFloor"), 30);
    ::umask(saved);
}

// A full or read-only disk (here a file where the directory should be, which stops root too): the value
// holds for this run and goes with the next save. Reads come from the contents last read until the file
// changes: an edit by hand, of the same size or in a file put in its place, is seen at the next read.
TEST(QtSettings, AValueThatCannotBeSavedHoldsAndAnEditByHandIsSeenAtTheNextRead) {
    test::qtApp();
    test::TempDir dir;
    test::writeFile(dir / "config", "");
    QtSettings settings(dir / "config/torvane.conf");
    EXPECT_FALSE(settings.setBoolean("paused", true));
    EXPECT_EQ(settings.boolean("paused"), true);
    std::filesystem::remove(dir / "config");
    EXPECT_TRUE(settings.setInteger("batteryFloor", 30));
    EXPECT_EQ(QtSettings(dir / "config/torvane.conf").boolean("paused"), true);

    const std::filesystem::path file = dir / "config/torvane.conf";
    test::writeFile(file, "[General]\nbatteryFloor=30\n");
    EXPECT_EQ(settings.integer("batteryFloor"), 30);
    EXPECT_EQ(settings.boolean("paused"), std::nullopt) << "the file as written by hand";
    test::writeFile(file, "[General]\nbatteryFloor=35\n");
    std::filesystem::last_write_time(file, std::filesystem::last_write_time(file) + std::chrono::seconds(1));
    EXPECT_EQ(settings.integer("batteryFloor"), 35);
    test::writeFile(dir / "new.conf", "[General]\nbatteryFloor=40\n");
    std::filesystem::rename(dir / "new.conf", file);
    EXPECT_EQ(settings.integer("batteryFloor"), 40);
    std::filesystem::remove(file);
    EXPECT_EQ(settings.integer("batteryFloor"), std::nullopt);
}

} // namespace
} // namespace torvane
