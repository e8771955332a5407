#include "common/Subprocess.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <cstdlib>
#include <gtest/gtest.h>

using namespace torvane;
using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

namespace {

std::string source() {
    return std::getenv("TORVANE_SOURCE_DIR");
}

// sysroot.sh: a real systemd with dbus and logind, booted in private namespaces.
SubprocessResult sysroot(Strings args) {
    return runSubprocess(source() + "/tests/integration/install/sysroot.sh", args, {.timeLimit = 90s});
}

} // namespace

TEST(LinuxInstallOnSystemd, TheServiceHoldsTheLockForTheUserAndRemovalLeavesNothing) {
    test::TempDir dir;
    // The scripts and the daemon are read from the checkout and the build tree, wherever they are.
    const auto booted = sysroot({"start", dir.path().string(), source(), HELPER_PATH});
    if (booted.exitStatus == 2)
        GTEST_SKIP() << booted.err;
    ASSERT_TRUE(booted.ok()) << booted.err;
    const std::shared_ptr<void> stop(nullptr, [&](void*) { sysroot({"stop", dir.path().string()}); });
    const auto exec = [&](Strings command) {
        command.insert(command.begin(), {"exec", dir.path().string()});
        return sysroot(command);
    };
    const std::string unit = "jp.local.torvane.helper.service",
                      scripts = source() + "/app/install/scripts/linux/";
    const std::string helperSource = "TORVANE_HELPER_SOURCE=" HELPER_PATH;
    // The request as the app writes it, by the user the directory was made for.
    const auto request = [&] {
        return exec({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "sh", "-c",
                     "cd /var/lib/torvane && printf 1 >request.tmp && mv request.tmp request"})
            .ok();
    };
    const auto daemonPid = [&] { return exec({"systemctl", "show", "-P", "MainPID", unit}).out; };
    const auto lockHolders = [&] {
        return exec({"sh", "-c",
                     "systemd-inhibit --list --no-legend | awk '$1 == \"torvane-helper\" { print $4 }'"})
            .out;
    };

    const auto install = [&](const std::string& path) {
        return exec(
            {"env", "PATH=" + path, "PKEXEC_UID=65534", helperSource, "bash", scripts + "install-helper.sh"});
    };

    // A tool failing inside with 126 must not read as pkexec's "dismissed".
    exec({"sh", "-c",
          "mkdir /tmp/s && printf '#!/bin/sh\\nexit 126\\n' >/tmp/s/install && chmod +x /tmp/s/install"});
    EXPECT_EQ(install("/tmp/s:/usr/bin:/bin").exitStatus, 1);
    for (int i = 0; i < 2; ++i) { // the second replaces the running daemon
        const auto r = install("/usr/sbin:/usr/bin:/sbin:/bin");
        ASSERT_EQ(r.exitStatus, 0) << r.err;
    }
    EXPECT_EQ(exec({"systemctl", "is-active", unit}).out, "active\n");
    EXPECT_EQ(exec({"stat", "-c", "%U %a", "/usr/local/libexec/torvane/torvane-helper"}).out, "root 755\n");
    ASSERT_TRUE(request());
    // Generous: each look is two processes entering the namespaces, on a machine that may be busy.
    ASSERT_TRUE(test::waitFor([&] { return lockHolders() == daemonPid(); }, 20s)) << lockHolders();
    const std::string killed = daemonPid();
    exec({"systemctl", "kill", "-s", "SIGKILL", unit});
    ASSERT_TRUE(test::waitFor([&] { return daemonPid() != killed && lockHolders() == daemonPid(); }, 30s))
        << "no restarted daemon holding the lock";

    ASSERT_TRUE(request());
    ASSERT_TRUE(test::waitFor([&] { return !lockHolders().empty(); }, 20s));
    const auto removed = exec({"env", helperSource, "bash", scripts + "uninstall.sh", "--keep-app"});
    EXPECT_EQ(removed.exitStatus, 0) << removed.err;
    EXPECT_EQ(lockHolders(), "");
    EXPECT_EQ(exec({"systemctl", "list-units", "--all", "--plain", "--no-legend", unit}).out, "");
    for (const auto& gone : {"/etc/systemd/system/" + unit, std::string("/var/lib/torvane"),
                             std::string("/usr/local/libexec/torvane")})
        EXPECT_EQ(exec({"test", "-e", gone}).exitStatus, 1) << gone;
}
