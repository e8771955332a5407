#include "app/ui/Pairing.hpp"

#include "app/core/Config.hpp"
#include "app/core/HostWords.hpp"
#include "app/ui/QRCode.hpp"

#include <cstdint>
#include <optional>
#include <utility>

namespace torvane {

namespace {

// The port the link had last, so that a phone's bookmark keeps working; the default before that.
std::uint16_t rememberedPort(const Settings* settings) {
    const auto port = settings ? settings->integer(Config::Key::phoneLinkPort) : std::nullopt;
    return port && *port > 0 && *port <= 65535 ? static_cast<std::uint16_t>(*port) : Server::defaultPort;
}

} // namespace

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

void Pairing::startServer() {
    if (ports_.server.isRunning())
        return;
    Settings* settings = ports_.settings;
    ports_.server.start(rememberedPort(settings)); // unless it is taken
    if (ports_.server.isRunning())
        ports_.server.token(); // made now if there is none yet, so that --pairing-url has a URL to print
    if (settings && ports_.server.isRunning()) {
        settings->setBoolean(Config::Key::phoneLink, true);
        settings->setInteger(Config::Key::phoneLinkPort, ports_.server.port());
    }
}

void Pairing::resume() {
    if (!ports_.settings || !ports_.settings->boolean(Config::Key::phoneLink).value_or(false))
        return;
    startServer();
    if (ports_.refreshUI)
        ports_.refreshUI();
}

void Pairing::showPairing() {
    startServer();
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
    if (ports_.settings)
        ports_.settings->setBoolean(Config::Key::phoneLink, false);
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

int Pairing::printPairingURL(const Settings& settings, const std::optional<std::string>& address, bool asCode,
                             std::ostream& out, std::ostream& err) {
    const auto token = settings.string(Config::Key::serverToken);
    if (!token || token->empty()) {
        err << "スマホ連携はまだ一度も開始されていません\n";
        return 1;
    }
    if (!address) {
        err << "ネットワークのアドレスが見つかりません。Wi-"
               "Fi（またはテザリング）に繋がっているか確認してください\n";
        return 1;
    }
    const auto url = Server::pairingURL(*address, rememberedPort(&settings), *token);
    const auto code = url && asCode ? QRCode::text(*url) : std::nullopt;
    if (!url || (asCode && !code)) {
        err << "ペアリング用のURLを作れませんでした\n";
        return 1;
    }
    if (!settings.boolean(Config::Key::phoneLink).value_or(false))
        err << "スマホ連携は停止中です（メニューから開始するか、設定を phoneLink=true にしてください）\n";
    out << (asCode ? *code : *url + "\n");
    return 0;
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
