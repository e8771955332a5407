#include "common/Subprocess.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <cstdlib>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

using namespace torvane;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const std::string unitName = "jp.local.torvane.helper.service";
std::string source() {
    return std::getenv("TORVANE_SOURCE_DIR");
}

// A real systemd with dbus and logind, booted in private namespaces by sysroot.sh.
class BootedSystem {
public:
    BootedSystem() {
        const auto r = script({"start", dir_.path().string()});
        if (!r.ok())
            throw std::runtime_error("sysroot.sh start failed: " + r.err);
    }
    ~BootedSystem() { script({"stop", dir_.path().string()}); }

    SubprocessResult exec(std::vector<std::string> command) const {
        command.insert(command.begin(), {"exec", dir_.path().string()});
        return script(std::move(command));
    }
    std::string out(std::vector<std::string> command) const { return exec(std::move(command)).out; }

private:
    static SubprocessResult script(std::vector<std::string> args) {
        return runSubprocess(source() + "/tests/integration/install/sysroot.sh", args, {.timeLimit = 90s});
    }
    test::TempDir dir_;
};

} // namespace

TEST(LinuxInstallOnSystemd, TheServiceHoldsTheLockForTheUserAndRemovalLeavesNothing) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "booting a private systemd needs root";
    BootedSystem sys;
    const std::string scripts = source() + "/app/install/scripts/linux/";
    const std::string helperSource = "TORVANE_HELPER_SOURCE=" HELPER_PATH;
    const auto installed =
        sys.exec({"env", "PKEXEC_UID=65534", helperSource, "bash", scripts + "install-helper.sh"});
    ASSERT_EQ(installed.exitStatus, 0) << installed.err;
    EXPECT_EQ(sys.out({"systemctl", "is-active", unitName}), "active\n");

    // The request as the app writes it, by the user the directory was made for.
    const auto request = [&] {
        return sys
            .exec({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "sh", "-c",
                   "cd /var/lib/torvane && printf 1 >request.tmp && mv request.tmp request"})
            .ok();
    };
    const auto daemonPid = [&] { return sys.out({"systemctl", "show", "-P", "MainPID", unitName}); };
    const auto lockHolders = [&] {
        std::istringstream list(sys.out({"systemd-inhibit", "--list", "--no-pager", "--no-legend"}));
        std::string who, uid, user, pid, holders;
        for (std::string line; std::getline(list, line);)
            if (std::istringstream(line) >> who >> uid >> user >> pid && who == "torvane-helper")
                holders += pid + "\n";
        return holders;
    };

    ASSERT_TRUE(request());
    ASSERT_TRUE(test::waitFor([&] { return lockHolders() == daemonPid(); }, 5s)) << lockHolders();
    const std::string killed = daemonPid();
    sys.exec({"systemctl", "kill", "-s", "SIGKILL", unitName});
    ASSERT_TRUE(test::waitFor([&] { return daemonPid() != killed && lockHolders() == daemonPid(); }, 10s))
        << "no restarted daemon holding the lock";

    ASSERT_TRUE(request());
    const auto lastWrite = Clock::now();
    ASSERT_TRUE(test::waitFor([&] { return lockHolders().empty(); }, 20s));
    EXPECT_LT(Clock::now() - lastWrite, 17s);
    EXPECT_GT(Clock::now() - lastWrite, 14s) << "released while the request was still fresh";

    ASSERT_TRUE(request());
    ASSERT_TRUE(test::waitFor([&] { return !lockHolders().empty(); }, 5s));
    const auto removed = sys.exec({"env", helperSource, "bash", scripts + "uninstall.sh", "--keep-app"});
    EXPECT_EQ(removed.exitStatus, 0) << removed.err;
    EXPECT_EQ(lockHolders(), "");
    EXPECT_EQ(sys.out({"systemctl", "list-units", "--all", "--plain", "--no-legend", unitName}), "");
    for (const auto& gone : {"/etc/systemd/system/" + unitName, std::string("/var/lib/torvane"),
                             std::string("/usr/local/libexec/torvane")})
        EXPECT_EQ(sys.exec({"test", "-e", gone}).exitStatus, 1) << gone;
}
