#include "app/install/AppleScriptSource.hpp"
#include "app/install/OsascriptRunner.hpp"
#include "app/install/PkexecRunner.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <gtest/gtest.h>

using namespace torvane;

namespace {

// A stand-in for osascript or pkexec: records its arguments (NUL-separated), then runs `body`.
std::filesystem::path standIn(const test::TempDir& dir, std::string_view name, std::string_view body) {
    const auto path = dir / name;
    test::writeExecutable(path, "#!/bin/bash\nprintf '%s\\0' \"$@\" > \"$(dirname \"$0\")/" +
                                    std::string(name) + ".args\"\n" + std::string(body) + "\n");
    return path;
}

std::vector<std::string> recordedArguments(const test::TempDir& dir, std::string_view name) {
    const std::string raw = test::readFile(dir / (std::string(name) + ".args"));
    std::vector<std::string> args;
    std::size_t start = 0;
    for (std::size_t nul; (nul = raw.find('\0', start)) != std::string::npos; start = nul + 1)
        args.push_back(raw.substr(start, nul - start));
    return args;
}

} // namespace

TEST(OsascriptRunner, HandsTheBuiltSourceToOsascriptAndReportsItsOutcome) {
    test::TempDir dir;
    const auto osascript = standIn(dir, "osascript", "echo done; echo note >&2; exit 0");
    OsascriptRunner runner(osascript.string());

    const std::string script = R"(/Apps/My "T"\orvane.app/Contents/Resources/uninstall.sh)";
    const auto result = runner.run(script, {"--keep-app"});
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.out, "done\n");
    EXPECT_EQ(result.err, "note\n");
    EXPECT_EQ(recordedArguments(dir, "osascript"),
              (std::vector<std::string>{"-e", appleScriptSource(script, {"--keep-app"})}));
}

TEST(PkexecRunner, RunsBashWithTheScriptAndItsArgumentsAsSeparateWords) {
    test::TempDir dir;
    PkexecRunner runner(standIn(dir, "pkexec", "exit 0").string());
    const std::string script = "/opt/my apps/share/torvane/uninstall.sh";
    const auto result = runner.run(script, {"--keep-app", "a b"});
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(recordedArguments(dir, "pkexec"),
              (std::vector<std::string>{"/bin/bash", script, "--keep-app", "a b"}));
}

TEST(PkexecRunner, DismissedPromptReadsAsACancelledOne) {
    test::TempDir dir;
    PkexecRunner silent(standIn(dir, "pkexec", "exit 126").string());
    const auto plain = silent.run("/x/install-helper.sh", {});
    EXPECT_EQ(plain.exitStatus, 126);
    EXPECT_EQ(plain.err, "User canceled. (-128)");

    PkexecRunner talkative(
        standIn(dir, "pkexec2", "printf 'Error executing command' >&2; exit 126").string());
    EXPECT_EQ(talkative.run("/x/install-helper.sh", {}).err,
              "Error executing command\nUser canceled. (-128)");
}

TEST(PkexecRunner, RunnerKilledBySignalDoesNotLookLikeSuccessOrCancel) {
    test::TempDir dir;
    PkexecRunner runner(standIn(dir, "pkexec", "kill -KILL $$").string());
    const auto result = runner.run("/x/install-helper.sh", {});
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.exitStatus, 128 + 9);
    EXPECT_EQ(result.err.find("User canceled"), std::string::npos);
}

TEST(PrivilegedRunners, DrainBothPipesOfAChattyScript) {
    // Far more than a pipe holds on both streams at once: reading one after the other would stall.
    const char* body = "head -c 300000 /dev/zero | tr '\\0' o & head -c 300000 /dev/zero | tr '\\0' e >&2; "
                       "wait; exit 2";
    test::TempDir dir;
    PkexecRunner pkexec(standIn(dir, "pkexec", body).string());
    OsascriptRunner osascript(standIn(dir, "osascript", body).string());
    for (PrivilegedRunner* runner : std::initializer_list<PrivilegedRunner*>{&pkexec, &osascript}) {
        const auto result = runner->run("/x/install-helper.sh", {});
        EXPECT_EQ(result.exitStatus, 2);
        EXPECT_EQ(result.out, std::string(300000, 'o'));
        EXPECT_EQ(result.err, std::string(300000, 'e'));
    }
}
