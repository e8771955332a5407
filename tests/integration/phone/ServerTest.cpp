#include "app/phone/Server.hpp"

#include "RawClient.hpp"
#include "RecordingHandler.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <gtest/gtest.h>
#include <memory>
#include <stdexcept>
#include <thread>

namespace torvane {
namespace {

using namespace std::chrono_literals;
using test::RawClient;

std::string bodyOf(const std::string& response) {
    const auto at = response.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : response.substr(at + 4);
}

ServerOptions withIdleLimit(std::chrono::milliseconds limit) {
    ServerOptions options;
    options.idleLimit = limit;
    return options;
}

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override { startWith({}); }

    void startWith(ServerOptions options) {
        server_.reset();
        server_ = std::make_unique<Server>(handler_, std::move(options));
        server_->start(0); // any free port: these tests run beside others
        ASSERT_TRUE(server_->isRunning());
        ASSERT_NE(server_->port(), 0);
    }

    // One whole exchange: the bytes go out in the given pieces, then the reply is read.
    RawClient::Reply exchange(std::initializer_list<std::string_view> pieces, bool finish = false) {
        RawClient client(server_->port());
        EXPECT_TRUE(client.connected());
        for (const auto piece : pieces) {
            client.send(piece);
        }
        if (finish) {
            client.finishSending();
        }
        return client.readAll();
    }

    test::RecordingHandler handler_;
    std::unique_ptr<Server> server_;
};

TEST_F(ServerTest, AnswersARequestWhoseHeaderEndArrivesInALaterWriteOnceAndOnlyThen) {
    RawClient client(server_->port());
    ASSERT_TRUE(client.connected());
    client.send("GET /api/state HTTP/1.1\r\nHost: phone\r\n\r");
    EXPECT_FALSE(client.readable(300ms)) << "answered before the header was complete";
    client.send("\n");
    const auto reply = client.readAll();
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.bytes, http::response("200 OK", http::textPlain, "body="));
    ASSERT_EQ(handler_.requests().size(), 1U);
    EXPECT_EQ(handler_.requests()[0].first, "GET /api/state HTTP/1.1\r\nHost: phone");
}

TEST_F(ServerTest, ReadsExactlyContentLengthBodyBytesWhereverTheyArrive) {
    EXPECT_EQ(bodyOf(exchange({"POST /api/send HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc", "defghij"}).bytes),
              "body=abcdefghij");
    EXPECT_EQ(bodyOf(exchange({"POST /a HTTP/1.1\r\nContent-Length: 5\r\n\r\n123456789"}).bytes),
              "body=12345");
    EXPECT_EQ(bodyOf(exchange({"POST /a HTTP/1.1\r\nHost: x\r\n\r\ns=a&text=b"}).bytes), "body=");
    EXPECT_EQ(bodyOf(exchange({"POST /a HTTP/1.1\r\ncontent-length : 12\r\n\r\n0123456789ab"}).bytes),
              "body=0123456789ab");
    EXPECT_EQ(bodyOf(exchange({"POST /a HTTP/1.1\r\nContent-Length: 12abc\r\n\r\n0123456789ab"}).bytes),
              "body=");
}

TEST_F(ServerTest, AClientThatClosesItsSendingSideAfterAWholeRequestIsStillAnswered) {
    const auto reply = exchange({"POST /a HTTP/1.1\r\nContent-Length: 2\r\n\r\nok"}, true);
    EXPECT_EQ(bodyOf(reply.bytes), "body=ok");
    EXPECT_TRUE(reply.closed);
}

TEST_F(ServerTest, APeerThatFinishesBeforeTheRequestIsWholeGetsNoAnswer) {
    auto reply = exchange({"GET /api/state HTTP/1.1\r\n"}, true);
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.bytes, "");
    reply = exchange({"POST /a HTTP/1.1\r\nContent-Length: 9\r\n\r\nabc"}, true);
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.bytes, "");
    EXPECT_TRUE(handler_.requests().empty());
}

