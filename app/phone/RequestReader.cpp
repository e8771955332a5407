#include "app/phone/RequestReader.hpp"

#include "app/phone/Http.hpp"
#include "common/Text.hpp"

#include <algorithm>

namespace torvane {

namespace {
constexpr std::string_view headerSeparator = "\r\n\r\n";
}

RequestReader::Status RequestReader::receive(std::string_view bytes, bool peerFinished) {
    if (status_ != Status::incomplete) {
        return status_;
    }
    if (buffer_.size() + bytes.size() > buffer_.capacity()) {
        // Doubling, but never past the whole request once its length is known.
        std::size_t room = std::max(buffer_.size() + bytes.size(), 2 * buffer_.capacity());
        if (headerEnd_ && contentLength_ >= 0) {
            room = std::min(room, std::max(buffer_.size() + bytes.size(), requestEnd()));
        }
        buffer_.reserve(room);
    }
    buffer_.append(bytes);
    status_ = evaluate(peerFinished);
    if (status_ != Status::incomplete) {
        // Nothing more is read from this buffer.
        std::string().swap(buffer_);
    }
    return status_;
}

std::size_t RequestReader::requestEnd() const {
    return *headerEnd_ + headerSeparator.size() + static_cast<std::size_t>(contentLength_);
}

std::size_t RequestReader::nextChunk() const {
    if (!headerEnd_ || contentLength_ < 0 || status_ != Status::incomplete) {
        return firstChunk;
    }
    const std::size_t end = requestEnd();
    const std::size_t missing = end > buffer_.size() ? end - buffer_.size() : 0;
    return std::clamp(missing, firstChunk, maxChunk);
}

RequestReader::Status RequestReader::evaluate(bool peerFinished) {
    if (!headerEnd_) {
        // Only the new bytes (and the three before them, for a separator split across reads)
        // need searching: a slow client sending one byte at a time costs no rescans.
        const std::size_t found = buffer_.find(headerSeparator, scanFrom_);
        if (found == std::string::npos) {
            if (buffer_.size() >= limits_.maxHeaderBytes + headerSeparator.size()) {
                return Status::tooLarge;
            }
            scanFrom_ = buffer_.size() >= 3 ? buffer_.size() - 3 : 0;
            return peerFinished ? Status::closeSilently : Status::incomplete;
        }
        if (found > limits_.maxHeaderBytes) {
            return Status::tooLarge;
        }
        headerEnd_ = found;
        headerText_ = text::decodeUtf8Lossy(std::string_view(buffer_).substr(0, found));
        contentLength_ = http::contentLength(headerText_);
    }
    if (contentLength_ < 0) {
        return Status::badRequest;
    }
    const std::size_t bodyStart = *headerEnd_ + headerSeparator.size();
    const auto length = static_cast<unsigned long long>(contentLength_);
    if (length > limits_.maxRequestBytes || bodyStart + length > limits_.maxRequestBytes) {
        return Status::tooLarge;
    }
    if (buffer_.size() - bodyStart < length) {
        return peerFinished ? Status::closeSilently : Status::incomplete;
    }
    body_ = text::decodeUtf8Lossy(std::string_view(buffer_).substr(bodyStart, length));
    return Status::complete;
}

} // namespace torvane
