#include "app/phone/RequestReader.hpp"

#include <gtest/gtest.h>

namespace torvane {
namespace {

using Status = RequestReader::Status;

TEST(RequestReader, AnswersOnlyOnceTheHeaderEndHasArrivedEvenWhenSplitAcrossReads) {
    RequestReader reader;
    EXPECT_EQ(reader.receive("GET /api/state HTTP/1.1\r\nHost: x\r", false), Status::incomplete);
    EXPECT_EQ(reader.receive("\n", false), Status::incomplete);
    EXPECT_EQ(reader.receive("\r", false), Status::incomplete);
    EXPECT_EQ(reader.receive("\n", false), Status::complete);
    EXPECT_EQ(reader.headerText(), "GET /api/state HTTP/1.1\r\nHost: x");
    EXPECT_EQ(reader.body(), "");
}

TEST(RequestReader, WaitsForTheWholeBodyAndIgnoresWhatFollowsIt) {
    RequestReader reader;
    EXPECT_EQ(reader.receive("POST /api/send HTTP/1.1\r\nContent-Length: 5\r\n\r\ns=", false),
              Status::incomplete);
    EXPECT_EQ(reader.receive("abcdEXTRA", false), Status::complete);
    EXPECT_EQ(reader.body(), "s=abc");
    EXPECT_EQ(reader.receive("more", true), Status::complete);
    EXPECT_EQ(reader.body(), "s=abc");
}

TEST(RequestReader, WithoutContentLengthTheBodyIsEmpty) {
    RequestReader reader;
    EXPECT_EQ(reader.receive("POST /api/send HTTP/1.1\r\n\r\ns=a&text=b", false), Status::complete);
    EXPECT_EQ(reader.body(), "");
}

TEST(RequestReader, APeerThatFinishesEarlyIsClosedWithoutAnswer) {
    RequestReader header;
    EXPECT_EQ(header.receive("GET / HTTP/1.1\r\n", true), Status::closeSilently);

    RequestReader body;
    EXPECT_EQ(body.receive("POST / HTTP/1.1\r\nContent-Length: 4\r\n\r\nab", false), Status::incomplete);
    EXPECT_EQ(body.receive("", true), Status::closeSilently);

    // A complete request followed by the peer finishing is still answered.
    RequestReader halfClosed;
    EXPECT_EQ(halfClosed.receive("POST / HTTP/1.1\r\nContent-Length: 2\r\n\r\nok", true), Status::complete);
}

TEST(RequestReader, NegativeContentLengthIsABadRequest) {
    RequestReader reader;
    EXPECT_EQ(reader.receive("POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", false), Status::badRequest);
}

TEST(RequestReader, HeadersAndRequestsBeyondTheCapsAreTooLarge) {
    const RequestLimits limits{.maxHeaderBytes = 64, .maxRequestBytes = 128};

    RequestReader exact(limits);
    const std::string header64 = "GET / HTTP/1.1\r\nX: " + std::string(64 - 19, 'a');
    ASSERT_EQ(header64.size(), 64U);
    EXPECT_EQ(exact.receive(header64 + "\r\n\r\n", false), Status::complete);

    RequestReader endless(limits);
    EXPECT_EQ(endless.receive(header64, false), Status::incomplete);
    EXPECT_EQ(endless.receive("b\r\n", false), Status::incomplete);
    EXPECT_EQ(endless.receive("c", false), Status::tooLarge);

    RequestReader lateEnd(limits);
    EXPECT_EQ(lateEnd.receive(header64 + "b\r\n\r\n", false), Status::tooLarge);

    // The total is judged from Content-Length at once, without waiting for the body.
    const std::string post = "POST / HTTP/1.1\r\nContent-Length: ";
    RequestReader announced(limits);
    EXPECT_EQ(announced.receive(post + "90\r\n\r\n", false), Status::tooLarge);
    RequestReader fits(limits);
    const std::size_t room = 128 - (post.size() + 2 + 4);
    EXPECT_EQ(fits.receive(post + std::to_string(room) + "\r\n\r\n" + std::string(room, 'x'), false),
              Status::complete);
    RequestReader huge(limits);
    EXPECT_EQ(huge.receive(post + "9223372036854775807\r\n\r\n", false), Status::tooLarge);
}

TEST(RequestReader, InvalidUtf8InHeaderAndBodyBecomesReplacementCharacters) {
    RequestReader reader;
    EXPECT_EQ(reader.receive("GET /\xFF HTTP/1.1\r\nContent-Length: 2\r\n\r\n\xC3(", false),
              Status::complete);
    EXPECT_EQ(reader.headerText(), "GET /\uFFFD HTTP/1.1\r\nContent-Length: 2");
    EXPECT_EQ(reader.body(), "\uFFFD(");
}

} // namespace
} // namespace torvane
