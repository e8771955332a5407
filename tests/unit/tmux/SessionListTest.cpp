#include "app/tmux/Tmux.hpp"

#include <gtest/gtest.h>

using namespace torvane;

namespace {

double epochSeconds(SystemTime t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

} // namespace

TEST(SessionList, FiveFieldsBecomeOneSessionWithItsTimesAndWorkingState) {
    const auto sessions = Tmux::parseSessionList("work|1700000000|1700000300|1|node\n");
    ASSERT_EQ(sessions.size(), 1u);
    const auto& s = sessions[0];
    EXPECT_EQ(s.name, "work");
    EXPECT_EQ(epochSeconds(s.created), 1700000000.0);
    EXPECT_EQ(epochSeconds(s.lastActivity), 1700000300.0);
    EXPECT_TRUE(s.attached);
    EXPECT_EQ(s.currentCommand, "node");
    EXPECT_TRUE(s.isWorking());
    EXPECT_EQ(s.statusText(), "作業中（node）");
}

TEST(SessionList, KeepsTmuxOrderDuplicatesAndUntrimmedFields) {
    const auto sessions = Tmux::parseSessionList(" b |1|2|0| zsh\na|3|4|0|zsh\n b |1|2|0| zsh\n");
    ASSERT_EQ(sessions.size(), 3u);
    EXPECT_EQ(sessions[0].name, " b ");
    EXPECT_EQ(sessions[1].name, "a");
    EXPECT_EQ(sessions[2].name, " b ");
    EXPECT_EQ(sessions[0].currentCommand, " zsh");
    EXPECT_TRUE(sessions[0].isWorking());
    EXPECT_FALSE(sessions[1].isWorking());
}

TEST(SessionList, AttachedOnlyWhenTheFieldIsExactlyOne) {
    const auto sessions = Tmux::parseSessionList("a|0|0|1|x\nb|0|0|2|x\nc|0|0|0|x\nd|0|0||x\ne|0|0|1 |x\n");
    ASSERT_EQ(sessions.size(), 5u);
    EXPECT_TRUE(sessions[0].attached);
    for (std::size_t i = 1; i < sessions.size(); ++i)
        EXPECT_FALSE(sessions[i].attached) << sessions[i].name;
}

TEST(SessionList, ShortLinesAreSkippedLongLinesUseTheFirstFiveFieldsBlankLinesVanish) {
    const auto sessions = Tmux::parseSessionList("\n\nshort|1|2|1\nok|10|20|0|vim\n\n"
                                                 "a|b|30|40|1|bash\nlast|5|6|1|zsh");
    ASSERT_EQ(sessions.size(), 3u);
    EXPECT_EQ(sessions[0].name, "ok");
    EXPECT_EQ(sessions[0].statusText(), "作業中（vim）");

    // A "|" inside a name shifts everything after it by one field.
    EXPECT_EQ(sessions[1].name, "a");
    EXPECT_EQ(epochSeconds(sessions[1].created), 0.0);
    EXPECT_EQ(epochSeconds(sessions[1].lastActivity), 30.0);
    EXPECT_FALSE(sessions[1].attached);
    EXPECT_EQ(sessions[1].currentCommand, "1");

    // No final line feed: the last line still counts.
    EXPECT_EQ(sessions[2].name, "last");

    EXPECT_TRUE(Tmux::parseSessionList("").empty());
    EXPECT_TRUE(Tmux::parseSessionList("\n\n\n").empty());
}

TEST(SessionList, ANameWithFourEmptyFieldsIsAnIdleUnattachedSessionAtTheEpoch) {
    const auto sessions = Tmux::parseSessionList("lonely||||\n");
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0].name, "lonely");
    EXPECT_EQ(epochSeconds(sessions[0].created), 0.0);
    EXPECT_EQ(epochSeconds(sessions[0].lastActivity), 0.0);
    EXPECT_FALSE(sessions[0].attached);
    EXPECT_EQ(sessions[0].currentCommand, "");
    EXPECT_TRUE(sessions[0].isWorking());
    EXPECT_EQ(sessions[0].statusText(), "作業中（）");
}

TEST(SessionList, TimeFieldsMustBeWholeNumbersOrTheyAreTheEpoch) {
    const std::pair<const char*, double> cases[] = {
        {"1700000000", 1700000000.0},
        {"1700000000.25", 1700000000.25},
        {"+12", 12.0},
        {"-12.5", -12.5},
        {"1e3", 1000.0},
        {"0", 0.0},
        {".5", 0.5},
        // not numbers as a whole
        {"", 0.0},
        {" 12", 0.0},
        {"\t12", 0.0},
        {"12 ", 0.0},
        {"12x", 0.0},
        {"x12", 0.0},
        {"1,5", 0.0},
        {"+", 0.0},
        {"-", 0.0},
        {"++1", 0.0},
        {"+-1", 0.0},
        {"1.2.3", 0.0},
        // numbers no clock can hold
        {"nan", 0.0},
        {"inf", 0.0},
        {"-infinity", 0.0},
        {"1e400", 0.0},
        {"1e300", 0.0},
        {"-1e300", 0.0},
    };
    for (const auto& [field, expected] : cases) {
        const auto sessions = Tmux::parseSessionList(std::string("s|") + field + "|" + field + "|0|sh\n");
        ASSERT_EQ(sessions.size(), 1u) << field;
        EXPECT_NEAR(epochSeconds(sessions[0].created), expected, 1e-6) << '"' << field << '"';
        EXPECT_NEAR(epochSeconds(sessions[0].lastActivity), expected, 1e-6) << '"' << field << '"';
    }
}
