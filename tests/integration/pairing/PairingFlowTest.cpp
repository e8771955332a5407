#include "QrSupport.hpp"
#include "app/core/MemorySettings.hpp"
#include "app/core/VirtualMainLoop.hpp"
#include "app/phone/Router.hpp"
#include "app/phone/Server.hpp"
#include "app/ui/Pairing.hpp"
#include "tests/fakes/FakeAlertPresenter.hpp"
#include "tests/fakes/FakeClipboard.hpp"
#include "tests/fakes/TestSupport.hpp"
#include "tests/integration/phone/RawClient.hpp"

#include <algorithm>
#include <gtest/gtest.h>

namespace torvane {
namespace {

using namespace std::chrono_literals;

// A documentation address stands in for the LAN one, so nothing can reach a real network; every
// request of these tests goes to 127.0.0.1 on the URL's port with the URL's token.
constexpr const char* lanAddress = "192.0.2.10";

std::vector<InterfaceAddress> wirelessOnly() {
    return {{"lo", true, true, true, "127.0.0.1"}, {"wlan0", true, false, true, lanAddress}};
}

ServerOptions withInterfaces(std::function<std::vector<InterfaceAddress>()> interfaces) {
    ServerOptions options;
    options.interfaces = std::move(interfaces);
    return options;
}

std::vector<InterfaceAddress> loopbackOnly() {
    return {{"lo", true, true, true, "127.0.0.1"}, {"lo", true, true, false, "::1"}};
}

struct ParsedURL {
    std::string prefix; // everything before the token
    std::string token;
};

ParsedURL parse(const std::string& url) {
    const auto at = url.find("/?t=");
    if (at == std::string::npos)
        return {url, ""};
    return {url.substr(0, at + 4), url.substr(at + 4)};
}

// The status line of GET /api/state sent to 127.0.0.1 with `token`.
std::string stateStatus(std::uint16_t port, const std::string& token) {
    test::RawClient client(port);
    if (!client.connected())
        return "no connection";
    client.send("GET /api/state?t=" + token + " HTTP/1.1\r\nHost: phone\r\n\r\n");
    const std::string reply = client.readAll().bytes;
    const auto end = reply.find("\r\n");
    return reply.size() > 9 && end != std::string::npos ? reply.substr(9, end - 9) : reply;
}

// The phone link's ports are the machine's, shared with test runs in other checkouts: `choose`
// starts the server; it is tried again, within a bound, until the server got the default port.
bool startsOnDefaultPort(Server& server, const std::function<void()>& choose) {
    return test::waitFor(
        [&] {
            server.stop();
            if (!test::PortHolder(Server::defaultPort).holding())
                return false;
            choose();
            return server.port() == Server::defaultPort;
        },
        120s);
}

std::vector<std::string> titles(const std::vector<MenuItem>& rows) {
    std::vector<std::string> out;
    for (const MenuItem& row : rows)
        out.push_back(row.title);
    return out;
}

class PairingFlow : public ::testing::Test {
protected:
    explicit PairingFlow(std::function<std::vector<InterfaceAddress>()> interfaces = wirelessOnly)
        : server_(router_, withInterfaces(std::move(interfaces))) {}

    void TearDown() override { server_.stop(); }

    // The URL and QR code of a pairing dialog, checked against each other.
    std::string urlOf(const Alert& alert) {
        const std::string url = alert.informativeText.substr(0, alert.informativeText.find('\n'));
        EXPECT_TRUE(alert.image.has_value());
        if (alert.image) {
            EXPECT_EQ(alert.image->width, 220);
            EXPECT_EQ(alert.image->height, 220);
            test::writePgm(dir_ / "code.pgm", *alert.image);
            EXPECT_EQ(test::decodeQr(dir_ / "code.pgm"), url);
        }
        return url;
    }

