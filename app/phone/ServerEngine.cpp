#include "app/phone/ServerEngine.hpp"

#include "app/core/Log.hpp"

#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>
#include <cerrno>
#include <cstring>
#include <exception>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace torvane {

namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds acceptRetryDelay{100};
// A burst: this many accepts since the memory was last handed back.
constexpr std::size_t burstAccepts = 512;
// Handing memory back walks the heap: not more often than this.
constexpr std::chrono::seconds trimInterval{5};
// "Quiet again": no more connections open than a phone and a browser keep.
constexpr std::size_t quietConnections = 8;

bool isTransientAcceptError(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM ||
           error == ECONNABORTED || error == EPERM || error == EPROTO;
}

void logFailure(const std::exception& e) {
    Log::write(std::string("ERROR: リクエストを処理できませんでした: ") + e.what());
}

std::string shown(const std::string& address, std::uint16_t port) {
    if (address.empty()) {
        return "port " + std::to_string(port);
    }
    return (address.find(':') != std::string::npos ? "[" + address + "]" : address) + ":" +
           std::to_string(port);
}

} // namespace

ServerEngine::ServerEngine(RequestHandler& handler, const ServerOptions& options, SessionQueues& queues,
                           ListenPlan plan)
    : limits_({options.maxConnectionsPerPeer, options.maxHeldBytesPerPeer, options.maxHeldBodyBytes}),
      options_(options), plan_(std::move(plan)), queues_(queues), handler_(&handler), recheckTimer_(io_) {}

