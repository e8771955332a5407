#include <gtest/gtest.h>

#include "common/LogLine.hpp"
#include "common/Text.hpp"

using namespace torvane;

TEST(Text, Utf8ValidationRejectsMalformedSequences) {
    EXPECT_TRUE(text::isValidUtf8(""));
    EXPECT_TRUE(text::isValidUtf8("ok 持ち運び 👨‍👩‍👧"));
    EXPECT_FALSE(text::isValidUtf8("\xff"));
    EXPECT_FALSE(text::isValidUtf8("\xc0\xaf"));         // overlong "/"
    EXPECT_FALSE(text::isValidUtf8("\xed\xa0\x80"));     // surrogate
    EXPECT_FALSE(text::isValidUtf8("\xf4\x90\x80\x80")); // above U+10FFFF
    EXPECT_FALSE(text::isValidUtf8("\xe3\x81"));         // cut short
}

TEST(Text, TrimRemovesUnicodeWhitespaceAndNewlinesOnBothEndsOnly) {
    EXPECT_EQ(text::trimWhitespaceAndNewlines(" \t1\r\n"), "1");
    EXPECT_EQ(text::trimWhitespaceAndNewlines("\u3000\u00a01\u2028\u0085"), "1");
    EXPECT_EQ(text::trimWhitespaceAndNewlines("1 1"), "1 1");
    EXPECT_EQ(text::trimWhitespaceAndNewlines(" \n "), "");
    EXPECT_EQ(text::trimWhitespaceAndNewlines("\u200b1"), "\u200b1"); // zero-width space is not white space
}

TEST(LogLine, IsLocalTimeTwoSpacesMessageAndOneLineFeed) {
    setenv("TZ", "Asia/Tokyo", 1);
    tzset();
    // 2026-12-05 14:41:34 UTC is 23:41:34 in Tokyo.
    const auto when = std::chrono::system_clock::time_point{std::chrono::seconds{1796481694}};
    EXPECT_EQ(formatLogLine("ふた閉じスリープを抑止しました", when),
              "2026-12-05 23:41:34  ふた閉じスリープを抑止しました\n");
    EXPECT_EQ(formatLogLine("a\nb", when), "2026-12-05 23:41:34  a\nb\n");
}
