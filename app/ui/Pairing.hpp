#pragma once

#include "app/core/MainLoop.hpp"
#include "app/core/Settings.hpp"
#include "app/phone/PhoneRegistry.hpp"
#include "app/phone/Server.hpp"
#include "app/ui/AlertPresenter.hpp"
#include "app/ui/Clipboard.hpp"
#include "app/ui/MenuModel.hpp"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace torvane {

// Starting the phone link from the menu and pairing a phone: the dialog with a fresh pairing URL as
// text and as a QR code, copying the URL and renewing the token; the paired phones in the menu, and
// revoking them. Main thread only.
class Pairing {
public:
    struct Ports {
        MainLoop& loop;
        Server& server;
        PhoneRegistry& phones;
        AlertPresenter& alerts;
        Clipboard& clipboard;
        std::function<void()> refreshUI; // the status icon, after the link was stopped
        // Where the link's being on and its port are remembered; none: nothing is remembered.
        Settings* settings = nullptr;
        std::function<void()> revoked = {}; // after phones were revoked from the menu
    };

    // Between choosing the menu row and the dialog: the server has come up and the menu has closed.
    static constexpr MainLoop::Seconds presentDelay{0.4};
    // Side of the QR code in the dialog.
    static constexpr double codeSize = 220;

    // The pairing dialog's buttons, in order. Renewing makes a new code (the one shown is no longer
    // good) and a new token for scripts; the phones paired keep their keys.
    enum Button : std::size_t { ok = 0, copyURL = 1, renewToken = 2 };

    explicit Pairing(Ports ports);
    Pairing(const Pairing&) = delete;
    Pairing& operator=(const Pairing&) = delete;

    // The status menu's phone-link rows, read afresh at every opening: the pairing row always, the
    // stop row while the server runs, the paired phones (each revoked when chosen and confirmed).
    std::vector<MenuItem> menuRows();

    // Starts the server unless it runs (on the port it had before, when there was one), then shows
    // the dialog `presentDelay` later. Choosing it again before then shows one dialog, not two.
    void showPairing();
    // Stops the server, then refreshes the status icon; the link stays off at the next launch.
    void stopServer();
    // At launch: a link that was on when the app last ended starts again, on the same port.
    void resume();
    // At termination: a dialog still waiting is dropped and the server stops; whether the link was
    // on is kept for the next launch.
    void shutdown();

    // The dialog for a pairing URL (with its QR code when one can be made), and the one shown when
    // there is no URL.
    static Alert pairingAlert(const std::string& url);
    static Alert failureAlert();

    // The port the link had last, so that a phone's bookmark keeps working; the default before that.
    static std::uint16_t rememberedPort(const Settings* settings);

private:
    // Starts the server on the remembered port and remembers that it is on, and where.
    void startServer();
    // Shows the dialog and acts on its button; a renewed token shows a fresh dialog.
    void presentPairing();
    void revoke(const PhoneRegistry::Phone& phone);
    void revokeAll();

    Ports ports_;
    TimerHandle pendingPresentation_;
};

} // namespace torvane
