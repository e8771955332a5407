#include "app/phone/Server.hpp"

#include "RawClient.hpp"
#include "RecordingHandler.hpp"
#include "app/phone/Http.hpp"
#include "app/phone/Seal.hpp"
#include "tests/fakes/MemorySettings.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <sys/resource.h>
#include <thread>

namespace torvane {
namespace {

using namespace std::chrono_literals;
using test::RawClient;
using Clock = std::chrono::steady_clock;

// Ten other peers on loopback, for crowds larger than one peer's share.
const char* peer(int i) {
    static const char* const peers[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5",  "127.0.0.6",
                                        "127.0.0.7", "127.0.0.8", "127.0.0.9", "127.0.0.10", "127.0.0.11"};
    return peers[i % 10];
}

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
        clients.push_back(std::make_unique<RawClient>(server_->port(), false, peer(i)));
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
}

// Other peers (127.0.0.2, .3) cannot take the room of the phone (127.0.0.1): not by announcing bodies,
// holding connections, sending bodies or trickling them. Each is logged once within the minute.
TEST_F(ServerTest, APeerHoldingConnectionsAndBodiesLocksNoOneElseOutIsCutAtTheDeadlineAndLoggedOnce) {
    const test::LogCapture log;
    ServerOptions options;
    options.headerLimit = 2000ms;
    startWith(options);
    const auto started = Clock::now();
    const std::string head = "POST /api/sealed HTTP/1.1\r\nContent-Length: ";
    std::vector<std::unique_ptr<RawClient>> announcers; // every other one still in its header
    for (int i = 0; i < 33; ++i) {
        announcers.push_back(std::make_unique<RawClient>(server_->port(), false, "127.0.0.2"));
        announcers.back()->send(head + (i % 2 != 0 ? "1048500\r\n\r\n" : "1048500\r\n"));
    }
    const auto refused = announcers.back()->readAll();
    EXPECT_TRUE(refused.closed && refused.bytes.empty()) << "the 33rd of one peer was let in";
    announcers.pop_back();
    const std::string text(200000, 't');
    EXPECT_EQ(bodyOf(exchange({head + "200000\r\n\r\n", text}).bytes), "body=" + text);

    // Bodies really sent count, up to 4 MiB for one peer: the fourth megabyte is refused, the phone's not.
    std::vector<std::unique_ptr<RawClient>> senders;
    for (int i = 0; i < 5; ++i) {
        senders.push_back(std::make_unique<RawClient>(server_->port(), false, "127.0.0.3"));
        senders.back()->send(head + "1000000\r\n\r\n" + std::string(999999, 's'));
    }
    const auto answered = [&] {
        return std::count_if(senders.begin(), senders.end(), [](auto& s) { return s->readable(0ms); });
    };
    ASSERT_TRUE(test::waitFor([&] { return answered() > 0; }));
    EXPECT_GE(senders.size() - answered(), 3U) << "refused before its share was used";
    const std::string busy = http::response("503 Service Unavailable", http::textPlain, "busy");
    for (auto& sender : senders) {
        if (sender->readable(0ms)) {
            EXPECT_EQ(sender->readAll().bytes, busy);
        }
    }
    EXPECT_EQ(bodyOf(exchange({head + "200000\r\n\r\n", text}).bytes), "body=" + text);

    // A header or a body trickled a byte at a time is cut at the deadline, unanswered.
    EXPECT_TRUE(test::waitFor(
        [&] {
            for (auto& announcer : announcers)
                announcer->send("x");
            std::this_thread::sleep_for(200ms); // the trickle's pace
            return std::all_of(announcers.begin(), announcers.end(),
                               [](auto& a) { return a->readable(0ms); });
        },
        30s));
    EXPECT_GE(Clock::now() - started, options.headerLimit);
    for (auto& announcer : announcers) {
        const auto reply = announcer->readAll();
        EXPECT_TRUE(reply.closed && reply.bytes.empty()) << reply.bytes;
    }
    EXPECT_EQ(handler_.requests().size(), 2U);
    const auto lines = log.lines();
    for (const std::string who : {"127.0.0.2", "127.0.0.3"}) {
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [&](auto& l) { return l.starts_with("WARN: スマホ連携: " + who + " から"); }),
                  1)
            << who;
    }
    EXPECT_TRUE(
        log.contains("WARN: スマホ連携: 127.0.0.2 からの接続を制限しました（同時接続数の上限 1 件）"));
}

