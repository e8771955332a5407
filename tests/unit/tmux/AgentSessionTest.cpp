#include "app/tmux/AgentSession.hpp"

#include "app/tmux/Tmux.hpp"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

using namespace torvane;
using namespace std::chrono_literals;

namespace {

AgentSession withCommand(std::string command) {
    return AgentSession{.name = "s",
                        .created = {},
                        .lastActivity = {},
                        .attached = false,
                        .currentCommand = std::move(command)};
}

SystemTime at(double secondsSinceEpoch) {
    return SystemTime{
        std::chrono::duration_cast<SystemTime::duration>(std::chrono::duration<double>(secondsSinceEpoch))};
}

} // namespace

TEST(AgentSession, EveryShellNameMeansWaitingAndAnythingElseMeansWorking) {
    for (const char* shell : {"bash", "zsh", "sh", "fish", "tcsh", "csh", "ksh", "dash", "login"}) {
        const auto s = withCommand(shell);
        EXPECT_FALSE(s.isWorking()) << shell;
        EXPECT_EQ(s.statusText(), "待機中") << shell;
    }
    EXPECT_EQ(Tmux::shellNames().size(), 9u);

    EXPECT_TRUE(withCommand("node").isWorking());
    EXPECT_EQ(withCommand("node").statusText(), "作業中（node）");
    EXPECT_EQ(withCommand("vim").statusText(), "作業中（vim）");
}

TEST(AgentSession, ShellMatchIsExactSoCaseAndLoginDashCountAsWorking) {
    for (const char* notAShell : {"Zsh", "-zsh", " bash", "bash ", "shell", ""}) {
        EXPECT_TRUE(withCommand(notAShell).isWorking()) << '"' << notAShell << '"';
        EXPECT_EQ(withCommand(notAShell).statusText(), std::string("作業中（") + notAShell + "）");
    }
}

TEST(AgentSession, ElapsedAndIdleAreSecondsUpToTheGivenNow) {
    const AgentSession s{.name = "w",
                         .created = at(1'700'000'000),
                         .lastActivity = at(1'700'000'300),
                         .attached = true,
                         .currentCommand = "node"};
    const auto now = at(1'700'000'900.5);
    EXPECT_DOUBLE_EQ(s.elapsed(now), 900.5);
    EXPECT_DOUBLE_EQ(s.idleFor(now), 600.5);
    EXPECT_EQ(s.elapsedText(now), "15分");
}

TEST(AgentSession, ElapsedReadsTheClockAfreshOnEveryCall) {
    const auto created = systemNow() - 2h - 3min - 30s;
    const AgentSession s{.name = "w",
                         .created = created,
                         .lastActivity = created,
                         .attached = false,
                         .currentCommand = "node"};
    const double first = s.elapsed();
    EXPECT_GE(first, 7410.0);
    EXPECT_LT(first, 7470.0);
    EXPECT_EQ(s.elapsedText(), "2時間3分");
    EXPECT_GE(s.elapsed(), first);
    EXPECT_GE(s.idleFor(), 7410.0);
}

TEST(AgentSession, ElapsedTextAroundTheHourAndBeyondADay) {
    const std::pair<double, const char*> cases[] = {
        {0, "0分"},           {59, "0分"},
        {59.999, "0分"},      {60, "1分"},
        {61, "1分"},          {3599, "59分"},
        {3599.9, "59分"},     {3600, "1時間0分"},
        {3659, "1時間0分"},   {3660, "1時間1分"},
        {7384, "2時間3分"},   {86399, "23時間59分"},
        {90000, "25時間0分"}, {1e9, "277777時間46分"},
    };
    for (const auto& [seconds, text] : cases)
        EXPECT_EQ(AgentSession::formatElapsed(seconds), text) << seconds;
}

TEST(AgentSession, NegativeAgesTruncateTowardZeroAndNeverShowHours) {
    EXPECT_EQ(AgentSession::formatElapsed(-0.5), "0分");
    EXPECT_EQ(AgentSession::formatElapsed(-59), "0分");
    EXPECT_EQ(AgentSession::formatElapsed(-60), "-1分");
    EXPECT_EQ(AgentSession::formatElapsed(-150), "-2分");
    EXPECT_EQ(AgentSession::formatElapsed(-3600), "0分");
    EXPECT_EQ(AgentSession::formatElapsed(-7384), "-3分");

    const AgentSession future{.name = "f",
                              .created = at(1000 + 150),
                              .lastActivity = at(1000),
                              .attached = false,
                              .currentCommand = "zsh"};
    EXPECT_EQ(future.elapsedText(at(1000)), "-2分");
}

TEST(AgentSession, AgesNoClockCanProduceStillGiveAText) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(AgentSession::formatElapsed(std::nan("")), "0分");
    EXPECT_EQ(AgentSession::formatElapsed(inf), "2562047788015215時間30分");
    EXPECT_EQ(AgentSession::formatElapsed(-inf), "-30分");
    EXPECT_EQ(AgentSession::formatElapsed(1e300), AgentSession::formatElapsed(inf));

    // The far ends of the clock: the subtraction must not overflow.
    const AgentSession extreme{.name = "x",
                               .created = SystemTime::min(),
                               .lastActivity = SystemTime::max(),
                               .attached = false,
                               .currentCommand = "zsh"};
    EXPECT_GT(extreme.elapsed(SystemTime::max()), 1.8e10);
    EXPECT_LT(extreme.idleFor(SystemTime::min()), -1.8e10);
    EXPECT_FALSE(extreme.elapsedText(SystemTime::max()).empty());
}
