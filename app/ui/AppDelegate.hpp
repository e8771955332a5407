#pragma once

#include "app/core/Config.hpp"
#include "app/core/MainLoop.hpp"
#include "app/core/RangedSetting.hpp"
#include "app/core/Settings.hpp"
#include "app/core/Worker.hpp"
#include "app/install/HelperInstallFlow.hpp"
#include "app/install/HelperInstaller.hpp"
#include "app/platform/KeyboardState.hpp"
#include "app/platform/Notifier.hpp"
#include "app/platform/PowerAssertions.hpp"
#include "app/platform/PowerSources.hpp"
#include "app/platform/SessionActivity.hpp"
#include "app/platform/ThermalSensor.hpp"
#include "app/power/CapsLockMonitor.hpp"
#include "app/power/CarryPolicy.hpp"
#include "app/power/CarryState.hpp"
#include "app/power/OutputWatch.hpp"
#include "app/power/PowerManager.hpp"
#include "app/power/RequestChannel.hpp"
#include "app/tmux/AttentionTracker.hpp"
#include "app/tmux/Tmux.hpp"
#include "app/ui/AlertPresenter.hpp"
#include "app/ui/Desktop.hpp"
#include "app/ui/LoginItem.hpp"
#include "app/ui/MenuModel.hpp"
#include "app/ui/StatusMenu.hpp"
#include "app/ui/StatusView.hpp"

#include <functional>
#include <string>
#include <string_view>

namespace torvane {

// The application's controller: launch, each evaluation (inputs read, CarryPolicy's decision carried out
// and told), the status menu's content and actions, and the orderly end. Main thread only: what may block
// (tmux, the password prompt, notifications) runs on workers of its own and comes back through the loop.
class AppDelegate {
public:
    // What the delegate works with; every reference must outlive it.
    struct Ports {
        MainLoop& loop;
        Settings& settings;
        KeyboardState& keyboard;
        PowerSources& powerSources;
        PowerAssertions& assertions;
        RequestChannel channel;
        Tmux& tmux;
        StatusView& view;
        AlertPresenter& alerts;
        Desktop& desktop;
        HelperInstaller* installer = nullptr; // none: the menu offers no installation
        LoginItem* loginItem = nullptr;       // none: no "start at login" row
        ThermalSensor* thermal = nullptr;     // none: the temperature is unknown
        Notifier* notifier = nullptr;         // none: automatic releases are only logged
        WallClock clock = systemNow;          // against the sessions' times: their age, their last output
        bool locksOnWorker = false;           // power locks asked for off the main thread
        SessionActivity* session = nullptr;   // none: the session always counts as active
        // Follows each listing's sessions; none: rows say working or shell by the pane's command.
        AttentionTracker* attention = nullptr;
    };

    static constexpr double reviewInterval = 15.0;

    explicit AppDelegate(Ports ports);
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    // Once, when the event loop is about to run.
    void launch();
    // Once, after the event loop has ended (quit or a stop signal); later calls do nothing. Ends what
    // the workers still wait for: tmux calls are cut off and a password prompt still open is closed.
    void terminate();

    // Reads every input afresh (the settings once), lets the policy decide and hands the mode to the power
    // manager, then refreshes the status icon. `reason` names the trigger in the log line of a change. Does
    // nothing once the application has terminated, so a late trigger cannot take carry mode up again.
    void evaluate(std::string_view reason);

    // The menu about to open: evaluates first, so the rows show the state just decided. The session
    // rows are those of the last listing; a new one is asked for, and the menu is filled again when
    // its rows differ.
    Menu menuOpening();
    // The status menu from the current state, without evaluating.
    Menu rebuild();
    void refreshUI();

    // Menu actions.
    void togglePause();
    void toggleLaunchAtLogin();
    void setFloor(int percent);
    void setHeatLimit(int celsius);
    void toggleReleaseWhenIdle();
    // Sets the pause as the menu's row does (logged only when it changes) and evaluates.
    void setPaused(bool paused);
    void openLog();
    void showAbout();
    void quit();
    void installHelper();
    void uninstallHelper();

