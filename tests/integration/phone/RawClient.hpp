#pragma once

#include <algorithm>
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

// A TCP socket, closed with the object.
class Socket {
public:
    explicit Socket(int family) : fd_(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
    ~Socket() { ::close(fd_); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

protected:
    int fd_;
};

// A TCP client to 127.0.0.1 (or ::1, or `to`) from `from` if given, that sends exactly the bytes it
// is given, when it is told to. Linux routes all of 127/8 to lo: 127.0.0.2 and on are other peers.
class RawClient : Socket {
public:
    explicit RawClient(std::uint16_t port, bool ipv6 = false, const char* from = nullptr,
                       const char* to = nullptr)
        : Socket(ipv6 ? AF_INET6 : AF_INET) {
        sockaddr_in6 address6{};
        address6.sin6_family = AF_INET6;
        address6.sin6_port = htons(port);
        address6.sin6_addr = in6addr_loopback;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        ::inet_pton(AF_INET, to != nullptr ? to : "127.0.0.1", &address.sin_addr);
        if (from != nullptr) {
            sockaddr_in source{};
            source.sin_family = AF_INET;
            ::inet_pton(AF_INET, from, &source.sin_addr);
            ::bind(fd_, reinterpret_cast<const sockaddr*>(&source), sizeof source);
        }
        const auto* target =
            ipv6 ? reinterpret_cast<const sockaddr*>(&address6) : reinterpret_cast<const sockaddr*>(&address);
        connected_ = ::connect(fd_, target, ipv6 ? sizeof address6 : sizeof address) == 0;
    }

    bool connected() const { return connected_; }

    bool send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n < 0 && errno != EINTR) {
                return false;
            }
            bytes.remove_prefix(static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        }
        return true;
    }

    // Whether anything (data or the end) can be read within `limit`.
    bool readable(std::chrono::milliseconds limit) {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(limit.count())) > 0;
    }

    struct Reply {
        std::string bytes;
        bool closed = false; // the server ended the connection (end of stream or reset)
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
            } else if (n == 0 || errno != EINTR) {
                reply.closed = true;
                return reply;
            }
        }
    }

private:
    bool connected_ = false;
};

} // namespace torvane::test
