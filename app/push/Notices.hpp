#pragma once

#include "app/core/MainLoop.hpp"
#include "app/core/Settings.hpp"
#include "app/core/Worker.hpp"
#include "app/platform/Notifier.hpp"
#include "app/power/CarryPolicy.hpp"
#include "app/push/Policy.hpp"
#include "app/push/Sender.hpp"
#include "app/push/Targets.hpp"
#include "app/ui/AlertPresenter.hpp"
#include "app/ui/MenuModel.hpp"
#include "app/ui/TextPrompt.hpp"

#include <memory>
#include <string>
#include <vector>

namespace torvane::push {

// The phone notifications as the app uses them: sessions' changes and carry mode's releases through
// the Policy to the Sender (and `input` to the desktop when asked for), the menu rows that set them
// up, and the test message. Main thread only; the sending runs on the Sender's thread.
class Notices {
public:
    struct Ports {
        MainLoop& loop;
        Settings& settings;
        AlertPresenter& alerts;
        TextPrompt* prompt = nullptr; // none: the URL is set in the settings file only
        Notifier* notifier = nullptr; // none: no desktop notifications
        BootClock clock = bootNow;
        std::string hostName; // empty: this machine's
        Sender::Options sending = {};
    };

    explicit Notices(Ports ports);
    Notices(const Notices&) = delete;
    Notices& operator=(const Notices&) = delete;

    // A session changed state. `screen` holds its last lines, oldest first, at most screenLines() of
    // them; they go out only while that setting asks for them.
    void sessionChanged(const std::string& session, State from, State to,
                        std::vector<std::string> screen = {});
    // How many screen lines sessionChanged wants (notifyScreenLines; 0: none, do not capture).
    int screenLines();
    // Whether an alert would go anywhere (a URL or command and not off, or the desktop's).
    bool sendsAnywhere();
    // Carry mode was released by a guard: `reason` is the sentence shown, `tags` ntfy's emoji names.
    void carryReleased(const std::string& reason, const std::string& tags);

    // The status menu's rows, read at every opening.
    std::vector<MenuItem> menuRows();
    void sendTest();
    void editURL();
    void toggleOff();
    void toggleDesktop();

    // At the end: nothing more is sent, a send under way is cut off, no result comes back.
    void shutdown();
    std::uint64_t dropped() const { return sender_ ? sender_->dropped() : 0; }
    bool waitIdle(std::chrono::milliseconds limit) { return !sender_ || sender_->waitIdle(limit); }

private:
    void dispatch(const Message& message, const Targets& targets);
    void sendDue();
    void schedule();

    Ports ports_;
    TargetReader reader_;
    Policy policy_;
    TimerHandle dueTimer_;
    bool testUnderWay_ = false;
    const std::shared_ptr<bool> alive_ = std::make_shared<bool>(true); // main thread only
    Worker desktop_{ports_.loop};
    std::unique_ptr<Sender> sender_ = std::make_unique<Sender>(ports_.sending);
};

// ntfy's tags (emoji) for a release of carry mode.
std::string tagsFor(CarryReason reason);

// This machine's name as the messages give it.
std::string localHostName();

} // namespace torvane::push
