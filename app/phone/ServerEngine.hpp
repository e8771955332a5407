#pragma once

#include "app/phone/Connection.hpp"
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
#include <thread>

namespace torvane {

// One run of the server, from start to stop: the listener, the connections and the thread their
// io_context runs on. It hands each request to the handler and its work to the session queues.
class ServerEngine : public std::enable_shared_from_this<ServerEngine> {
public:
    ServerEngine(RequestHandler& handler, const ServerOptions& options, SessionQueues& queues);

    // Opens, binds and listens on every address, IPv6 and IPv4 in one socket where the system has
    // IPv6, IPv4 alone where it has not. False (with the acceptor closed) when the port cannot be had.
    bool listen(std::uint16_t port);
    std::uint16_t boundPort();
    // Accepts on the engine's own thread from now on; `running` is cleared if the listener fails.
    void run(std::atomic<bool>& running);
    // Quick whatever the workers are doing: the socket thread never blocks, so joining it is immediate.
    // Work not yet begun is dropped; work under way finishes on its own, and its answer is dropped.
    void shutDown();

    // For the connections, on the engine's thread.
    const ServerOptions& options() const { return options_; }
    // What the header alone decides; none also when stopped.
    std::optional<Response> answerHead(const Request& request);
    // The whole request: answered at once, or its work queued and the answer posted back.
    void dispatch(const std::shared_ptr<Connection>& connection, Request request);
    std::atomic<std::size_t> heldBodyBytes{0}; // reserved by connections still reading a body

private:
    bool listenOn(asio::ip::tcp protocol, std::uint16_t port, asio::error_code& error);
    void accept();
    void onAcceptable();
    void admit(asio::ip::tcp::socket socket);
    void listenerFailed(const std::string& message);

    const ServerOptions options_;
    SessionQueues& queues_;
    std::mutex handlerMutex_;
    RequestHandler* handler_; // guarded by handlerMutex_; null once stopped
    std::atomic<bool> stopped_{false};
    asio::io_context io_;
    asio::ip::tcp::acceptor acceptor_;
    asio::ip::tcp protocol_ = asio::ip::tcp::v6();
    asio::steady_timer retryTimer_;
    std::list<std::weak_ptr<Connection>> connections_; // in the order of their accept
    std::atomic<bool>* running_ = nullptr;
    std::thread thread_;
};

} // namespace torvane
