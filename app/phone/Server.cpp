#include "app/phone/Server.hpp"

#include "app/core/Log.hpp"
#include "app/phone/Http.hpp"
#include "app/phone/Seal.hpp"

#include <asio.hpp>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <exception>
#include <list>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace torvane {

namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// After the response, what the peer still sends is read and dropped for a while, so that
// closing with unread input does not reset the connection before the peer has read the answer.
constexpr std::size_t maxDrainBytes = 1024 * 1024;
constexpr std::chrono::milliseconds acceptRetryDelay{100};

// Runs the requests' work on a few threads of its own. The threads are not joined: one may be
// inside a tmux call that takes seconds, and stopping must not wait for it. Each keeps the pool
// alive until it has seen the stop.
class WorkerPool {
public:
    static std::shared_ptr<WorkerPool> start(std::size_t threads) {
        auto pool = std::make_shared<WorkerPool>();
        for (std::size_t i = 0; i < std::max<std::size_t>(threads, 1); ++i) {
            std::thread([pool] { pool->work(); }).detach();
        }
        return pool;
    }

    void post(std::function<void()> job) {
        const std::lock_guard lock(mutex_);
        if (!stopping_) {
            jobs_.push_back(std::move(job));
            wake_.notify_one();
        }
    }

    // Jobs not yet begun are dropped; the ones running end on their own.
    void stop() {
        std::deque<std::function<void()>> dropped;
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
            dropped.swap(jobs_);
            wake_.notify_all();
        }
    }

private:
    void work() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
                if (stopping_) {
                    return;
                }
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
};

bool isTransientAcceptError(const asio::error_code& error) {
    return error == asio::error::no_descriptors || error == asio::error::no_buffer_space ||
           error == asio::error::no_memory || error == asio::error::connection_aborted ||
           error.value() == ENFILE || error.value() == EPERM || error.value() == EPROTO;
}

// Every open connection costs a descriptor; the usual soft limit of 1,024 is far below what the
// system allows.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

struct Server::Engine : std::enable_shared_from_this<Server::Engine> {
    class Connection;

    Engine(RequestHandler& handler, const ServerOptions& options)
        : options(options), handler(&handler), acceptor(io), retryTimer(io),
          pool(WorkerPool::start(options.workers)) {}

    // Opens, binds and listens on every address, IPv6 and IPv4 in one socket where the system has
    // IPv6, IPv4 alone where it has not. False (with the acceptor closed) when the port cannot be had.
    bool listen(std::uint16_t port) {
        asio::error_code error;
        if (listenOn(tcp::v6(), port, error)) {
            return true;
        }
        return error != asio::error::address_in_use && listenOn(tcp::v4(), port, error);
    }

