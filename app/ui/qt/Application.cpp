#include "app/ui/qt/Application.hpp"

#include "app/core/Log.hpp"
#include "app/install/HelperInstaller.hpp"
#include "app/phone/Router.hpp"
#include "app/phone/Server.hpp"
#include "app/platform/Platform.hpp"
#include "app/tmux/Tmux.hpp"
#include "app/ui/AppDelegate.hpp"
#include "app/ui/Pairing.hpp"
#include "app/ui/qt/QtAlertPresenter.hpp"
#include "app/ui/qt/QtClipboard.hpp"
#include "app/ui/qt/QtDesktop.hpp"
#include "app/ui/qt/QtMainLoop.hpp"
#include "app/ui/qt/QtSettings.hpp"
#include "app/ui/qt/SignalBridge.hpp"
#include "app/ui/qt/TrayShell.hpp"

#include <QApplication>
#include <cstdlib>
#include <memory>

namespace torvane {

namespace {

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

} // namespace

void choosePlatform() {
    if (isSet("QT_QPA_PLATFORM"))
        return;
    // Qt tries the names in order; offscreen always works, so a display that is set but gone (a
    // closed session, a stale DISPLAY) does not stop the app.
    if (isSet("WAYLAND_DISPLAY"))
        ::setenv("QT_QPA_PLATFORM", "wayland;xcb;offscreen", 1);
    else if (isSet("DISPLAY"))
        ::setenv("QT_QPA_PLATFORM", "xcb;offscreen", 1);
    else
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

int runApplication(int argc, char** argv, const ApplicationOptions& options) {
    choosePlatform();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("torvane"));
    QApplication::setApplicationDisplayName(
        QString::fromUtf8(Config::appName.data(), static_cast<qsizetype>(Config::appName.size())));
    QApplication::setDesktopFileName(QStringLiteral("torvane"));
    // The tray is the whole interface: closing an alert must not end the program.
    QApplication::setQuitOnLastWindowClosed(false);

    QtMainLoop loop;
    QtSettings settings;
    QtAlertPresenter alerts;
    QtDesktop desktop;
    const std::unique_ptr<PowerAssertions> assertions = platform::makePowerAssertions();
    const std::unique_ptr<LidSensor> lid = platform::makeLidSensor();

    AppDelegate* delegate = nullptr;
    TrayShell shell([&delegate] { return delegate ? delegate->menuWillOpen() : Menu{}; });
    AppDelegate appDelegate(AppDelegate::Ports{loop, settings, KeyboardState::shared(),
                                               PowerSources::shared(), *assertions, *lid,
                                               RequestChannel(options.supportDir), Tmux::shared(), shell,
                                               alerts, desktop, &HelperInstaller::shared()});
    delegate = &appDelegate;

    // The phone link: started only from the menu, stopped from it or at the end.
    QtClipboard clipboard;
    Router router(Tmux::shared(), [] { return PowerState::current(); },
                  [] { return CapsLockMonitor::currentState(); }, settings);
    Server server(router);
    Pairing pairing({loop, server, alerts, clipboard, [&appDelegate] { appDelegate.refreshUI(); }});
    appDelegate.setPhoneLinkRows([&pairing] { return pairing.menuRows(); });
    appDelegate.setStopPhoneLink([&pairing] { pairing.shutdown(); });

    // A stop signal ends the event loop exactly as "終了" does; the end itself runs below.
    SignalBridge signalBridge([&desktop](int) { desktop.terminate(); });

    appDelegate.applicationDidFinishLaunching();
    if (options.afterLaunch)
        options.afterLaunch(appDelegate, shell);

    const int status = QApplication::exec();

    appDelegate.applicationWillTerminate();
    delegate = nullptr;
    Log::shared().flush();
    return status;
}

} // namespace torvane