    // First, so it is held before the server can start and released after it has stopped.
    test::MachineLock ports_{"phone_ports"};
    test::TempDir dir_;
    test::LogCapture log_;
    Tmux tmux_;
    MemorySettings settings_;
    Router router_{tmux_, [] { return PowerState{}; }, [] { return false; }, settings_};
    Server server_;
    VirtualMainLoop loop_;
    test::FakeAlertPresenter alerts_;
    FakeClipboard clipboard_;
    int refreshes_ = 0;
    Pairing pairing_{{loop_, server_, alerts_, clipboard_, [this] { ++refreshes_; }}};
};

TEST_F(PairingFlow, StartsTheStoppedServerAndShowsItsURLAndCodeAfterTheDelay) {
    ASSERT_EQ(titles(pairing_.menuRows()), std::vector<std::string>{"スマホ連携を開始"});
    ASSERT_TRUE(startsOnDefaultPort(server_, pairing_.menuRows().front().action))
        << "port 8787 stayed in use by something else";
    EXPECT_TRUE(server_.isRunning());
    loop_.advance(0.39s);
    EXPECT_TRUE(alerts_.shown.empty()) << "the dialog waits for the menu to close";
    loop_.advance(0.01s);
    ASSERT_EQ(alerts_.shown.size(), 1u);

    const Alert& dialog = alerts_.shown[0];
    const std::string token = settings_.string("serverToken").value_or("");
    ASSERT_EQ(token.size(), 32u);
    const std::string url = std::string("http://") + lanAddress + ":8787/?t=" + token;
    EXPECT_EQ(urlOf(dialog), url);
    EXPECT_EQ(dialog.style, AlertStyle::informational);
    EXPECT_EQ(dialog.message, "スマホのカメラで読み取ってください");
    EXPECT_EQ(dialog.informativeText, url +
                                          "\n\nMacとスマホがWi-"
                                          "Fi（またはテザリング）で同じ回線にいるときに繋がります。"
                                          "\nこのURLには合言葉が含まれているので、他人に見せないでください。"
                                          "\n\n接続が切れても、Mac側の作業は tmux の中で動き続けます。"
                                          "\n圏外から戻れば、そのまま続きが見えます。");
    EXPECT_EQ(dialog.buttons, (std::vector<std::string>{"OK", "URLをコピー", "合言葉を作り直す"}));
    EXPECT_EQ(clipboard_.writes(), 0) << "OK does nothing more";

    // What the phone will do with it, sent to the loopback address instead of the LAN one.
    EXPECT_EQ(stateStatus(server_.port(), token), "200 OK");
    EXPECT_EQ(titles(pairing_.menuRows()), (std::vector<std::string>{"スマホから接続…", "スマホ連携を停止"}));
    EXPECT_EQ(loop_.pendingCount(), 0u);
}

TEST_F(PairingFlow, ChoosingItWhileRunningKeepsServerPortAndToken) {
    pairing_.showPairing();
    loop_.advance(0.4s);
    pairing_.showPairing();
    loop_.advance(0.4s);
    ASSERT_EQ(alerts_.shown.size(), 2u);
    EXPECT_EQ(urlOf(alerts_.shown[1]), urlOf(alerts_.shown[0]));
    const auto lines = log_.lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.starts_with("サーバーを開始しました"); }),
              1);

    // Two quick choices before the first dialog: one dialog, not two.
    pairing_.showPairing();
    loop_.advance(0.2s);
    pairing_.showPairing();
    loop_.advance(1s);
    EXPECT_EQ(alerts_.shown.size(), 3u);
}

TEST_F(PairingFlow, CopyPutsExactlyTheURLOnTheClipboard) {
    alerts_.answers = {Pairing::copyURL};
    pairing_.showPairing();
    loop_.advance(0.4s);
    ASSERT_EQ(alerts_.shown.size(), 1u);
    EXPECT_EQ(clipboard_.writes(), 1);
    EXPECT_EQ(clipboard_.text(), urlOf(alerts_.shown[0]));
    EXPECT_TRUE(clipboard_.text().starts_with("http://"));
    EXPECT_EQ(clipboard_.text().find('\n'), std::string::npos);
}

