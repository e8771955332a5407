#pragma once

#include "app/install/HelperInstaller.hpp"
#include "app/power/RequestChannel.hpp"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace torvane {

// The menu's install and removal actions: ask, run the installer, report, re-evaluate. The application
// shell hands in how an alert is shown and how carry mode is re-evaluated; this holds the texts and order.
class HelperInstallFlow {
public:
    enum class Style { informational, warning, critical };

    struct Alert {
        Style style;
        std::string message;
        std::string informativeText;
        std::vector<std::string> buttons; // first is the default
        bool operator==(const Alert&) const = default;
    };

    // Shows the alert modally with the application brought to the front (ignoring other applications)
    // and returns the index of the button chosen; anything else (closed, -1) counts as not the first.
    using Present = std::function<int(const Alert&)>;
    // Re-evaluates carry mode with the given reason.
    using Evaluate = std::function<void(std::string_view reason)>;
    // Runs `work` (the password prompt and the script) away from the main thread, then `done` with its
    // result on the main thread. Empty: both run at once, in place.
    using Operation = std::function<HelperInstaller::Result()>;
    using Offload = std::function<void(Operation work, std::function<void(HelperInstaller::Result)> done)>;

    static constexpr std::string_view evaluationReason = "helper";

    enum class Action { installHelper, uninstallHelper };

    struct MenuRow {
        std::string title;
        Action action;
        bool enabled = true;
        bool operator==(const MenuRow&) const = default;
    };

    // The status menu's row after the helper status: offered only while the installation script is
    // there; installing while the daemon is missing or silent, removal while it answers.
    static std::optional<MenuRow> menuRow(bool installerAvailable, HelperStatus status);

    HelperInstallFlow(HelperInstaller& installer, Present present, Evaluate evaluate, Offload offload = {});

    // Each asks first; once confirmed the rest may finish after the call has returned (see Offload).

    void installHelper();
    void uninstallHelper();

    // The alerts, for the shell and for tests.
    static Alert installConfirmation();
    static Alert installSuccess();
    static Alert uninstallConfirmation();
    static Alert uninstallSuccess();
    static Alert failureAlert(const HelperInstaller::Failure& failure);

private:
    void perform(const Alert& confirmation, HelperInstaller::Result (HelperInstaller::*operation)(),
                 const Alert& success);

    HelperInstaller& installer_;
    Present present_;
    Evaluate evaluate_;
    Offload offload_;
};

} // namespace torvane
