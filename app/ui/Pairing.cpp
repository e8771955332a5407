#include "app/ui/Pairing.hpp"

#include "app/core/HostWords.hpp"
#include "app/ui/QRCode.hpp"

#include <optional>
#include <utility>

namespace torvane {

Pairing::Pairing(Ports ports) : ports_(std::move(ports)) {}

std::vector<MenuItem> Pairing::menuRows() {
    const bool running = ports_.server.isRunning();
    std::vector<MenuItem> rows;
    rows.push_back(
        MenuItem::command(running ? "スマホから接続…" : "スマホ連携を開始", [this] { showPairing(); }));
    if (running)
        rows.push_back(MenuItem::command("スマホ連携を停止", [this] { stopServer(); }));
    return rows;
}

void Pairing::showPairing() {
    if (!ports_.server.isRunning())
        ports_.server.start();
    // The handle dies with us, so a presentation never outlives its owner; replacing it drops a
    // presentation still waiting from a quick second choice.
    pendingPresentation_ = ports_.loop.once(presentDelay, [this] {
        // Released before the modal dialog: a choice made while it is up schedules anew.
        TimerHandle self = std::move(pendingPresentation_);
        presentPairing();
    });
}

void Pairing::stopServer() {
    ports_.server.stop();
    if (ports_.refreshUI)
        ports_.refreshUI();
}

void Pairing::shutdown() {
    pendingPresentation_.reset();
    ports_.server.stop();
}

Alert Pairing::pairingAlert(const std::string& url) {
    Alert alert;
    alert.style = AlertStyle::informational;
    alert.message = "スマホのカメラで読み取ってください";
    alert.informativeText = url + "\n\n" + hostWords.machine +
                            "とスマホがWi-Fi（またはテザリング）で同じ回線にいるときに繋がります。"
                            "\nこのURLには合言葉が含まれているので、他人に見せないでください。"
                            "\nスマホとの通信は暗号化されています。"
                            "\n\n接続が切れても、" +
                            hostWords.machine +
                            "側の作業は tmux の中で動き続けます。"
                            "\n圏外から戻れば、そのまま続きが見えます。";
    alert.image = QRCode::image(url, codeSize);
    alert.buttons = {"OK", "URLをコピー", "合言葉を作り直す"};
    return alert;
}

Alert Pairing::failureAlert() {
    Alert alert;
    alert.style = AlertStyle::informational;
    alert.message = "スマホ連携を開始できませんでした";
    alert.informativeText = "ネットワークに接続されていないか、ポートを開けませんでした。\n"
                            "Wi-Fi（またはテザリング）に繋がっているか確認してください。";
    alert.buttons = {"OK"};
    return alert;
}

void Pairing::presentPairing() {
    // A loop rather than calling itself: the user may renew the token any number of times.
    for (;;) {
        const std::optional<std::string> url = ports_.server.pairingURL();
        if (!url) {
            ports_.alerts.run(failureAlert());
            return;
        }
        const std::size_t choice = ports_.alerts.run(pairingAlert(*url));
        if (choice == copyURL) {
            ports_.clipboard.setText(*url);
            return;
        }
        if (choice != renewToken)
            return;
        ports_.server.regenerateToken();
    }
}

} // namespace torvane
