#include "helper/LogindSleepControl.hpp"

#include "tests/fakes/FakeLogind.hpp"

#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

using namespace torvane;
using namespace torvane::helper;
using Strings = std::vector<std::string>;

namespace {

const std::string refusedPrefix = "ERROR: systemd-logind に抑止ロックを要求できません: ";

struct Collected {
    Strings lines;
    LogSink sink() {
        return [this](const std::string& line) { lines.push_back(line); };
    }
};

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

} // namespace

TEST(LogindSleepControl, HoldsOneBlockLockWithItsNamesUntilToldToRelease) {
    test::FakeLogind logind;
    Collected log;
    LogindSleepControl control(log.sink());
    EXPECT_EQ(control.currentSleepDisabled(), false);

    control.setSleepDisabled(true);
    const auto calls = logind.inhibitCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].what, "sleep:idle:handle-lid-switch");
    EXPECT_EQ(calls[0].who, "torvane-helper");
    EXPECT_EQ(calls[0].why, "持ち運びモード");
    EXPECT_EQ(calls[0].mode, "block");
    EXPECT_TRUE(logind.isHeld(0));
    EXPECT_EQ(control.currentSleepDisabled(), true);

    control.setSleepDisabled(true); // already held: no second lock
    EXPECT_EQ(logind.inhibitCalls().size(), 1u);

    control.setSleepDisabled(false);
    EXPECT_TRUE(logind.waitForRelease(0));
    EXPECT_EQ(control.currentSleepDisabled(), false);
    EXPECT_EQ(log.lines, (Strings{"ふた閉じスリープを抑止しました", "ふた閉じスリープを抑止しました",
                                  "ふた閉じスリープを元に戻しました"}));
}

TEST(LogindSleepControl, AChildProcessNeverKeepsTheLockAlive) {
    test::FakeLogind logind;
    Collected log;
    LogindSleepControl control(log.sink());
    control.setSleepDisabled(true);
    ASSERT_TRUE(logind.isHeld(0));

    // A child started while the lock is held inherits every fd that is not close-on-exec.
    const char* argv[] = {"/bin/sleep", "600", nullptr};
    pid_t child = -1;
    ASSERT_EQ(::posix_spawn(&child, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    control.setSleepDisabled(false);
    const bool released = logind.waitForRelease(0);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(released);
}

TEST(LogindSleepControl, RestoringOrGoingAwayReleasesTheLock) {
    test::FakeLogind logind;
    Collected log;
    {
        LogindSleepControl control(log.sink());
        control.setSleepDisabled(true);
        EXPECT_TRUE(control.restoreSleep());
        EXPECT_TRUE(logind.waitForRelease(0));
        EXPECT_TRUE(control.restoreSleep()); // nothing held is no failure

        control.setSleepDisabled(true);
        EXPECT_TRUE(logind.isHeld(1));
    }
    EXPECT_TRUE(logind.waitForRelease(1));
    // restoreSleep leaves the success line to its caller
    EXPECT_EQ(log.lines, (Strings{"ふた閉じスリープを抑止しました", "ふた閉じスリープを抑止しました"}));
}

TEST(LogindSleepControl, ARefusalLogsTheDBusMessageAndNoSuccess) {
    test::FakeLogind logind;
    logind.refuseInhibit("org.freedesktop.DBus.Error.AccessDenied", "Permission denied by policy");
    Collected log;
    LogindSleepControl control(log.sink());
    control.setSleepDisabled(true);
    EXPECT_EQ(log.lines, Strings{refusedPrefix + "Permission denied by policy"});
    EXPECT_EQ(control.currentSleepDisabled(), false);

    logind.grantInhibit(); // the next attempt asks again
    control.setSleepDisabled(true);
    EXPECT_EQ(control.currentSleepDisabled(), true);
    EXPECT_TRUE(logind.isHeld(1));
}

TEST(LogindSleepControl, LogindMissingFromTheBusOrNoBusAtAllIsAnErrorLineNotACrash) {
    Collected log;
    {
        test::PrivateSystemBus bus; // nobody owns org.freedesktop.login1 here
        LogindSleepControl control(log.sink());
        control.setSleepDisabled(true);
        EXPECT_EQ(control.currentSleepDisabled(), false);
    }
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/torvane-test-bus", 1);
    {
        LogindSleepControl control(log.sink());
        control.setSleepDisabled(true);
        EXPECT_EQ(control.currentSleepDisabled(), false);
    }
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");

    ASSERT_EQ(log.lines.size(), 2u);
    for (const auto& line : log.lines) {
        EXPECT_TRUE(startsWith(line, refusedPrefix)) << line;
        EXPECT_GT(line.size(), refusedPrefix.size()) << "the D-Bus error's message is missing";
    }
    EXPECT_NE(log.lines[0].find("org.freedesktop.login1"), std::string::npos) << log.lines[0];
}
