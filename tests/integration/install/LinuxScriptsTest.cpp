#include "app/install/HelperInstaller.hpp"
#include "app/install/PkexecRunner.hpp"
#include "app/install/ResourceDirectory.hpp"
#include "common/Subprocess.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace torvane;
namespace fs = std::filesystem;

namespace {

constexpr uid_t someUser = 65534; // nobody: exists on every Debian system, is not root
constexpr const char* unitName = "jp.local.torvane.helper.service";

fs::path scriptDir() {
    return fs::path(std::getenv("TORVANE_SOURCE_DIR")) / "app/install/scripts/linux";
}

// systemctl and systemd-inhibit stand-ins: they log their arguments and take their behaviour from files in
// the state directory, so that a test can make a step fail or leave an inhibitor behind.
constexpr std::string_view systemctlStandIn = R"(#!/bin/bash
state="$STANDIN_STATE"
echo "$*" >> "$state/systemctl.log"
case "$1" in
  enable)
    if [ -e "$state/fail-enable" ]; then echo "Failed to enable unit: Access denied" >&2; exit 1; fi
    echo "Created symlink /etc/systemd/system/multi-user.target.wants/$2" >&2 ;;
  restart|start)
    [ -e "$state/never-active" ] || touch "$state/active" ;;
  disable)
    rm -f "$state/active" ;;
  is-active)
    if [ -e "$state/active" ]; then [ "$2" = --quiet ] || echo active; exit 0; fi
    [ "$2" = --quiet ] || echo failed
    exit 3 ;;
esac
exit 0
)";

constexpr std::string_view inhibitStandIn = R"(#!/bin/bash
[ "$*" = "--list --no-pager --no-legend" ] || { echo "unexpected: $*" >&2; exit 2; }
[ -e "$STANDIN_STATE/inhibitors" ] && cat "$STANDIN_STATE/inhibitors"
exit 0
)";

struct ScratchSystem {
    test::TempDir dir;
    fs::path root = dir / "root";
    fs::path state = dir / "state";
    fs::path bin = dir / "bin";
    fs::path source = dir / "build" / "torvane-helper";

    ScratchSystem() {
        fs::create_directories(root / "run/systemd/system");
        fs::create_directories(state);
        fs::create_directories(bin);
        fs::create_directories(source.parent_path());
        test::writeExecutable(bin / "systemctl", systemctlStandIn);
        test::writeExecutable(bin / "systemd-inhibit", inhibitStandIn);
        // A daemon that a user could change: the installed copy must not be.
        test::writeFile(source, "#!/bin/sh\necho daemon v1\n");
        ::chown(source.c_str(), someUser, someUser);
        ::chmod(source.c_str(), 0777);
    }

    std::vector<std::string> environment(std::vector<std::string> extra = {}) const {
        std::vector<std::string> env{"PATH=" + bin.string() + ":/usr/sbin:/usr/bin:/sbin:/bin",
                                     "TORVANE_ROOT=" + root.string(),
                                     "STANDIN_STATE=" + state.string(),
                                     "TORVANE_HELPER_SOURCE=" + source.string(),
                                     "TORVANE_START_CHECKS=4",
                                     "TORVANE_STOP_CHECKS=2",
                                     "LANG=C.UTF-8"};
        env.insert(env.end(), extra.begin(), extra.end());
        return env;
    }

    SubprocessResult install(std::vector<std::string> extra = {"PKEXEC_UID=65534"}) const {
        return runSubprocess(
            "/bin/bash", {(scriptDir() / "install-helper.sh").string()},
            {.timeLimit = std::chrono::seconds(60), .environment = environment(std::move(extra))});
    }

    SubprocessResult uninstall(std::vector<std::string> args = {"--keep-app"}) const {
        args.insert(args.begin(), (scriptDir() / "uninstall.sh").string());
        return runSubprocess("/bin/bash", args,
                             {.timeLimit = std::chrono::seconds(60), .environment = environment()});
    }

    fs::path unit() const { return root / "etc/systemd/system" / unitName; }
    fs::path helper() const { return root / "usr/local/libexec/torvane/torvane-helper"; }
    fs::path shared() const { return root / "var/lib/torvane"; }
    std::string systemctlLog() const { return test::readFile(state / "systemctl.log"); }

