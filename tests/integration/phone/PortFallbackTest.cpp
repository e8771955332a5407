#include "RawClient.hpp"
#include "RecordingHandler.hpp"
#include "app/phone/Server.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <gtest/gtest.h>

namespace torvane {
namespace {

using test::PortHolder;

TEST(ServerPorts, StartsOn8787WhenItIsFree) {
    test::LogCapture log;
    test::RecordingHandler handler;
    Server server(handler);
    server.start();
    ASSERT_TRUE(server.isRunning());
    EXPECT_EQ(server.port(), 8787);
    EXPECT_TRUE(log.contains("サーバーを開始しました (port 8787)"));
    test::RawClient client(8787);
    EXPECT_TRUE(client.connected());
}

TEST(ServerPorts, MovesOnToTheNextPortWhileTheEarlierOnesAreTaken) {
    test::RecordingHandler handler;
    PortHolder first(8787);
    ASSERT_TRUE(first.holding()) << "port 8787 is in use by something else on this machine";
    {
        Server server(handler);
        server.start();
        ASSERT_TRUE(server.isRunning());
        EXPECT_EQ(server.port(), 8788);
    }
    PortHolder second(8788);
    ASSERT_TRUE(second.holding());
    {
        Server server(handler);
        server.start();
        ASSERT_TRUE(server.isRunning());
        EXPECT_EQ(server.port(), 8789);
    }
    PortHolder third(8789);
    ASSERT_TRUE(third.holding());
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

TEST(ServerPorts, TwoServersDoNotShareAPort) {
    test::RecordingHandler handler;
    Server one(handler);
    Server two(handler);
    one.start();
    two.start();
    ASSERT_TRUE(one.isRunning());
    ASSERT_TRUE(two.isRunning());
    EXPECT_NE(one.port(), two.port());
}

} // namespace
} // namespace torvane
