#include "app/phone/PeerLimits.hpp"

#include "app/core/Log.hpp"

namespace torvane {

namespace {

constexpr auto logInterval = std::chrono::minutes(1);
// Each refused peer costs an entry for a minute: a peer with many addresses must not make the table
// grow without end. Beyond it, refusals are counted together.
constexpr std::size_t maxWarnedPeers = 256;

constexpr const char* refusalNames[] = {"同時接続数の上限", "受信量の上限", "受信の期限切れ"};

} // namespace

PeerLimits::Address PeerLimits::normalized(const Address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    }
    return address;
}

bool PeerLimits::open(const Address& peer) {
    Usage& usage = usage_[peer];
    if (usage.connections >= caps_.connectionsPerPeer) {
        refuse(peer, Refusal::connections);
        return false;
    }
    ++usage.connections;
    ++openConnections_;
    return true;
}

void PeerLimits::close(const Address& peer) {
    const auto it = usage_.find(peer);
    if (it == usage_.end() || it->second.connections == 0) {
        return;
    }
    --it->second.connections;
    --openConnections_;
    if (it->second.connections == 0 && it->second.bytes == 0) {
        usage_.erase(it);
    }
}

bool PeerLimits::hold(const Address& peer, std::size_t bytes) {
    Usage& usage = usage_[peer];
    if (bytes > caps_.bytesPerPeer - std::min(usage.bytes, caps_.bytesPerPeer) ||
        bytes > caps_.totalBytes - std::min(heldBytes_, caps_.totalBytes)) {
        refuse(peer, Refusal::bytes);
        return false;
    }
    usage.bytes += bytes;
    heldBytes_ += bytes;
    return true;
}

void PeerLimits::release(const Address& peer, std::size_t bytes) {
    const auto it = usage_.find(peer);
    if (it == usage_.end()) {
        return;
    }
    bytes = std::min(bytes, it->second.bytes);
    it->second.bytes -= bytes;
    heldBytes_ -= bytes;
    if (it->second.connections == 0 && it->second.bytes == 0) {
        usage_.erase(it);
    }
}

void PeerLimits::refuse(const Address& peer, Refusal what, Clock::time_point now) {
    auto it = warnings_.find(peer);
    if (it == warnings_.end()) {
        if (warnings_.size() >= maxWarnedPeers) {
            sweep(now);
        }
        if (warnings_.size() >= maxWarnedPeers) {
            ++others_.counts[static_cast<std::size_t>(what)];
            if (others_.lastLine == Clock::time_point{} || now - others_.lastLine >= logInterval) {
                report("ほかのアドレス", others_, now);
            }
            return;
        }
        it = warnings_.emplace(peer, Warning{}).first;
        ++it->second.counts[static_cast<std::size_t>(what)];
        report(peer.to_string(), it->second, now);
        return;
    }
    ++it->second.counts[static_cast<std::size_t>(what)];
    if (now - it->second.lastLine >= logInterval) {
        report(peer.to_string(), it->second, now);
    }
}

void PeerLimits::sweep(Clock::time_point now) {
    for (auto it = warnings_.begin(); it != warnings_.end();) {
        if (now - it->second.lastLine < logInterval) {
            ++it;
        } else if (it->second.counts != decltype(it->second.counts){}) {
            report(it->first.to_string(), it->second, now);
            ++it;
        } else {
            it = warnings_.erase(it);
        }
    }
    if (others_.counts != decltype(others_.counts){} && now - others_.lastLine >= logInterval) {
        report("ほかのアドレス", others_, now);
    }
}

void PeerLimits::report(const std::string& who, Warning& warning, Clock::time_point now) {
    std::string counts;
    for (std::size_t i = 0; i < warning.counts.size(); ++i) {
        if (warning.counts[i] != 0) {
            counts += (counts.empty() ? "" : "、") + std::string(refusalNames[i]) + " " +
                      std::to_string(warning.counts[i]) + " 件";
        }
    }
    Log::write("WARN: スマホ連携: " + who + " からの接続を制限しました（" + counts + "）");
    warning.counts = {};
    warning.lastLine = now;
}

} // namespace torvane