std::shared_ptr<ServerEngine::Listener> ServerEngine::open(const std::string& address, tcp protocol,
                                                           std::uint16_t port, asio::error_code& error) {
    error.clear();
    tcp::endpoint endpoint(protocol, port);
    if (!address.empty()) {
        endpoint.address(asio::ip::make_address(address, error));
        protocol = endpoint.protocol();
    }
    auto listener = std::make_shared<Listener>(io_);
    listener->address = address;
    listener->protocol = protocol;
    auto& acceptor = listener->acceptor;
    // Close-on-exec from the start: a tmux started meanwhile must not hold the port.
    const int fd =
        error ? -1 : ::socket(protocol.family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (!error && fd < 0) {
        error.assign(errno, asio::error::get_system_category());
    } else if (!error) {
        acceptor.assign(protocol, fd, error);
        if (error) {
            ::close(fd);
        }
    }
    if (!error && protocol == tcp::v6()) {
        // Every address: IPv6 and IPv4 in one socket. One address: that one only.
        acceptor.set_option(asio::ip::v6_only(!address.empty()), error);
    }
    if (!error) {
        acceptor.set_option(tcp::acceptor::reuse_address(true), error);
    }
    if (!error) {
        acceptor.bind(endpoint, error);
    }
    if (!error) {
        acceptor.listen(asio::socket_base::max_listen_connections, error);
    }
    if (!error) {
        acceptor.non_blocking(true, error);
    }
    if (error) {
        return nullptr; // the acceptor closes with the listener
    }
    return listener;
}

bool ServerEngine::listen(std::uint16_t port) {
    // A port the system picked on the first address may be taken on another: pick again.
    for (int attempt = 0; attempt < (port == 0 ? 5 : 1); ++attempt) {
        if (listenOnce(port)) {
            return true;
        }
    }
    return false;
}

bool ServerEngine::listenOnce(std::uint16_t port) {
    closeListeners();
    port_ = port;
    asio::error_code error;
    if (plan_.all) {
        auto listener = open("", tcp::v6(), port, error);
        if (!listener && error != asio::error::address_in_use) {
            listener = open("", tcp::v4(), port, error); // a system without IPv6
        }
        if (listener) {
            listeners_.push_back(std::move(listener));
        }
    } else {
        for (const auto& address : plan_.resolve(
                 options_.interfaces ? options_.interfaces() : systemInterfaceAddresses(),
                 options_.interfacePolicy != nullptr ? *options_.interfacePolicy : hostInterfacePolicy())) {
            auto listener = open(address, tcp::v4(), port_, error);
            if (error == asio::error::address_in_use) {
                closeListeners();
                return false;
            }
            if (!listener) {
                // ::1 on a system without IPv6, an address that has just gone: not a reason to fail.
                unavailable_.insert(address);
                continue;
            }
            if (port_ == 0) { // the others on the port the system picked for the first
                port_ = listener->acceptor.local_endpoint(error).port();
            }
            listeners_.push_back(std::move(listener));
        }
    }
    if (!listeners_.empty() && port_ == 0) {
        port_ = listeners_.front()->acceptor.local_endpoint(error).port();
    }
    return port_ != 0 && !listeners_.empty();
}

void ServerEngine::closeListeners() {
    for (const auto& listener : listeners_) {
        asio::error_code ignored;
        listener->acceptor.close(ignored);
        listener->retry.cancel();
    }
    listeners_.clear();
}

void ServerEngine::run(std::atomic<bool>& running) {
    running_ = &running;
    std::string where;
    for (const auto& listener : listeners_) {
        where += (where.empty() ? "" : ", ") + shown(listener->address, port_);
        accept(listener);
    }
    Log::write("スマホ連携: " + where + " で待ち受けます");
    for (const auto& address : unavailable_) {
        Log::write("WARN: スマホ連携: " + shown(address, port_) +
                   " では待ち受けられません（あとで試し直します）");
    }
    scheduleRecheck();
    thread_ = std::thread([this] {
        for (;;) {
            try {
                io_.run();
                return;
            } catch (const std::exception& e) {
                // A handler that throws must not end the server for everybody else.
                Log::write(std::string("ERROR: サーバーで例外が発生しました: ") + e.what());
            }
        }
    });
}

void ServerEngine::listenerFailed(const std::shared_ptr<Listener>& listener, const std::string& message) {
    asio::error_code ignored;
    listener->acceptor.close(ignored);
    listener->retry.cancel();
    listeners_.remove(listener);
    if (!listeners_.empty()) {
        Log::write("WARN: スマホ連携: " + shown(listener->address, port_) +
                   " での待ち受けが止まりました: " + message);
        unavailable_.insert(listener->address); // tried again with the addresses
        return;
    }
    Log::write("ERROR: サーバーが停止しました: " + message);
    recheckTimer_.cancel();
    if (running_ != nullptr) {
        *running_ = false;
    }
}

void ServerEngine::accept(const std::shared_ptr<Listener>& listener) {
    // Waited for, then taken with accept4: asio's own accept leaves the socket inheritable.
    listener->acceptor.async_wait(tcp::acceptor::wait_read, [this, listener](const asio::error_code& error) {
        if (error == asio::error::operation_aborted || !listener->acceptor.is_open()) {
            return;
        }
        if (error) {
            listenerFailed(listener, error.message());
            return;
        }
        onAcceptable(listener);
    });
}

void ServerEngine::onAcceptable(const std::shared_ptr<Listener>& listener) {
    // A few at a time, then back to the others' reads and writes: a flood of connections waits in the
    // backlog, not in memory, and the requests under way go on meanwhile.
    for (std::size_t taken = 0; taken < options_.acceptsPerWakeup; ++taken) {
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        const int fd = ::accept4(listener->acceptor.native_handle(), reinterpret_cast<sockaddr*>(&from),
                                 &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            tcp::endpoint peer;
            std::memcpy(peer.data(), &from, std::min<std::size_t>(length, sizeof from));
            tcp::socket socket(io_);
            asio::error_code error;
            socket.assign(listener->protocol, fd, error);
            if (error) {
                ::close(fd);
            } else {
                ++acceptedSinceTrim_;
                admit(std::move(socket), PeerLimits::normalized(peer.address()));
            }
            continue;
        }
        const int error = errno;
        if (error == EINTR) {
            continue;
        }
        if (error == EAGAIN || error == EWOULDBLOCK) {
            break;
        }
        if (isTransientAcceptError(error)) {
            // Out of descriptors or buffers: let the open connections finish first.
            listener->retry.expires_after(acceptRetryDelay);
            listener->retry.async_wait([this, listener](const asio::error_code& e) {
                if (!e) {
                    accept(listener);
                }
            });
            return;
        }
        listenerFailed(listener, asio::error_code(error, asio::error::get_system_category()).message());
        return;
    }
    accept(listener);
}

void ServerEngine::admit(tcp::socket socket, const asio::ip::address& peer) {
    if (!limits_.open(peer)) {
        asio::error_code ignored;
        socket.close(ignored); // this peer has its share open already
        return;
    }
    // Count the open ones; the first that can make room is the one that has waited longest.
    std::size_t open = 0;
    std::shared_ptr<Connection> longestWaiting;
    for (auto it = connections_.begin(); it != connections_.end();) {
        auto connection = it->lock();
        if (!connection || !connection->isOpen()) {
            it = connections_.erase(it);
            continue;
        }
        ++open;
        if (!longestWaiting && connection->canMakeRoom()) {
            longestWaiting = connection;
        }
        ++it;
    }
    if (open >= options_.maxConnections) {
        if (!longestWaiting) {
            asio::error_code ignored;
            socket.close(ignored); // every one is being answered: the newcomer waits for none of them
            limits_.close(peer);
            limits_.refuse(peer, PeerLimits::Refusal::connections);
            return;
        }
        longestWaiting->close();
    }
    auto connection = std::make_shared<Connection>(std::move(socket), peer, *this);
    if (connection->start()) {
        connections_.push_back(connection);
    }
}

void ServerEngine::connectionClosed(const asio::ip::address& peer) {
    limits_.close(peer);
    // After a burst, the allocator keeps the freed buffers for itself; once the connections are back
    // to a few, hand the free pages back to the system.
#if defined(__GLIBC__)
    const auto now = Clock::now();
    if (acceptedSinceTrim_ >= burstAccepts && limits_.openConnections() <= quietConnections &&
        now - lastTrim_ >= trimInterval) {
        ::malloc_trim(0);
        acceptedSinceTrim_ = 0;
        lastTrim_ = now;
    }
#endif
}

void ServerEngine::scheduleRecheck() {
    recheckTimer_.expires_after(options_.addressRecheck);
    recheckTimer_.async_wait([this](const asio::error_code& error) {
        if (!error) {
            recheck();
        }
    });
}

void ServerEngine::recheck() {
    limits_.sweep();
    if (!plan_.all) {
        followAddresses();
    }
    scheduleRecheck();
}

void ServerEngine::followAddresses() {
    const auto wanted = plan_.resolve(
        options_.interfaces ? options_.interfaces() : systemInterfaceAddresses(),
        options_.interfacePolicy != nullptr ? *options_.interfacePolicy : hostInterfacePolicy());
    const auto isWanted = [&](const std::string& address) {
        return std::find(wanted.begin(), wanted.end(), address) != wanted.end();
    };
    for (auto it = listeners_.begin(); it != listeners_.end();) {
        if (isWanted((*it)->address)) {
            ++it;
            continue;
        }
        asio::error_code ignored;
        (*it)->acceptor.close(ignored);
        (*it)->retry.cancel();
        Log::write("スマホ連携: " + shown((*it)->address, port_) + " での待ち受けを終えました");
        it = listeners_.erase(it);
    }
    for (auto it = unavailable_.begin(); it != unavailable_.end();) {
        it = isWanted(*it) ? std::next(it) : unavailable_.erase(it);
    }
    for (const auto& address : wanted) {
        const bool listening = std::any_of(listeners_.begin(), listeners_.end(), [&](const auto& listener) {
            return listener->address == address;
        });
        if (listening) {
            continue;
        }
        asio::error_code error;
        auto listener = open(address, tcp::v4(), port_, error);
        if (!listener) {
            if (unavailable_.insert(address).second) {
                Log::write("WARN: スマホ連携: " + shown(address, port_) +
                           " では待ち受けられません: " + error.message());
            }
            continue;
        }
        unavailable_.erase(address);
        Log::write("スマホ連携: " + shown(address, port_) + " でも待ち受けます");
        listeners_.push_back(listener);
        accept(listener);
    }
}

std::optional<Response> ServerEngine::answerHead(const Request& request) {
    try {
        const std::lock_guard lock(handlerMutex_);
        return handler_ == nullptr ? std::nullopt : handler_->answerHead(request);
    } catch (const std::exception& e) {
        logFailure(e);
        return Response::failed();
    }
}

void ServerEngine::dispatch(const std::shared_ptr<Connection>& connection, Request request) {
    RequestHandler::Plan plan;
    try {
        const std::lock_guard lock(handlerMutex_);
        if (handler_ == nullptr) {
            connection->close();
            return;
        }
        plan = handler_->plan(std::move(request));
    } catch (const std::exception& e) {
        logFailure(e);
        connection->respond(Response::failed());
        return;
    }
    if (plan.answer) {
        connection->respond(*plan.answer); // never behind the workers
        return;
    }
    if (plan.later) {
        auto reply = [engine = shared_from_this(), connection](Response answer) {
            asio::post(engine->io_,
                       [connection, answer = std::move(answer)] { connection->respond(answer); });
        };
        try {
            plan.later(std::move(reply));
        } catch (const std::exception& e) {
            logFailure(e);
            connection->respond(Response::failed());
        }
        return;
    }
    auto turn = std::make_shared<Turn>(std::move(plan.work));
    if (!plan.session.empty()) {
        connection->awaitTurn(plan.turnLimit, turn);
    }
    // The job keeps the engine (and so the socket's context) alive while it runs, even after a stop;
    // its members go in reverse order, the engine last.
    struct Job {
        std::shared_ptr<ServerEngine> engine;
        std::shared_ptr<Connection> connection;
        std::shared_ptr<Turn> turn;
        void operator()() {
            if (engine->stopped_ || !turn->take()) {
                return; // dropped at the stop, or already answered as too late
            }
            Response answer;
            try {
                answer = turn->work(true);
            } catch (const std::exception& e) {
                logFailure(e);
                answer = Response::failed();
            }
            asio::post(engine->io_, [connection = connection, answer = std::move(answer)] {
                connection->respond(answer);
            });
        }
    };
    queues_.post(plan.session, Job{shared_from_this(), connection, std::move(turn)});
}

void ServerEngine::shutDown() {
    {
        const std::lock_guard lock(handlerMutex_);
        handler_ = nullptr;
    }
    stopped_ = true;
    io_.stop();
    if (thread_.joinable()) {
        thread_.join();
    }
    // The socket thread has ended: its objects may be touched from here.
    closeListeners();
    recheckTimer_.cancel();
    for (const auto& weak : connections_) {
        if (auto connection = weak.lock()) {
            connection->close();
        }
    }
    connections_.clear();
}

} // namespace torvane