// Listens on loopback and the LAN addresses the pairing URL chooses among, following them as they come
// and go; the setting widens that to every address or names the addresses.
TEST_F(ServerTest, ListensWhereThePairingUrlPointsAsAddressesComeAndGoOrWhereTheSettingSays) {
    std::mutex mutex;
    std::vector<InterfaceAddress> interfaces{{"lo", true, true, true, "127.0.0.1"},
                                             {"en0", true, false, false, "fe80::1"},
                                             {"docker0", true, false, true, "127.0.0.7"},
                                             {"wlan0", true, false, true, "127.0.0.5"}};
    const auto setInterfaces = [&](std::vector<InterfaceAddress> now) {
        const std::lock_guard lock(mutex);
        interfaces = std::move(now);
    };
    ServerOptions options;
    options.addressRecheck = 100ms;
    options.interfaces = [&] {
        const std::lock_guard lock(mutex);
        return interfaces;
    };
    startWith(options);
    const std::string port = std::to_string(server_->port());
    EXPECT_EQ(server_->pairingURL("id.code"), "http://127.0.0.5:" + port + "/#p=id.code");
    const auto reaches = [&](const char* to) {
        return RawClient(server_->port(), false, nullptr, to).connected();
    };
    EXPECT_TRUE(reaches("127.0.0.1") && reaches("127.0.0.5"));
    EXPECT_FALSE(reaches("127.0.0.7") || reaches("127.0.0.9")) << "listening on every address";
    setInterfaces({interfaces[0], interfaces[1]}); // loopback and IPv6 only
    EXPECT_EQ(server_->pairingURL("id.code"), std::nullopt);
    EXPECT_TRUE(test::waitFor([&] { return !reaches("127.0.0.5"); }));
    setInterfaces({{"wlan0", true, false, true, "127.0.0.6"}});
    EXPECT_TRUE(test::waitFor([&] { return reaches("127.0.0.6"); }));

    MemorySettings settings;
    options.settings = &settings;
    settings.setString(Config::Key::listenAddresses, "all");
    startWith(options);
    EXPECT_TRUE(reaches("127.0.0.9"));
    settings.setString(Config::Key::listenAddresses, " 127.0.0.8, bogus");
    startWith(options);
    EXPECT_TRUE(reaches("127.0.0.8"));
    EXPECT_FALSE(reaches("127.0.0.1"));
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

// A slowloris from ten peers: more connections than the cap, each adding a header line now and then.
TEST_F(ServerTest, TricklingClientsBeyondTheCapMakeRoomOldestFirstAndLockNoOneOut) {
    ServerOptions options;
    options.headerLimit = 3000ms;
    startWith(options);
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    EXPECT_EQ(limit.rlim_cur, limit.rlim_max) << "the descriptor limit was not raised";

    const auto started = Clock::now();
    std::vector<std::unique_ptr<RawClient>> tricklers;
    for (int i = 0; i < 300; ++i) {
        tricklers.push_back(std::make_unique<RawClient>(server_->port(), false, peer(i)));
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
    const auto reply = tricklers[44]->readAll(2 * options.headerLimit);
    EXPECT_TRUE(reply.closed && reply.bytes.empty()) << "a trickled header was answered: " << reply.bytes;
    EXPECT_EQ(handler_.requests().size(), asks);
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

} // namespace
} // namespace torvane