#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace torvane {

struct RequestLimits {
    std::size_t maxHeaderBytes = 64 * 1024;    // request line and header lines
    std::size_t maxRequestBytes = 1024 * 1024; // header, blank line and body together
};

// Frames one HTTP request out of the bytes of a connection, as they arrive: the header ends at the
// first CR LF CR LF, the body is Content-Length bytes after it, and anything beyond is ignored.
// It owns no socket, so every case can be fed from plain strings.
class RequestReader {
public:
    enum class Status {
        incomplete,    // read more
        complete,      // headerText() and body() hold the request
        closeSilently, // the peer finished before the request was whole: close without answer
        tooLarge,      // answer 413
        badRequest,    // answer 400 (negative Content-Length)
    };

    // A read asks for little until the request is known to need more: a connection that has sent
    // nothing yet (most of a flood) holds only this much.
    static constexpr std::size_t firstChunk = 4096;
    static constexpr std::size_t maxChunk = 65536;

    explicit RequestReader(RequestLimits limits = {}) : limits_(limits) {}

    // Adds what one read gave (possibly nothing) and says how things stand; `peerFinished` is true
    // once the peer has closed its sending side. After a final status, further input is ignored.
    Status receive(std::string_view bytes, bool peerFinished);

    Status status() const { return status_; }
    bool hasHeader() const { return headerEnd_.has_value(); }
    // The body's announced length; valid once hasHeader().
    std::size_t contentLength() const { return static_cast<std::size_t>(contentLength_); }
    // What the next read should ask for: a small chunk for the header, then up to what the body
    // still needs.
    std::size_t nextChunk() const;
    // The memory the request holds so far: it grows with what has arrived, never with what the header
    // announces.
    std::size_t heldBytes() const { return buffer_.capacity() + body_.capacity(); }
    std::size_t received() const { return buffer_.size(); }
    // Both decoded as UTF-8, invalid sequences replaced by U+FFFD; valid once complete.
    const std::string& headerText() const { return headerText_; }
    const std::string& body() const { return body_; }

private:
    Status evaluate(bool peerFinished);
    std::size_t requestEnd() const; // header, blank line and announced body; once the header is in

    RequestLimits limits_;
    Status status_ = Status::incomplete;
    std::string buffer_;
    std::size_t scanFrom_ = 0;
    std::optional<std::size_t> headerEnd_;
    long long contentLength_ = 0;
    std::string headerText_;
    std::string body_;
};

} // namespace torvane
