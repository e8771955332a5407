// Carry mode's guards through the delegate on virtual time: the heat limit read from a fixture thermal
// tree, the end of the work from a real tmux server, and the notification of each release as a
// notification service on a private session bus receives it.
#include "app/platform/linux/LinuxThermalSensor.hpp"
#include "app/platform/linux/SessionNotifier.hpp"
#include "app/ui/AppDelegate.hpp"
#include "common/Subprocess.hpp"
#include "tests/fakes/FakeDelegatePorts.hpp"
#include "tests/fakes/RealLogind.hpp"

#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

namespace torvane {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

// A private bus as the session bus, and on it a notification service that records.
struct NotificationService {
    mutable std::mutex mutex;
    std::vector<std::string> received; // "app|summary|body|urgency"
    test::PrivateBus bus{"DBUS_SESSION_BUS_ADDRESS"};
    std::unique_ptr<sdbus::IConnection> connection =
        sdbus::createSessionBusConnection("org.freedesktop.Notifications");
    std::unique_ptr<sdbus::IObject> object =
        sdbus::createObject(*connection, "/org/freedesktop/Notifications");

    NotificationService() {
        object->registerMethod("Notify")
            .onInterface("org.freedesktop.Notifications")
            .implementedAs([this](const std::string& app, std::uint32_t, const std::string&,
                                  const std::string& summary, const std::string& body,
                                  const std::vector<std::string>&,
                                  const std::map<std::string, sdbus::Variant>& hints, std::int32_t) {
                const std::lock_guard lock(mutex);
                received.push_back(app + "|" + summary + "|" + body + "|" +
                                   std::to_string(hints.at("urgency").get<std::uint8_t>()));
                return std::uint32_t{1};
            });
        object->finishRegistration();
        connection->enterEventLoopAsync();
    }
    ~NotificationService() { connection->leaveEventLoop(); }
    std::vector<std::string> notifications() const {
        const std::lock_guard lock(mutex);
        return received;
    }
};

class CarryGuards : public ::testing::Test, protected test::FakeDelegatePorts {
protected:
    void TearDown() override { raw({"kill-server"}); }
    SubprocessResult raw(const std::vector<std::string>& args) {
        return runSubprocess(*tmux.executablePath(), args, {.timeLimit = 10s});
    }
    void zone(int n, const std::string& type, int milli) {
        const std::filesystem::path dir = thermal / ("thermal_zone" + std::to_string(n));
        std::filesystem::create_directories(dir);
        test::writeFile(dir / "type", type + "\n");
        test::writeFile(dir / "temp", std::to_string(milli) + "\n");
    }
    // The tmux listing asked for so far has come back to the main thread.
    void listed() {
        ASSERT_TRUE(test::waitFor([&] {
            loop.runPosted();
            return !delegate.isListing();
        }));
    }
    void launchActive() {
        keyboard.on = true;
        startDaemon();
        delegate.launch();
        ASSERT_TRUE(delegate.power().isActive());
        loop.advance(std::chrono::seconds(2)); // its first ack
        listed();
        log.clear();
    }
    std::string released(const std::string& text) {
        return std::string(Config::appName) + "|" + std::string(Config::appName) + "|" + text + "|2";
    }