    bool nothingInstalled() const {
        return !fs::exists(unit()) && !fs::exists(helper().parent_path()) && !fs::exists(shared());
    }
};

struct stat statOf(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
}

class LinuxScripts : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "the scripts set owners, which only root can do";
    }
};

} // namespace

TEST_F(LinuxScripts, InstallLeavesTheUnitARootOwnedDaemonAndAUserOwnedSharedDirectory) {
    ScratchSystem sys;
    const auto r = sys.install();
    ASSERT_EQ(r.exitStatus, 0) << r.err << r.out;

    const std::string unit = test::readFile(sys.unit());
    for (const char* line :
         {"ExecStart=/usr/local/libexec/torvane/torvane-helper\n", "User=root\n", "Restart=always\n",
          "StandardError=append:/var/log/torvane-helper.log\n", "WantedBy=multi-user.target\n"})
        EXPECT_NE(unit.find(line), std::string::npos) << line;
    EXPECT_EQ(statOf(sys.unit()).st_mode & 07777, 0644u);

    const auto helper = statOf(sys.helper());
    EXPECT_TRUE(S_ISREG(helper.st_mode));
    EXPECT_EQ(helper.st_uid, 0u);
    EXPECT_EQ(helper.st_gid, 0u);
    EXPECT_EQ(helper.st_mode & 07777, 0755u);
    EXPECT_EQ(test::readFile(sys.helper()), "#!/bin/sh\necho daemon v1\n");
    const auto helperDir = statOf(sys.helper().parent_path());
    EXPECT_EQ(helperDir.st_uid, 0u);
    EXPECT_EQ(helperDir.st_mode & 07777, 0755u);

    const auto shared = statOf(sys.shared());
    EXPECT_TRUE(S_ISDIR(shared.st_mode));
    EXPECT_EQ(shared.st_uid, someUser);
    EXPECT_EQ(shared.st_gid, someUser);
    EXPECT_EQ(shared.st_mode & 07777, 0755u);

    EXPECT_EQ(sys.systemctlLog(), std::string("daemon-reload\nenable ") + unitName + "\nrestart " + unitName +
                                      "\nis-active --quiet " + unitName + "\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(LinuxScripts, ReinstallReplacesTheDaemonAndHandsAnExistingDirectoryToTheUser) {
    ScratchSystem sys;
    ASSERT_EQ(sys.install().exitStatus, 0);
    // The daemon created its ack as root meanwhile; later the sudo user reinstalls a newer build.
    ::chown(sys.shared().c_str(), 0, 0);
    test::writeFile(sys.shared() / "ack", "ok");
    test::writeFile(sys.source, "#!/bin/sh\necho daemon v2\n");

    const auto r = sys.install({"SUDO_UID=65534"});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(test::readFile(sys.helper()), "#!/bin/sh\necho daemon v2\n");
    EXPECT_EQ(statOf(sys.shared()).st_uid, someUser);
    EXPECT_EQ(test::readFile(sys.shared() / "ack"), "ok");
    EXPECT_FALSE(fs::exists(sys.helper().string() + ".new"));
}

TEST_F(LinuxScripts, InstallRefusesWithAReasonAndTouchesNothingWhenItCannotStart) {
    {
        ScratchSystem sys; // booted without systemd
        fs::remove(sys.root / "run/systemd/system");
        const auto r = sys.install();
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.err, "このシステムは systemd で動いていないため、ヘルパーを導入できません\n");
        EXPECT_TRUE(sys.nothingInstalled());
        EXPECT_FALSE(fs::exists(sys.state / "systemctl.log"));
    }
    {
        ScratchSystem sys; // nobody to hand the directory to
        const auto r = sys.install({});
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_NE(r.err.find("どのユーザーのために導入するのか分かりません"), std::string::npos) << r.err;
        EXPECT_TRUE(sys.nothingInstalled());
    }
    {
        ScratchSystem sys; // no daemon to copy
        fs::remove(sys.source);
        const auto r = sys.install();
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.err, "導入するヘルパーが見つかりません: " + sys.source.string() + "\n");
        EXPECT_TRUE(sys.nothingInstalled());
    }
    {
        ScratchSystem sys; // something else where the shared directory goes
        fs::create_directories(sys.root / "var/lib");
        fs::create_symlink("/etc", sys.shared());
        const auto r = sys.install();
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.err,
                  "/var/lib/torvane がディレクトリではありません。取り除いてからもう一度お試しください\n");
        EXPECT_FALSE(fs::exists(sys.unit()));
    }
}

