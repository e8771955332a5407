#include "helper/PmsetSleepControl.hpp"

#include "tests/fakes/TestSupport.hpp"

#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>

using namespace torvane;
using namespace torvane::helper;
using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

namespace {

class PmsetTest : public ::testing::Test {
protected:
    test::TempDir dir;
    std::filesystem::path pmset = dir / "pmset";
    Strings lines;
    PmsetSleepControl control{pmset.string(), [this](const std::string& line) { lines.push_back(line); }};

    // A stand-in that records its arguments, prints `out` for "-g" and exits with `status`.
    void standIn(std::string_view out, int status = 0) {
        test::writeFile(dir / "out", out);
        test::writeExecutable(pmset, "#!/bin/sh\n"
                                     "printf '%s\\n' \"$*\" >> \"$(dirname \"$0\")/calls\"\n"
                                     "echo 'noise on stderr' >&2\n"
                                     "[ \"$1\" = -g ] && cat \"$(dirname \"$0\")/out\"\n"
                                     "exit " +
                                         std::to_string(status) + "\n");
    }
    Strings calls() const {
        Strings result;
        std::istringstream in(test::readFile(dir / "calls"));
        for (std::string line; std::getline(in, line);)
            result.push_back(line);
        return result;
    }
};

} // namespace

TEST(PmsetParsing, TheFirstSleepDisabledLineDecidesByItsLastField) {
    EXPECT_EQ(PmsetSleepControl::parseSleepDisabled(" SleepDisabled\t\t1\n"), true);
    EXPECT_EQ(PmsetSleepControl::parseSleepDisabled(" SleepDisabled 0\n"), false);
    EXPECT_EQ(PmsetSleepControl::parseSleepDisabled("SleepDisabled\n"), false); // its last field is its name
    EXPECT_EQ(PmsetSleepControl::parseSleepDisabled("System-wide power settings:\n SleepDisabled\t\t1 \n"
                                                    " sleep 1\n"),
              true);
    EXPECT_EQ(PmsetSleepControl::parseSleepDisabled(" SleepDisabled 0\n SleepDisabled 1\n"), false);
    EXPECT_EQ(PmsetSleepControl::parseSleepDisabled(" SleepDisabled 1\n SleepDisabled 0\n"), true);
    EXPECT_EQ(PmsetSleepControl::parseSleepDisabled(" sleepdisabled 1\n"), std::nullopt); // case matters
    EXPECT_EQ(PmsetSleepControl::parseSleepDisabled(" SleepDisabled 11\n"), false);
    EXPECT_EQ(PmsetSleepControl::parseSleepDisabled(" standby 1\n hibernatemode 3\n"), std::nullopt);
    EXPECT_EQ(PmsetSleepControl::parseSleepDisabled(""), std::nullopt);
    EXPECT_EQ(PmsetSleepControl::parseSleepDisabled("\n\n SleepDisabled 1"), true); // no final line feed
}

TEST_F(PmsetTest, QueriesWithDashGAndReadsTheAnswer) {
    standIn("Currently in use:\n SleepDisabled\t\t1\n");
    EXPECT_EQ(control.currentSleepDisabled(), true);
    standIn(" SleepDisabled 0\n");
    EXPECT_EQ(control.currentSleepDisabled(), false);
    standIn("");
    EXPECT_EQ(control.currentSleepDisabled(), std::nullopt);
    EXPECT_EQ(calls(), (Strings{"-g", "-g", "-g"}));
    EXPECT_TRUE(lines.empty()); // standard error never reaches the log
}

TEST_F(PmsetTest, SwitchingLogsSuccessAndEmptyOutputCountsAsSuccess) {
    standIn("");
    control.setSleepDisabled(true);
    control.setSleepDisabled(false);
    EXPECT_TRUE(control.restoreSleep());
    EXPECT_EQ(calls(), (Strings{"-a disablesleep 1", "-a disablesleep 0", "-a disablesleep 0"}));
    // restoreSleep leaves the success line to its caller
    EXPECT_EQ(lines, (Strings{"ふた閉じスリープを抑止しました", "ふた閉じスリープを元に戻しました"}));
}

TEST_F(PmsetTest, ANonZeroExitLogsTheArgumentsAndStatusAndNoSuccess) {
    standIn(" SleepDisabled 1\n", 3);
    control.setSleepDisabled(false);
    EXPECT_EQ(lines, Strings{"ERROR: pmset -a disablesleep 0 が失敗しました (exit 3)"});
    lines.clear();
    EXPECT_EQ(control.currentSleepDisabled(), std::nullopt);
    EXPECT_EQ(lines, Strings{"ERROR: pmset -g が失敗しました (exit 3)"});
    lines.clear();
    EXPECT_FALSE(control.restoreSleep());
    EXPECT_EQ(lines, Strings{"ERROR: pmset -a disablesleep 0 が失敗しました (exit 3)"});
}

TEST_F(PmsetTest, AMissingOrNonExecutableCommandCannotBeStarted) {
    EXPECT_EQ(control.currentSleepDisabled(), std::nullopt);
    control.setSleepDisabled(true);
    EXPECT_EQ(lines, (Strings{"ERROR: pmset を起動できません: No such file or directory",
                              "ERROR: pmset を起動できません: No such file or directory"}));

    test::writeFile(pmset, "#!/bin/sh\necho ' SleepDisabled 1'\n"); // not executable
    std::filesystem::permissions(pmset,
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    lines.clear();
    EXPECT_FALSE(control.restoreSleep());
    // root may read anything but still cannot run a file nobody may execute
    EXPECT_EQ(lines, Strings{"ERROR: pmset を起動できません: Permission denied"});
}

TEST_F(PmsetTest, OutputThatIsNotUtf8FailsWithoutALogLine) {
    standIn(" SleepDisabled 1 \xff\xfe\n");
    EXPECT_EQ(control.currentSleepDisabled(), std::nullopt);
    EXPECT_EQ(control.runPmset({"-g"}), std::nullopt);
    test::writeExecutable(pmset, "#!/bin/sh\nprintf '\\377'\n");
    control.setSleepDisabled(true);
    EXPECT_TRUE(lines.empty());
}

TEST_F(PmsetTest, LargeOutputOnBothPipesIsReadToTheEnd) {
    // Far more than a pipe holds, on standard error too: a reader of one pipe only would hang here.
    test::writeExecutable(pmset, "#!/bin/sh\n"
                                 "i=0; while [ $i -lt 20000 ]; do\n"
                                 "  echo \" setting$i 0\"; echo \"warning $i\" >&2; i=$((i+1))\n"
                                 "done\n"
                                 "echo ' SleepDisabled 1'\n");
    EXPECT_EQ(control.currentSleepDisabled(), true);
}

TEST_F(PmsetTest, ACommandThatHangsIsKilledAtTheTimeLimitAndCountsAsFailed) {
    test::writeExecutable(pmset, "#!/bin/sh\nexec sleep 600\n");
    PmsetSleepControl quick(
        pmset.string(), [this](const std::string& line) { lines.push_back(line); }, 300ms);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(quick.currentSleepDisabled(), std::nullopt);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    EXPECT_EQ(lines, Strings{"ERROR: pmset -g が失敗しました (exit 9)"});
}
