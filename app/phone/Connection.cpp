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

Connection::Connection(tcp::socket socket, const asio::ip::address& peer, ServerEngine& engine)
    : socket_(std::move(socket)), timer_(socket_.get_executor()), engine_(engine), peer_(peer),
      headerDeadline_(Clock::now() + engine.options().headerLimit), reader_(engine.options().limits),
      chunk_(RequestReader::firstChunk) {}

bool Connection::start() {
    if (!charge()) {
        close();
        return false;
    }
    armTimer();
    read();
    return true;
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
    std::vector<char>().swap(chunk_);
    reader_ = RequestReader();
    releaseHeld();
    if (std::exchange(counted_, false)) {
        engine_.connectionClosed(peer_);
    }
}

bool Connection::charge() {
    const std::size_t held = chunk_.capacity() + reader_.heldBytes();
    if (held > held_) {
        if (!engine_.limits().hold(peer_, held - held_)) {
            return false;
        }
    } else {
        engine_.limits().release(peer_, held_ - held);
    }
    held_ = held;
    return true;
}

void Connection::releaseHeld() {
    if (held_ != 0) {
        engine_.limits().release(peer_, std::exchange(held_, 0));
    }
}

Clock::time_point Connection::requestDeadline() const {
    if (!reader_.hasHeader()) {
        return headerDeadline_;
    }
    // Earned by what has come, not by what the header announced.
    const auto rate = std::max<std::size_t>(engine_.options().minBodyRate, 1);
    return headerDeadline_ + std::chrono::milliseconds(reader_.received() * 1000 / rate);
}

void Connection::armTimer() {
    auto deadline = Clock::now() + engine_.options().idleLimit;
    const bool reading = !answering_;
    if (reading) {
        deadline = std::min(deadline, requestDeadline());
    }
    timer_.expires_at(deadline);
    timer_.async_wait([self = shared_from_this(), reading](const asio::error_code& error) {
        // A wait that completed just before being re-armed must not close a live connection.
        if (error || self->timer_.expiry() > Clock::now()) {
            return;
        }
        if (reading && !self->answering_ && self->requestDeadline() <= Clock::now()) {
            self->engine_.limits().refuse(self->peer_, PeerLimits::Refusal::deadline);
        }
        self->close(); // no progress for the whole limit, or a request too slow
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
            Request::fromHead(reader_.headerText(), peer_.is_loopback() ? Origin::loopback : Origin::network);
        immediate = request_ ? engine_.answerHead(*request_) : Response::badRequest();
        if (immediate) {
            reader_ = RequestReader();
        }
    }
    if (!immediate && status == RequestReader::Status::incomplete) {
        if (reader_.nextChunk() > chunk_.size()) {
            std::vector<char>(reader_.nextChunk()).swap(chunk_);
        }
        if (!charge()) {
            // Only what has arrived counts: a peer past its share is refused, the others are not.
            reader_ = RequestReader();
            std::vector<char>().swap(chunk_);
            charge();
            answering_ = true;
            respond(Response::text(503, "busy"));
            return;
        }
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
    charge(); // gives back: less is held now
    if (immediate) {
        respond(*immediate);
        return;
    }
    timer_.cancel(); // the work has time limits of its own
    request_->setBody(reader_.body());
    reader_ = RequestReader(); // the request has been handed on
    releaseHeld();
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
    chunk_.resize(RequestReader::firstChunk); // not charged: the answer has been written
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
