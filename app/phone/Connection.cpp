#include "app/phone/Connection.hpp"

#include "app/phone/ServerEngine.hpp"

#include <utility>

namespace torvane {

namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// After the response, what the peer still sends is read and dropped for a while, so that
// closing with unread input does not reset the connection before the peer has read the answer.
constexpr std::size_t maxDrainBytes = 1024 * 1024;

} // namespace

Connection::Connection(tcp::socket socket, ServerEngine& engine)
    : socket_(std::move(socket)), timer_(socket_.get_executor()), engine_(engine),
      headerDeadline_(Clock::now() + engine.options().headerLimit), reader_(engine.options().limits),
      chunk_(RequestReader::readChunk) {}

void Connection::start() {
    armTimer();
    read();
}

bool Connection::fromLoopback() const {
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

void Connection::respond(const Response& answer) {
    if (!isOpen()) {
        return;
    }
    output_ = answer.bytes();
    armTimer();
    write();
}

void Connection::awaitTurn(std::chrono::milliseconds limit, std::shared_ptr<Turn> turn) {
    timer_.expires_after(limit);
    timer_.async_wait([self = shared_from_this(), turn = std::move(turn)](const asio::error_code& error) {
        if (!error && turn->take()) {
            self->respond(turn->work(false));
        }
    });
}

void Connection::close() {
    asio::error_code ignored;
    socket_.close(ignored);
    timer_.cancel();
    releaseBody();
}

bool Connection::reserveBody(std::size_t bytes) {
    const std::size_t cap = engine_.options().maxHeldBodyBytes;
    auto held = engine_.heldBodyBytes.load();
    do {
        if (bytes > cap - std::min(held, cap)) {
            return false;
        }
    } while (!engine_.heldBodyBytes.compare_exchange_weak(held, held + bytes));
    reservedBody_ = bytes;
    return true;
}

void Connection::releaseBody() {
    if (reservedBody_ != 0) {
        engine_.heldBodyBytes -= std::exchange(reservedBody_, 0);
    }
}

void Connection::armTimer() {
    auto deadline = Clock::now() + engine_.options().idleLimit;
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

void Connection::read() {
    socket_.async_read_some(asio::buffer(chunk_),
                            [self = shared_from_this()](const asio::error_code& error, std::size_t n) {
                                self->onRead(error, n);
                            });
}

void Connection::onRead(const asio::error_code& error, std::size_t n) {
    if (error && error != asio::error::eof) {
        close();
        return;
    }
    const bool peerFinished = error == asio::error::eof;
    const RequestReader::Status status = reader_.receive(std::string_view(chunk_.data(), n), peerFinished);
    std::optional<Response> immediate;
    if (status == RequestReader::Status::tooLarge) {
        immediate = Response::text(413, "too large");
    } else if (status == RequestReader::Status::badRequest) {
        immediate = Response::badRequest();
    } else if (reader_.hasHeader() && !headerAnswered_) {
        headerAnswered_ = true;
        // Read once, here; a request refused on its header alone is answered now, its body never kept.
        request_ =
            Request::fromHead(reader_.headerText(), fromLoopback() ? Origin::loopback : Origin::network);
        immediate = request_ ? engine_.answerHead(*request_) : Response::badRequest();
        if (!immediate && !reserveBody(reader_.contentLength())) {
            immediate = Response::text(503, "busy");
        }
        if (immediate) {
            reader_ = RequestReader();
        }
    }
    if (!immediate && status == RequestReader::Status::incomplete) {
        armTimer();
        read();
        return;
    }
    if (!immediate && status == RequestReader::Status::closeSilently) {
        close();
        return;
    }
    peerFinished_ = peerFinished;
    answering_ = true;
    std::vector<char>().swap(chunk_);
    if (immediate) {
        respond(*immediate);
        return;
    }
    timer_.cancel(); // the work has time limits of its own
    request_->setBody(reader_.body());
    reader_ = RequestReader(); // the request has been handed on
    releaseBody();
    engine_.dispatch(shared_from_this(), std::move(*request_));
}

void Connection::write() {
    socket_.async_write_some(asio::buffer(output_.data() + written_, output_.size() - written_),
                             [self = shared_from_this()](const asio::error_code& error, std::size_t n) {
                                 self->onWrite(error, n);
                             });
}

void Connection::onWrite(const asio::error_code& error, std::size_t n) {
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

void Connection::drain() {
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

} // namespace torvane
