#include "app/phone/Server.hpp"

#include "app/core/Log.hpp"
#include "app/phone/Http.hpp"

#include <asio.hpp>
#include <exception>
#include <thread>
#include <vector>

namespace torvane {

namespace {

using asio::ip::tcp;

// After the response, what the peer still sends is read and dropped for a while, so that
// closing with unread input does not reset the connection before the peer has read the answer.
constexpr std::size_t maxDrainBytes = 1024 * 1024;
constexpr std::chrono::milliseconds acceptRetryDelay{100};

class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(tcp::socket socket, RequestHandler& handler, const ServerOptions& options)
        : socket_(std::move(socket)), timer_(socket_.get_executor()), handler_(handler),
          idleLimit_(options.idleLimit), reader_(options.limits), chunk_(RequestReader::readChunk) {}

    void start() {
        armTimer();
        read();
    }

private:
    void armTimer() {
        timer_.expires_after(idleLimit_);
        timer_.async_wait([self = shared_from_this()](const asio::error_code& error) {
            // A wait that completed just before being re-armed must not close a live connection.
            if (!error && self->timer_.expiry() <= asio::steady_timer::clock_type::now()) {
                self->close(); // no progress for the whole limit
            }
        });
    }

    void read() {
        socket_.async_read_some(asio::buffer(chunk_),
                                [self = shared_from_this()](const asio::error_code& error, std::size_t n) {
                                    self->onRead(error, n);
                                });
    }

    void onRead(const asio::error_code& error, std::size_t n) {
        if (error && error != asio::error::eof) {
            close();
            return;
        }
        const bool peerFinished = error == asio::error::eof;
        switch (reader_.receive(std::string_view(chunk_.data(), n), peerFinished)) {
        case RequestReader::Status::incomplete:
            armTimer();
            read();
            return;
        case RequestReader::Status::closeSilently:
            close();
            return;
        case RequestReader::Status::complete:
            output_ = answer();
            break;
        case RequestReader::Status::tooLarge:
            output_ = http::response("413 Payload Too Large", http::textPlain, "too large");
            break;
        case RequestReader::Status::badRequest:
            output_ = http::response("400 Bad Request", http::textPlain, "bad request");
            break;
        }
        peerFinished_ = peerFinished;
        std::vector<char>().swap(chunk_);
        armTimer();
        write();
    }

    std::string answer() {
        try {
            return handler_.route(reader_.headerText(), reader_.body());
        } catch (const std::exception& e) {
            Log::write(std::string("ERROR: リクエストを処理できませんでした: ") + e.what());
            return http::response("500 Internal Server Error", http::textPlain, "failed");
        }
    }

    void write() {
        socket_.async_write_some(asio::buffer(output_.data() + written_, output_.size() - written_),
                                 [self = shared_from_this()](const asio::error_code& error, std::size_t n) {
                                     self->onWrite(error, n);
                                 });
    }

    void onWrite(const asio::error_code& error, std::size_t n) {
        if (error) {
            close();
            return;
        }
        written_ += n;
        if (written_ < output_.size()) {
            armTimer();
            write();
            return;
        }
        std::string().swap(output_);
        asio::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_send, ignored);
        if (peerFinished_) {
            close();
            return;
        }
        chunk_.resize(4096);
        armTimer();
        drain();
    }

    void drain() {
        socket_.async_read_some(asio::buffer(chunk_),
                                [self = shared_from_this()](const asio::error_code& error, std::size_t n) {
                                    self->drained_ += n;
                                    if (error || self->drained_ > maxDrainBytes) {
                                        self->close();
                                        return;
                                    }
                                    self->armTimer();
                                    self->drain();
                                });
    }

    void close() {
        asio::error_code ignored;
        socket_.close(ignored);
        timer_.cancel();
    }

    tcp::socket socket_;
    asio::steady_timer timer_;
    RequestHandler& handler_;
    std::chrono::milliseconds idleLimit_;
    RequestReader reader_;
    std::vector<char> chunk_;
    std::string output_;
    std::size_t written_ = 0;
    std::size_t drained_ = 0;
    bool peerFinished_ = false;
};

bool isTransientAcceptError(const asio::error_code& error) {
    return error == asio::error::no_descriptors || error == asio::error::no_buffer_space ||
           error == asio::error::no_memory || error == asio::error::connection_aborted ||
           error.value() == ENFILE || error.value() == EPERM || error.value() == EPROTO;
}

} // namespace

