#pragma once

#include "app/phone/LocalAddress.hpp"
#include "app/phone/RequestHandler.hpp"
#include "app/phone/RequestReader.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace torvane {

struct ServerOptions {
    RequestLimits limits;
    // A connection that makes no progress (reading or writing) for this long is closed.
    std::chrono::milliseconds idleLimit{10000};
    std::function<std::vector<InterfaceAddress>()> interfaces = systemInterfaceAddresses;
    const InterfacePolicy* interfacePolicy = nullptr; // none: the host's
};

// The phone link's HTTP server: one request and one response per connection, everything on one
// thread of its own. start, stop and pairingURL are called from the main thread.
class Server {
public:
    static constexpr std::uint16_t defaultPort = 8787;
    static constexpr std::uint16_t fallbackPorts[] = {8788, 8789, 0}; // 0: any free port

    explicit Server(RequestHandler& handler, ServerOptions options = {});
    ~Server(); // stops quietly
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Listens on the first of the preferred port, 8788, 8789 and a free port that can be bound
    // (all local addresses, address reuse). Does nothing while running.
    void start(std::uint16_t preferredPort = defaultPort);
    // Closes the listener and every connection, then waits for the server's thread to end.
    void stop();

    bool isRunning() const { return running_.load(); }
    std::uint16_t port() const { return port_.load(); }

    // "http://" + address + ":" + port + "/?t=" + token; none when not running, without an IPv4
    // address, or without a token.
    std::optional<std::string> pairingURL();
    std::optional<std::string> localIPAddress() const;

    std::string token() { return handler_.token(); }
    void regenerateToken() { handler_.regenerateToken(); }

private:
    struct Engine;

    void tearDown();

    RequestHandler& handler_;
    ServerOptions options_;
    std::atomic<bool> running_{false};
    std::atomic<std::uint16_t> port_{0};
    std::mutex lifecycle_;
    std::unique_ptr<Engine> engine_;
};

} // namespace torvane
