#include "RawClient.hpp"
#include "RecordingHandler.hpp"
#include "app/phone/Server.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <gtest/gtest.h>
#include <memory>

namespace torvane {
namespace {

using namespace std::chrono_literals;

// A listener on all IPv4 addresses, holding a port the way another program would.
class PortHolder : test::Socket {
public:
    explicit PortHolder(std::uint16_t port) : Socket(AF_INET) {
        // Like the server: earlier tests' connections in TIME_WAIT must not keep the port from being
        // held, while a live listener still does.
        const int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const sockaddr_in address{
            .sin_family = AF_INET, .sin_port = htons(port), .sin_addr = {htonl(INADDR_ANY)}, .sin_zero = {}};
        holding = ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                  ::listen(fd_, 1) == 0;
    }
    bool holding = false;
};

// These ports are shared with every other program on the machine (a test run in another checkout,
// say): wait, within a bound, until the port can be had.
std::unique_ptr<PortHolder> holdWhenFree(std::uint16_t port) {
    std::unique_ptr<PortHolder> holder;
    test::waitFor([&] { return (holder = std::make_unique<PortHolder>(port))->holding; }, 60s);
    return holder;
}

TEST(ServerPorts, MovesOnToTheNextPortWhileTheEarlierOnesAreTaken) {
    const test::MachineLock ports("phone_ports"); // other checkouts' runs use them too
    test::RecordingHandler handler;
    std::vector<std::unique_ptr<PortHolder>> taken;
    for (std::uint16_t held = 8787; held <= 8789; ++held) {
        taken.push_back(holdWhenFree(held));
        ASSERT_TRUE(taken.back()->holding)
            << "port " << held << " stayed in use by something else on this machine";
        const std::uint16_t next = held < 8789 ? held + 1 : 0;
        if (next != 0) {
            holdWhenFree(next).reset();
        }
        test::LogCapture log;
        Server server(handler, handler.secret());
        server.start();
        ASSERT_TRUE(server.isRunning());
        if (next != 0) {
            EXPECT_EQ(server.port(), next);
        } else {
            EXPECT_TRUE(server.port() != 0 && (server.port() < 8787 || server.port() > 8789))
                << server.port();
        }
        EXPECT_TRUE(log.contains("サーバーを開始しました (port " + std::to_string(server.port()) + ")"));
    }
}

} // namespace
} // namespace torvane
