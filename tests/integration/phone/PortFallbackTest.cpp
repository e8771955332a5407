#include "RawClient.hpp"
#include "RecordingHandler.hpp"
#include "app/phone/Server.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <gtest/gtest.h>
#include <memory>

namespace torvane {
namespace {

using namespace std::chrono_literals;
using test::PortHolder;

// These ports are shared with every other program on the machine (a test run in another checkout,
// say): wait, within a bound, until the port can be had.
std::unique_ptr<PortHolder> holdWhenFree(std::uint16_t port) {
    std::unique_ptr<PortHolder> holder;
    test::waitFor(
        [&] {
            holder = std::make_unique<PortHolder>(port);
            return holder->holding();
        },
        60s);
    return holder;
}

TEST(ServerPorts, MovesOnToTheNextPortWhileTheEarlierOnesAreTaken) {
    const test::MachineLock ports("phone_ports"); // other checkouts' runs use them too
    test::RecordingHandler handler;
    const auto first = holdWhenFree(8787);
    ASSERT_TRUE(first->holding()) << "port 8787 stayed in use by something else on this machine";
    holdWhenFree(8788).reset();
    {
        Server server(handler);
        server.start();
        ASSERT_TRUE(server.isRunning());
        EXPECT_EQ(server.port(), 8788);
    }
    const auto second = holdWhenFree(8788);
    ASSERT_TRUE(second->holding());
    holdWhenFree(8789).reset();
    {
        Server server(handler);
        server.start();
        ASSERT_TRUE(server.isRunning());
        EXPECT_EQ(server.port(), 8789);
    }
    const auto third = holdWhenFree(8789);
    ASSERT_TRUE(third->holding());
    {
        test::LogCapture log;
        Server server(handler);
        server.start();
        ASSERT_TRUE(server.isRunning());
        EXPECT_NE(server.port(), 0);
        EXPECT_TRUE(server.port() < 8787 || server.port() > 8789) << server.port();
        EXPECT_TRUE(log.contains("サーバーを開始しました (port " + std::to_string(server.port()) + ")"));
        test::RawClient client(server.port());
        ASSERT_TRUE(client.connected());
        client.send("GET / HTTP/1.1\r\n\r\n");
        EXPECT_EQ(client.readAll().bytes, http::response("200 OK", http::textPlain, "body="));
    }
}

} // namespace
} // namespace torvane