TEST_F(PairingFlow, RenewingTheTokenShowsAFreshDialogAndLocksTheOldURLOut) {
    alerts_.answers = {Pairing::renewToken, Pairing::renewToken, Pairing::copyURL};
    pairing_.showPairing();
    loop_.advance(0.4s);
    ASSERT_EQ(alerts_.shown.size(), 3u);

    const ParsedURL first = parse(urlOf(alerts_.shown[0]));
    const ParsedURL second = parse(urlOf(alerts_.shown[1]));
    const ParsedURL third = parse(urlOf(alerts_.shown[2]));
    EXPECT_EQ(second.prefix, first.prefix);
    EXPECT_EQ(third.prefix, first.prefix);
    EXPECT_EQ(second.token.size(), 32u);
    EXPECT_NE(second.token, first.token);
    EXPECT_NE(third.token, second.token);
    EXPECT_EQ(clipboard_.text(), third.prefix + third.token) << "the copy is of the dialog it came from";
    EXPECT_TRUE(log_.contains("接続の合言葉を作り直しました"));

    EXPECT_TRUE(server_.isRunning());
    EXPECT_EQ(stateStatus(server_.port(), first.token), "401 Unauthorized");
    EXPECT_EQ(stateStatus(server_.port(), second.token), "401 Unauthorized");
    EXPECT_EQ(stateStatus(server_.port(), third.token), "200 OK");
}

TEST_F(PairingFlow, StopRowStopsTheServerAndRefreshesTheIcon) {
    pairing_.showPairing();
    loop_.advance(0.4s);
    const std::uint16_t port = server_.port();
    const std::vector<MenuItem> rows = pairing_.menuRows();
    ASSERT_EQ(rows.size(), 2u);
    rows[1].action();

    EXPECT_FALSE(server_.isRunning());
    EXPECT_EQ(refreshes_, 1);
    EXPECT_TRUE(log_.contains("サーバーを停止しました"));
    EXPECT_EQ(stateStatus(port, settings_.string("serverToken").value_or("")), "no connection");
    EXPECT_EQ(titles(pairing_.menuRows()), std::vector<std::string>{"スマホ連携を開始"});
}

TEST_F(PairingFlow, AWaitingDialogIsDroppedWhenItsOwnerGoesOrTheAppEnds) {
    {
        Pairing gone({loop_, server_, alerts_, clipboard_, nullptr});
        gone.showPairing();
    }
    loop_.advance(1s);
    EXPECT_TRUE(alerts_.shown.empty());
    EXPECT_TRUE(server_.isRunning()) << "only the stop row and the end stop the server";

    pairing_.showPairing();
    pairing_.shutdown();
    loop_.advance(1s);
    EXPECT_TRUE(alerts_.shown.empty());
    EXPECT_FALSE(server_.isRunning());
}

class PairingWithoutNetwork : public PairingFlow {
protected:
    PairingWithoutNetwork() : PairingFlow(loopbackOnly) {}
};

TEST_F(PairingWithoutNetwork, ShowsTheFailureDialogAndLeavesTheServerRunning) {
    alerts_.answers = {Pairing::renewToken}; // a stray index must not renew anything
    const std::string token = router_.token();
    pairing_.showPairing();
    loop_.advance(0.4s);
    ASSERT_EQ(alerts_.shown.size(), 1u);
    const Alert& dialog = alerts_.shown[0];
    EXPECT_EQ(dialog.style, AlertStyle::informational);
    EXPECT_EQ(dialog.message, "スマホ連携を開始できませんでした");
    EXPECT_EQ(dialog.informativeText, "ネットワークに接続されていないか、ポートを開けませんでした。\n"
                                      "Wi-Fi（またはテザリング）に繋がっているか確認してください。");
    EXPECT_EQ(dialog.buttons, std::vector<std::string>{"OK"});
    EXPECT_FALSE(dialog.image.has_value());
    EXPECT_EQ(router_.token(), token);

    EXPECT_TRUE(server_.isRunning());
    EXPECT_EQ(stateStatus(server_.port(), token), "200 OK");
    EXPECT_EQ(titles(pairing_.menuRows()), (std::vector<std::string>{"スマホから接続…", "スマホ連携を停止"}));
}

} // namespace
} // namespace torvane
