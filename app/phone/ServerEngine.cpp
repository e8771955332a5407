#include "app/phone/ServerEngine.hpp"

#include "app/core/Log.hpp"

#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>
#include <cerrno>
#include <exception>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace torvane {

namespace {

using asio::ip::tcp;

constexpr std::chrono::milliseconds acceptRetryDelay{100};

bool isTransientAcceptError(const asio::error_code& error) {
    return error == asio::error::no_descriptors || error == asio::error::no_buffer_space ||
           error == asio::error::no_memory || error == asio::error::connection_aborted ||
           error.value() == ENFILE || error.value() == EPERM || error.value() == EPROTO;
}

void logFailure(const std::exception& e) {
    Log::write(std::string("ERROR: リクエストを処理できませんでした: ") + e.what());
}

} // namespace

ServerEngine::ServerEngine(RequestHandler& handler, const ServerOptions& options, SessionQueues& queues)
    : options_(options), queues_(queues), handler_(&handler), acceptor_(io_), retryTimer_(io_) {}

bool ServerEngine::listen(std::uint16_t port) {
    asio::error_code error;
    if (listenOn(tcp::v6(), port, error)) {
        return true;
    }
    return error != asio::error::address_in_use && listenOn(tcp::v4(), port, error);
}

bool ServerEngine::listenOn(tcp protocol, std::uint16_t port, asio::error_code& error) {
    error.clear();
    // Close-on-exec from the start: a tmux started meanwhile must not hold the port.
    const int fd = ::socket(protocol.family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (fd < 0) {
        error.assign(errno, asio::error::get_system_category());
    } else {
        acceptor_.assign(protocol, fd, error);
        if (error) {
            ::close(fd);
        }
    }
    if (!error && protocol == tcp::v6()) {
        acceptor_.set_option(asio::ip::v6_only(false), error);
    }
    if (!error) {
        acceptor_.set_option(tcp::acceptor::reuse_address(true), error);
    }
    if (!error) {
        acceptor_.bind(tcp::endpoint(protocol, port), error);
    }
    if (!error) {
        acceptor_.listen(asio::socket_base::max_listen_connections, error);
    }
    if (!error) {
        acceptor_.non_blocking(true, error);
    }
    if (error) {
        asio::error_code ignored;
        acceptor_.close(ignored);
        return false;
    }
    protocol_ = protocol;
    return true;
}

std::uint16_t ServerEngine::boundPort() {
    asio::error_code error;
    const auto endpoint = acceptor_.local_endpoint(error);
    return error ? 0 : endpoint.port();
}

void ServerEngine::run(std::atomic<bool>& running) {
    running_ = &running;
    accept();
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

void ServerEngine::listenerFailed(const std::string& message) {
    Log::write("ERROR: サーバーが停止しました: " + message);
    if (running_ != nullptr) {
        *running_ = false;
    }
}

void ServerEngine::accept() {
    // Waited for, then taken with accept4: asio's own accept leaves the socket inheritable.
    acceptor_.async_wait(tcp::acceptor::wait_read, [this](const asio::error_code& error) {
        if (error == asio::error::operation_aborted) {
            return;
        }
        if (error) {
            listenerFailed(error.message());
            return;
        }
        onAcceptable();
    });
}

void ServerEngine::onAcceptable() {
    for (;;) {
        const int fd = ::accept4(acceptor_.native_handle(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            tcp::socket socket(io_);
            asio::error_code error;
            socket.assign(protocol_, fd, error);
            if (error) {
                ::close(fd);
            } else {
                admit(std::move(socket));
            }
            continue;
        }
        const asio::error_code error(errno, asio::error::get_system_category());
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            accept();
            return;
        }
        if (isTransientAcceptError(error)) {
            // Out of descriptors or buffers: let the open connections finish first.
            retryTimer_.expires_after(acceptRetryDelay);
            retryTimer_.async_wait([this](const asio::error_code& e) {
                if (!e) {
                    accept();
                }
            });
            return;
        }
        listenerFailed(error.message());
        return;
    }
}

void ServerEngine::admit(tcp::socket socket) {
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
            return;
        }
        longestWaiting->close();
    }
    auto connection = std::make_shared<Connection>(std::move(socket), *this);
    connections_.push_back(connection);
    connection->start();
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
    asio::error_code ignored;
    acceptor_.close(ignored);
    retryTimer_.cancel();
    for (const auto& weak : connections_) {
        if (auto connection = weak.lock()) {
            connection->close();
        }
    }
    connections_.clear();
}

} // namespace torvane
