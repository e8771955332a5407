#include "common/Subprocess.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace torvane;
namespace fs = std::filesystem;

// The macOS scripts against a scratch root with stand-in launchctl and pmset that keep their state in
// files; only the tools differ from a Mac (the console user and admin group are handed in).
TEST(MacosScripts, InstallAndRemovalAndTheirFailuresTakeEverythingBack) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "the scripts set owners, which only root can do";
    test::TempDir dir;
    const fs::path root = dir / "root", bundle = dir / "Torvane.app/Contents", state = dir / "state";
    const fs::path plist = root / "Library/LaunchDaemons/jp.local.torvane.helper.plist",
                   helper = root / "Library/PrivilegedHelperTools/torvane-helper",
                   shared = root / "Library/Application Support/Torvane";
    for (const auto& d : {root, state, dir / "bin", bundle / "Resources", bundle / "MacOS"})
        fs::create_directories(d);
    test::writeExecutable(dir / "bin/launchctl",
                          "#!/bin/bash\ncase \"$1\" in\n"
                          "  print) [ -e \"$S/loaded\" ] || exit 113; echo '	state = running' ;;\n"
                          "  bootstrap) [ ! -e \"$S/fail\" ] || { echo 'Bootstrap failed: 5' >&2; exit 5; }\n"
                          "             touch \"$S/loaded\" ;;\n"
                          "  bootout) rm -f \"$S/loaded\" ;;\nesac\n");
    test::writeExecutable(dir / "bin/pmset",
                          "#!/bin/bash\nprintf ' SleepDisabled\\t\\t%s\\n' \"$(cat \"$S/sleep\")\"\n");
    for (const char* name : {"install-helper.sh", "uninstall.sh"})
        fs::copy_file(fs::path(std::getenv("TORVANE_SOURCE_DIR")) / "app/install/scripts/macos" / name,
                      bundle / "Resources" / name);
    test::writeFile(bundle / "MacOS/torvane-helper", "daemon\n");
    ::chmod((bundle / "MacOS/torvane-helper").c_str(), 0777); // a copy any user could change
    const auto run = [&](const char* script, const char* sleep, const std::vector<std::string>& args = {}) {
        test::writeFile(state / "sleep", sleep);
        std::vector<std::string> argv{(bundle / "Resources" / script).string()};
        argv.insert(argv.end(), args.begin(), args.end());
        return runSubprocess(
            "/bin/bash", argv,
            {.timeLimit = std::chrono::seconds(60),
             .environment = std::vector<std::string>{
                 "PATH=" + (dir / "bin").string() + ":/usr/bin:/bin", "TORVANE_ROOT=" + root.string(),
                 "S=" + state.string(), "TORVANE_ADMIN_GROUP=root", "TORVANE_CONSOLE_USER=nobody",
                 "TORVANE_START_CHECKS=3", "TORVANE_STOP_CHECKS=2"}});
    };
    const auto nothingLeft = [&] { return !fs::exists(plist) && !fs::exists(helper) && !fs::exists(shared); };

    auto r = run("install-helper.sh", "0");
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    struct stat st {};
    ASSERT_EQ(::stat(helper.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid * 010000 + (st.st_mode & 07777), 0755u);          // root-owned, 0755
    EXPECT_TRUE(::stat(shared.c_str(), &st) == 0 && st.st_uid == 65534u); // the console user's

    r = run("uninstall.sh", "1", {"--keep-app"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "ヘルパーを取り外しましたが、スリープが無効のままです（pmset -g: SleepDisabled 1）。"
                     "ターミナルで sudo pmset -a disablesleep 0 を実行してください\n");
    EXPECT_TRUE(nothingLeft());
    test::writeFile(state / "fail", "");
    r = run("install-helper.sh", "0");
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "ヘルパーを launchd に登録できませんでした: Bootstrap failed: 5\n");
    EXPECT_TRUE(nothingLeft());
    r = run("uninstall.sh", "0", {"--keep-app"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_TRUE(fs::exists(bundle / "MacOS/torvane-helper")); // the app stays
}
