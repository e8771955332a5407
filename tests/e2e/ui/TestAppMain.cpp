// The tray app as the end-to-end tests run it: the real application, but with the shared directory
// the test names instead of the machine's, a probe that writes out the rows of the tray menu each time
// it is shown, and on request an installation started at launch through a stand-in pkexec, its
// alerts answered with their first button. Built for the tests only; never installed.
#include "app/install/HelperInstaller.hpp"
#include "app/install/PkexecRunner.hpp"
#include "app/ui/AppDelegate.hpp"
#include "app/ui/qt/Application.hpp"
#include "app/ui/qt/TrayShell.hpp"

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

namespace {

// Writes "enabled checked title" per visible row when the menu appears, replacing the file in one step.
struct MenuProbe final : QObject {
    MenuProbe(QMenu& menu, std::string path) : QObject(&menu), menu(menu), path(std::move(path)) {
        menu.installEventFilter(this);
    }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() != QEvent::Show)
            return false;
        std::ofstream(path + ".tmp", std::ios::trunc) << rows();
        std::rename((path + ".tmp").c_str(), path.c_str());
        return false;
    }
    std::string rows() const {
        std::string out;
        for (const QAction* a : menu.actions())
            if (a->isVisible())
                out += std::string(a->isSeparator() ? "-"
                                   : a->isEnabled() ? "E"
                                                    : "D") +
                       (a->isChecked() ? "C " : ". ") + a->text().toStdString() + "\n";
        return out;
    }
    QMenu& menu;
    std::string path;
};

// Presses the default button of every message box as soon as it shows.
struct AlertAnswerer final : QObject {
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (auto* box = qobject_cast<QMessageBox*>(watched); box && event->type() == QEvent::Show)
            QTimer::singleShot(0, box, [box] {
                if (QPushButton* first = box->defaultButton())
                    first->click();
            });
        return false;
    }
};

} // namespace

int main(int argc, char** argv) {
    const char* shared = std::getenv("TORVANE_TEST_SUPPORT_DIR");
    if (!shared || *shared != '/') {
        std::fprintf(stderr, "TORVANE_TEST_SUPPORT_DIR must name the test's shared directory\n");
        return 2;
    }
    torvane::ApplicationOptions options;
    options.supportDir = shared;
    const char* probe = std::getenv("TORVANE_TEST_MENU_PROBE");
    // TORVANE_TEST_PKEXEC and TORVANE_TEST_RESOURCES: install at launch through that pkexec.
    const char* pkexec = std::getenv("TORVANE_TEST_PKEXEC");
    const char* resources = std::getenv("TORVANE_TEST_RESOURCES");
    std::optional<torvane::HelperInstaller> installer;
    if (pkexec && resources) {
        installer.emplace(resources, std::make_shared<torvane::PkexecRunner>(pkexec));
        options.installer = &*installer;
    }
    options.afterLaunch = [&](torvane::AppDelegate& delegate, torvane::TrayShell& shell) {
        if (probe && *probe)
            new MenuProbe(shell.menu(), probe); // owned by the menu
        if (installer) {
            qApp->installEventFilter(new AlertAnswerer); // lives as long as the process
            QTimer::singleShot(0, qApp, [&delegate] { delegate.installHelper(); });
        }
    };
    return torvane::runApplication(argc, argv, options);
}
