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

// Writes "enabled checked title" per row when the menu appears, replacing the file in one step.
class MenuProbe final : public QObject {
public:
    MenuProbe(QMenu& menu, std::string path) : QObject(&menu), menu_(menu), path_(std::move(path)) {
        menu.installEventFilter(this);
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &menu_ && event->type() == QEvent::Show) {
            const std::string temp = path_ + ".tmp";
            {
                std::ofstream out(temp, std::ios::trunc);
                for (const QAction* a : menu_.actions()) {
                    out << (a->isSeparator() ? "-"
                            : a->isEnabled() ? "E"
                                             : "D")
                        << (a->isChecked() ? "C" : ".") << " " << a->text().toStdString() << "\n";
                }
            }
            std::rename(temp.c_str(), path_.c_str());
        }
        return false;
    }

private:
    QMenu& menu_;
    std::string path_;
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