TEST_F(LinuxScripts, FailedFirstInstallationIsTakenBackCompletely) {
    ScratchSystem sys;
    test::writeFile(sys.state / "fail-enable", "");
    const auto r = sys.install();
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "サービスを有効にできませんでした: Failed to enable unit: Access denied\n");
    EXPECT_TRUE(sys.nothingInstalled());
    EXPECT_NE(sys.systemctlLog().find(std::string("disable --now ") + unitName), std::string::npos);
}

TEST_F(LinuxScripts, ServiceThatNeverRunsIsAFailureWithItsState) {
    ScratchSystem sys;
    test::writeFile(sys.state / "never-active", "");
    const auto r = sys.install();
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, std::string(
                         "ヘルパーのサービスが動いていません（状態: failed）。/var/log/torvane-helper.log と "
                         "journalctl -u ") +
                         unitName + " を確認してください\n");
    EXPECT_TRUE(sys.nothingInstalled());
}

TEST_F(LinuxScripts, UninstallStopsTheServiceAndRemovesEverythingItInstalled) {
    ScratchSystem sys;
    ASSERT_EQ(sys.install().exitStatus, 0);
    test::writeFile(sys.shared() / "request", "0");
    // Other programs' inhibitors (the app's own among them) are none of the removal's business.
    test::writeFile(sys.state / "inhibitors",
                    "Torvane 1000 me 4242 torvane sleep InternalPreventSleep block\n"
                    "GNOME Shell 1000 me 1700 gnome-shell sleep GNOME needs to lock the screen delay\n");
    fs::remove(sys.state / "systemctl.log");

    const auto r = sys.uninstall();
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_TRUE(sys.nothingInstalled());
    EXPECT_TRUE(fs::exists(sys.root / "usr/local/libexec")); // only our own directory goes
    EXPECT_EQ(sys.systemctlLog().rfind(std::string("disable --now ") + unitName + "\n", 0), 0u)
        << sys.systemctlLog();
    EXPECT_FALSE(fs::exists(sys.state / "active"));

    // Again, with nothing left: still a success.
    EXPECT_EQ(sys.uninstall().exitStatus, 0);
}

TEST_F(LinuxScripts, UninstallFailsWithTheReasonWhileTheDaemonsInhibitorIsStillListed) {
    ScratchSystem sys;
    ASSERT_EQ(sys.install().exitStatus, 0);
    test::writeFile(
        sys.state / "inhibitors",
        "torvane-helper 0 root 3141 torvane-helper sleep:idle:handle-lid-switch 持ち運びモード block\n");
    const auto r = sys.uninstall();
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "ヘルパーを取り外しましたが、torvane-helper（PID 3141）がまだスリープを抑止しています。"
                     "そのプロセスを終了させるか、再起動してください\n");
    EXPECT_TRUE(sys.nothingInstalled());
}

TEST_F(LinuxScripts, UninstallWithoutKeepAppChangesNothing) {
    ScratchSystem sys;
    ASSERT_EQ(sys.install().exitStatus, 0);
    const auto r = sys.uninstall({});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.err.find("使い方: uninstall.sh --keep-app"), std::string::npos);
    EXPECT_TRUE(fs::exists(sys.unit()));
    EXPECT_TRUE(fs::exists(sys.helper()));
}

TEST_F(LinuxScripts, MenuInstallationFromTheBuildTreeThroughPkexecInstallsTheBuiltDaemon) {
    // The path a user takes: the built app's resources, pkexec (here a stand-in that has "authenticated"
    // and runs the command as the real one does, with PKEXEC_UID set), then the removal.
    ScratchSystem sys;
    const fs::path binary = std::getenv("TORVANE_BINARY_DIR");
    std::string exports;
    for (const auto& e : sys.environment({"PKEXEC_UID=65534"}))
        if (e.rfind("TORVANE_HELPER_SOURCE=", 0) != 0)
            exports += "export '" + e + "'\n";
    test::writeExecutable(sys.bin / "pkexec", "#!/bin/bash\n" + exports + "exec \"$@\"\n");

    HelperInstaller installer(binary / "share/torvane",
                              std::make_shared<PkexecRunner>((sys.bin / "pkexec").string()));
    ASSERT_TRUE(installer.isAvailable());
    test::LogCapture log;
    ASSERT_EQ(installer.install(), std::nullopt);
    EXPECT_EQ(test::readFile(sys.helper()), test::readFile(binary / "libexec/torvane/torvane-helper"));
    EXPECT_EQ(statOf(sys.shared()).st_uid, someUser);

    ASSERT_EQ(installer.uninstall(), std::nullopt);
    EXPECT_TRUE(sys.nothingInstalled());
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"install-helper.sh を実行しました", "uninstall.sh を実行しました"}));
}

