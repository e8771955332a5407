#include "helper/PmsetSleepControl.hpp"

#include "tests/fakes/TestSupport.hpp"

#include <gtest/gtest.h>

using namespace torvane;
using namespace torvane::helper;
using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

TEST(PmsetSleepControl, ReadsTheFirstSleepDisabledLineAndLogsEveryWayTheCommandFails) {
    const std::string prevented = "ふた閉じスリープを抑止しました";
    const auto failed = [](const std::string& status) {
        return Strings{"ERROR: pmset -g が失敗しました (exit " + status + ")",
                       "ERROR: pmset -a disablesleep 1 が失敗しました (exit " + status + ")",
                       "ERROR: pmset -a disablesleep 0 が失敗しました (exit " + status + ")"};
    };
    const std::string cannotStart = "ERROR: pmset を起動できません: No such file or directory";
    struct Row {
        const char* standIn; // nullptr: no command at all
        std::optional<bool> query;
        bool restored;
        Strings log;
    };
    // clang-format off
    for (const Row& row : {
             Row{"printf 'Currently in use:\\n SleepDisabled\\t\\t1 \\n sleep 0\\n'", true, true, {prevented}},
             Row{"echo ' SleepDisabled 0'; echo ' SleepDisabled 1'; echo noise >&2", false, true, {prevented}},
             Row{"echo ' standby 1'", std::nullopt, true, {prevented}},
             Row{"printf ' SleepDisabled 1\\377\\n'", std::nullopt, false, {}},
             Row{"echo ' SleepDisabled 1'; exit 3", std::nullopt, false, failed("3")},
             Row{"exec sleep 60", std::nullopt, false, failed("9")}, // killed at the time limit
             Row{nullptr, std::nullopt, false, {cannotStart, cannotStart, cannotStart}}}) {
        // clang-format on
        SCOPED_TRACE(row.standIn ? row.standIn : "no command");
        test::TempDir dir;
        if (row.standIn)
            test::writeExecutable(dir / "pmset", std::string("#!/bin/sh\n") + row.standIn + "\n");
        Strings lines;
        PmsetSleepControl control((dir / "pmset").string(),
                                  [&](const std::string& line) { lines.push_back(line); }, 1s);
        EXPECT_EQ(control.currentSleepDisabled(), row.query);
        control.setSleepDisabled(true);
        EXPECT_EQ(control.restoreSleep(), row.restored); // its success line is the caller's
        EXPECT_EQ(lines, row.log);
    }
}
