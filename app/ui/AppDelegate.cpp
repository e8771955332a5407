#include "app/ui/AppDelegate.hpp"

#include "app/core/Config.hpp"
#include "app/core/HostWords.hpp"
#include "app/core/Log.hpp"
#include "app/power/PowerState.hpp"

#include <algorithm>
#include <filesystem>

namespace torvane {

namespace {

using namespace std::string_literals;

const std::string appName(Config::appName);

std::string batteryReleaseText(BatteryGuard::Cause cause, std::optional<int> percent, int floor) {
    const std::string floorText = "下限 " + std::to_string(floor) + "%";
    switch (cause) {
    case BatteryGuard::Cause::unreadable:
        return "バッテリー残量を読み取れません（" + floorText + "）。安全のため自動解除します";
    case BatteryGuard::Cause::outOfRange:
        return "バッテリー残量の値 " + std::to_string(*percent) + "% は正しくありません（" + floorText +
               "）。安全のため自動解除します";
    case BatteryGuard::Cause::unclearSource:
        return "電源の状態が分かりません（バッテリー " + std::to_string(*percent) + "%、" + floorText +
               "）。安全のため自動解除します";
    case BatteryGuard::Cause::belowFloor:
        break;
    }
    return "バッテリー " + std::to_string(*percent) + "%（" + floorText + "）。安全のため自動解除します";
}

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
      power_(ports_.loop, ports_.assertions, ports_.lid, ports_.channel, ports_.locksOnWorker) {
    power_.onLidHoldChanged = [this](bool held) { lidHoldChanged(held); };
    power_.onLidShownChanged = [this] {
        refreshUI();
        if (carryListener_)
            carryListener_(carryState());
    };
}

void AppDelegate::launch() {
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
    if (ports_.session)
        ports_.session->onChange([this] { sessionChanged(); });

    reviewTimer_ = ports_.loop.repeating(MainLoop::Seconds(reviewInterval), [this] { evaluate("timer"); });

    if (power_.helperStatus() == HelperStatus::otherUser)
        Log::write("WARN: ヘルパーは別のユーザー用に導入されています（" +
                   power_.requestChannel().supportDir().string() + " に書き込めません）");
    else if (!power_.canWriteRequest())
        Log::write("WARN: " + power_.requestChannel().supportDir().string() +
                   " に書き込めません。ヘルパー未導入の可能性があります");

    // start() never reports the state it finds, so this is what applies Caps Lock already on.
    evaluate("launch");
    refreshListing(); // for the menu's session rows
    // Filled now, not at the first opening: a tray may read the rows before it asks to open them.
    // After the launch evaluation, so they already show its outcome.
    ports_.view.setMenu(rebuild());
    refreshUI();
}

void AppDelegate::terminate() {
    if (terminated_)
        return;
    terminated_ = true;
    // What the workers wait for ends now, so that neither they nor a phone request hold up the end.
    ports_.tmux.cancelCalls();
    if (ports_.installer)
        ports_.installer->cancel();
    monitor_.stop();
    if (ports_.session)
        ports_.session->onChange({});
    reviewTimer_.reset();
    if (stopPhoneLink_)
        stopPhoneLink_();
    power_.shutdown();
    // Joined here, not only by the destructor: an end through exit() (a lost display) runs no
    // destructors, and a job still under way would then outlive the log it writes to.
    listingWorker_.stop();
    installWorker_.stop();
    noticeWorker_.stop();
    Log::write("=== " + appName + " 終了（通常の電源設定に戻しました）===");
}

int AppDelegate::batteryFloor() const {
    return floorSetting_.read(ports_.settings);
}

bool AppDelegate::isPaused() const {
    return ports_.settings.boolean(Config::Key::paused).value_or(false);
}

int AppDelegate::heatLimit() const {
    return heatLimitSetting_.read(ports_.settings);
}

bool AppDelegate::releaseWhenIdle() const {
    return ports_.settings.boolean(Config::Key::releaseWhenIdle).value_or(false);
}

void AppDelegate::evaluate(std::string_view reason) {
    if (terminated_)
        return;
    const PowerState state = PowerState::from(ports_.powerSources);
    temperature_ = ports_.thermal ? ports_.thermal->celsius() : std::nullopt;
    std::vector<std::string> releases; // automatic releases made now, for the notification

    const int floor = batteryFloor();
    const BatteryGuard::Result battery = battery_.update(state, floor);
    switch (battery.change) {
    case BatteryGuard::Change::released: {
        const std::string line = batteryReleaseText(battery.cause, state.percent, floor);
        // A release on a reading that cannot be trusted says so: the gauge may need looking at.
        Log::write(battery.cause == BatteryGuard::Cause::belowFloor ? line : "WARN: " + line);
        if (power_.isActive())
            releases.push_back(line);
        break;
    }
    case BatteryGuard::Change::recovered:
        Log::write("バッテリー条件が回復しました");
        break;
    case BatteryGuard::Change::none:
        break;
    }
    if (auto heat = checkHeat())
        releases.push_back(std::move(*heat));
    if (auto done = checkWorkDone())
        releases.push_back(std::move(*done));
    if (!releases.empty())
        ports_.desktop.beep(); // once, however many guards released

    // Another user's session in front shares our Caps Lock LED, not our wish.
    const bool sessionActive = !ports_.session || ports_.session->isActive();
    const bool desired =
        monitor_.isOn && sessionActive && !isPaused() && !battery_.blocked() && !heatBlocked() && !workDone_;
    if (desired != power_.isActive()) {
        Log::write("状態が変わります（きっかけ: " + std::string(reason) + "、電源: " + state.description() +
                   "）");
        power_.apply(desired);
        if (power_.isActive())
            activeSince_ = ports_.clock();
    }
    power_.settleRequest();
    for (const std::string& text : releases)
        notify(text);
    refreshUI();
    if (carryListener_)
        carryListener_(carryState());
}

std::optional<std::string> AppDelegate::checkHeat() {
    const int limit = heatLimit();
    const HeatGuard::Result heat = heat_.update(temperature_, limit, power_.isActive());
    if (heat.lost)
        Log::write("WARN: 温度を読み取れなくなりました。温度の上限による自動解除は働きません");
    if (heat.change == HeatGuard::Change::recovered)
        Log::write("温度条件が回復しました（現在 " + std::to_string(*heat.celsius) + "°C）");
    if (heat.change != HeatGuard::Change::released)
        return std::nullopt;
    const std::string text = "温度が上限 (" + std::to_string(limit) +
                             "°C) に達したため持ち運びモードを解除しました（現在 " +
                             std::to_string(*heat.celsius) + "°C）";
    Log::write("WARN: " + text);
    return text;
}

std::optional<std::string> AppDelegate::checkWorkDone() {
    if (workDone_ && (!monitor_.isOn || !releaseWhenIdle())) {
        workDone_ = false;
        return std::nullopt;
    }
    // Without tmux there is no telling whether work goes on; the listing runs only when its answer counts.
    if (!releaseWhenIdle() || !(power_.isActive() || workDone_) || !ports_.tmux.isAvailable())
        return std::nullopt;
    const SystemTime now = ports_.clock();
    // The listing comes from the background: the last one decides now, the next one the next time.
    refreshListing();
    // None yet, or a tmux that did not answer in time, says nothing about the work: keep things as they are.
    if (!listing_ || !*listing_)
        return std::nullopt;
    const std::vector<AgentSession>& sessions = **listing_;
    const bool quiet = std::all_of(sessions.begin(), sessions.end(), [&](const AgentSession& s) {
        return s.activitySeconds(now) >= Config::workDoneAfterSeconds;
    });
    if (workDone_) {
        workDone_ = quiet; // new output: the work goes on
        return std::nullopt;
    }
    // Quiet for ten minutes of carry mode too, so that carry mode turned on beside work that ended long
    // ago (or with no session at all) is not dropped at once.
    if (!quiet || now - activeSince_ < std::chrono::seconds(Config::workDoneAfterSeconds))
        return std::nullopt;
    workDone_ = true;
    const std::string text = "作業が終わったため持ち運びモードを解除しました";
    Log::write(text);
    return text;
}

CarryState AppDelegate::carryState() const {
    CarryState c;
    c.active = power_.isActive();
    c.paused = isPaused();
    c.reason = std::string(StatusMenu::stateDetail(snapshot()));
    c.lidHeld = power_.lidHeld();
    c.temperature = temperature_;
    c.heatLimit = heatLimit();
    c.floor = batteryFloor();
    return c;
}

void AppDelegate::refreshUI() {
    ports_.view.show(StatusAppearance::forMode(power_.isActive(), power_.lidHeld()));
}

Menu AppDelegate::menuOpening() {
    evaluate("menu");
    refreshListing();
    return rebuild();
}

void AppDelegate::refreshListing() {
    if (listingUnderWay_ || terminated_ || !ports_.tmux.isAvailable())
        return;
    listingUnderWay_ = true;
    listingWorker_.submit([this, &tmux = ports_.tmux]() -> std::function<void()> {
        auto sessions = tmux.answeredSessions();
        return [this, sessions = std::move(sessions)]() mutable { listingArrived(std::move(sessions)); };
    });
}

void AppDelegate::listingArrived(std::optional<std::vector<AgentSession>> sessions) {
    listingUnderWay_ = false;
    listing_ = std::move(sessions);
    // The menu may be open: show the new rows in it, but leave it alone when nothing changed.
    if (launched_ && !terminated_ && sessionBlock() != shownSessions_)
        ports_.view.setMenu(rebuild());
}

SessionBlock AppDelegate::sessionBlock() const {
    SessionBlock block;
    if (!ports_.tmux.isAvailable())
        return block;
    if (!listing_) {
        block.state = SessionBlock::State::pending;
        return block;
    }
    if (!*listing_) {
        block.state = SessionBlock::State::noAnswer;
        return block;
    }
    block.state = SessionBlock::State::listed;
    for (const AgentSession& session : **listing_)
        block.rows.push_back(
            {session.name, session.isWorking(), session.statusText(), session.elapsedText()});
    return block;
}

// After the state change that caused it, on a worker: a slow notification service delays nothing.
void AppDelegate::notify(const std::string& text) {
    if (!ports_.notifier)
        return;
    noticeWorker_.submit([notifier = ports_.notifier, text]() -> std::function<void()> {
        notifier->notify(text);
        return {};
    });
}

void AppDelegate::lidHoldChanged(bool held) {
    const std::string text = held ? "ふた閉じ抑止が戻りました。ふたを閉じても動き続けます"
                                  : "ふた閉じ抑止が効いていません。ふたを閉じるとスリープします";
    Log::write(held ? text : "WARN: " + text);
    notify(text);
    refreshUI();
    if (carryListener_)
        carryListener_(carryState());
}

void AppDelegate::sessionChanged() {
    const bool active = ports_.session->isActive();
    const bool wasOn = power_.isActive();
    if (!active && wasOn)
        Log::write("ログインセッションが切り替わったため持ち運びモードを解除しました");
    evaluate("session");
    if (active && !wasOn && power_.isActive())
        Log::write("ログインセッションに戻ったため持ち運びモードを再開しました");
}

StatusSnapshot AppDelegate::snapshot() const {
    StatusSnapshot s;
    s.active = power_.isActive();
    s.lidHeld = power_.lidHeld();
    s.paused = isPaused();
    s.batteryBlocked = battery_.blocked();
    s.heatBlocked = heatBlocked();
    s.workDone = workDone_;
    s.sessionInactive = ports_.session && !ports_.session->isActive();
    s.capsLockOn = monitor_.isOn;
    s.floor = batteryFloor();
    s.heatLimit = heatLimit();
    s.releaseWhenIdle = releaseWhenIdle();
    return s;
}

Menu AppDelegate::rebuild() {
    StatusSnapshot s = snapshot();
    s.powerDescription = PowerState::from(ports_.powerSources).description();
    if (ports_.thermal && !ports_.thermal->supported())
        s.temperatureDescription = "温度: 不明（"s + hostWords.thisMachine + "では読み取れません）";
    else
        s.temperatureDescription =
            temperature_ ? "温度: " + std::to_string(*temperature_) + "°C" : "温度: 不明";
    const HelperStatus helper = power_.helperStatus();
    // Through the daemon, but nobody holds the lid: say what happens, not what was meant to.
    if (power_.lidMechanism() == PowerManager::LidMechanism::helper && !power_.lidHeld())
        s.lidDescription = "ふた閉じ抑止: ⚠️ ふたを閉じるとスリープします";
    else if (power_.lidMechanism() == PowerManager::LidMechanism::unconfirmed &&
             helper == HelperStatus::otherUser)
        s.lidDescription =
            "ふた閉じ抑止: ⚠️ ヘルパーは別のユーザー用に導入されています";
    else
        s.lidDescription = std::string(PowerManager::description(power_.lidMechanism()));
    s.helperDescription = std::string(description(helper));
    if (ports_.loginItem)
        s.launchAtLogin = ports_.loginItem->isEnabled();
    s.sessions = sessionBlock();
    shownSessions_ = s.sessions;

    StatusMenuActions actions{
        .togglePause = [this] { togglePause(); },
        .toggleLaunchAtLogin = [this] { toggleLaunchAtLogin(); },
        .setFloor = [this](int percent) { setFloor(percent); },
        .setHeatLimit = [this](int celsius) { setHeatLimit(celsius); },
        .toggleReleaseWhenIdle = [this] { toggleReleaseWhenIdle(); },
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
    item.enabled = row->enabled && !installUnderWay_; // one run at a time
    return {std::move(item)};
}

void AppDelegate::togglePause() {
    const bool saved = ports_.settings.setBoolean(Config::Key::paused, !isPaused());
    Log::write(isPaused() ? "一時停止しました" : "一時停止を解除しました");
    evaluate("pause");
    if (!saved)
        warnUnsavedPause();
}

void AppDelegate::warnUnsavedPause() {
    Log::write("WARN: 一時停止を保存できませんでした。この起動中だけ有効です");
    if (unsavedPauseAlert_) // scheduled once, kept for the rest of the run
        return;
    // Later, from the loop: a pause asked for by the phone must not wait on a modal alert.
    unsavedPauseAlert_ = ports_.loop.once(MainLoop::Seconds(0), [this] {
        Alert alert;
        alert.style = AlertStyle::warning;
        alert.message = "一時停止を保存できませんでした";
        alert.informativeText = "選んだ状態はこのまま有効ですが、設定ファイルに保存できなかったため、"
                                "アプリを再起動すると元に戻ります。\n"
                                "設定ファイルの場所に空きがあり、書き込めるかを確認してください。";
        ports_.alerts.run(alert);
    });
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

void AppDelegate::setPaused(bool paused) {
    if (paused != isPaused())
        togglePause();
    else
        evaluate("pause");
}

void AppDelegate::setHeatLimit(int celsius) {
    ports_.settings.setInteger(Config::Key::heatLimit, celsius);
    Log::write("温度の上限を " + std::to_string(celsius) + "°C にしました");
    evaluate("heat");
}

void AppDelegate::toggleReleaseWhenIdle() {
    ports_.settings.setBoolean(Config::Key::releaseWhenIdle, !releaseWhenIdle());
    Log::write(releaseWhenIdle() ? "作業が終わったら解除: オン" : "作業が終わったら解除: オフ");
    evaluate("idle");
}

void AppDelegate::setFloor(int percent) {
    ports_.settings.setInteger(Config::Key::batteryFloor, percent);
    Log::write("バッテリー下限を " + std::to_string(percent) + "% にしました");
    evaluate("floor");
}

void AppDelegate::openLog() {
    const std::filesystem::path path = Config::logPath();
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        Log::write("ログを開きました");
        // The file is written by the log's own thread: wait for it, or the viewer may find nothing.
        Log::shared().flush();
    }
    ports_.desktop.openFile(path);
}

std::string AppDelegate::aboutText(int floor) {
    const std::string machine = hostWords.machine;
    return "Caps Lock をオンにしている間だけ、ふたを閉じても" + machine +
           "がスリープしなくなります。\n"
           "オフにすれば、いつもの" +
           machine +
           "に戻ります。\n"
           "\n"
           "\u26A0 ふたを閉じた" +
           machine +
           "は排熱できません。\n"
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
    if (!ports_.installer || installUnderWay_)
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
        [this](std::string_view reason) { evaluate(reason); },
        // The prompt and the script on a worker: heartbeat, guards and signals go on meanwhile.
        [this](HelperInstallFlow::Operation work, std::function<void(HelperInstaller::Result)> done) {
            installUnderWay_ = true;
            installWorker_.submit(
                [this, work = std::move(work), done = std::move(done)]() -> std::function<void()> {
                    HelperInstaller::Result result = work();
                    return [this, done, result] {
                        installUnderWay_ = false;
                        if (!terminated_)
                            done(result);
                    };
                });
        });
    (flow.*step)();
}

void AppDelegate::installHelper() {
    runInstallFlow(&HelperInstallFlow::installHelper);
}

void AppDelegate::uninstallHelper() {
    runInstallFlow(&HelperInstallFlow::uninstallHelper);
}

} // namespace torvane