TEST_F(LinuxScripts, InstalledLayoutLetsTheInstalledScriptFindTheInstalledDaemon) {
    // `cmake --install` into a scratch prefix: the app, its scripts and the daemon land where each looks for
    // the other, and the installed script installs the installed daemon.
    ScratchSystem sys;
    const fs::path prefix = sys.dir / "prefix";
    const auto installed = runSubprocess(
        TORVANE_CMAKE_COMMAND, {"--install", std::getenv("TORVANE_BINARY_DIR"), "--prefix", prefix.string()},
        {.timeLimit = std::chrono::seconds(120)});
    ASSERT_TRUE(installed.ok()) << installed.startError << installed.err;
    for (const char* file : {"bin/torvane", "libexec/torvane/torvane-helper",
                             "share/torvane/install-helper.sh", "share/torvane/uninstall.sh"})
        EXPECT_TRUE(fs::is_regular_file(prefix / file)) << file;
    ASSERT_EQ(resourceDirectoryFor(prefix / "bin/torvane", "../share/torvane"), prefix / "share/torvane");

    auto env = sys.environment({"PKEXEC_UID=65534"});
    std::erase_if(env, [](const std::string& e) { return e.rfind("TORVANE_HELPER_SOURCE=", 0) == 0; });
    const auto r = runSubprocess("/bin/bash", {(prefix / "share/torvane/install-helper.sh").string()},
                                 {.timeLimit = std::chrono::seconds(60), .environment = env});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(test::readFile(sys.helper()), test::readFile(prefix / "libexec/torvane/torvane-helper"));
}

TEST_F(LinuxScripts, AppInstalledUnderUsrLocalKeepsItsOwnDaemonThroughRemovalAndFailedInstalls) {
    // With PREFIX=/usr/local the app's daemon is the very file the service runs: removing the helper or
    // taking back a failed installation must not delete the app's own binary.
    ScratchSystem sys;
    const fs::path share = sys.root / "usr/local/share/torvane";
    fs::create_directories(share);
    for (const char* name : {"install-helper.sh", "uninstall.sh"})
        fs::copy_file(scriptDir() / name, share / name);
    fs::create_directories(sys.helper().parent_path());
    test::writeExecutable(sys.helper(), "#!/bin/sh\necho app daemon\n");
    auto env = sys.environment({"PKEXEC_UID=65534"});
    std::erase_if(env, [](const std::string& e) { return e.rfind("TORVANE_HELPER_SOURCE=", 0) == 0; });
    const auto run = [&](std::vector<std::string> args) {
        return runSubprocess("/bin/bash", args, {.timeLimit = std::chrono::seconds(60), .environment = env});
    };

    test::writeFile(sys.state / "fail-enable", "");
    EXPECT_EQ(run({(share / "install-helper.sh").string()}).exitStatus, 1);
    EXPECT_FALSE(fs::exists(sys.unit()));
    EXPECT_EQ(test::readFile(sys.helper()), "#!/bin/sh\necho app daemon\n");

    fs::remove(sys.state / "fail-enable");
    const auto installed = run({(share / "install-helper.sh").string()});
    ASSERT_EQ(installed.exitStatus, 0) << installed.err;
    EXPECT_EQ(statOf(sys.helper()).st_uid, 0u);

    const auto removed = run({(share / "uninstall.sh").string(), "--keep-app"});
    ASSERT_EQ(removed.exitStatus, 0) << removed.err;
    EXPECT_FALSE(fs::exists(sys.unit()));
    EXPECT_FALSE(fs::exists(sys.shared()));
    EXPECT_EQ(test::readFile(sys.helper()), "#!/bin/sh\necho app daemon\n");
}
