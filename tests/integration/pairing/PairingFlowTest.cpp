#include "QrSupport.hpp"
#include "app/core/Config.hpp"
#include "app/phone/LocalAddress.hpp"
#include "app/phone/Router.hpp"
#include "app/phone/Server.hpp"
#include "app/ui/Pairing.hpp"
#include "app/ui/PhoneCommands.hpp"
#include "app/ui/qt/QtSettings.hpp"
#include "common/Subprocess.hpp"
#include "tests/fakes/FakeAlertPresenter.hpp"
#include "tests/fakes/FakeClipboard.hpp"
#include "tests/fakes/MemorySettings.hpp"
#include "tests/fakes/TestSupport.hpp"
#include "tests/fakes/VirtualMainLoop.hpp"
#include "tests/integration/phone/SealedClient.hpp"

#include <gtest/gtest.h>
#include <sstream>

namespace torvane {
namespace {

using namespace std::chrono_literals;

// A documentation address stands in for the LAN one, so nothing can reach a real network.
constexpr const char* lanAddress = "192.0.2.10";

// Trades a pairing code for a phone's "ID.KEY", as the page does; empty when refused.
std::string pairWith(RequestHandler& handler, const std::string& code) {
    const std::string answer = test::SealedClient(handler, code).call("POST", "/api/pair", "name=Pixel");
    const auto field = [&](const std::string& name) {
        const auto at = answer.find("\"" + name + "\":\"") + name.size() + 4;
        return answer.substr(at, answer.find('"', at) - at);
    };
    return answer.starts_with("200|") ? field("phone") + "." + field("key") : "";
}

// One call as a paired phone makes it: "status|body".
std::string sealedCall(RequestHandler& handler, const std::string& phone, const std::string& target) {
    return test::SealedClient(handler, phone).call("GET", target);
}

class PairingFlow : public ::testing::Test {
protected:
    PairingFlow()
        : server_(router_, secret_,
                  {.limits = {}, .idleLimit = std::chrono::seconds(10), .interfaces = [] {
                       return std::vector<InterfaceAddress>{{"lo", true, true, true, "127.0.0.1"},
                                                            {"wlan0", true, false, true, lanAddress}};
                   }}) {}
    void TearDown() override { server_.stop(); }

    std::string urlPrefix() const {
        return std::string("http://") + lanAddress + ":" + std::to_string(server_.port()) + "/#p=";
    }

    // The code in a pairing dialog's URL; its QR code is of the same URL (PairingDialog reads it back).
    std::string codeOf(const Alert& alert) {
        const std::string url = alert.informativeText.substr(0, alert.informativeText.find('\n'));
        EXPECT_TRUE(url.starts_with(urlPrefix())) << url;
        return url.substr(std::min(url.size(), urlPrefix().size()));
    }

    // First, so it is held before the server can start and released after it has stopped.
    test::MachineLock ports_{"phone_ports"};
    test::LogCapture log_;
    Tmux tmux_;
    MemorySettings settings_;
    PairingSecret secret_{settings_};
    PhoneRegistry phones_{settings_};
    Router router_{tmux_, [] { return PowerState{}; }, [] { return false; }, secret_, phones_};
    Server server_;
    VirtualMainLoop loop_;
    test::FakeAlertPresenter alerts_;
    FakeClipboard clipboard_;
    int refreshes_ = 0;
    int revocations_ = 0; // told to the link, so that waiting pages hear of it at once
    Pairing pairing_{{loop_, server_, phones_, alerts_, clipboard_, [this] { ++refreshes_; }, &settings_,
                      [this] { ++revocations_; }}};
};

TEST_F(PairingFlow, StartShowsAFreshCodeRenewingDropsItRevokingAsksFirstAndStopEndsTheLink) {
    ASSERT_EQ(pairing_.menuRows().size(), 1u);
    ASSERT_EQ(pairing_.menuRows()[0].title, "スマホ連携を開始");
    alerts_.answers = {Pairing::renewToken, Pairing::copyURL};
    const std::string token = secret_.token();
    pairing_.menuRows().front().action();
    EXPECT_TRUE(server_.isRunning());
    loop_.advance(0.39s);
    EXPECT_TRUE(alerts_.shown.empty()) << "the dialog waits for the menu to close";
    loop_.advance(0.01s);
    ASSERT_EQ(alerts_.shown.size(), 2u) << "a renewal shows a fresh dialog";
    const std::string first = codeOf(alerts_.shown[0]);
    const std::string second = codeOf(alerts_.shown[1]);
    EXPECT_EQ(clipboard_.text(), urlPrefix() + second) << "the copy is of the dialog it came from";
    EXPECT_NE(secret_.token(), token) << "the scripts' token is renewed with the code";
    EXPECT_EQ(pairWith(router_, first), "") << "the code shown before the renewal";
    const std::string phone = pairWith(router_, second);
    EXPECT_EQ(sealedCall(router_, phone, "/api/capture?s="), "400|session required");

    // The menu lists the phone, and revokes it once confirmed.
    std::vector<MenuItem> rows = pairing_.menuRows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[2].title, "登録済みのスマホ（1台）");
    ASSERT_EQ(rows[2].submenu.size(), 4u);
    EXPECT_TRUE(rows[2].submenu[1].title.starts_with("Pixel（最終接続 ")) << rows[2].submenu[1].title;
    alerts_.answers = {1, 0};
    rows[2].submenu[1].action();
    EXPECT_EQ(sealedCall(router_, phone, "/api/capture?s="), "400|session required") << "declined";
    EXPECT_EQ(revocations_, 0);
    rows[2].submenu[1].action();
    EXPECT_EQ(revocations_, 1);
    EXPECT_EQ(alerts_.shown.back().message, "「Pixel」の接続を取り消しますか？");
    EXPECT_EQ(sealedCall(router_, phone, "/api/capture?s="), "410|revoked");
    EXPECT_TRUE(log_.contains("スマホの接続を取り消しました: Pixel"));