    bool listenOn(tcp protocol, std::uint16_t port, asio::error_code& error) {
        error.clear();
        // Close-on-exec from the start: a tmux started meanwhile must not hold the port.
        const int fd = ::socket(protocol.family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
        if (fd < 0) {
            error.assign(errno, asio::error::get_system_category());
        } else {
            acceptor.assign(protocol, fd, error);
            if (error) {
                ::close(fd);
            }
        }
        if (!error && protocol == tcp::v6()) {
            acceptor.set_option(asio::ip::v6_only(false), error);
        }
        if (!error) {
            acceptor.set_option(tcp::acceptor::reuse_address(true), error);
        }
        if (!error) {
            acceptor.bind(tcp::endpoint(protocol, port), error);
        }
        if (!error) {
            acceptor.listen(asio::socket_base::max_listen_connections, error);
        }
        if (!error) {
            acceptor.non_blocking(true, error);
        }
        if (error) {
            asio::error_code ignored;
            acceptor.close(ignored);
            return false;
        }
        this->protocol = protocol;
        return true;
    }

    std::uint16_t boundPort() {
        asio::error_code error;
        const auto endpoint = acceptor.local_endpoint(error);
        return error ? 0 : endpoint.port();
    }

    void accept();
    void onAcceptable();
    void admit(tcp::socket socket);
    // What the header alone decides (see RequestHandler::answerHeader); none also when stopped.
    std::optional<std::string> answerHeader(const std::string& headerText, bool fromLoopback);
    void dispatch(const std::shared_ptr<Connection>& connection, const std::string& headerText,
                  const std::string& body);

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

    // Quick whatever the workers are doing: the socket thread never blocks, so joining it is
    // immediate; the workers are left to finish on their own.
    void shutDown();

    const ServerOptions options;
    std::mutex handlerMutex;
    RequestHandler* handler; // guarded by handlerMutex; null once stopped
    asio::io_context io;
    tcp::acceptor acceptor;
    tcp protocol = tcp::v6();
    asio::steady_timer retryTimer;
    std::shared_ptr<WorkerPool> pool;
    std::list<std::weak_ptr<Connection>> connections; // in the order of their accept
    std::atomic<std::size_t> heldBodyBytes{0};        // reserved by connections still reading a body
    std::atomic<bool>* running = nullptr;             // the server's flag, cleared when the listener fails
    std::thread thread;
};

class Server::Engine::Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(tcp::socket socket, Engine& engine)
        : socket_(std::move(socket)), timer_(socket_.get_executor()), engine_(engine),
          headerDeadline_(Clock::now() + engine.options.headerLimit), reader_(engine.options.limits),
          chunk_(RequestReader::readChunk) {}

    void start() {
        armTimer();
        read();
    }

    bool isOpen() const { return socket_.is_open(); }
    // From this machine: 127.0.0.0/8, ::1, or IPv4 loopback reached through the dual-stack socket.
    bool fromLoopback() const {
        asio::error_code error;
        auto address = socket_.remote_endpoint(error).address();
        if (error) {
            return false;
        }
        if (address.is_v6() && address.to_v6().is_v4_mapped()) {
            address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
        }
        return address.is_loopback();
    }
    // Still reading its request (the kind a trickling client holds open), or done and only
    // draining what the peer still sends: closing it costs no one an answer.
    bool canMakeRoom() const { return isOpen() && (!answering_ || draining_); }

    // The answer from a worker, on the socket thread.
    void respond(std::string answer) {
        if (!isOpen()) {
            return; // closed meanwhile: the answer is dropped
        }
        output_ = std::move(answer);
        armTimer();
        write();
    }

    void close() {
        asio::error_code ignored;
        socket_.close(ignored);
        timer_.cancel();
        releaseBody();
    }

    ~Connection() { releaseBody(); }

private:
    bool reserveBody(std::size_t bytes) {
        auto held = engine_.heldBodyBytes.load();
        do {
            if (bytes > engine_.options.maxHeldBodyBytes - std::min(held, engine_.options.maxHeldBodyBytes)) {
                return false;
            }
        } while (!engine_.heldBodyBytes.compare_exchange_weak(held, held + bytes));
        reservedBody_ = bytes;
        return true;
    }

    void releaseBody() {
        if (reservedBody_ != 0) {
            engine_.heldBodyBytes -= std::exchange(reservedBody_, 0);
        }
    }

