#include "app/tmux/AgentSession.hpp"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

using namespace torvane;

namespace {

SystemTime at(double secondsSinceEpoch) {
    return SystemTime{
        std::chrono::duration_cast<SystemTime::duration>(std::chrono::duration<double>(secondsSinceEpoch))};
}

} // namespace

TEST(AgentSession, AgesReadAsHoursAndMinutesWhateverTheClockGives) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    const std::pair<double, const char*> cases[] = {
        {59.999, "0分"},
        {60, "1分"},
        {3599.9, "59分"},
        {3600, "1時間0分"},
        {90000, "25時間0分"},
        {-59, "0分"},
        {-150, "-2分"},
        {-3600, "0分"},
        {std::nan(""), "0分"},
        {-inf, "-30分"},
        {inf, "2562047788015215時間30分"},
    };
    for (const auto& [seconds, text] : cases)
        EXPECT_EQ(AgentSession::formatElapsed(seconds), text) << seconds;
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