TEST_F(ServerTest, OversizedHeadersAndBodiesAreRefusedWith413) {
    const std::string tooLarge = http::response("413 Payload Too Large", http::textPlain, "too large");

    // A header that never ends: refused once 64 KiB have passed, while the client still sends.
    RawClient endless(server_->port());
    ASSERT_TRUE(endless.connected());
    endless.send("GET / HTTP/1.1\r\nX-Filler: ");
    endless.send(std::string(70 * 1024, 'a'));
    auto reply = endless.readAll();
    EXPECT_EQ(reply.bytes, tooLarge);

    // An announced body over 1 MiB is refused without waiting for it.
    reply = exchange({"POST /api/send HTTP/1.1\r\nContent-Length: 2000000\r\n\r\n" + std::string(1000, 'b')});
    EXPECT_EQ(reply.bytes, tooLarge);

    // Just under the cap is fine.
    const std::string head = "POST /a HTTP/1.1\r\nContent-Length: ";
    const std::size_t room = 1024 * 1024 - (head.size() + 7 + 4);
    const std::string request = head + std::to_string(room) + "\r\n\r\n" + std::string(room, 'c');
    ASSERT_EQ(request.size(), 1024U * 1024U);
    reply = exchange({request});
    EXPECT_EQ(bodyOf(reply.bytes), "body=" + std::string(room, 'c'));
    EXPECT_TRUE(handler_.requests().size() == 1);
}

TEST_F(ServerTest, ANegativeContentLengthIsABadRequestAndTheServerCarriesOn) {
    EXPECT_EQ(exchange({"POST /a HTTP/1.1\r\nContent-Length: -3\r\n\r\nabc"}).bytes,
              http::response("400 Bad Request", http::textPlain, "bad request"));
    EXPECT_EQ(bodyOf(exchange({"GET /a HTTP/1.1\r\n\r\n"}).bytes), "body=");
    EXPECT_TRUE(server_->isRunning());
}

TEST_F(ServerTest, ASilentClientIsClosedAfterTheIdleLimitWhileOthersAreServedMeanwhile) {
    startWith(withIdleLimit(1500ms));
    RawClient silent(server_->port());
    RawClient halfway(server_->port());
    ASSERT_TRUE(silent.connected());
    ASSERT_TRUE(halfway.connected());
    halfway.send("GET /api/state HTTP/1.1\r\nHost:");

    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(bodyOf(exchange({"GET /a HTTP/1.1\r\n\r\n"}).bytes), "body=");
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1000ms);
    EXPECT_FALSE(silent.readable(0ms)) << "closed before the idle limit";

    const auto silentReply = silent.readAll(5000ms);
    const auto halfwayReply = halfway.readAll(5000ms);
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_TRUE(silentReply.closed);
    EXPECT_TRUE(halfwayReply.closed);
    EXPECT_EQ(silentReply.bytes, "");
    EXPECT_EQ(halfwayReply.bytes, "");
    EXPECT_GE(waited, 1400ms);
}

TEST_F(ServerTest, AClientThatKeepsMakingProgressIsNotCutOffByTheIdleLimit) {
    startWith(withIdleLimit(400ms));
    RawClient trickle(server_->port());
    ASSERT_TRUE(trickle.connected());
    const std::string request = "POST /a HTTP/1.1\r\nContent-Length: 4\r\n\r\nslow";
    const auto started = std::chrono::steady_clock::now();
    for (const char c : request) {
        trickle.send(std::string_view(&c, 1));
        std::this_thread::sleep_for(30ms); // pacing only; the check is the reply below
    }
    EXPECT_GT(std::chrono::steady_clock::now() - started, 1000ms);
    EXPECT_EQ(bodyOf(trickle.readAll().bytes), "body=slow");
}

// Answers "big" with far more than the socket buffers of a loopback connection hold.
class BigAnswerHandler final : public RequestHandler {
public:
    static constexpr std::size_t size = 32 << 20;
    std::string route(std::string_view headerText, std::string_view) override {
        if (headerText.starts_with("GET /big ")) {
            return http::response("200 OK", http::textPlain, std::string(size, 'z'));
        }
        return http::response("200 OK", http::textPlain, "small");
    }
    std::string token() override { return "t"; }
    void regenerateToken() override {}
};

