#pragma once

#include <array>
#include <asio/ip/address.hpp>
#include <chrono>
#include <cstddef>
#include <map>
#include <string>

namespace torvane {

// What the phone link holds for each source address (open connections, bytes read and not yet handed
// on) and for all of them together, so that one peer on the network cannot take the room the phone
// needs. Refusals are logged one line per peer per minute, with what was refused meanwhile. Used on
// the server's thread only.
class PeerLimits {
public:
    using Clock = std::chrono::steady_clock;
    using Address = asio::ip::address;
    enum class Refusal { connections, bytes, deadline };

    struct Caps {
        std::size_t connectionsPerPeer = 32;
        std::size_t bytesPerPeer = 4 * 1024 * 1024;
        std::size_t totalBytes = 32 * 1024 * 1024;
    };
    explicit PeerLimits(Caps caps) : caps_(caps) {}

    // A new connection from `peer`; false (the refusal noted) when it already has its share open.
    bool open(const Address& peer);
    void close(const Address& peer);
    // `bytes` more held for `peer`; false (nothing charged, the refusal noted) past its share or the
    // shared budget.
    bool hold(const Address& peer, std::size_t bytes);
    void release(const Address& peer, std::size_t bytes);
    void refuse(const Address& peer, Refusal what, Clock::time_point now = Clock::now());
    // Logs the counts whose minute has passed and forgets the peers that have gone quiet.
    void sweep(Clock::time_point now = Clock::now());

    std::size_t openConnections() const { return openConnections_; }
    std::size_t heldBytes() const { return heldBytes_; }

    // IPv4 reached through the dual-stack socket counts as the IPv4 address it is.
    static Address normalized(const Address& address);

private:
    struct Usage {
        std::size_t connections = 0;
        std::size_t bytes = 0;
    };
    struct Warning {
        Clock::time_point lastLine;
        std::array<std::size_t, 3> counts{}; // refused since the last line, by Refusal
    };
    void report(const std::string& who, Warning& warning, Clock::time_point now);

    const Caps caps_;
    std::map<Address, Usage> usage_;      // peers holding something
    std::map<Address, Warning> warnings_; // peers refused within the last minute
    Warning others_;                      // refusals of peers beyond the table's bound, logged together
    std::size_t openConnections_ = 0;
    std::size_t heldBytes_ = 0;
};

} // namespace torvane
