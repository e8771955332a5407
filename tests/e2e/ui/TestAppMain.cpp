// The tray app as the end-to-end tests run it: the real application, but with the shared directory
// the test names instead of the machine's, and a probe that writes out the rows of the tray menu
// each time it is shown. Built for the tests only; never installed.
#include "app/ui/qt/Application.hpp"
#include "app/ui/qt/TrayShell.hpp"

#include <QAction>
#include <QEvent>
#include <QMenu>
#include <cstdio>
#include <cstdlib>
#include <fstream>
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

} // namespace

int main(int argc, char** argv) {
    const char* shared = std::getenv("TORVANE_TEST_SUPPORT_DIR");
    if (!shared || *shared != '/') {
        std::fprintf(stderr, "TORVANE_TEST_SUPPORT_DIR must name the test's shared directory\n");
        return 2;
    }
    torvane::ApplicationOptions options;
    options.supportDir = shared;
    if (const char* probe = std::getenv("TORVANE_TEST_MENU_PROBE"); probe && *probe) {
        options.afterLaunch = [path = std::string(probe)](torvane::AppDelegate&, torvane::TrayShell& shell) {
            new MenuProbe(shell.menu(), path); // owned by the menu
        };
    }
    return torvane::runApplication(argc, argv, options);
}
