#include "app/phone/Server.hpp"

#include "RawClient.hpp"
#include "RecordingHandler.hpp"
#include "app/phone/Http.hpp"
#include "app/phone/Seal.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <sys/resource.h>
#include <thread>

namespace torvane {
namespace {

using namespace std::chrono_literals;
using test::RawClient;
using Clock = std::chrono::steady_clock;

std::string bodyOf(const std::string& response) {
    const auto at = response.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : response.substr(at + 4);
}

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override { startWith({}); }

    void startWith(ServerOptions options) {
        server_.reset();
        server_ = std::make_unique<Server>(handler_, handler_.secret(), std::move(options));
        server_->start(0); // any free port: these tests run beside others
        ASSERT_TRUE(server_->isRunning());
    }

    // One whole exchange: the bytes go out in the given pieces, then the reply is read.
    RawClient::Reply exchange(std::initializer_list<std::string_view> pieces, bool ipv6 = false) {
        RawClient client(server_->port(), ipv6);
        EXPECT_TRUE(client.connected());
        for (const auto piece : pieces) {
            client.send(piece);
        }
        return client.readAll();
    }

    test::RecordingHandler handler_;
    std::unique_ptr<Server> server_;
};

TEST_F(ServerTest, FramesARequestWhereverItsPiecesArriveAndAnswersOnIPv4AndIPv6AndTwoHundredAtOnce) {
    RawClient client(server_->port());
    client.send("POST /a HTTP/1.1\r\nContent-Length: 10\r\n\r");
    EXPECT_FALSE(client.readable(300ms)) << "answered before the header was complete";
    client.send("\nabc");
    EXPECT_FALSE(client.readable(100ms)) << "answered before the body was complete";
    client.send("defghijEXTRA");
    EXPECT_EQ(bodyOf(client.readAll().bytes), "body=abcdefghij");
    EXPECT_EQ(bodyOf(exchange({"GET /a HTTP/1.1\r\n\r\n"}, true).bytes), "body=") << "not on ::1";
    EXPECT_EQ(handler_.requests().size(), 2U);
    // Two hundred opened at once are all answered, each with its own body.
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 200; ++i) {
        clients.push_back(std::make_unique<RawClient>(server_->port()));
        clients.back()->send("POST /a HTTP/1.1\r\nContent-Length: 3\r\n\r\n" + std::to_string(i + 100));
    }
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(bodyOf(clients[i]->readAll().bytes), "body=" + std::to_string(i + 100)) << i;
    }
}

TEST_F(ServerTest, OversizedHeadersAndBodiesAreRefusedWith413) {
    const std::string tooLarge = http::response("413 Payload Too Large", http::textPlain, "too large");
    // A header that never ends: refused once 64 KiB have passed, while the client still sends.
    EXPECT_EQ(exchange({"GET / HTTP/1.1\r\nX-Filler: ", std::string(70 * 1024, 'a')}).bytes, tooLarge);
    // An announced body over 1 MiB is refused without waiting for it.
    EXPECT_EQ(exchange({"POST /a HTTP/1.1\r\nContent-Length: 2000000\r\n\r\nbbb"}).bytes, tooLarge);
    // Just under the cap is fine.
    const std::string head = "POST /a HTTP/1.1\r\nContent-Length: ";
    const std::size_t room = 1024 * 1024 - (head.size() + 7 + 4);
    const std::string request = head + std::to_string(room) + "\r\n\r\n" + std::string(room, 'c');
    ASSERT_EQ(request.size(), 1024U * 1024U);
    EXPECT_EQ(bodyOf(exchange({request}).bytes), "body=" + std::string(room, 'c'));
    EXPECT_EQ(handler_.requests().size(), 1U);
    // Bodies still coming are held up to 32 MiB in all: beyond, refused at once; a close frees its share.
    std::vector<std::unique_ptr<RawClient>> holders;
    for (int i = 0; i < 32; ++i) {
        holders.push_back(std::make_unique<RawClient>(server_->port()));
        holders.back()->send(head + std::to_string(room) + "\r\n\r\n");
    }
    const std::string busy = http::response("503 Service Unavailable", http::textPlain, "busy");
    EXPECT_TRUE(test::waitFor([&] { return exchange({request}).bytes == busy; }));
    holders.clear();
    EXPECT_TRUE(
        test::waitFor([&] { return bodyOf(exchange({request}).bytes) == "body=" + std::string(room, 'c'); }));
}

TEST_F(ServerTest, ASilentClientIsClosedAfterTheIdleLimitWhileOthersAreServedMeanwhile) {
    ServerOptions options;
    options.idleLimit = 3000ms; // far beyond five exchanges, even on a loaded machine
    startWith(options);
    const auto connected = Clock::now();
    RawClient silent(server_->port());
    RawClient halfway(server_->port());
    halfway.send("GET /api/state HTTP/1.1\r\nHost:");
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(bodyOf(exchange({"GET /a HTTP/1.1\r\n\r\n"}).bytes), "body=");
    }
    EXPECT_FALSE(silent.readable(0ms)) << "the others were served only once the silent one had gone";
    const auto silentReply = silent.readAll(10s);
    const auto halfwayReply = halfway.readAll(10s);
    EXPECT_TRUE(silentReply.closed && halfwayReply.closed);
    EXPECT_EQ(silentReply.bytes + halfwayReply.bytes, "");
    EXPECT_GE(Clock::now() - connected, options.idleLimit) << "closed before the idle limit";
}

