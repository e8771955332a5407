#include <gtest/gtest.h>

#include "common/Subprocess.hpp"
#include "tests/fakes/TestSupport.hpp"

using namespace torvane;
using namespace std::chrono_literals;

TEST(Subprocess, PassesArgumentsVerbatimWithoutAShell) {
    const auto r = runSubprocess("/usr/bin/printf", {"%s|", "a b", "$HOME", "; echo no", "日本語"});
    ASSERT_TRUE(r.ok()) << r.startError;
    EXPECT_EQ(r.out, "a b|$HOME|; echo no|日本語|");
    EXPECT_EQ(r.err, "");
}

TEST(Subprocess, DrainsMegabytesOnBothPipesAtOnceWithoutStalling) {
    // Each stream alone overflows a pipe buffer many times over; reading one after the other would hang.
    const auto r = runSubprocess("/bin/sh",
                                 {"-c", "head -c 1048576 /dev/zero | tr '\\0' o & "
                                        "head -c 1048576 /dev/zero | tr '\\0' e >&2; wait"},
                                 {.timeLimit = 20s});
    ASSERT_TRUE(r.ok()) << "timedOut=" << r.timedOut;
    EXPECT_EQ(r.out, std::string(1048576, 'o'));
    EXPECT_EQ(r.err, std::string(1048576, 'e'));
}

TEST(Subprocess, ReportsExitStatusAndKeepsOutputOfAFailedRun) {
    const auto r = runSubprocess("/bin/sh", {"-c", "echo out; echo err >&2; exit 3"});
    EXPECT_TRUE(r.started);
    EXPECT_FALSE(r.ok());
    EXPECT_FALSE(r.signaled);
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_EQ(r.out, "out\n");
    EXPECT_EQ(r.err, "err\n");
}

TEST(Subprocess, MissingOrNonExecutableFileIsAStartFailureWithTheSystemsText) {
    const auto missing = runSubprocess("/nonexistent/torvane-test-binary", {});
    EXPECT_FALSE(missing.started);
    EXPECT_EQ(missing.startError, "No such file or directory");

    test::TempDir dir;
    test::writeFile(dir / "plain", "not a program");
    const auto notExecutable = runSubprocess((dir / "plain").string(), {});
    EXPECT_FALSE(notExecutable.started);
    EXPECT_EQ(notExecutable.startError, "Permission denied");
}

TEST(Subprocess, TimeLimitKillsTheChildWhateverItDoesWithItsPipes) {
    for (const char* script : {"sleep 30", "exec >&- 2>&-; sleep 30"}) {
        SCOPED_TRACE(script);
        const auto begin = std::chrono::steady_clock::now();
        const auto r = runSubprocess("/bin/sh", {"-c", script}, {.timeLimit = 500ms});
        const auto took = std::chrono::steady_clock::now() - begin;
        EXPECT_TRUE(r.timedOut);
        EXPECT_FALSE(r.ok());
        EXPECT_LT(took, 5s);
        EXPECT_GE(took, 500ms);
    }
}

TEST(Subprocess, ReturnsWhenTheChildExitsEvenIfAGrandchildKeepsThePipesOpen) {
    const auto begin = std::chrono::steady_clock::now();
    const auto r = runSubprocess("/bin/sh", {"-c", "sleep 30 & echo parent-done"}, {.timeLimit = 20s});
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 10s);
    EXPECT_TRUE(r.ok());
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.out, "parent-done\n");
}

TEST(Subprocess, ChildGetsNoTerminalInputAndTheGivenEnvironment) {
    const auto r = runSubprocess("/bin/sh", {"-c", "cat; echo \"[$TORVANE_X]\""},
                                 {.timeLimit = 10s, .environment = std::vector<std::string>{"TORVANE_X=42"}});
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.out, "[42]\n");
}
