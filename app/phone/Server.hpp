#pragma once

#include "app/core/Settings.hpp"
#include "app/phone/LocalAddress.hpp"
#include "app/phone/PairingSecret.hpp"
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
#include <string_view>
#include <vector>

namespace torvane {

struct ServerOptions {
    RequestLimits limits;
    // A connection that makes no progress (reading or writing) for this long is closed.
    std::chrono::milliseconds idleLimit{10000};
    // The request's header must be complete this long after the accept, however it trickles in; the
    // whole request within that plus the time its body, as far as it has come, takes at minBodyRate.
    std::chrono::milliseconds headerLimit{10000};
    // 2 KB/s is 16 kbit/s, a tenth of what a phone at the edge of the Wi-Fi still gets through: a 40 KB
    // text, sealed and form-encoded up to some 160 KB, needs 80 s at that pace and is let in; a peer
    // that trickles a byte now and then is cut ten seconds after it connected.
    std::size_t minBodyRate = 2048; // bytes per second
    // Beyond this many open connections, the one that has waited longest for its request is closed.
    std::size_t maxConnections = 256;
    // What the connections still reading hold (read buffers, the request so far), counted as it
    // arrives: beyond this many bytes in all, the one that would pass it is answered 503. A sealed body
    // is all a peer without the token can send, and it must be read whole before it can be opened.
    std::size_t maxHeldBodyBytes = 32 * 1024 * 1024;
    // One source address's share of the connections and of those bytes: a peer alone cannot take the
    // room the phone needs. A phone's browser keeps six connections at most.
    std::size_t maxConnectionsPerPeer = 32;
    std::size_t maxHeldBytesPerPeer = 4 * 1024 * 1024;
    // Connections taken from the backlog before the others' reads and writes get their turn.
    std::size_t acceptsPerWakeup = 16;
    // How often the interfaces' addresses are looked at, to listen on new ones and leave gone ones.
    std::chrono::milliseconds addressRecheck{15000};
    // Where the listen setting (Config::Key::listenAddresses) is read at each start; none: "lan".
    const Settings* settings = nullptr;
    // Threads carrying out the requests' tmux work; a slow tmux call holds up only its own session's
    // line and one of them.
    std::size_t workers = 4;
    std::function<std::vector<InterfaceAddress>()> interfaces = systemInterfaceAddresses;
    const InterfacePolicy* interfacePolicy = nullptr; // none: the host's
};

class ServerEngine;
class SessionQueues;

// The phone link's HTTP server: one request and one response per connection. The sockets live on
// one thread of the server's own (ServerEngine, Connection), the requests' work is carried out by a
// few workers (SessionQueues). start, stop and pairingURL are called from the main thread.
class Server {
public:
    static constexpr std::uint16_t defaultPort = 8787;
    static constexpr std::uint16_t fallbackPorts[] = {8788, 8789, 0}; // 0: any free port

    Server(RequestHandler& handler, PairingSecret& secret, ServerOptions options = {});
    ~Server(); // stops quietly, and waits for the work still under way
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Listens on the first of the preferred port, 8788, 8789 and a free port that can be had on every
    // address of the listen setting (address reuse). Does nothing while running.
    void start(std::uint16_t preferredPort = defaultPort);
    // Closes the listener and every connection at once. Work not yet begun is dropped; a request
    // still being carried out finishes (or meets its time limit) on its worker, and its answer is
    // dropped: stop never waits for it, the destructor does.
    void stop();
    // Stops as stop() does without a word, and waits for the work still under way: for an end that
    // runs no destructors (exit()), so that no worker logs after the log has gone.
    void awaitWork();

    bool isRunning() const { return running_.load(); }
    std::uint16_t port() const { return port_.load(); }

    // "http://" + address + ":" + port + "/#p=" + a pairing code (PhoneRegistry::newCode); none when
    // not running or without an IPv4 address.
    std::optional<std::string> pairingURL(std::string_view code);
    static std::string pairingURL(const std::string& address, std::uint16_t port, std::string_view code);
    std::optional<std::string> localIPAddress() const;

    std::string token() { return secret_.token(); }
    void regenerateToken() { secret_.regenerate(); }

private:
    void tearDown();
    ListenPlan listenPlan() const;

    RequestHandler& handler_;
    PairingSecret& secret_;
    ServerOptions options_;
    std::atomic<bool> running_{false};
    std::atomic<std::uint16_t> port_{0};
    std::mutex lifecycle_;
    std::unique_ptr<SessionQueues> queues_; // from the first start to the destructor
    std::shared_ptr<ServerEngine> engine_;
};

} // namespace torvane
