#pragma once

#include "app/phone/PeerLimits.hpp"
#include "app/phone/Request.hpp"
#include "app/phone/RequestHandler.hpp"
#include "app/phone/RequestReader.hpp"
#include "app/phone/Response.hpp"

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace torvane {

class ServerEngine;

// A work's one chance to answer: taken by its turn on a worker, or by its deadline, never both.
struct Turn {
    explicit Turn(RequestHandler::Work work) : work(std::move(work)) {}
    bool take() { return !taken.exchange(true); }
    const RequestHandler::Work work;
    std::atomic<bool> taken{false};
};

// One connection of the phone link, on the server's thread: reads one request (Request once the
// header is in, the body after), hands it to the engine, writes the one Response as bytes, then reads
// and drops what the peer still sends for a while. What it holds while reading is charged to its peer
// in the engine's PeerLimits as it arrives. It keeps itself alive with shared_from_this.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    // `peer` has been counted in the engine's limits; the connection gives it back when it closes.
    Connection(asio::ip::tcp::socket socket, const asio::ip::address& peer, ServerEngine& engine);
    ~Connection() { close(); }

    // False (and closed) when not even the first read's buffer can be had.
    bool start();
    bool isOpen() const { return socket_.is_open(); }
    // Still reading its request (the kind a trickling client holds open), or done and only draining
    // what the peer still sends: closing it costs no one an answer.
    bool canMakeRoom() const { return isOpen() && (!answering_ || draining_); }
    // The answer, on the server's thread; dropped when the connection has closed meanwhile.
    void respond(const Response& answer);
    // A work in a session's line: if its turn has not come within `limit`, the work answers at once
    // without trying anything.
    void awaitTurn(std::chrono::milliseconds limit, std::shared_ptr<Turn> turn);
    void close();

private:
    // Charges what the read buffers hold now; false past the peer's share or the shared budget.
    bool charge();
    void releaseHeld();
    // The header must be in within the header limit; the whole request within that plus the time the
    // body received so far takes at the minimum rate.
    std::chrono::steady_clock::time_point requestDeadline() const;
    void armTimer();
    void read();
    void onRead(const asio::error_code& error, std::size_t n);
    void write();
    void onWrite(const asio::error_code& error, std::size_t n);
    void drain();

    asio::ip::tcp::socket socket_;
    asio::steady_timer timer_;
    ServerEngine& engine_;         // outlives the connection: the context or a job holding both keeps it
    const asio::ip::address peer_; // normalized: IPv4 through the dual-stack socket is IPv4
    const std::chrono::steady_clock::time_point headerDeadline_;
    RequestReader reader_;
    std::optional<Request> request_; // once the header is in
    std::vector<char> chunk_;
    std::string output_;
    std::size_t written_ = 0;
    std::size_t drained_ = 0;
    std::size_t held_ = 0; // charged to peer_
    bool counted_ = true;  // peer_'s connection count still includes this one
    bool peerFinished_ = false;
    bool headerAnswered_ = false;
    bool answering_ = false;
    bool draining_ = false;
};

} // namespace torvane