    NotificationService service;
    test::TempDir thermal;
    LinuxThermalSensor sensor{thermal.path()};
    SessionNotifier notifier;
    Tmux tmux;
    SystemTime wall = systemNow(); // what the delegate takes for now, against tmux's times
    AppDelegate delegate{AppDelegate::Ports{loop, settings, keyboard, sources, assertions, channel(), tmux,
                                            view, alerts, desktop, nullptr, nullptr, &sensor, &notifier,
                                            [this] { return wall; }}};
    const std::string change = "状態が変わります（きっかけ: timer、電源: 常時電源（バッテリー未検出））";
};

TEST_F(CarryGuards, TheProcessorsHeatReleasesOnceIsToldAndAVanishedZoneIsWarnedOf) {
    EXPECT_EQ(delegate.rebuild()[5].title, "温度: 不明"); // no zones yet
    zone(0, "iwlwifi_1", 99'000);                         // hotter, but not the processor
    zone(1, "x86_pkg_temp", 89'400);
    zone(2, "acpitz", 50'000);
    launchActive();
    EXPECT_EQ(delegate.rebuild()[5].title, "温度: 89°C");
    EXPECT_TRUE(delegate.carryState().lidHeld) << "the daemon answers";

    // How many readings at the limit make a release is HeatGuard's (GuardsTest); here the sensor's
    // reading reaches the log, the beep, the notice and the phone's state.
    zone(1, "x86_pkg_temp", 93'000);
    review();
    review();
    const std::string text = "温度が上限 (90°C) に達したため持ち運びモードを解除しました（現在 93°C）";
    EXPECT_EQ(log.lines(), (Lines{"WARN: " + text, change, offLine}));
    EXPECT_EQ(desktop.beeps, 1);
    EXPECT_TRUE(test::waitFor([&] { return service.notifications() == Lines{released(text)}; }));
    EXPECT_EQ(delegate.carryState(),
              (CarryState{false, false, "温度が上限に達したため自動解除中", false, 93, 90, 20}));

    log.clear();
    zone(1, "x86_pkg_temp", 80'000);
    review();
    EXPECT_EQ(log.lines(), (Lines{"温度条件が回復しました（現在 80°C）", change, onLine}));

    // Zones that vanish are a lost reading, told once, and the menu stops showing the old one.
    std::filesystem::remove_all(thermal.path());
    log.clear();
    for (int i = 0; i < 4; ++i)
        review();
    EXPECT_EQ(log.lines(), Lines{"WARN: 温度を読み取れなくなりました。温度の上限による自動解除は働きません"});
    EXPECT_EQ(delegate.rebuild()[5].title, "温度: 不明");
}

TEST_F(CarryGuards, TenMinutesWithoutOutputReleasesAndNewOutputLiftsTheLatch) {
    const SystemTime created = systemNow();
    ASSERT_TRUE(raw({"new-session", "-d", "-s", "job", "sleep 100000"}).ok());
    // The shell tmux starts it with has made way for it (a loaded machine takes its time).
    ASSERT_TRUE(test::waitFor([&] {
        return raw({"display-message", "-p", "-t", "=job:", "#{pane_current_command}"}).out == "sleep\n";
    }));
    settings.setBoolean(Config::Key::releaseWhenIdle, true);
    launchActive();
    wall = created + 601s; // for the menu's age; the quiet time counts on the boot clock
    loop.advance(615s);    // the ten-minute bound itself is WorkDoneGuard's (GuardsTest)
    listed();
    EXPECT_EQ(log.lines(), (Lines{"作業が終わったため持ち運びモードを解除しました", change, offLine}));
    EXPECT_EQ(desktop.beeps, 1) << "counted among the releases, which are notified as the heat's is";
    const Menu menu = delegate.rebuild();
    EXPECT_TRUE(std::any_of(menu.begin(), menu.end(), [](const MenuItem& m) {
        return m.title == "\u3000● job — 作業中（sleep）・10分";
    })) << "the session's age by the delegate's clock";
    review();
    listed();
    EXPECT_FALSE(delegate.power().isActive()) << "latched while all stays quiet";

    // A key typed into the pane a few seconds later is echoed: output under ten minutes old.
    ASSERT_TRUE(test::waitFor([&] { return systemNow() > created + 3s; }));
    ASSERT_TRUE(raw({"send-keys", "-t", "=job:", "x"}).ok());
    ASSERT_TRUE(test::waitFor([&] {
        return raw({"capture-pane", "-p", "-t", "=job:"}).out.find('x') != std::string::npos;
    }));
    review(); // still the listing from before the key: asks for a new one
    listed();
    review();
    EXPECT_TRUE(delegate.power().isActive());
}

// Alerts that go somewhere want every session followed, carry mode on or not: each review then lists
// the sessions, so one started after the launch is followed too. Nobody wanting them, nothing runs.
TEST_F(CarryGuards, WhileAlertsGoSomewhereEachReviewListsTheSessionsSoALaterOneIsFollowed) {
    bool wanted = true;
    delegate.setListingWanted([&] { return wanted; });
    delegate.launch();
    listed();
    review();
    EXPECT_FALSE(delegate.isListing()) << "no tmux server: no process started to learn that";
    wanted = false;
    ASSERT_TRUE(raw({"new-session", "-d", "-s", "later", "sleep 100000"}).ok());
    const auto shown = [&] {
        const Menu menu = delegate.rebuild();
        return std::any_of(menu.begin(), menu.end(),
                           [](const MenuItem& m) { return m.title.find(" later — ") != std::string::npos; });
    };
    review();
    listed();
    EXPECT_FALSE(shown()) << "listed only at the launch";
    wanted = true;
    review();
    listed();
    EXPECT_TRUE(shown());
    EXPECT_FALSE(delegate.power().isActive());
}

TEST_F(CarryGuards, WithNoSessionAtAllTheWorkIsDoneTenMinutesAfterCarryModeCameOn) {
    settings.setBoolean(Config::Key::releaseWhenIdle, true);
    launchActive(); // no tmux server at all; the bound itself is CarryPolicy's (GuardsTest)
    wall += 3600s;  // a wall clock stepped ahead changes nothing
    review();
    EXPECT_EQ(log.lines(), Lines{});
    loop.advance(585s);
    EXPECT_EQ(log.lines(), (Lines{"作業が終わったため持ち運びモードを解除しました", change, offLine}));
}

} // namespace
} // namespace torvane
