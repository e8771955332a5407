// The phone link started from the tray of the real app under Xvfb: the dialog is photographed and its
// QR code read from the photograph. Only 127.0.0.1 is ever sent a request; the LAN address in the
// code is compared with the machine's, never contacted.
#include "app/phone/LocalAddress.hpp"
#include "tests/e2e/ui/TrayHarness.hpp"
#include "tests/fakes/FakeLogind.hpp"
#include "tests/integration/phone/RawClient.hpp"
#include "tests/fakes/XvfbServer.hpp"
#include "tests/unit/pairing/QrSupport.hpp"

#include <csignal>
#include <gtest/gtest.h>
#include <map>
#include <sys/wait.h>

namespace torvane {
namespace {

using namespace std::chrono_literals;
using namespace test;

std::string statusOf(std::uint16_t port, const std::string& token) {
    RawClient client(port);
    if (!client.connected())
        return "no connection";
    client.send("GET /api/state?t=" + token + " HTTP/1.1\r\nHost: phone\r\n\r\n");
    const std::string reply = client.readAll().bytes;
    const auto end = reply.find("\r\n");
    return reply.size() > 9 && end != std::string::npos ? reply.substr(9, end - 9) : reply;
}

// The app's largest mapped window (a dialog or the menu), with its X id.
struct AppWindow {
    std::string id;
    Rect area;
};
std::optional<AppWindow> largestAppWindow(const std::string& display) {
    const SubprocessResult ids =
        x11(display, "/usr/bin/xdotool", {"search", "--onlyvisible", "--classname", "torvane_test_app"});
    std::optional<AppWindow> found;
    std::istringstream list(ids.out);
    for (std::string id; list >> id;) {
        const SubprocessResult geometry =
            x11(display, "/usr/bin/xdotool", {"getwindowgeometry", "--shell", id});
        std::map<std::string, int> values;
        std::istringstream lines(geometry.out);
        for (std::string line; std::getline(lines, line);)
            if (const auto eq = line.find('='); eq != std::string::npos)
                values[line.substr(0, eq)] = std::atoi(line.c_str() + eq + 1);
        const Rect r{values["X"], values["Y"], values["WIDTH"], values["HEIGHT"]};
        if (!found || r.width * r.height > found->area.width * found->area.height)
            found = AppWindow{id, r};
    }
    return found;
}

bool isDialog(const std::optional<AppWindow>& w) {
    return w && w->area.width >= 300 && w->area.height >= 220;
}

// Opens the menu with a click on the icon and chooses the row titled `title` from the keyboard:
// Up from nothing selects the last enabled row, and each further Up the enabled row above.
void choose(const std::string& display, const AppHome& home, const std::string& title,
            std::vector<std::string>& rowsSeen) {
    std::filesystem::remove(home.probe());
    // Read afresh: the tray may move its panel after embedding the icon.
    const std::optional<Rect> icon = embeddedIcon(display);
    ASSERT_TRUE(icon);
    ASSERT_TRUE(
        x11(display, "/usr/bin/xdotool",
            {"mousemove", std::to_string(icon->centerX()), std::to_string(icon->centerY()), "click", "1"})
            .ok());
    ASSERT_TRUE(test::waitFor([&] { return !probeRows(home).empty(); }, 10s)) << "no menu was shown";
    rowsSeen = probeRows(home);
    const auto row = std::find(rowsSeen.begin(), rowsSeen.end(), "E. " + title);
    ASSERT_NE(row, rowsSeen.end()) << "no enabled row " << title;
    std::vector<std::string> keys{"key", "--delay", "60"};
    for (auto it = row; it != rowsSeen.end(); ++it)
        if (it->starts_with("E"))
            keys.push_back("Up");
    keys.push_back("Return");
    ASSERT_TRUE(x11(display, "/usr/bin/xdotool", keys).ok());
}

TEST(PairingEndToEnd, StartingThePhoneLinkFromTheTrayShowsACodeThatReadsBackFromTheScreen) {
    const auto address = chooseLocalAddress(systemInterfaceAddresses(), hostInterfacePolicy());
    if (!address)
        GTEST_SKIP() << "no IPv4 address a phone could reach here: the app would show the failure dialog";

    const MachineLock ports("phone_ports"); // the app will listen on 8787 if it can
    FakeLogind logind;                      // the app's power locks go to this bus, not the machine's
    Xvfb x(std::nullopt, "1024x768x24");
    AppHome home;
    auto tray = startTray(home, x.name());
    auto app = startApp(home, x.name());
    ASSERT_TRUE(test::waitFor([&] { return embeddedIcon(x.name()).has_value(); }, 30s))
        << "the tray never showed the icon\n"
        << readFile(home.output());

    std::vector<std::string> rows;
    choose(x.name(), home, "スマホ連携を開始", rows);
    EXPECT_EQ(std::count_if(rows.begin(), rows.end(),
                            [](const auto& r) { return r.ends_with("スマホ連携を停止"); }),
              0);
    std::optional<AppWindow> dialog;
    ASSERT_TRUE(test::waitFor([&] { return isDialog(dialog = largestAppWindow(x.name())); }, 20s))
        << readFile(home.output());

    // Kept beside the build, like the tray's pictures; docs/screenshots holds a copy.
    const std::filesystem::path shots = std::filesystem::path(TORVANE_BINARY_DIR) / "screenshots";
    std::filesystem::create_directories(shots);
    const std::filesystem::path shot = shots / "pairing-dialog.png";
    std::optional<std::string> url;
    // Photographed once it is painted: a frame taken too early holds no code yet.
    ASSERT_TRUE(test::waitFor(
        [&] {
            return x11(x.name(), "/usr/bin/import", {"-window", dialog->id, shot.string()}).ok() &&
                   (url = decodeQr(shot)).has_value();
        },
        20s))
        << "no QR code in " << shot;

    std::smatch parts;
    ASSERT_TRUE(
        std::regex_match(*url, parts, std::regex(R"(http://([0-9.]+):([0-9]+)/\?t=([A-Za-z0-9_-]{32}))")))
        << *url;
    EXPECT_EQ(parts[1].str(), *address);
    const auto port = static_cast<std::uint16_t>(std::stoi(parts[2].str()));
    const std::string token = parts[3].str();
    EXPECT_EQ(statusOf(port, token), "200 OK");
    EXPECT_EQ(statusOf(port, std::string(32, 'A')), "401 Unauthorized");

    // Return is the default button, OK: the dialog closes and the link keeps running.
    ASSERT_TRUE(x11(x.name(), "/usr/bin/xdotool", {"key", "Return"}).ok());
    ASSERT_TRUE(test::waitFor([&] { return !isDialog(largestAppWindow(x.name())); }, 20s));
    EXPECT_EQ(statusOf(port, token), "200 OK");

    choose(x.name(), home, "スマホ連携を停止", rows);
    const auto pairingRow = std::find(rows.begin(), rows.end(), "E. スマホから接続…");
    ASSERT_NE(pairingRow, rows.end());
    ASSERT_LT(pairingRow + 2, rows.end());
    EXPECT_EQ(*(pairingRow - 1), "-. ");
    EXPECT_EQ(*(pairingRow + 1), "E. スマホ連携を停止");
    EXPECT_EQ(*(pairingRow + 2), "-. ");
    EXPECT_TRUE(test::waitFor([&] { return statusOf(port, token) == "no connection"; }, 20s));
    EXPECT_TRUE(home.logged("サーバーを停止しました"));

    app->signal(SIGTERM);
    const std::optional<int> status = app->waitExit(30s);
    ASSERT_TRUE(status) << "the app did not end on SIGTERM";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << readFile(home.output());
}

} // namespace
} // namespace torvane
