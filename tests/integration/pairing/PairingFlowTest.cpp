#include "QrSupport.hpp"
#include "app/core/Config.hpp"
#include "app/phone/LocalAddress.hpp"
#include "app/phone/Router.hpp"
#include "app/phone/Seal.hpp"
#include "app/phone/SealedCall.hpp"
#include "app/phone/Server.hpp"
#include "app/ui/Pairing.hpp"
#include "common/Subprocess.hpp"
#include "tests/fakes/FakeAlertPresenter.hpp"
#include "tests/fakes/FakeClipboard.hpp"
#include "tests/fakes/MemorySettings.hpp"
#include "tests/fakes/TestSupport.hpp"
#include "tests/fakes/VirtualMainLoop.hpp"
#include "tests/integration/phone/RawClient.hpp"

#include <gtest/gtest.h>

namespace torvane {
namespace {

using namespace std::chrono_literals;

// A documentation address stands in for the LAN one, so nothing can reach a real network; every
// request of these tests goes to 127.0.0.1 on the URL's port, sealed under the URL's key.
constexpr const char* lanAddress = "192.0.2.10";

// The status line of a sealed GET /api/state sent to 127.0.0.1 under `keyText`.
std::string stateStatus(std::uint16_t port, const std::string& keyText) {
    static int calls = 0;
    test::RawClient client(port);
    if (!client.connected())
        return "no connection";
    const auto key = seal::keyFromText(keyText);
    if (!key)
        return "no key";
    const std::string envelope =
        seal::seal(*key, seal::formatRequest({"state-0123456789ab" + std::to_string(++calls),
                                              seal::nowMillis(), "GET", "/api/state", ""}));
    client.send("POST /api/sealed HTTP/1.1\r\nHost: phone\r\nContent-Length: " +
                std::to_string(envelope.size()) + "\r\n\r\n" + envelope);
    const std::string reply = client.readAll().bytes;
    const auto end = reply.find("\r\n");
    return reply.size() > 9 && end != std::string::npos ? reply.substr(9, end - 9) : reply;
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
        return std::string("http://") + lanAddress + ":" + std::to_string(server_.port()) + "/#k=";
    }

    // The key in a pairing dialog's URL; its code is of the same URL (PairingDialog reads it back).
    std::string keyOf(const Alert& alert) {
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
    Router router_{tmux_, [] { return PowerState{}; }, [] { return false; }, secret_};
    Server server_;
    VirtualMainLoop loop_;
    test::FakeAlertPresenter alerts_;
    FakeClipboard clipboard_;
    int refreshes_ = 0;
    Pairing pairing_{{loop_, server_, alerts_, clipboard_, [this] { ++refreshes_; }, &settings_}};
};

TEST_F(PairingFlow, StartShowsTheURLRenewingLocksTheOldOneOutAndStopEndsTheLink) {
    ASSERT_EQ(pairing_.menuRows().size(), 1u);
    ASSERT_EQ(pairing_.menuRows()[0].title, "スマホ連携を開始");
    alerts_.answers = {Pairing::renewToken, Pairing::copyURL};
    pairing_.menuRows().front().action();
    EXPECT_TRUE(server_.isRunning());
    loop_.advance(0.39s);
    EXPECT_TRUE(alerts_.shown.empty()) << "the dialog waits for the menu to close";
    loop_.advance(0.01s);
    ASSERT_EQ(alerts_.shown.size(), 2u) << "a renewed token shows a fresh dialog";
    const std::string first = keyOf(alerts_.shown[0]);
    const std::string second = keyOf(alerts_.shown[1]);
    EXPECT_EQ(second, seal::keyText(*seal::deriveKey(secret_.token())));
    EXPECT_NE(second, first);
    EXPECT_EQ(clipboard_.text(), urlPrefix() + second) << "the copy is of the dialog it came from";
    EXPECT_EQ(stateStatus(server_.port(), first), "401 Unauthorized");
    EXPECT_EQ(stateStatus(server_.port(), second), "200 OK");

    const std::uint16_t port = server_.port();
    EXPECT_EQ(settings_.boolean(Config::Key::phoneLink), true);
    EXPECT_EQ(settings_.integer(Config::Key::phoneLinkPort), port);
    const std::vector<MenuItem> rows = pairing_.menuRows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].title, "スマホ連携を停止");
    rows[1].action();
    EXPECT_FALSE(server_.isRunning());
    EXPECT_EQ(refreshes_, 1);
    EXPECT_EQ(stateStatus(port, second), "no connection");
    EXPECT_EQ(settings_.boolean(Config::Key::phoneLink), false);
    pairing_.resume();
    EXPECT_FALSE(server_.isRunning()) << "a link turned off stays off at the next launch";

