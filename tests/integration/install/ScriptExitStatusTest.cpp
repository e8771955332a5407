#include "common/Subprocess.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <cstdlib>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace torvane;
namespace fs = std::filesystem;

// The app reads 126 and 127 from pkexec as the user's cancel, so a tool inside a script that fails with
// one of those must still make the script exit 1.
TEST(InstallScripts, AToolFailingWith126Or127InsideAScriptExitsOne) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "the scripts refuse to run without root";
    struct Case {
        const char* script;
        const char* tool;
        int status;
    };
    for (const Case& c :
         {Case{"linux/install-helper.sh", "install", 126}, Case{"linux/uninstall.sh", "rm", 127},
          Case{"macos/install-helper.sh", "install", 127}, Case{"macos/uninstall.sh", "rm", 126}}) {
        SCOPED_TRACE(c.script);
        test::TempDir dir;
        fs::create_directories(dir / "root/run/systemd/system");
        fs::create_directories(dir / "bin");
        for (const char* ok : {"systemctl", "systemd-inhibit"})
            test::writeExecutable(dir / "bin" / ok, "#!/bin/sh\nexit 0\n");
        test::writeExecutable(dir / "bin/launchctl", "#!/bin/sh\nexit 113\n"); // nothing loaded
        test::writeExecutable(dir / "bin" / c.tool,
                              "#!/bin/sh\ntouch \"$0.ran\"\nexit " + std::to_string(c.status) + "\n");
        test::writeExecutable(dir / "helper", "#!/bin/sh\n");
        const std::string script =
            std::string(std::getenv("TORVANE_SOURCE_DIR")) + "/app/install/scripts/" + c.script;
        const bool removal = std::string(c.script).ends_with("uninstall.sh");
        const auto r = runSubprocess(
            "/bin/bash",
            removal ? std::vector<std::string>{script, "--keep-app"} : std::vector<std::string>{script},
            {.timeLimit = std::chrono::seconds(30),
             .environment = std::vector<std::string>{"PATH=" + (dir / "bin").string() + ":/usr/bin:/bin",
                                                     "TORVANE_ROOT=" + (dir / "root").string(),
                                                     "TORVANE_HELPER_SOURCE=" + (dir / "helper").string(),
                                                     "PKEXEC_UID=65534", "TORVANE_CONSOLE_USER=nobody",
                                                     "TORVANE_ADMIN_GROUP=root"}});
        EXPECT_TRUE(fs::exists(dir / "bin" / (std::string(c.tool) + ".ran"))) << r.err;
        EXPECT_EQ(r.exitStatus, 1) << r.err;
    }
}
