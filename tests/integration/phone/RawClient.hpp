#pragma once

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace torvane::test {

// A TCP client on 127.0.0.1 (or ::1) that sends exactly the bytes it is given, when it is told to.
class RawClient {
public:
    explicit RawClient(std::uint16_t port, bool ipv6 = false) {
        fd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sockaddr_in6 address6{};
        address6.sin6_family = AF_INET6;
        address6.sin6_port = htons(port);
        address6.sin6_addr = in6addr_loopback;
        connected_ = fd_ >= 0 && (ipv6 ? ::connect(fd_, reinterpret_cast<sockaddr*>(&address6), sizeof address6)
                                       : ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address)) == 0;
    }
    ~RawClient() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return connected_; }

    bool send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return false;
            }
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }

    void finishSending() { ::shutdown(fd_, SHUT_WR); }

    // Whether anything (data or the end) can be read within `limit`.
    bool readable(std::chrono::milliseconds limit) {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(limit.count())) > 0;
    }

    struct Reply {
        std::string bytes;
        bool closed = false; // the server ended the connection (end of stream or reset)
        bool reset = false;
    };

    // Reads until the server ends the connection or `limit` passes.
    Reply readAll(std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
        Reply reply;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !readable(left)) {
                return reply;
            }
            char buffer[65536];
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n > 0) {
                reply.bytes.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            reply.closed = true;
            reply.reset = n < 0;
            return reply;
        }
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

// A socket that holds a port the way another program would.
class PortHolder {
public:
    explicit PortHolder(std::uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        // Like the server: connections of earlier tests lingering in TIME_WAIT must not keep the port
        // from being held, while a live listener still does.
        const int on = 1;
        if (fd_ >= 0)
            ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        holding_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                   ::listen(fd_, 1) == 0;
    }
    ~PortHolder() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    PortHolder(const PortHolder&) = delete;
    PortHolder& operator=(const PortHolder&) = delete;
    bool holding() const { return holding_; }

private:
    int fd_ = -1;
    bool holding_ = false;
};

} // namespace torvane::test
