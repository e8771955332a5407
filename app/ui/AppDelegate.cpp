#include "app/ui/AppDelegate.hpp"

#include "app/core/Config.hpp"
#include "app/core/Log.hpp"
#include "app/power/PowerState.hpp"

#include <climits>
#include <filesystem>

namespace torvane {

namespace {

const std::string appName(Config::appName);

AlertStyle toStyle(HelperInstallFlow::Style style) {
    switch (style) {
    case HelperInstallFlow::Style::warning:
        return AlertStyle::warning;
    case HelperInstallFlow::Style::critical:
        return AlertStyle::critical;
    case HelperInstallFlow::Style::informational:
        break;
    }
    return AlertStyle::informational;
}

} // namespace

AppDelegate::AppDelegate(Ports ports)
    : ports_(std::move(ports)), monitor_(ports_.loop, ports_.keyboard),
      power_(ports_.loop, ports_.assertions, ports_.lid, ports_.channel) {}

void AppDelegate::applicationDidFinishLaunching() {
    if (launched_)
        return;
    launched_ = true;
    Log::write("=== " + appName + " 起動 ===");
    ports_.view.install();

    monitor_.onChange = [this](bool on) {
        Log::write(on ? "Caps Lock ON" : "Caps Lock OFF");
        evaluate("capslock");
    };
    monitor_.start();

    reviewTimer_ = ports_.loop.repeating(MainLoop::Seconds(reviewInterval), [this] { evaluate("timer"); });

    if (!power_.canWriteRequest())
        Log::write("WARN: " + power_.requestChannel().supportDir().string() +
                   " に書き込めません。ヘルパー未導入の可能性があります");

    // start() never reports the state it finds, so this is what applies Caps Lock already on.
    evaluate("launch");
    // Filled now, not at the first opening: a tray may read the rows before it asks to open them.
    // After the launch evaluation, so they already show its outcome.
    ports_.view.setMenu(rebuild());
    refreshUI();
}

void AppDelegate::applicationWillTerminate() {
    if (terminated_)
        return;
    terminated_ = true;
    monitor_.stop();
    reviewTimer_.reset();
    if (stopPhoneLink_)
        stopPhoneLink_();
    power_.shutdown();
    Log::write("=== " + appName + " 終了（通常の電源設定に戻しました）===");
}

int AppDelegate::batteryFloor() const {
    const std::optional<long long> stored = ports_.settings.integer(Config::Key::batteryFloor);
    // A number no int holds is no percentage either.
    if (!stored || *stored == 0 || *stored < INT_MIN || *stored > INT_MAX)
        return Config::defaultBatteryFloor;
    return static_cast<int>(*stored);
}

bool AppDelegate::isPaused() const {
    return ports_.settings.boolean(Config::Key::paused).value_or(false);
}

void AppDelegate::evaluate(std::string_view reason) {
    if (terminated_)
        return;
    const PowerState state = PowerState::from(ports_.powerSources);

    if (!state.percent || state.onAC) {
        if (batteryBlocked_) {
            batteryBlocked_ = false;
            Log::write("バッテリー条件が回復しました");
        }
    } else {
        const int floor = batteryFloor();
        const int percent = *state.percent;
        if (percent < floor) {
            if (!batteryBlocked_) {
                batteryBlocked_ = true;
                Log::write("バッテリー " + std::to_string(percent) + "%（下限 " + std::to_string(floor) +
                           "%）。安全のため自動解除します");
                if (power_.isActive())
                    ports_.desktop.beep();
            }
        } else if (batteryBlocked_) {
            batteryBlocked_ = false;
            Log::write("バッテリー条件が回復しました");
        }
    }

    const bool desired = monitor_.isOn && !isPaused() && !batteryBlocked_;
    if (desired != power_.isActive()) {
        Log::write("状態が変わります（きっかけ: " + std::string(reason) + "、電源: " + state.description() +
                   "）");
        power_.apply(desired);
    }
    refreshUI();
}

void AppDelegate::refreshUI() {
    ports_.view.show(StatusAppearance::forMode(power_.isActive()));
}

Menu AppDelegate::menuWillOpen() {
    evaluate("menu");
    return rebuild();
}

Menu AppDelegate::rebuild() {
    StatusSnapshot s;
    s.active = power_.isActive();
    s.paused = isPaused();
    s.batteryBlocked = batteryBlocked_;
    s.capsLockOn = monitor_.isOn;
    s.floor = batteryFloor();
    s.powerDescription = PowerState::from(ports_.powerSources).description();
    s.lidDescription = std::string(PowerManager::description(power_.lidMechanism()));
    s.helperDescription = std::string(description(power_.helperStatus()));
    if (ports_.loginItem)
        s.launchAtLogin = ports_.loginItem->isEnabled();
    if (ports_.tmux.isAvailable()) {
        std::vector<SessionRow> rows;
        for (const AgentSession& session : ports_.tmux.sessions())
            rows.push_back({session.name, session.isWorking(), session.statusText(), session.elapsedText()});
        s.sessions = std::move(rows);
    }

    StatusMenuActions actions{
        .togglePause = [this] { togglePause(); },
        .toggleLaunchAtLogin = [this] { toggleLaunchAtLogin(); },
        .setFloor = [this](int percent) { setFloor(percent); },
        .openLog = [this] { openLog(); },
        .showAbout = [this] { showAbout(); },
        .quit = [this] { quit(); },
    };
    StatusMenuExtensions extensions;
    extensions.helperRows = helperRows();
    if (phoneLinkRows_)
        extensions.phoneLinkRows = phoneLinkRows_();
    return StatusMenu::build(s, actions, extensions);
}

std::vector<MenuItem> AppDelegate::helperRows() {
    if (!ports_.installer)
        return {};
    const auto row = HelperInstallFlow::menuRow(ports_.installer->isAvailable(), power_.helperStatus());
    if (!row)
        return {};
    MenuItem item = MenuItem::command(row->title, [this, action = row->action] {
        if (action == HelperInstallFlow::Action::installHelper)
            installHelper();
        else
            uninstallHelper();
    });
    item.enabled = row->enabled;
    return {std::move(item)};
}

void AppDelegate::togglePause() {
    ports_.settings.setBoolean(Config::Key::paused, !isPaused());
    Log::write(isPaused() ? "一時停止しました" : "一時停止を解除しました");
    evaluate("pause");
}

void AppDelegate::toggleLaunchAtLogin() {
    if (!ports_.loginItem)
        return;
    const bool wanted = !ports_.loginItem->isEnabled();
    const std::optional<std::string> error = ports_.loginItem->setEnabled(wanted);
    if (error || ports_.loginItem->isEnabled() != wanted) {
        Log::write("WARN: ログイン時に起動を切り替えられません: " + error.value_or(""));
        return;
    }
    Log::write(wanted ? "ログイン時に起動: 有効" : "ログイン時に起動: 無効");
}

void AppDelegate::setFloor(int percent) {
    ports_.settings.setInteger(Config::Key::batteryFloor, percent);
    Log::write("バッテリー下限を " + std::to_string(percent) + "% にしました");
    evaluate("floor");
}

void AppDelegate::openLog() {
    const std::filesystem::path path = Config::logURL();
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        Log::write("ログを開きました");
        // The file is written by the log's own thread: wait for it, or the viewer may find nothing.
        Log::shared().flush();
    }
    ports_.desktop.openFile(path);
}

