#include "app/ui/Pairing.hpp"

#include "app/core/Config.hpp"
#include "app/core/HostWords.hpp"
#include "app/core/Log.hpp"
#include "app/ui/QRCode.hpp"
#include "common/Text.hpp"

#include <cstdint>
#include <ctime>
#include <optional>
#include <utility>

namespace torvane {

namespace {

std::string seenText(long long seconds) {
    return text::localTime(seconds, "%m/%d %H:%M", "未接続");
}

// A question whose first button goes ahead.
bool confirmed(AlertPresenter& alerts, std::string message, std::string detail, std::string yes) {
    Alert alert;
    alert.style = AlertStyle::warning;
    alert.message = std::move(message);
    alert.informativeText = std::move(detail);
    alert.buttons = {std::move(yes), "やめる"};
    return alerts.run(alert) == 0;
}

} // namespace

Pairing::Pairing(Ports ports) : ports_(std::move(ports)) {}

std::uint16_t Pairing::rememberedPort(const Settings* settings) {
    const auto port = settings ? settings->integer(Config::Key::phoneLinkPort) : std::nullopt;
    return port && *port > 0 && *port <= 65535 ? static_cast<std::uint16_t>(*port) : Server::defaultPort;
}

std::vector<MenuItem> Pairing::menuRows() {
    const bool running = ports_.server.isRunning();
    std::vector<MenuItem> rows;
    rows.push_back(
        MenuItem::command(running ? "スマホから接続…" : "スマホ連携を開始", [this] { showPairing(); }));
    if (running)
        rows.push_back(MenuItem::command("スマホ連携を停止", [this] { stopServer(); }));
    const std::vector<PhoneRegistry::Phone> phones = ports_.phones.phones();
    if (phones.empty())
        return rows;
    MenuItem list = MenuItem::info("登録済みのスマホ（" + std::to_string(phones.size()) + "台）");
    list.enabled = true; // no action of its own: it opens the submenu
    list.submenu.push_back(MenuItem::info("選ぶと接続を取り消せます"));
    for (const PhoneRegistry::Phone& phone : phones)
        list.submenu.push_back(MenuItem::command(
            phone.name + "（最終接続 " + seenText(phone.lastSeen) + "）…", [this, phone] { revoke(phone); }));
    list.submenu.push_back(MenuItem::makeSeparator());
    list.submenu.push_back(MenuItem::command("すべてのスマホの接続を取り消す…", [this] { revokeAll(); }));
    rows.push_back(std::move(list));
    return rows;
}

void Pairing::revoke(const PhoneRegistry::Phone& phone) {
    if (!confirmed(ports_.alerts, "「" + phone.name + "」の接続を取り消しますか？",
                   "このスマホからは操作できなくなります。もう一度使うには、QRコードを読み直してください。",
                   "取り消す"))
        return;
    if (const auto revoked = ports_.phones.revoke(phone.id)) {
        Log::write("スマホの接続を取り消しました: " + revoked->name);
        if (ports_.revoked)
            ports_.revoked();
    }
}

void Pairing::revokeAll() {
    const std::size_t count = ports_.phones.phones().size();
    if (!confirmed(ports_.alerts, "すべてのスマホ（" + std::to_string(count) + "台）の接続を取り消しますか？",
                   "どのスマホからも操作できなくなります。もう一度使うには、QRコードを読み直してください。",
                   "すべて取り消す"))
        return;
    if (const auto revoked = ports_.phones.revokeAll(); revoked.value_or(0) > 0) {
        Log::write("すべてのスマホの接続を取り消しました (" + std::to_string(*revoked) + "台)");
        if (ports_.revoked)
            ports_.revoked();
    }
}

void Pairing::startServer() {
    if (ports_.server.isRunning())
        return;
    Settings* settings = ports_.settings;
    ports_.server.start(rememberedPort(settings)); // unless it is taken
    if (ports_.server.isRunning())
        ports_.server.token(); // made now if there is none yet, for the scripts on this machine
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
                            "\nこのURLは10分間、スマホ1台の登録に一度だけ使えます。他人に見せないでください。"
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
        const std::optional<std::string> code = ports_.phones.newCode();
        const std::optional<std::string> url = code ? ports_.server.pairingURL(*code) : std::nullopt;
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
        ports_.phones.dropCodes();
        ports_.server.regenerateToken();
    }
}

} // namespace torvane