    const std::uint16_t port = server_.port();
    EXPECT_EQ(settings_.boolean(Config::Key::phoneLink), true);
    EXPECT_EQ(settings_.integer(Config::Key::phoneLinkPort), port);
    rows = pairing_.menuRows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].title, "スマホ連携を停止");
    rows[1].action();
    EXPECT_FALSE(server_.isRunning());
    EXPECT_EQ(refreshes_, 1);
    EXPECT_EQ(settings_.boolean(Config::Key::phoneLink), false);
    pairing_.resume();
    EXPECT_FALSE(server_.isRunning()) << "a link turned off stays off at the next launch";

    // A dialog still waiting when the app ends is dropped with the server.
    const std::size_t shown = alerts_.shown.size();
    pairing_.showPairing();
    pairing_.shutdown();
    loop_.advance(1s);
    EXPECT_EQ(alerts_.shown.size(), shown);
    EXPECT_FALSE(server_.isRunning());

    // The link was on when the app ended: the next launch brings it back on the same port.
    Pairing nextLaunch{{loop_, server_, phones_, alerts_, clipboard_, [this] { ++refreshes_; }, &settings_}};
    nextLaunch.resume();
    EXPECT_TRUE(server_.isRunning());
    EXPECT_EQ(server_.port(), port);

    // Turned on by hand in the settings before any pairing: the link makes its token at once.
    nextLaunch.shutdown();
    settings_.setString(Config::Key::serverToken, "");
    nextLaunch.resume();
    EXPECT_FALSE(settings_.string(Config::Key::serverToken).value_or("").empty());
}

