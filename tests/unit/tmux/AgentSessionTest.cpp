#include "app/tmux/AgentSession.hpp"

#include <gtest/gtest.h>

using namespace torvane;
using namespace std::chrono_literals;

namespace {

SystemTime at(double secondsSinceEpoch) {
    return SystemTime{
        std::chrono::duration_cast<SystemTime::duration>(std::chrono::duration<double>(secondsSinceEpoch))};
}

std::string ageText(SystemTime created, SystemTime now) {
    AgentSession s;
    s.created = created;
    return s.elapsedText(now);
}

} // namespace

TEST(AgentSession, TheMenuReadsASessionsAgeInWholeMinutesThenHoursAndMinutes) {
    const SystemTime now = at(1'700'000'000);
    EXPECT_EQ(ageText(now - 59s, now), "0分");
    EXPECT_EQ(ageText(now - 61s, now), "1分");
    EXPECT_EQ(ageText(now - 59min - 59s, now), "59分");
    EXPECT_EQ(ageText(now - 1h, now), "1時間0分");
    EXPECT_EQ(ageText(now - 26h - 5min, now), "26時間5分");
    // A clock set back a little makes a fresh session look a few seconds young, not minutes old.
    EXPECT_EQ(ageText(now + 30s, now), "0分");
    // A listing's time at either end of the clock's range still reads as an age (UBSan: no overflow).
    for (const SystemTime created : {SystemTime::min(), SystemTime::max()})
        EXPECT_TRUE(ageText(created, now).ends_with("分"));
}

TEST(AgentSession, QuietMeansAProgramSilentForFifteenSecondsAndActivityIsNeverNegative) {
    const struct {
        const char* command;
        double lastOutput;
        long long activity;
        bool working, quiet;
    } cases[] = {
        {"claude", 1000 - 15, 15, true, true},  {"claude", 1000 - 14.9, 14, true, false},
        {"zsh", 1000 - 600, 600, false, false}, {"Zsh", 1000 - 600, 600, true, true},
        {"node", 1000 + 30, 0, true, false},    {"-zsh", 0, 1000, true, true},
    };
    for (const auto& c : cases) {
        AgentSession s;
        s.currentCommand = c.command;
        s.lastOutput = at(c.lastOutput);
        EXPECT_EQ(s.activitySeconds(at(1000)), c.activity) << c.command << c.lastOutput;
        EXPECT_EQ(s.isWorking(), c.working) << c.command;
        EXPECT_EQ(s.isQuiet(at(1000)), c.quiet) << c.command << c.lastOutput;
    }
}