// A child started meanwhile (a tmux call) must not keep the port or a connection open.
TEST_F(ServerTest, TheListenerAndEveryConnectionAreCloseOnExec) {
    RawClient client(server_->port());
    client.send("GET /a HTTP/1.1\r\n"); // held open, its header unfinished
    std::vector<std::string> inheritable;
    ASSERT_TRUE(test::waitFor([&] {
        int sockets = 0;
        inheritable.clear();
        for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code error;
            const std::string target = std::filesystem::read_symlink(fd, error).string();
            sockets += target.starts_with("socket:") ? 1 : 0;
            if (target.starts_with("socket:") &&
                !(::fcntl(std::stoi(fd.path().filename()), F_GETFD) & FD_CLOEXEC))
                inheritable.push_back(target);
        }
        return sockets >= 3; // the listener, the client and its accepted end
    }));
    EXPECT_EQ(inheritable, std::vector<std::string>{});
}

// A slowloris from one peer: more connections than the cap, each adding a header line now and then.
TEST_F(ServerTest, TricklingClientsNeitherOutliveTheHeaderLimitNorLockOthersOut) {
    ServerOptions options;
    options.headerLimit = 3000ms;
    startWith(options);
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    EXPECT_EQ(limit.rlim_cur, limit.rlim_max) << "the descriptor limit was not raised";

    const auto started = Clock::now();
    std::vector<std::unique_ptr<RawClient>> tricklers;
    for (int i = 0; i < 300; ++i) {
        tricklers.push_back(std::make_unique<RawClient>(server_->port()));
        tricklers.back()->send("GET / HTTP/1.1\r\n");
    }
    const auto trickle = [&] {
        for (auto& trickler : tricklers)
            trickler->send("X-More: 1\r\n");
    };
    // At 256 the ones waiting longest make room; the last stays until its header limit, which has not
    // passed for any of them while the clock reads under it.
    EXPECT_TRUE(test::waitFor([&] { return tricklers[43]->readable(0ms); }, options.headerLimit));
    EXPECT_TRUE(tricklers[0]->readable(0ms));
    std::size_t asks = 0;
    for (; asks < 3; ++asks) {
        trickle();
        EXPECT_EQ(bodyOf(exchange({"GET /a HTTP/1.1\r\n\r\n"}).bytes), "body=");
    }
    EXPECT_FALSE(tricklers[299]->readable(0ms)) << "answered only once the tricklers had gone";
    EXPECT_LT(Clock::now() - started, options.headerLimit);

    // Trickling on never earns more time: each is closed while it still sends.
    EXPECT_TRUE(test::waitFor(
        [&] {
            trickle();
            std::this_thread::sleep_for(200ms); // the tricklers' pace
            return std::all_of(tricklers.begin(), tricklers.end(), [](auto& t) { return t->readable(0ms); });
        },
        4 * options.headerLimit));
    for (auto& trickler : tricklers) {
        const auto reply = trickler->readAll();
        EXPECT_TRUE(reply.closed && reply.bytes.empty()) << reply.bytes;
    }
    EXPECT_EQ(handler_.requests().size(), asks) << "a trickled header reached the handler";
}

// Holds each request until the test lets it go, like a tmux call at its time limit.
class HangingHandler final : public RequestHandler {
public:
    std::optional<Response> answerHead(const Request&) override { return std::nullopt; }
    Plan plan(Request) override {
        Plan plan;
        plan.work = [this](bool) {
            entered = true;
            test::waitFor([&] { return released.load(); }, 20s);
            finished = true;
            return Response::text(200, "late");
        };
        return plan;
    }
    std::atomic<bool> entered{false}, released{false}, finished{false};
};

TEST(ServerStop, ReturnsAtOnceWhileARequestIsBeingCarriedOutDropsItsAnswerAndIsLoggedOnlyAfterAStart) {
    const test::LogCapture log;
    HangingHandler hanging;
    test::RecordingHandler unused; // for its secret
    Server server(hanging, unused.secret());
    server.stop(); // the app's end when the phone link never ran
    server.start(0);
    RawClient waiting(server.port());
    waiting.send("GET /slow HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(test::waitFor([&] { return hanging.entered.load(); }));

    server.stop();
    EXPECT_FALSE(hanging.finished) << "the stop waited for the request";
    const auto reply = waiting.readAll(); // closed by the stop, not by the request's end
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.bytes, "");
    EXPECT_FALSE(hanging.finished);

    hanging.released = true;
    ASSERT_TRUE(test::waitFor([&] { return hanging.finished.load(); }));
    const auto lines = log.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "サーバーを停止しました"), 1);
}

TEST_F(ServerTest, PairingUrlCarriesTheChosenIPv4AddressThePortAndTheCodeInItsFragment) {
    std::vector<InterfaceAddress> interfaces{{"lo", true, true, true, "127.0.0.1"},
                                             {"en0", true, false, false, "fe80::1"},
                                             {"docker0", true, false, true, "172.17.0.1"},
                                             {"wlan0", true, false, true, "192.168.1.20"}};
    ServerOptions options;
    options.interfaces = [&] { return interfaces; };
    startWith(std::move(options));
    const std::string port = std::to_string(server_->port());
    EXPECT_EQ(server_->pairingURL("id.code"), "http://192.168.1.20:" + port + "/#p=id.code");
    interfaces.resize(2); // loopback and IPv6 only
    EXPECT_EQ(server_->pairingURL("id.code"), std::nullopt);
}

} // namespace
} // namespace torvane