// The command line against a settings file of its own, while "the app" (a router over its own
// settings object of the same file, read before each change) runs: what the one writes, the other
// acts on at once, and a code pairs one phone only.
TEST(PhoneCommands, PairListRevokeAndRenewThroughTheSettingsFileWhileTheAppRuns) {
    test::TempDir dir;
    const auto file = dir / "config" / "torvane" / "torvane.conf";
    std::filesystem::create_directories(file.parent_path());
    test::writeFile(file, "[General]\nserverToken=QmFzZTY0VXJsVG9rZW5Gb3JUZXN0czEy\nphoneLinkPort=8790\n");
    const auto run = [&](std::vector<std::string> args) {
        return runSubprocess(
            std::string(std::getenv("TORVANE_BINARY_DIR")) + "/app/torvane", std::move(args),
            {.timeLimit = std::chrono::seconds(20),
             .environment = std::vector<std::string>{"HOME=" + dir.path().string(),
                                                     "XDG_CONFIG_HOME=" + (dir / "config").string(),
                                                     "XDG_STATE_HOME=" + (dir / "state").string()}});
    };
    for (const auto& wrong :
         std::vector<std::vector<std::string>>{{"--bogus"}, {"--pair", "x"}, {"--revoke"}}) {
        const SubprocessResult result = run(wrong);
        EXPECT_EQ(result.exitStatus, 2) << wrong[0];
        EXPECT_NE(result.err.find("\n使い方: torvane"), std::string::npos) << result.err;
    }
    QtSettings appSettings(file);
    PairingSecret secret(appSettings);
    PhoneRegistry phones(appSettings);
    Tmux tmux;
    Router app(
        tmux, [] { return PowerState{}; }, [] { return false; }, secret, phones);
    ASSERT_EQ(secret.token(), "QmFzZTY0VXJsVG9rZW5Gb3JUZXN0czEy");
    EXPECT_EQ(run({"--renew-token"}).exitStatus, 0);
    EXPECT_NE(secret.token(), "QmFzZTY0VXJsVG9rZW5Gb3JUZXN0czEy");

    // Narrowed to named addresses, the URL names one the link listens on, whatever the interfaces.
    QtSettings(file).setString(Config::Key::listenAddresses, "loopback, 192.0.2.7");
    EXPECT_TRUE(run({"--pairing-url"}).out.starts_with("http://192.0.2.7:8790/#p="));
    QtSettings(file).setString(Config::Key::listenAddresses, "loopback");
    const SubprocessResult unreachable = run({"--pairing-url"});
    EXPECT_EQ(unreachable.exitStatus, 1);
    EXPECT_EQ(unreachable.err, "設定 listenAddresses のアドレスに、スマホから届くものがありません\n");
    QtSettings(file).setString(Config::Key::listenAddresses, "lan");

    const auto address = chooseLocalAddress(systemInterfaceAddresses(), hostInterfacePolicy());
    const SubprocessResult pair = run({"--pair", "--name", "台所のiPad"});
    if (!address) {
        EXPECT_EQ(pair.exitStatus, 1) << pair.err;
        GTEST_SKIP() << "no network address here to build a URL with";
    }
    ASSERT_EQ(pair.exitStatus, 0) << pair.err;
    const std::string url = pair.out.substr(0, pair.out.find('\n'));
    EXPECT_TRUE(url.starts_with("http://" + *address + ":8790/#p=")) << url;
    EXPECT_EQ(test::decodeTerminalQr(pair.out.substr(url.size() + 1), dir / "terminal.pgm"), url);

    const std::string code = url.substr(url.find("#p=") + 3);
    const std::string phone = pairWith(app, code);
    ASSERT_FALSE(phone.empty());
    EXPECT_EQ(pairWith(app, code), "") << "a code pairs once";
    const std::string id = phone.substr(0, phone.find('.'));
    EXPECT_TRUE(run({"--phones"}).out.starts_with("台所のiPad\t" + id + "\t登録 ")) << "named as given";
    EXPECT_EQ(run({"--revoke", "台所のiPad"}).out, "「台所のiPad」の接続を取り消しました\n");
    EXPECT_EQ(sealedCall(app, phone, "/api/state"), "410|revoked");
    EXPECT_EQ(run({"--revoke", id}).exitStatus, 1) << "already revoked";

    const std::string other = pairWith(app, *phones.newCode());
    EXPECT_EQ(run({"--revoke-all"}).exitStatus, 1) << "nobody to ask, and no --yes";
    EXPECT_EQ(sealedCall(app, other, "/api/capture?s="), "400|session required");
    EXPECT_EQ(run({"--revoke-all", "--yes"}).out, "1台のスマホの接続を取り消しました\n");
    EXPECT_EQ(sealedCall(app, other, "/api/capture?s="), "410|revoked");
}

// What the command line changes lives in the settings file alone: one that cannot be written there
// did not happen, and is not told as done.
TEST(PhoneCommands, AChangeTheSettingsCannotTakeIsAFailure) {
    std::istringstream in;
    std::ostringstream out, err;
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"--revoke", "電話"}, {"--revoke-all", "--yes"}, {"--renew-token"}, {"--pair"}}) {
        MemorySettings settings;
        PhoneRegistry phones(settings);
        const std::string code = phones.newCode("電話").value_or("");
        ASSERT_TRUE(phones.redeem(code.substr(0, code.find('.')), ""));
        settings.failSaves = true;
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        EXPECT_EQ(
            PhoneCommands::run(*PhoneCommands::parse(argv), settings, lanAddress, {in, false, out, err}), 1)
            << args[0];
    }
    EXPECT_EQ(out.str(), "");
}

} // namespace
} // namespace torvane
