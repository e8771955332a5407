#include "app/ui/qt/Application.hpp"

#include "app/core/InstanceLock.hpp"
#include "app/core/Log.hpp"
#include "app/core/Worker.hpp"
#include "app/install/HelperInstaller.hpp"
#include "app/phone/Router.hpp"
#include "app/phone/Server.hpp"
#include "app/platform/Platform.hpp"
#include "app/push/Notices.hpp"
#include "app/tmux/AttentionTracker.hpp"
#include "app/tmux/Tmux.hpp"
#include "app/ui/AppDelegate.hpp"
#include "app/ui/Pairing.hpp"
#include "app/ui/qt/QtAlertPresenter.hpp"
#include "app/ui/qt/QtClipboard.hpp"
#include "app/ui/qt/QtDesktop.hpp"
#include "app/ui/qt/QtMainLoop.hpp"
#include "app/ui/qt/QtSettings.hpp"
#include "app/ui/qt/QtTextPrompt.hpp"
#include "app/ui/qt/SignalBridge.hpp"
#include "app/ui/qt/TrayShell.hpp"

#include <QApplication>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <utility>

namespace torvane {

namespace {

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

// The delegate while the event loop runs. Qt ends the process with exit() when it loses the display
// (logout, a crashed X server or compositor); the termination then runs from this handler.
AppDelegate* runningDelegate = nullptr;
Server* runningServer = nullptr;
push::Notices* runningNotices = nullptr;

void terminateOnExit() {
    if (AppDelegate* delegate = runningDelegate) {
        runningDelegate = nullptr;
        delegate->terminate();
        if (push::Notices* notices = std::exchange(runningNotices, nullptr))
            notices->shutdown();
        if (Server* server = std::exchange(runningServer, nullptr))
            server->awaitWork(); // tmux calls are cut off by now, so this is short
        Log::shared().flush();
    }
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
    // A standard error whose reader is gone (a closed terminal) must not end us in the middle of a
    // log line: the write fails and the log file still gets the line.
    std::signal(SIGPIPE, SIG_IGN);
    // Decided before anything else: a second copy must not touch the display or the request file.
    const InstanceLock instance;
    if (instance.state() == InstanceLock::State::heldElsewhere) {
        Log::write("INFO: " + std::string(Config::appName) + " はすでに起動しています");
        Log::shared().flush();
        return 0;
    }
    if (instance.state() == InstanceLock::State::unavailable)
        Log::write("WARN: 多重起動の確認に使うファイルを開けません: " + InstanceLock::defaultFile().string());

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
    const std::unique_ptr<LoginItem> loginItem = makeLoginItem();
    const std::unique_ptr<ThermalSensor> thermal = platform::makeThermalSensor();
    const std::unique_ptr<Notifier> notifier = platform::makeNotifier();
    const std::unique_ptr<SessionActivity> session = platform::makeSessionActivity(loop);

    // Phone notifications; the sessions' changes reach them through sessionChanged.
    QtTextPrompt prompt;
    push::Notices notices({loop, settings, alerts, &prompt, notifier.get(), bootNow, {}, {}});

    AppDelegate* delegate = nullptr;
    TrayShell shell([&delegate] { return delegate ? delegate->menuOpening() : Menu{}; });
    AppDelegate::Ports ports{loop,
                             settings,
                             KeyboardState::shared(),
                             PowerSources::shared(),
                             *assertions,
                             RequestChannel(options.supportDir),
                             Tmux::shared(),
                             shell,
                             alerts,
                             desktop,
                             options.installer ? options.installer : &HelperInstaller::shared(),
                             loginItem.get(),
                             thermal.get(),
                             notifier.get()};
    ports.locksOnWorker = true; // a system bus that does not answer must not hold up the heartbeat
    ports.session = session.get();
    ports.attention = &AttentionTracker::shared(); // the phone link's state reads the same one
    AppDelegate appDelegate(std::move(ports));
    delegate = &appDelegate;
    const auto carry = std::make_shared<CarryLink>();
    appDelegate.setCarryListener([carry](const CarryState& state) { carry->publish(state); });
    carry->attach([&app](std::function<void()> call) { QMetaObject::invokeMethod(&app, std::move(call)); },
                  [&appDelegate](bool paused) {
                      appDelegate.setPaused(paused);
                      return appDelegate.carryState();
                  });

    // The phone link: started from the menu, or at launch when it was on when the app last ended.
    QtClipboard clipboard;
    PairingSecret secret(settings);
    PhoneRegistry phones(settings);
    Router router(
        Tmux::shared(), [] { return PowerState::current(); }, [] { return CapsLockMonitor::currentState(); },
        secret, phones);
    router.setCarryLink(carry);
    ServerOptions phoneOptions;
    phoneOptions.settings = &settings; // where it listens
    Server server(router, secret, phoneOptions);
    Pairing pairing({loop, server, phones, alerts, clipboard, [&appDelegate] { appDelegate.refreshUI(); },
                     &settings, [&router] { router.phonesRevoked(); }});
    appDelegate.setPhoneLinkRows([&pairing] { return pairing.menuRows(); });
    appDelegate.setStopPhoneLink([&pairing] { pairing.shutdown(); });
    appDelegate.setPushRows([&notices] { return notices.menuRows(); });
    appDelegate.setListingWanted([&notices] { return notices.sendsAnywhere(); });
    appDelegate.setReleaseListener([&notices](CarryReason why, const std::vector<std::string>& texts) {
        std::string reason;
        for (const std::string& text : texts)
            reason += (reason.empty() ? "" : "\n") + text;
        notices.carryReleased(reason, push::tagsFor(why));
    });

    // A session's change of attention to the alerts, on the main thread; its last lines (a tmux call,
    // on a worker) only when the user asked for them.
    Worker screenWorker(loop);
    const auto tellChange = [&notices, &screenWorker](const std::string& session, Attention from,
                                                      Attention to) {
        const auto state = [](Attention a) {
            return push::stateNamed(attentionName(a)).value_or(push::State::working);
        };
        const int lines = notices.screenLines();
        if (lines <= 0) {
            notices.sessionChanged(session, state(from), state(to));
            return;
        }
        screenWorker.submit(
            [&notices, session, from = state(from), to = state(to), lines]() -> std::function<void()> {
                std::vector<std::string> screen;
                std::istringstream text(Tmux::shared().capture(session, 0).value_or(""));
                for (std::string line; std::getline(text, line);)
                    screen.push_back(line);
                while (!screen.empty() && screen.back().find_first_not_of(' ') == std::string::npos)
                    screen.pop_back();
                if (screen.size() > static_cast<std::size_t>(lines))
                    screen.erase(screen.begin(), screen.end() - lines);
                return [&notices, session, from, to, screen = std::move(screen)]() mutable {
                    notices.sessionChanged(session, from, to, std::move(screen));
                };
            });
    };
    // What a session is found doing when first followed is no change, unless a new one already waits.
    const AttentionTracker::Subscription alertChanges = AttentionTracker::shared().subscribe(
        [&loop, &tellChange](const std::string& session, Attention from, Attention to) {
            if (AttentionTracker::shared().isNews(session, to))
                loop.post([&tellChange, session, from, to] { tellChange(session, from, to); });
        });

    // A stop signal ends the event loop exactly as "終了" does; the end itself runs below.
    SignalBridge signalBridge([&desktop](int) { desktop.terminate(); });

    appDelegate.launch();
    pairing.resume();
    if (options.afterLaunch)
        options.afterLaunch(appDelegate, shell);

    // Registered after the log exists, so the handler runs before the log's own teardown.
    static const bool exitHandlerRegistered = std::atexit(terminateOnExit) == 0;
    runningDelegate = exitHandlerRegistered ? &appDelegate : nullptr;
    runningServer = exitHandlerRegistered ? &server : nullptr;
    runningNotices = exitHandlerRegistered ? &notices : nullptr;

    const int status = QApplication::exec();

    runningDelegate = nullptr;
    runningServer = nullptr;
    runningNotices = nullptr;
    carry->detach();
    appDelegate.terminate();
    notices.shutdown();
    delegate = nullptr;
    Log::shared().flush();
    return status;
}

} // namespace torvane
