#include "app/tmux/Tmux.hpp"

#include <gtest/gtest.h>

using namespace torvane;

TEST(GraphemeCount, CountsWhatAReaderSeesNotBytesOrScalars) {
    EXPECT_EQ(graphemeCount(""), 0u);
    EXPECT_EQ(graphemeCount("abc"), 3u);
    EXPECT_EQ(graphemeCount("こんにちは"), 5u);                       // fifteen bytes
    EXPECT_EQ(graphemeCount("\xF0\x9F\x87\xAF\xF0\x9F\x87\xB5"), 1u); // flag: two regional indicators
    EXPECT_EQ(graphemeCount("\xF0\x9F\x87\xAF\xF0\x9F\x87\xB5\xF0\x9F\x87\xBA\xF0\x9F\x87\xB8"),
              2u); // two flags
    // family: man ZWJ woman ZWJ girl ZWJ boy, seven scalars
    EXPECT_EQ(
        graphemeCount("\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7\xE2\x80\x8D"
                      "\xF0\x9F\x91\xA6"),
        1u);
    EXPECT_EQ(graphemeCount("\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD"), 1u); // thumbs up + skin tone
    EXPECT_EQ(graphemeCount("e\xCC\x81"), 1u);                        // e + combining acute
    EXPECT_EQ(graphemeCount("\xE3\x81\x8B\xE3\x82\x99"), 1u);         // か + combining voiced mark
    EXPECT_EQ(graphemeCount("\r\n"), 1u);
    EXPECT_EQ(graphemeCount("a\nb"), 3u);
    EXPECT_EQ(graphemeCount("日本語 ok 😀"), 8u);
}

TEST(GraphemeCount, EachInvalidByteIsOneCharacterAndBreaksTheClusterAroundIt) {
    EXPECT_EQ(graphemeCount("\xFF"), 1u);
    EXPECT_EQ(graphemeCount("a\xFF\xFE"
                            "b"),
              4u);
    EXPECT_EQ(graphemeCount("\xE3\x81"), 2u);          // truncated sequence
    EXPECT_EQ(graphemeCount("e\xC0\xAF\xCC\x81"), 4u); // overlong form; the accent then starts afresh
    EXPECT_EQ(graphemeCount(std::string_view("a\0b", 3)), 3u);
}
