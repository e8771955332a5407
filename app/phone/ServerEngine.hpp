#pragma once

#include "app/phone/Connection.hpp"
#include "app/phone/LocalAddress.hpp"
#include "app/phone/PeerLimits.hpp"
#include "app/phone/RequestHandler.hpp"
#include "app/phone/Server.hpp"
#include "app/phone/SessionQueues.hpp"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

namespace torvane {

// One run of the server, from start to stop: the listeners, the connections and the thread their
// io_context runs on. It hands each request to the handler and its work to the session queues.
class ServerEngine : public std::enable_shared_from_this<ServerEngine> {
public:
    ServerEngine(RequestHandler& handler, const ServerOptions& options, SessionQueues& queues,
                 ListenPlan plan);

    // Listens on the plan's addresses, all on one port (0: one the system picks). False (nothing left
    // open) when the port is taken on any of them or none can be had; an address that cannot be had
    // for another reason (an interface going away) is tried again later.
    bool listen(std::uint16_t port);
    std::uint16_t boundPort() const { return port_; }
    // Accepts on the engine's own thread from now on, and follows the interfaces' addresses;
    // `running` is cleared if every listener fails.
    void run(std::atomic<bool>& running);
    // Quick whatever the workers are doing: the socket thread never blocks, so joining it is immediate.
    // Work not yet begun is dropped; work under way finishes on its own, and its answer is dropped.
    void shutDown();

    // For the connections, on the engine's thread.
    const ServerOptions& options() const { return options_; }
    PeerLimits& limits() { return limits_; }
    void connectionClosed(const asio::ip::address& peer);
    // What the header alone decides; none also when stopped.
    std::optional<Response> answerHead(const Request& request);
    // The whole request: answered at once, or its work queued and the answer posted back.
    void dispatch(const std::shared_ptr<Connection>& connection, Request request);

private:
    struct Listener {
        explicit Listener(asio::io_context& io) : acceptor(io), retry(io) {}
        std::string address; // empty: every address
        asio::ip::tcp::acceptor acceptor;
        asio::steady_timer retry;
        asio::ip::tcp protocol = asio::ip::tcp::v6();
    };
    std::shared_ptr<Listener> open(const std::string& address, asio::ip::tcp protocol, std::uint16_t port,
                                   asio::error_code& error);
    bool listenOnce(std::uint16_t port);
    void closeListeners();
    void accept(const std::shared_ptr<Listener>& listener);
    void onAcceptable(const std::shared_ptr<Listener>& listener);
    void admit(asio::ip::tcp::socket socket, const asio::ip::address& peer);
    void listenerFailed(const std::shared_ptr<Listener>& listener, const std::string& message);
    void scheduleRecheck();
    void recheck();
    void followAddresses();

    // Declared before the context: connections the context still holds give their counts back here.
    PeerLimits limits_;
    std::size_t acceptedSinceTrim_ = 0;
    std::chrono::steady_clock::time_point lastTrim_{};
    const ServerOptions options_;
    const ListenPlan plan_;
    SessionQueues& queues_;
    std::mutex handlerMutex_;
    RequestHandler* handler_; // guarded by handlerMutex_; null once stopped
    std::atomic<bool> stopped_{false};
    asio::io_context io_;
    std::uint16_t port_ = 0;
    std::list<std::shared_ptr<Listener>> listeners_;
    std::set<std::string> unavailable_; // addresses that could not be had, logged once
    asio::steady_timer recheckTimer_;
    std::list<std::weak_ptr<Connection>> connections_; // in the order of their accept
    std::atomic<bool>* running_ = nullptr;
    std::thread thread_;
};

} // namespace torvane