    void armTimer() {
        auto deadline = Clock::now() + engine_.options.idleLimit;
        if (!answering_ && !reader_.hasHeader() && headerDeadline_ < deadline) {
            deadline = headerDeadline_;
        }
        timer_.expires_at(deadline);
        timer_.async_wait([self = shared_from_this()](const asio::error_code& error) {
            // A wait that completed just before being re-armed must not close a live connection.
            if (!error && self->timer_.expiry() <= Clock::now()) {
                self->close(); // no progress for the whole limit, or a header too slow
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
        const RequestReader::Status status =
            reader_.receive(std::string_view(chunk_.data(), n), peerFinished);
        std::string immediate;
        if (status == RequestReader::Status::tooLarge) {
            immediate = http::response("413 Payload Too Large", http::textPlain, "too large");
        } else if (status == RequestReader::Status::badRequest) {
            immediate = http::response("400 Bad Request", http::textPlain, "bad request");
        } else if (reader_.hasHeader() && !headerAnswered_) {
            headerAnswered_ = true;
            // A request refused on its header alone is answered now; its body is never kept.
            if (auto answer = engine_.answerHeader(reader_.headerText(), fromLoopback())) {
                immediate = std::move(*answer);
                reader_ = RequestReader();
            } else if (!reserveBody(reader_.contentLength())) {
                immediate = http::response("503 Service Unavailable", http::textPlain, "busy");
                reader_ = RequestReader();
            }
        }
        if (immediate.empty() && status == RequestReader::Status::incomplete) {
            armTimer();
            read();
            return;
        }
        if (immediate.empty() && status == RequestReader::Status::closeSilently) {
            close();
            return;
        }
        peerFinished_ = peerFinished;
        answering_ = true;
        std::vector<char>().swap(chunk_);
        if (!immediate.empty()) {
            respond(std::move(immediate));
            return;
        }
        timer_.cancel(); // the work has time limits of its own
        engine_.dispatch(shared_from_this(), reader_.headerText(), reader_.body());
        reader_ = RequestReader(); // the request has been handed on (its work owns a copy)
        releaseBody();
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
        draining_ = true;
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

    tcp::socket socket_;
    asio::steady_timer timer_;
    Engine& engine_; // outlives the connection: the context or a job holding both keeps it
    const Clock::time_point headerDeadline_;
    RequestReader reader_;
    std::vector<char> chunk_;
    std::string output_;
    std::size_t written_ = 0;
    std::size_t drained_ = 0;
    std::size_t reservedBody_ = 0;
    bool peerFinished_ = false;
    bool headerAnswered_ = false;
    bool answering_ = false;
    bool draining_ = false;
};

void Server::Engine::accept() {
    // Waited for, then taken with accept4: asio's own accept leaves the socket inheritable.
    acceptor.async_wait(tcp::acceptor::wait_read, [this](const asio::error_code& error) {
        if (error == asio::error::operation_aborted) {
            return;
        }
        if (error) {
            Log::write("ERROR: サーバーが停止しました: " + error.message());
            if (running != nullptr) {
                *running = false;
            }
            return;
        }
        onAcceptable();
    });
}

void Server::Engine::onAcceptable() {
    for (;;) {
        const int fd = ::accept4(acceptor.native_handle(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            tcp::socket socket(io);
            asio::error_code error;
            socket.assign(protocol, fd, error);
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
            retryTimer.expires_after(acceptRetryDelay);
            retryTimer.async_wait([this](const asio::error_code& e) {
                if (!e) {
                    accept();
                }
            });
            return;
        }
        Log::write("ERROR: サーバーが停止しました: " + error.message());
        if (running != nullptr) {
            *running = false;
        }
        return;
    }
}

void Server::Engine::admit(tcp::socket socket) {
    // Count the open ones; the first that can make room is the one that has waited longest.
    std::size_t open = 0;
    std::shared_ptr<Connection> longestWaiting;
    for (auto it = connections.begin(); it != connections.end();) {
        auto connection = it->lock();
        if (!connection || !connection->isOpen()) {
            it = connections.erase(it);
            continue;
        }
        ++open;
        if (!longestWaiting && connection->canMakeRoom()) {
            longestWaiting = connection;
        }
        ++it;
    }
    if (open >= options.maxConnections) {
        if (!longestWaiting) {
            asio::error_code ignored;
            socket.close(ignored); // every one is being answered: the newcomer waits for none of them
            return;
        }
        longestWaiting->close();
    }
    auto connection = std::make_shared<Connection>(std::move(socket), *this);
    connections.push_back(connection);
    connection->start();
}

std::optional<std::string> Server::Engine::answerHeader(const std::string& headerText, bool fromLoopback) {
    try {
        const std::lock_guard lock(handlerMutex);
        return handler == nullptr ? std::nullopt : handler->answerHeaderFrom(headerText, fromLoopback);
    } catch (const std::exception& e) {
        Log::write(std::string("ERROR: リクエストを処理できませんでした: ") + e.what());
        return http::response("500 Internal Server Error", http::textPlain, "failed");
    }
}

void Server::Engine::dispatch(const std::shared_ptr<Connection>& connection, const std::string& headerText,
                              const std::string& body) {
    RequestHandler::Plan plan;
    try {
        const std::lock_guard lock(handlerMutex);
        if (handler == nullptr) {
            connection->close();
            return;
        }
        plan = handler->prepareFrom(headerText, body, connection->fromLoopback());
    } catch (const std::exception& e) {
        Log::write(std::string("ERROR: リクエストを処理できませんでした: ") + e.what());
        connection->respond(http::response("500 Internal Server Error", http::textPlain, "failed"));
        return;
    }
    if (!plan.work) {
        connection->respond(std::move(plan.answer)); // never behind the workers
        return;
    }
    // The job keeps the context (and so the socket) alive while it runs, even after a stop.
    pool->post([engine = shared_from_this(), connection = connection, work = std::move(plan.work)]() mutable {
        std::string answer;
        try {
            answer = work();
        } catch (const std::exception& e) {
            Log::write(std::string("ERROR: リクエストを処理できませんでした: ") + e.what());
            answer = http::response("500 Internal Server Error", http::textPlain, "failed");
        }
        asio::post(engine->io, [connection, answer = std::move(answer)]() mutable {
            connection->respond(std::move(answer));
        });
        connection.reset(); // before the context it lives in
        work = nullptr;
        engine.reset();
    });
}

void Server::Engine::shutDown() {
    {
        const std::lock_guard lock(handlerMutex);
        handler = nullptr;
    }
    pool->stop();
    io.stop();
    if (thread.joinable()) {
        thread.join();
    }
    // The socket thread has ended: its objects may be touched from here.
    asio::error_code ignored;
    acceptor.close(ignored);
    retryTimer.cancel();
    for (const auto& weak : connections) {
        if (auto connection = weak.lock()) {
            connection->close();
        }
    }
    connections.clear();
}

Server::Server(RequestHandler& handler, ServerOptions options)
    : handler_(handler), options_(std::move(options)) {}

Server::~Server() {
    const std::lock_guard lock(lifecycle_);
    tearDown();
}

void Server::tearDown() {
    if (engine_) {
        engine_->shutDown();
        engine_.reset(); // the last job still running, if any, ends it
    }
    running_ = false;
}

void Server::start(std::uint16_t preferredPort) {
    const std::lock_guard lock(lifecycle_);
    if (running_) {
        return;
    }
    tearDown(); // a listener that failed earlier is replaced
    raiseDescriptorLimit();
    std::vector<std::uint16_t> candidates{preferredPort};
    candidates.insert(candidates.end(), std::begin(fallbackPorts), std::end(fallbackPorts));
    for (const std::uint16_t candidate : candidates) {
        auto engine = std::make_shared<Engine>(handler_, options_);
        if (!engine->listen(candidate)) {
            engine->shutDown();
            continue;
        }
        const std::uint16_t bound = engine->boundPort();
        port_ = bound != 0 ? bound : candidate;
        engine->running = &running_;
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
    const bool wasRunning = running_;
    tearDown();
    if (wasRunning) // the end of an app that never started the phone link stops nothing
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
    return pairingURL(*address, port_.load(), handler_.token());
}

std::optional<std::string> Server::pairingURL(const std::string& address, std::uint16_t port,
                                              std::string_view token) {
    const auto key = seal::deriveKey(token);
    if (!key) {
        return std::nullopt; // a URL without a key could never be let in
    }
    // The key rides in the fragment, which the browser keeps to itself.
    return "http://" + address + ":" + std::to_string(port) + "/#k=" + seal::keyText(*key);
}

} // namespace torvane