TEST(ServerFailures, AClientThatDoesNotReadItsLargeAnswerOnlyCostsItsOwnConnection) {
    BigAnswerHandler handler;
    ServerOptions options;
    options.idleLimit = 800ms;
    Server server(handler, options);
    server.start(0);
    ASSERT_TRUE(server.isRunning());
    RawClient stalled(server.port());
    ASSERT_TRUE(stalled.send("GET /big HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(test::waitFor([&] { return stalled.readable(0ms); })); // the answer is on its way

    const auto started = std::chrono::steady_clock::now();
    RawClient other(server.port());
    other.send("GET /small HTTP/1.1\r\n\r\n");
    EXPECT_EQ(bodyOf(other.readAll().bytes), "small");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 500ms);

    // Once the write has made no progress for the limit, the connection is given up.
    std::this_thread::sleep_for(1500ms); // the client really does not read meanwhile
    const auto reply = stalled.readAll(5000ms);
    EXPECT_TRUE(reply.closed);
    EXPECT_LT(reply.bytes.size(), BigAnswerHandler::size);
}

class ThrowingHandler final : public RequestHandler {
public:
    std::string route(std::string_view, std::string_view body) override {
        if (body == "throw") {
            throw std::runtime_error("broken route");
        }
        return http::response("200 OK", http::textPlain, "fine");
    }
    std::string token() override { return "t"; }
    void regenerateToken() override {}
};

TEST(ServerFailures, ARouteThatThrowsIsAnswered500AndTheServerCarriesOn) {
    test::LogCapture log;
    ThrowingHandler handler;
    Server server(handler);
    server.start(0);
    ASSERT_TRUE(server.isRunning());
    RawClient first(server.port());
    first.send("POST /a HTTP/1.1\r\nContent-Length: 5\r\n\r\nthrow");
    EXPECT_EQ(first.readAll().bytes, http::response("500 Internal Server Error", http::textPlain, "failed"));
    EXPECT_TRUE(log.contains("ERROR: リクエストを処理できませんでした: broken route"));
    RawClient second(server.port());
    second.send("POST /a HTTP/1.1\r\n\r\n");
    EXPECT_EQ(second.readAll().bytes, http::response("200 OK", http::textPlain, "fine"));
    EXPECT_TRUE(server.isRunning());
}

TEST_F(ServerTest, TwoHundredConnectionsOpenedAtOnceAreAllAnswered) {
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 200; ++i) {
        clients.push_back(std::make_unique<RawClient>(server_->port()));
        ASSERT_TRUE(clients.back()->connected()) << i;
    }
    for (int i = 0; i < 200; ++i) {
        const std::string body = std::to_string(i);
        ASSERT_TRUE(clients[static_cast<std::size_t>(i)]->send(
            "POST /a HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body));
    }
    int answered = 0;
    for (int i = 0; i < 200; ++i) {
        const auto reply = clients[static_cast<std::size_t>(i)]->readAll();
        answered += bodyOf(reply.bytes) == "body=" + std::to_string(i) ? 1 : 0;
    }
    EXPECT_EQ(answered, 200);
    EXPECT_EQ(handler_.requests().size(), 200U);
}

TEST_F(ServerTest, StopClosesTheListenerAndLogsAndStartIsIgnoredWhileRunning) {
    test::LogCapture log;
    const std::uint16_t port = server_->port();
    server_->start(0);
    EXPECT_EQ(server_->port(), port);
    EXPECT_TRUE(log.lines().empty());

    server_->stop();
    EXPECT_FALSE(server_->isRunning());
    EXPECT_TRUE(log.contains("サーバーを停止しました"));
    RawClient late(port);
    EXPECT_FALSE(late.connected());

    server_->start(0);
    EXPECT_TRUE(server_->isRunning());
    EXPECT_TRUE(log.contains("サーバーを開始しました (port " + std::to_string(server_->port()) + ")"));
    EXPECT_EQ(bodyOf(exchange({"GET /a HTTP/1.1\r\n\r\n"}).bytes), "body=");
}

TEST_F(ServerTest, StoppingWithConnectionsOpenEndsThemAndReturns) {
    RawClient open(server_->port());
    ASSERT_TRUE(open.connected());
    open.send("GET /a HTTP/1.1\r\n");
    server_->stop();
    const auto reply = open.readAll(2000ms);
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.bytes, "");
}

TEST_F(ServerTest, PairingUrlCarriesTheChosenAddressThePortAndTheToken) {
    std::vector<InterfaceAddress> interfaces{{"lo", true, true, true, "127.0.0.1"},
                                             {"docker0", true, false, true, "172.17.0.1"},
                                             {"wlan0", true, false, true, "192.168.1.20"}};
    ServerOptions options;
    options.interfaces = [&] { return interfaces; };
    startWith(std::move(options));
    const std::string port = std::to_string(server_->port());
    EXPECT_EQ(server_->pairingURL(), "http://192.168.1.20:" + port + "/?t=tok");

    server_->regenerateToken();
    EXPECT_EQ(server_->pairingURL(), "http://192.168.1.20:" + port + "/?t=tokx");

    handler_.setToken("");
    EXPECT_EQ(server_->pairingURL(), std::nullopt);
    handler_.setToken("tok");

    interfaces = {{"lo", true, true, true, "127.0.0.1"}, {"en0", true, false, false, "fe80::1"}};
    EXPECT_EQ(server_->pairingURL(), std::nullopt);

    interfaces = {{"wlan0", true, false, true, "192.168.1.20"}};
    server_->stop();
    EXPECT_EQ(server_->pairingURL(), std::nullopt);
}

} // namespace
} // namespace torvane