std::string AppDelegate::aboutText(int floor) {
    return "Caps Lock をオンにしている間だけ、ふたを閉じてもMacがスリープしなくなります。\n"
           "オフにすれば、いつものMacに戻ります。\n"
           "\n"
           "\u26A0 ふたを閉じたMacは排熱できません。\n"
           "\u3000 密閉した鞄には入れないでください。\n"
           "\n"
           "\u26A0 電源に繋がっていないと、電池は普段よりずっと速く減ります。\n"
           "\u3000 残り " +
           std::to_string(floor) +
           "% を割ると自動的に解除します。\n"
           "\n"
           "アプリが予期せず終了した場合も、常駐ヘルパーが\n"
           "15秒以内に通常の電源設定へ戻します。";
}

void AppDelegate::showAbout() {
    Alert alert;
    alert.style = AlertStyle::informational;
    alert.message = appName;
    alert.informativeText = aboutText(batteryFloor());
    alert.buttons = {"OK"};
    ports_.alerts.run(alert);
}

void AppDelegate::quit() {
    ports_.desktop.terminate();
}

void AppDelegate::runInstallFlow(void (HelperInstallFlow::*step)()) {
    if (!ports_.installer)
        return;
    HelperInstallFlow flow(
        *ports_.installer,
        [this](const HelperInstallFlow::Alert& a) {
            Alert alert;
            alert.style = toStyle(a.style);
            alert.message = a.message;
            alert.informativeText = a.informativeText;
            alert.buttons = a.buttons;
            return static_cast<int>(ports_.alerts.run(alert));
        },
        [this](std::string_view reason) { evaluate(reason); });
    (flow.*step)();
}

void AppDelegate::installHelper() {
    runInstallFlow(&HelperInstallFlow::installHelper);
}

void AppDelegate::uninstallHelper() {
    runInstallFlow(&HelperInstallFlow::uninstallHelper);
}

} // namespace torvane