    // The phone link adds its rows (between their separators, above the log row) and its stop
    // step at termination.
    void setPhoneLinkRows(MenuRowProvider provider) { phoneLinkRows_ = std::move(provider); }
    void setStopPhoneLink(std::function<void()> stop) { stopPhoneLink_ = std::move(stop); }
    // The phone notifications' rows, after the phone link's.
    void setPushRows(MenuRowProvider provider) { pushRows_ = std::move(provider); }
    // Whether someone wants every session's attention followed (alerts that go somewhere): the
    // sessions are then listed when tmux begins a pane, or at each review while none is followed, so
    // that a session started later is followed too.
    void setListingWanted(std::function<bool()> wanted) { listingWanted_ = std::move(wanted); }
    // Told each release that took carry mode down (the reason and the texts the desktop shows).
    void setReleaseListener(std::function<void(CarryReason, const std::vector<std::string>&)> listener) {
        releaseListener_ = std::move(listener);
    }
    // Told the carry state after every evaluation, for readers on other threads.
    void setCarryListener(std::function<void(const CarryState&)> listener) {
        carryListener_ = std::move(listener);
    }

    const CarryPolicy& policy() const { return policy_; }
    // A tmux listing or an installation is under way on a worker.
    bool isListing() const { return listingUnderWay_; }
    bool isInstalling() const { return installUnderWay_; }
    CarryState carryState() const;

    PowerManager& power() { return power_; }

private:
    std::vector<MenuItem> helperRows();
    StatusSnapshot snapshot() const;
    bool storedPaused() const;
    void runInstallFlow(void (HelperInstallFlow::*step)());
    // The pause holds in memory only: logged each time, told to the user once per run.
    void warnUnsavedPause();
    // Asks for a tmux listing in the background, unless one is under way.
    void refreshListing();
    void listingArrived(std::optional<std::vector<AgentSession>> sessions);
    SessionBlock sessionBlock() const;
    // The menu may be open: shows new rows in it, but leaves it alone when nothing changed.
    void showChangedRows();
    void notify(const std::string& text);
    void lidHoldChanged(bool held);
    void sessionChanged();

    Ports ports_;
    CapsLockMonitor monitor_;
    PowerManager power_;
    TimerHandle reviewTimer_;
    CarryPolicy policy_;
    CarryInputs inputs_; // of the last evaluation: what the menu and the phone show
    RangedSetting floorSetting_{Config::Key::batteryFloor, Config::minBatteryFloor, Config::maxBatteryFloor,
                                Config::defaultBatteryFloor};
    RangedSetting heatLimitSetting_{Config::Key::heatLimit, Config::minHeatLimit, Config::maxHeatLimit,
                                    Config::defaultHeatLimit};
    bool launched_ = false;
    TimerHandle unsavedPauseAlert_;
    bool terminated_ = false;
    MenuRowProvider phoneLinkRows_;
    std::function<void()> stopPhoneLink_;
    std::function<void(const CarryState&)> carryListener_;
    MenuRowProvider pushRows_;
    std::function<bool()> listingWanted_;
    std::function<void(CarryReason, const std::vector<std::string>&)> releaseListener_;
    // The last tmux listing: absent before the first comes back; inside, absent for no answer.
    std::optional<std::optional<std::vector<AgentSession>>> listing_;
    OutputWatch outputs_; // the sessions' last output on the boot clock, for the work-done guard
    bool listingUnderWay_ = false;
    SessionBlock shownSessions_; // as the menu last built shows them
    AttentionTracker::Subscription attentionChanges_;
    AttentionTracker::Subscription paneChanges_;
    bool followingAny() const; // a session not ended, looked at by the attention
    // Checked on the main thread by what the tracker's thread posts: none reaches a delegate gone.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    bool installUnderWay_ = false;
    // Last, so they end first: no result of theirs reaches a delegate that is being destroyed.
    Worker listingWorker_{ports_.loop};
    Worker installWorker_{ports_.loop};
    Worker noticeWorker_{ports_.loop};
};

} // namespace torvane