struct Server::Engine {
    Engine(Server& server) : server(server), acceptor(io), retryTimer(io) {}

    // Opens, binds and listens; false (with the acceptor closed) when the port cannot be had.
    bool listen(std::uint16_t port) {
        asio::error_code error;
        acceptor.open(tcp::v4(), error);
        if (!error) {
            acceptor.set_option(tcp::acceptor::reuse_address(true), error);
        }
        if (!error) {
            acceptor.bind(tcp::endpoint(asio::ip::address_v4::any(), port), error);
        }
        if (!error) {
            acceptor.listen(asio::socket_base::max_listen_connections, error);
        }
        if (error) {
            asio::error_code ignored;
            acceptor.close(ignored);
            return false;
        }
        return true;
    }

    std::uint16_t boundPort() {
        asio::error_code error;
        const auto endpoint = acceptor.local_endpoint(error);
        return error ? 0 : endpoint.port();
    }

    void accept() {
        acceptor.async_accept([this](const asio::error_code& error, tcp::socket socket) {
            if (error == asio::error::operation_aborted) {
                return;
            }
            if (error) {
                if (isTransientAcceptError(error)) {
                    // Out of descriptors or buffers: let the open connections finish first.
                    retryTimer.expires_after(acceptRetryDelay);
                    retryTimer.async_wait([this](const asio::error_code& e) {
                        if (!e) {
                            accept();
                        }
                    });
                    return;
                }
                Log::write("ERROR: サーバーが停止しました: " + error.message());
                server.running_ = false;
                return;
            }
            std::make_shared<Connection>(std::move(socket), server.handler_, server.options_)->start();
            accept();
        });
    }

    void run() {
        thread = std::thread([this] {
            for (;;) {
                try {
                    io.run();
                    return;
                } catch (const std::exception& e) {
                    // A handler that throws must not end the server for everybody else.
                    Log::write(std::string("ERROR: サーバーで例外が発生しました: ") + e.what());
                }
            }
        });
    }

    // Ends the thread; the connections go with the handlers that the context still holds.
    void shutDown() {
        io.stop();
        if (thread.joinable()) {
            thread.join();
        }
    }

    Server& server;
    asio::io_context io;
    tcp::acceptor acceptor;
    asio::steady_timer retryTimer;
    std::thread thread;
};

Server::Server(RequestHandler& handler, ServerOptions options)
    : handler_(handler), options_(std::move(options)) {}

Server::~Server() {
    const std::lock_guard lock(lifecycle_);
    tearDown();
}

void Server::tearDown() {
    if (engine_) {
        engine_->shutDown();
        engine_.reset();
    }
    running_ = false;
}

void Server::start(std::uint16_t preferredPort) {
    const std::lock_guard lock(lifecycle_);
    if (running_) {
        return;
    }
    tearDown(); // a listener that failed earlier is replaced
    std::vector<std::uint16_t> candidates{preferredPort};
    candidates.insert(candidates.end(), std::begin(fallbackPorts), std::end(fallbackPorts));
    for (const std::uint16_t candidate : candidates) {
        auto engine = std::make_unique<Engine>(*this);
        if (!engine->listen(candidate)) {
            continue;
        }
        const std::uint16_t bound = engine->boundPort();
        port_ = bound != 0 ? bound : candidate;
        engine->accept();
        engine_ = std::move(engine);
        engine_->run();
        running_ = true;
        Log::write("サーバーを開始しました (port " + std::to_string(port_.load()) + ")");
        return;
    }
    Log::write("ERROR: サーバーを開始できませんでした");
}

void Server::stop() {
    const std::lock_guard lock(lifecycle_);
    tearDown();
    Log::write("サーバーを停止しました");
}

std::optional<std::string> Server::localIPAddress() const {
    const InterfacePolicy& policy =
        options_.interfacePolicy != nullptr ? *options_.interfacePolicy : hostInterfacePolicy();
    return chooseLocalAddress(options_.interfaces ? options_.interfaces() : systemInterfaceAddresses(),
                              policy);
}

std::optional<std::string> Server::pairingURL() {
    if (!running_) {
        return std::nullopt;
    }
    const auto address = localIPAddress();
    if (!address) {
        return std::nullopt;
    }
    const std::string currentToken = handler_.token();
    if (currentToken.empty()) {
        return std::nullopt; // a URL without a token could never be let in
    }
    return "http://" + *address + ":" + std::to_string(port_.load()) + "/?t=" + currentToken;
}

} // namespace torvane
