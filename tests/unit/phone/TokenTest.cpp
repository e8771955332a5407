#include "app/phone/Token.hpp"

#include "app/phone/JsonString.hpp"

#include <algorithm>
#include <chrono>
#include <gtest/gtest.h>
#include <set>

namespace torvane {
namespace {

bool isUrlSafe(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
               c == '_';
    });
}

TEST(Token, IsThirtyTwoUrlSafeCharactersFromTheSecureSource) {
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        const auto token = token::generate();
        ASSERT_TRUE(token.has_value());
        EXPECT_EQ(token->size(), 32U);
        EXPECT_TRUE(isUrlSafe(*token)) << *token;
        seen.insert(*token);
    }
    EXPECT_EQ(seen.size(), 50U);
}

TEST(Token, EncodesItsBytesAsBase64WithTheUrlSafeAlphabet) {
    // 0xFB 0xFF 0xBF is "+/+/" in standard base64.
    const token::RandomSource source = [](std::span<unsigned char> bytes) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = (i % 3 == 0) ? 0xFB : (i % 3 == 1 ? 0xFF : 0xBF);
        }
        return true;
    };
    EXPECT_EQ(token::generate(source), "-_-_-_-_-_-_-_-_-_-_-_-_-_-_-_-_");
    const unsigned char hello[] = {'h', 'e', 'l', 'l', 'o'};
    EXPECT_EQ(token::base64Url(hello), "aGVsbG8");
    EXPECT_EQ(token::generate([](std::span<unsigned char>) { return false; }), std::nullopt);
}

TEST(Token, ConstantTimeEqualsIsPlainEquality) {
    EXPECT_TRUE(token::constantTimeEquals("abc", "abc"));
    EXPECT_FALSE(token::constantTimeEquals("abd", "abc"));
    EXPECT_FALSE(token::constantTimeEquals("xbc", "abc"));
    EXPECT_FALSE(token::constantTimeEquals("ab", "abc"));
    EXPECT_FALSE(token::constantTimeEquals("abcabc", "abc"));
    EXPECT_FALSE(token::constantTimeEquals("", "abc"));
    EXPECT_FALSE(token::constantTimeEquals("abc", ""));
    EXPECT_TRUE(token::constantTimeEquals("", ""));
}

TEST(Token, ComparisonTakesAsLongWhereverTheOfferDiffers) {
    // Long values make an early exit stand out by orders of magnitude over timer noise; the
    // cases take turns and the fastest run of each counts, so that load on the machine hits all.
    // The band is wide on purpose: an early exit is a thousand times faster, load is not.
    const std::string expected(256 << 10, 'a');
    std::string differsFirst = expected;
    differsFirst.front() = 'b';
    std::string differsLast = expected;
    differsLast.back() = 'b';
    const std::string offers[] = {differsFirst, differsLast, "", expected};
    std::chrono::nanoseconds fastest[4];
    std::fill(std::begin(fastest), std::end(fastest), std::chrono::nanoseconds::max());
    bool results[4] = {};
    for (int round = 0; round < 100; ++round) {
        for (int i = 0; i < 4; ++i) {
            const auto start = std::chrono::steady_clock::now();
            results[i] = token::constantTimeEquals(offers[i], expected);
            fastest[i] = std::min(fastest[i], std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                  std::chrono::steady_clock::now() - start));
        }
    }
    EXPECT_FALSE(results[0] || results[1] || results[2]);
    EXPECT_TRUE(results[3]);
    const auto reference = static_cast<double>(fastest[1].count());
    for (int i : {0, 2, 3}) {
        const double ratio = static_cast<double>(fastest[i].count()) / reference;
        EXPECT_GT(ratio, 0.2) << "case " << i << ": " << fastest[i].count() << " ns against " << reference;
        EXPECT_LT(ratio, 5.0) << "case " << i << ": " << fastest[i].count() << " ns against " << reference;
    }
}

TEST(JsonString, EscapesQuotesBackslashesAndControlCharactersOnly) {
    EXPECT_EQ(jsonString("plain"), "\"plain\"");
    EXPECT_EQ(jsonString("a\"b\nc"), "\"a\\\"b\\nc\"");
    EXPECT_EQ(jsonString("\t\r\\"), "\"\\t\\r\\\\\"");
    EXPECT_EQ(jsonString("\x01\x1b\x1f"), "\"\\u0001\\u001b\\u001f\"");
    EXPECT_EQ(jsonString(std::string("a\0b", 3)), "\"a\\u0000b\"");
    EXPECT_EQ(jsonString("/ \x7f あ 🙂"), "\"/ \x7f あ 🙂\"");
    EXPECT_EQ(jsonString(""), "\"\"");
}

TEST(JsonString, InvalidUtf8NeverBreaksTheDocument) {
    EXPECT_EQ(jsonString("a\xFF\"b"), "\"a\uFFFD\\\"b\"");
}

} // namespace
} // namespace torvane
