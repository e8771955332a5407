#include "app/ui/AppDelegate.hpp"

#include "app/core/Config.hpp"
#include "app/core/HostWords.hpp"
#include "app/core/Log.hpp"
#include "app/power/PowerState.hpp"
#include "app/ui/CarryReport.hpp"

#include <algorithm>
#include <filesystem>
#include <limits>

namespace torvane {

namespace {

using namespace std::string_literals;

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
      power_(ports_.loop, ports_.assertions, ports_.channel, ports_.locksOnWorker) {
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

    if (ports_.attention)
        attentionChanges_ =
            ports_.attention->subscribe([&loop = ports_.loop, alive = std::weak_ptr<bool>(alive_),
                                         this](const std::string&, Attention, Attention) {
                loop.post([alive, this] {
                    if (alive.lock())
                        showChangedRows();
                });
            });
    if (ports_.attention)
        paneChanges_ = ports_.attention->subscribePanes(
            [&loop = ports_.loop, alive = std::weak_ptr<bool>(alive_), this] {
                loop.post([alive, this] {
                    if (alive.lock() && listingWanted_ && listingWanted_())
                        refreshListing(); // a session begun, perhaps
                });
            });

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
    attentionChanges_ = {};
    paneChanges_ = {};
    alive_.reset();
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

bool AppDelegate::storedPaused() const {
    return ports_.settings.boolean(Config::Key::paused).value_or(false);
}

void AppDelegate::evaluate(std::string_view reason) {
    if (terminated_)
        return;
    const RangedSetting::Value floor = floorSetting_.read(ports_.settings);
    const RangedSetting::Value limit = heatLimitSetting_.read(ports_.settings);
    const BootSeconds now = ports_.channel.bootTime();
    inputs_ = {.capsLockOn = monitor_.isOn,
               .sessionActive = !ports_.session || ports_.session->isActive(),
               .paused = storedPaused(),
               .power = PowerState::from(ports_.powerSources),
               .floor = floor.value,
               .celsius = ports_.thermal ? ports_.thermal->celsius() : std::nullopt,
               .heatLimit = limit.value,
               .releaseWhenIdle = ports_.settings.boolean(Config::Key::releaseWhenIdle).value_or(false),
               .tmuxAvailable = ports_.tmux.isAvailable(),
               // None before the first listing and when tmux did not answer: the guard waits.
               .quietSeconds =
                   listing_ && *listing_ ? std::optional(outputs_.quietSeconds(now)) : std::nullopt,
               .now = now};
    const CarryDecision decision = policy_.decide(inputs_);
    const CarryReport report = reportGuards(decision, inputs_, floor.warning, limit.warning);
    for (const std::string& line : report.lines)
        Log::write(line);
    // The listing comes from the background: the last one decided now, the next one decides next time.
    // Wanted for the alerts, the sessions are listed here only while no live one is followed (the
    // first one) or the attention's looks cannot tell when tmux begins a pane.
    if (decision.work.wantsListing ||
        (listingWanted_ && (!followingAny() || !ports_.attention->tellsOfPanes()) && Tmux::serverMayRun() &&
         listingWanted_()))
        refreshListing();
    // Only a release that took carry mode down is told: one while it was off is just logged.
    const bool told = decision.changed && !report.releases.empty();
    if (told)
        ports_.desktop.beep(); // once, however many guards released

    if (decision.changed) {
        Log::write("状態が変わります（きっかけ: " + std::string(reason) +
                   "、電源: " + inputs_.power.description() + "）");
        power_.apply(decision.active);
    }
    power_.settleRequest();
    if (told)
        for (const std::string& text : report.releases)
            notify(text);
    if (told && releaseListener_)
        releaseListener_(decision.reason, report.releases);
    refreshUI();
    if (carryListener_)
        carryListener_(carryState());
}

CarryState AppDelegate::carryState() const {
    CarryState c;
    c.active = power_.isActive();
    c.paused = inputs_.paused;
    c.reason = std::string(StatusMenu::stateDetail(snapshot()));
    c.lidHeld = power_.lidHeld();
    c.temperature = inputs_.celsius;
    c.heatLimit = inputs_.heatLimit;
    c.floor = inputs_.floor;
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

bool AppDelegate::followingAny() const {
    if (!ports_.attention)
        return false;
    const auto all = ports_.attention->all();
    return std::any_of(all.begin(), all.end(), [](const auto& s) { return s.second != Attention::ended; });
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
    if (*listing_) {
        outputs_.see(**listing_, ports_.clock(), ports_.channel.bootTime());
        if (ports_.attention)
            ports_.attention->follow(**listing_);
    }
    showChangedRows();
}

void AppDelegate::showChangedRows() {
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
    const SystemTime now = ports_.clock();
    for (const AgentSession& session : **listing_) {
        const Attention fallback = session.isWorking() ? Attention::working : Attention::shell;
        const Attention a = ports_.attention
                                ? ports_.attention->attention(session.name).value_or(Attention::working)
                                : fallback;
        block.rows.push_back(
            {session.name, a, attentionText(a, session.currentCommand), session.elapsedText(now)});
    }
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
    s.reason = policy_.reason();
    s.paused = inputs_.paused;
    s.capsLockOn = monitor_.isOn;
    s.floor = inputs_.floor;
    s.heatLimit = inputs_.heatLimit;
    s.releaseWhenIdle = inputs_.releaseWhenIdle;
    return s;
}

Menu AppDelegate::rebuild() {
    StatusSnapshot s = snapshot();
    s.powerDescription = PowerState::from(ports_.powerSources).description();
    if (ports_.thermal && !ports_.thermal->supported())
        s.temperatureDescription = "温度: 不明（"s + hostWords.thisMachine + "では読み取れません）";
    else
        s.temperatureDescription =
            inputs_.celsius ? "温度: " + std::to_string(*inputs_.celsius) + "°C" : "温度: 不明";
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
    if (pushRows_) // in the phone-link group, after its rows
        for (MenuItem& row : pushRows_())
            extensions.phoneLinkRows.push_back(std::move(row));
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
    const bool paused = !storedPaused();
    const bool saved = ports_.settings.setBoolean(Config::Key::paused, paused);
    Log::write(paused ? "一時停止しました" : "一時停止を解除しました");
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
    if (paused != storedPaused())
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
    const bool on = !ports_.settings.boolean(Config::Key::releaseWhenIdle).value_or(false);
    ports_.settings.setBoolean(Config::Key::releaseWhenIdle, on);
    Log::write(on ? "作業が終わったら解除: オン" : "作業が終わったら解除: オフ");
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

void AppDelegate::showAbout() {
    Alert alert;
    alert.style = AlertStyle::informational;
    alert.message = appName;
    alert.informativeText = StatusMenu::aboutText(inputs_.floor);
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
