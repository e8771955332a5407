#include "common/Subprocess.hpp"

#include "common/Text.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace torvane;
using namespace std::chrono_literals;

TEST(Subprocess, PassesArgumentsVerbatimAndDrainsBothPipesAtOnce) {
    const auto args = runSubprocess("/usr/bin/printf", {"%s|", "a b", "$HOME", "; echo no", "日本語"});
    ASSERT_TRUE(args.ok()) << args.startError;
    EXPECT_EQ(args.out, "a b|$HOME|; echo no|日本語|");
    // Each stream alone overflows a pipe many times over; reading one after the other would hang.
    const auto r = runSubprocess("/bin/sh",
                                 {"-c", "head -c 1048576 /dev/zero | tr '\\0' o & "
                                        "head -c 1048576 /dev/zero | tr '\\0' e >&2; wait; exit 3"},
                                 {.timeLimit = 20s});
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_EQ(r.out, std::string(1048576, 'o'));
    EXPECT_EQ(r.err, std::string(1048576, 'e'));
    // Input beyond a socket's buffer is fed while the output is drained; a child that reads none of
    // it ends the run without a SIGPIPE for us.
    const std::string input(3 * 1048576, 'i');
    EXPECT_EQ(runSubprocess("/bin/cat", {}, {.timeLimit = 20s, .input = input}).out, input);
    EXPECT_TRUE(runSubprocess("/bin/true", {}, {.timeLimit = 20s, .input = input}).ok());
}

TEST(Subprocess, TheTimeLimitHoldsUntilTheChildExitsAndAGrandchildIsNotWaitedFor) {
    for (const char* script : {"sleep 30", "exec >&- 2>&-; sleep 30"}) {
        SCOPED_TRACE(script);
        const auto begin = std::chrono::steady_clock::now();
        const auto r = runSubprocess("/bin/sh", {"-c", script}, {.timeLimit = 500ms});
        EXPECT_TRUE(r.timedOut);
        EXPECT_FALSE(r.ok());
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
    }
    const auto begin = std::chrono::steady_clock::now();
    const auto r = runSubprocess("/bin/sh", {"-c", "sleep 30 & echo parent-done"}, {.timeLimit = 20s});
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 10s);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.out, "parent-done\n");
}

TEST(Subprocess, TheChildGetsOnlyItsThreeStreamsWhateverTheCallerLeftInheritable) {
    const int inheritable = ::open("/dev/null", O_RDONLY); // as a library that forgets O_CLOEXEC would
    ASSERT_GE(inheritable, 3);
    // The shell forks for ls, which lists the shell's descriptors.
    const auto r = runSubprocess("/bin/sh", {"-c", "ls /proc/$$/fd; :"}, {.timeLimit = 10s});
    ::close(inheritable);
    EXPECT_TRUE(r.ok()) << r.err;
    EXPECT_EQ(r.out, "0\n1\n2\n");
}

TEST(Text, Utf8ValidationRejectsMalformedSequences) {
    EXPECT_TRUE(text::isValidUtf8("ok 持ち運び 👨‍👩‍👧"));
    for (const char* bad : {"\xff", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe3\x81"})
        EXPECT_FALSE(text::isValidUtf8(bad)) << bad; // stray, overlong, surrogate, too high, cut short
}
