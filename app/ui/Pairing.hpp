#pragma once

#include "app/core/MainLoop.hpp"
#include "app/phone/Server.hpp"
#include "app/ui/AlertPresenter.hpp"
#include "app/ui/Clipboard.hpp"
#include "app/ui/MenuModel.hpp"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace torvane {

// Starting the phone link from the menu and pairing a phone: the dialog with the pairing URL as
// text and as a QR code, copying the URL and renewing the token. Main thread only.
class Pairing {
public:
    struct Ports {
        MainLoop& loop;
        Server& server;
        AlertPresenter& alerts;
        Clipboard& clipboard;
        std::function<void()> refreshUI; // the status icon, after the link was stopped
    };

    // Between choosing the menu row and the dialog: the server has come up and the menu has closed.
    static constexpr MainLoop::Seconds presentDelay{0.4};
    // Side of the QR code in the dialog.
    static constexpr double codeSize = 220;

    // The pairing dialog's buttons, in order.
    enum Button : std::size_t { ok = 0, copyURL = 1, renewToken = 2 };

    explicit Pairing(Ports ports);
    Pairing(const Pairing&) = delete;
    Pairing& operator=(const Pairing&) = delete;

    // The status menu's phone-link rows, read afresh at every opening: the pairing row always, the
    // stop row while the server runs.
    std::vector<MenuItem> menuRows();

    // Starts the server unless it runs, then shows the dialog `presentDelay` later. Choosing it
    // again before then shows one dialog, not two.
    void showPairing();
    // Stops the server, then refreshes the status icon.
    void stopServer();
    // At termination: a dialog still waiting is dropped and the server stops.
    void shutdown();

    // The dialog for a pairing URL (with its QR code when one can be made), and the one shown when
    // there is no URL.
    static Alert pairingAlert(const std::string& url);
    static Alert failureAlert();

private:
    // Shows the dialog and acts on its button; a renewed token shows a fresh dialog.
    void presentPairing();

    Ports ports_;
    TimerHandle pendingPresentation_;
};

} // namespace torvane
