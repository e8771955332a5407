#include "app/phone/Http.hpp"

#include <gtest/gtest.h>

namespace torvane {
namespace {

TEST(Http, ContentLengthIsReadFromAnyCaseAndSpacingButOnlyAsAPlainDecimal) {
    EXPECT_EQ(http::contentLength("POST /x HTTP/1.1\r\nContent-Length: 12"), 12);
    EXPECT_EQ(http::contentLength("POST /x HTTP/1.1\r\ncontent-length : 12\r\nHost: a"), 12);
    EXPECT_EQ(http::contentLength("POST /x HTTP/1.1\r\n\tCONTENT-LENGTH\t:\t+7\t"), 7);
    EXPECT_EQ(http::contentLength("POST /x HTTP/1.1\r\nContent-Length: -5"), -5);
    EXPECT_EQ(http::contentLength("POST /x HTTP/1.1\r\nContent-Length: 12abc"), 0);
    EXPECT_EQ(http::contentLength("POST /x HTTP/1.1\r\nContent-Length: 1 2"), 0);
    EXPECT_EQ(http::contentLength("POST /x HTTP/1.1\r\nContent-Length: +"), 0);
    EXPECT_EQ(http::contentLength("POST /x HTTP/1.1\r\nContent-Length: 99999999999999999999"), 0);
    EXPECT_EQ(http::contentLength("POST /x HTTP/1.1\r\nContent-Length: 9223372036854775807"),
              9223372036854775807LL);
    EXPECT_EQ(http::contentLength("POST /x HTTP/1.1\r\nContent-Length: -9223372036854775808"),
              std::numeric_limits<long long>::min());
    EXPECT_EQ(http::contentLength("POST /x HTTP/1.1\r\nHost: a"), 0);
    EXPECT_EQ(http::contentLength(""), 0);
}

TEST(Http, TheFirstContentLengthLineDecidesEvenWhenItIsNotANumber) {
    EXPECT_EQ(http::contentLength("POST / HTTP/1.1\r\nContent-Length: x\r\nContent-Length: 5"), 0);
    EXPECT_EQ(http::contentLength("POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 5"), 3);
    // A line with nothing after the colon does not take part.
    EXPECT_EQ(http::contentLength("POST / HTTP/1.1\r\nContent-Length:\r\nContent-Length: 5"), 5);
}

TEST(Http, HeaderValueMatchesTheNameWithoutCaseAndKeepsLaterColons) {
    const std::string header = "GET /api/state HTTP/1.1\r\nHost: 127.0.0.1:8787\r\nX-Token:  abc \r\n"
                               "x-token: second\r\nEmpty:\r\nBlank: \t\r\n";
    EXPECT_EQ(http::headerValue("x-token", header), "abc");
    EXPECT_EQ(http::headerValue("host", header), "127.0.0.1:8787");
    EXPECT_EQ(http::headerValue("empty", header), std::nullopt);
    EXPECT_EQ(http::headerValue("blank", header), "");
    EXPECT_EQ(http::headerValue("missing", header), std::nullopt);
    // The request line is scanned too, but its "name" is never a header name.
    EXPECT_EQ(http::headerValue("get /a http/1.1", "GET /a HTTP/1.1"), std::nullopt);
}

TEST(Http, ParseQueryDecodesPlusAndPercentAndKeepsMalformedPiecesVerbatim) {
    const auto query = http::parseQuery("s=a%20b&text=x+y&k=%E3%81%82&bad=%ZZ+1&cut=%4&notutf8=%FF+a");
    EXPECT_EQ(query.at("s"), "a b");
    EXPECT_EQ(query.at("text"), "x y");
    EXPECT_EQ(query.at("k"), "あ");
    EXPECT_EQ(query.at("bad"), "%ZZ+1");
    EXPECT_EQ(query.at("cut"), "%4");
    EXPECT_EQ(query.at("notutf8"), "%FF+a");
}

TEST(Http, ParseQueryHandlesMissingPiecesAndRepeatedKeys) {
    const auto query = http::parseQuery("&&flag&empty=&=orphan&eq=a=b&dup=1&dup=2&");
    EXPECT_EQ(query.at("flag"), "");
    EXPECT_EQ(query.at("empty"), "");
    EXPECT_EQ(query.at("orphan"), "");
    EXPECT_EQ(query.at("eq"), "a=b");
    EXPECT_EQ(query.at("dup"), "2");
    EXPECT_EQ(query.size(), 5U);
    EXPECT_TRUE(http::parseQuery("").empty());
    EXPECT_TRUE(http::parseQuery("&&&").empty());
}

TEST(Http, ResponseBytesAreExactAndCountTheBodyInBytes) {
    EXPECT_EQ(http::response("401 Unauthorized", http::textPlain, "合言葉が違います"),
              "HTTP/1.1 401 Unauthorized\r\nContent-Type: text/plain; charset=utf-8\r\n"
              "Content-Length: 24\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n"
              "合言葉が違います");
    EXPECT_EQ(http::response("200 OK", http::applicationJson, ""),
              "HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=utf-8\r\n"
              "Content-Length: 0\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n");
}

TEST(Http, LossyDecodingReplacesEachBrokenSequenceOnce) {
    EXPECT_EQ(http::decodeUtf8Lossy("plain あ"), "plain あ");
    EXPECT_EQ(http::decodeUtf8Lossy("a\xFF"
                                    "b"),
              "a\uFFFDb");
    EXPECT_EQ(http::decodeUtf8Lossy("\xE3\x81"), "\uFFFD");                 // truncated at the end
    EXPECT_EQ(http::decodeUtf8Lossy("\xE3\x81x"), "\uFFFDx");               // broken in the middle
    EXPECT_EQ(http::decodeUtf8Lossy("\xC0\xAF"), "\uFFFD\uFFFD");           // overlong
    EXPECT_EQ(http::decodeUtf8Lossy("\xED\xA0\x80"), "\uFFFD\uFFFD\uFFFD"); // surrogate
    EXPECT_EQ(http::decodeUtf8Lossy("\xF4\x90\x80\x80"), "\uFFFD\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(http::decodeUtf8Lossy(std::string("a\0b", 3)), std::string("a\0b", 3));
}

} // namespace
} // namespace torvane
