#include "common/Subprocess.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace torvane;
namespace fs = std::filesystem;

// The macOS scripts run here against a scratch root with stand-in launchctl and pmset; only the tools
// differ from a Mac (the console user and admin group are handed in).

namespace {

constexpr uid_t someUser = 65534;

fs::path scriptDir() {
    return fs::path(std::getenv("TORVANE_SOURCE_DIR")) / "app/install/scripts/macos";
}

constexpr std::string_view launchctlStandIn = R"(#!/bin/bash
state="$STANDIN_STATE"
echo "$*" >> "$state/launchctl.log"
case "$1" in
  print)
    [ -e "$state/loaded" ] || { echo "Could not find service" >&2; exit 113; }
    if [ -e "$state/never-running" ]; then echo "	state = waiting"; else echo "	state = running"; fi ;;
  bootstrap)
    if [ -e "$state/fail-bootstrap" ]; then echo "Bootstrap failed: 5: Input/output error" >&2; exit 5; fi
    touch "$state/loaded" ;;
  bootout)
    rm -f "$state/loaded" ;;
esac
exit 0
)";

constexpr std::string_view pmsetStandIn = R"(#!/bin/bash
[ "$*" = "-g" ] || exit 2
echo "System-wide power settings:"
[ -e "$STANDIN_STATE/sleep-disabled" ] && printf ' SleepDisabled\t\t1\n' || printf ' SleepDisabled\t\t0\n'
echo "Currently in use:"
echo " standby              1"
)";

struct ScratchMac {
    test::TempDir dir;
    fs::path root = dir / "root";
    fs::path state = dir / "state";
    fs::path bin = dir / "bin";
    fs::path bundle = dir / "Torvane.app/Contents";

    ScratchMac() {
        fs::create_directories(root);
        fs::create_directories(state);
        fs::create_directories(bin);
        test::writeExecutable(bin / "launchctl", launchctlStandIn);
        test::writeExecutable(bin / "pmset", pmsetStandIn);
        // The bundle as shipped: scripts among the resources, the daemon in the MacOS folder.
        fs::create_directories(bundle / "Resources");
        fs::create_directories(bundle / "MacOS");
        for (const char* name : {"install-helper.sh", "uninstall.sh"})
            fs::copy_file(scriptDir() / name, bundle / "Resources" / name);
        test::writeFile(bundle / "MacOS/torvane-helper", "daemon\n");
        ::chown((bundle / "MacOS/torvane-helper").c_str(), someUser, someUser);
        ::chmod((bundle / "MacOS/torvane-helper").c_str(), 0777);
    }

    SubprocessResult run(const std::string& script, std::vector<std::string> args = {}) const {
        args.insert(args.begin(), (bundle / "Resources" / script).string());
        return runSubprocess(
            "/bin/bash", args,
            {.timeLimit = std::chrono::seconds(60),
             .environment = std::vector<std::string>{
                 "PATH=" + bin.string() + ":/usr/sbin:/usr/bin:/sbin:/bin", "TORVANE_ROOT=" + root.string(),
                 "STANDIN_STATE=" + state.string(), "TORVANE_ADMIN_GROUP=root", "TORVANE_CONSOLE_USER=nobody",
                 "TORVANE_START_CHECKS=3", "TORVANE_STOP_CHECKS=2", "LANG=C.UTF-8"}});
    }

    fs::path plist() const { return root / "Library/LaunchDaemons/jp.local.torvane.helper.plist"; }
    fs::path helper() const { return root / "Library/PrivilegedHelperTools/torvane-helper"; }
    fs::path shared() const { return root / "Library/Application Support/Torvane"; }
    std::string launchctlLog() const { return test::readFile(state / "launchctl.log"); }
    bool nothingInstalled() const {
        return !fs::exists(plist()) && !fs::exists(helper()) && !fs::exists(shared());
    }
};

struct stat statOf(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
}

class MacosScripts : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "the scripts set owners, which only root can do";
    }
};

} // namespace

TEST_F(MacosScripts, InstallLoadsADaemonDefinitionForARootOwnedCopyFromTheBundle) {
    ScratchMac mac;
    const auto r = mac.run("install-helper.sh");
    ASSERT_EQ(r.exitStatus, 0) << r.err;

    const std::string plist = test::readFile(mac.plist());
    for (const char* part :
         {"<key>Label</key>\n\t<string>jp.local.torvane.helper</string>",
          "<string>/Library/PrivilegedHelperTools/torvane-helper</string>", "<key>KeepAlive</key>\n\t<true/>",
          "<key>StandardErrorPath</key>\n\t<string>/var/log/torvane-helper.log</string>"})
        EXPECT_NE(plist.find(part), std::string::npos) << part;
    EXPECT_EQ(statOf(mac.plist()).st_mode & 07777, 0644u);

    const auto helper = statOf(mac.helper());
    EXPECT_EQ(helper.st_uid, 0u);
    EXPECT_EQ(helper.st_mode & 07777, 0755u);
    EXPECT_EQ(test::readFile(mac.helper()), "daemon\n");
    EXPECT_EQ(statOf(mac.shared()).st_uid, someUser);

    EXPECT_EQ(mac.launchctlLog(), "print system/jp.local.torvane.helper\nbootstrap system " +
                                      mac.plist().string() + "\nprint system/jp.local.torvane.helper\n");
}

TEST_F(MacosScripts, ReinstallUnloadsTheRunningDaemonFirst) {
    ScratchMac mac;
    ASSERT_EQ(mac.run("install-helper.sh").exitStatus, 0);
    fs::remove(mac.state / "launchctl.log");
    ASSERT_EQ(mac.run("install-helper.sh").exitStatus, 0);
    const std::string log = mac.launchctlLog();
    EXPECT_LT(log.find("bootout system/jp.local.torvane.helper"), log.find("bootstrap system"));
}

TEST_F(MacosScripts, FailedRegistrationIsReportedAndTakenBack) {
    ScratchMac mac;
    test::writeFile(mac.state / "fail-bootstrap", "");
    const auto r = mac.run("install-helper.sh");
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "ヘルパーを launchd に登録できませんでした: Bootstrap failed: 5: Input/output error\n");
    EXPECT_TRUE(mac.nothingInstalled());
}

TEST_F(MacosScripts, UninstallRemovesEverythingAndChecksSleepIsBack) {
    ScratchMac mac;
    ASSERT_EQ(mac.run("install-helper.sh").exitStatus, 0);
    const auto r = mac.run("uninstall.sh", {"--keep-app"});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_TRUE(mac.nothingInstalled());
    EXPECT_NE(mac.launchctlLog().find("bootout system/jp.local.torvane.helper"), std::string::npos);
    EXPECT_TRUE(fs::exists(mac.bundle / "Resources/uninstall.sh")); // the app stays
}

TEST_F(MacosScripts, UninstallFailsWithTheReasonWhileSleepStaysDisabled) {
    ScratchMac mac;
    ASSERT_EQ(mac.run("install-helper.sh").exitStatus, 0);
    test::writeFile(mac.state / "sleep-disabled", "");
    const auto r = mac.run("uninstall.sh", {"--keep-app"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "ヘルパーを取り外しましたが、スリープが無効のままです（pmset -g: SleepDisabled 1）。"
                     "ターミナルで sudo pmset -a disablesleep 0 を実行してください\n");
    EXPECT_TRUE(mac.nothingInstalled());
}