    // A dialog still waiting when the app ends is dropped with the server.
    pairing_.showPairing();
    pairing_.shutdown();
    loop_.advance(1s);
    EXPECT_EQ(alerts_.shown.size(), 2u);
    EXPECT_FALSE(server_.isRunning());

    // The link was on when the app ended: the next launch brings it back on the same port, so the
    // phone's bookmark still works.
    Pairing nextLaunch{{loop_, server_, alerts_, clipboard_, [this] { ++refreshes_; }, &settings_}};
    nextLaunch.resume();
    EXPECT_TRUE(server_.isRunning());
    EXPECT_EQ(server_.port(), port);
    EXPECT_EQ(stateStatus(port, second), "200 OK");

    // Turned on by hand in the settings before any pairing: the link makes its token at once.
    nextLaunch.shutdown();
    settings_.setString(Config::Key::serverToken, "");
    nextLaunch.resume();
    EXPECT_FALSE(settings_.string(Config::Key::serverToken).value_or("").empty()) << "nothing to pair with";
}

// `torvane --pairing-url` and `--pairing-qr` against a settings file of their own: they print the URL
// of the remembered port, a code that reads back as it, and leave the settings and the log untouched.
TEST(PairingCommand, PrintsTheURLAndItsCodeFromTheSettingsAndChangesNothing) {
    test::TempDir dir;
    const std::string settings =
        "[General]\nserverToken=QmFzZTY0VXJsVG9rZW5Gb3JUZXN0czEy\nphoneLinkPort=8790\n";
    std::filesystem::create_directories(dir / "config" / "torvane");
    test::writeFile(dir / "config" / "torvane" / "torvane.conf", settings);
    const auto run = [&](const char* option) {
        return runSubprocess(
            std::string(std::getenv("TORVANE_BINARY_DIR")) + "/app/torvane", {option},
            {.timeLimit = std::chrono::seconds(20),
             .environment = std::vector<std::string>{"HOME=" + dir.path().string(),
                                                     "XDG_CONFIG_HOME=" + (dir / "config").string(),
                                                     "XDG_STATE_HOME=" + (dir / "state").string()}});
    };
    const auto address = chooseLocalAddress(systemInterfaceAddresses(), hostInterfacePolicy());
    const SubprocessResult url = run("--pairing-url");
    if (!address) {
        EXPECT_EQ(url.exitStatus, 1) << url.err;
        GTEST_SKIP() << "no network address here to build a URL with";
    }
    const std::string expected = *address + ":8790/#k=2eDrkVxrlEU9KI1n4dEZHWq8Rq95-shHaniLlRuavuU\n";
    EXPECT_EQ(url.exitStatus, 0) << url.err;
    EXPECT_EQ(url.out, "http://" + expected);
    EXPECT_EQ(url.err,
              "スマホ連携は停止中です（メニューから開始するか、設定を phoneLink=true にしてください）\n");

    // Half blocks back into modules, two rows a line (a drawn half is a light one), four pixels each.
    const SubprocessResult code = run("--pairing-qr");
    EXPECT_EQ(code.exitStatus, 0) << code.err;
    std::vector<std::string> rows(2);
    for (std::size_t at = 0; at < code.out.size(); at += code.out[at] & 0x80 ? 3 : 1) {
        if (code.out[at] == '\n') {
            rows.resize(rows.size() + 2);
            continue;
        }
        const char glyph = code.out[at] == ' ' ? 0 : code.out[at + 2]; // █ 88, ▀ 80, ▄ 84
        rows[rows.size() - 2] += glyph == '\x88' || glyph == '\x80' ? 'L' : 'D';
        rows[rows.size() - 1] += glyph == '\x88' || glyph == '\x84' ? 'L' : 'D';
    }
    rows.resize(rows.size() - 2);
    GrayImage picture{static_cast<int>(rows[0].size()) * 4, static_cast<int>(rows.size()) * 4, {}};
    for (int y = 0; y < picture.height; ++y)
        for (int x = 0; x < picture.width; ++x)
            picture.pixels.push_back(rows[y / 4][x / 4] == 'L' ? 255 : 0);
    test::writePgm(dir / "terminal.pgm", picture);
    EXPECT_EQ(test::decodeQr(dir / "terminal.pgm"), "http://" + expected.substr(0, expected.size() - 1));

    EXPECT_EQ(test::readFile(dir / "config" / "torvane" / "torvane.conf"), settings);
    EXPECT_FALSE(std::filesystem::exists(dir / "state")) << "nothing logged";
}

} // namespace
} // namespace torvane
