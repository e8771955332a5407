#include "app/phone/Http.hpp"

#include "common/Text.hpp"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <limits>
#include <vector>
#include <zlib.h>

namespace torvane::http {

namespace {

std::string_view trimSpacesAndTabs(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    const std::size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

bool equalsIgnoringAsciiCase(std::string_view text, std::string_view lowerCase) {
    if (text.size() != lowerCase.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != lowerCase[i]) {
            return false;
        }
    }
    return true;
}

// Decimal with an optional sign, digits only, within range; anything else is no number.
std::optional<long long> parseDecimal(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    // Accumulate towards the negative side, which holds one more value.
    long long value = 0;
    constexpr long long lowest = std::numeric_limits<long long>::min();
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const int digit = c - '0';
        if (value < (lowest + digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == lowest) {
            return std::nullopt;
        }
        value = -value;
    }
    return value;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::optional<std::string> percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) {
            return std::nullopt;
        }
        const int high = hexDigit(text[i + 1]);
        const int low = hexDigit(text[i + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    if (!text::isValidUtf8(out)) {
        return std::nullopt;
    }
    return out;
}

std::string decodeFormComponent(std::string_view piece) {
    std::string spaced(piece);
    for (char& c : spaced) {
        if (c == '+') {
            c = ' ';
        }
    }
    if (auto decoded = percentDecode(spaced)) {
        return std::move(*decoded);
    }
    return std::string(piece);
}

// The value of the first header line named `lowerCaseName`, untrimmed.
std::optional<std::string_view> rawHeaderValue(std::string_view lowerCaseName, std::string_view headerText) {
    for (const std::string_view line : splitDroppingEmpty(headerText, "\r\n")) {
        const auto pieces = splitFirst(line, ':');
        if (pieces.size() != 2) {
            continue;
        }
        if (equalsIgnoringAsciiCase(trimSpacesAndTabs(pieces[0]), lowerCaseName)) {
            return trimSpacesAndTabs(pieces[1]);
        }
    }
    return std::nullopt;
}

} // namespace

std::vector<std::string_view> splitDroppingEmpty(std::string_view text, std::string_view separator) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t at = text.find(separator, start);
        const std::size_t end = at == std::string_view::npos ? text.size() : at;
        if (end > start) {
            pieces.push_back(text.substr(start, end - start));
        }
        if (at == std::string_view::npos) {
            break;
        }
        start = at + separator.size();
    }
    return pieces;
}

std::vector<std::string_view> splitFirst(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    const std::size_t at = text.find(separator);
    const std::string_view first = text.substr(0, at);
    if (!first.empty()) {
        pieces.push_back(first);
    }
    if (at != std::string_view::npos && at + 1 < text.size()) {
        pieces.push_back(text.substr(at + 1));
    }
    return pieces;
}

long long contentLength(std::string_view headerText) {
    const auto value = rawHeaderValue("content-length", headerText);
    if (!value) {
        return 0;
    }
    return parseDecimal(*value).value_or(0);
}

std::optional<std::string> headerValue(std::string_view lowerCaseName, std::string_view headerText) {
    if (auto value = rawHeaderValue(lowerCaseName, headerText)) {
        return std::string(*value);
    }
    return std::nullopt;
}

std::map<std::string, std::string> parseQuery(std::string_view text) {
    std::map<std::string, std::string> result;
    for (const std::string_view pair : splitDroppingEmpty(text, "&")) {
        const auto pieces = splitFirst(pair, '=');
        if (pieces.empty()) {
            continue;
        }
        std::string key = decodeFormComponent(pieces[0]);
        std::string value = pieces.size() > 1 ? decodeFormComponent(pieces[1]) : std::string();
        result[std::move(key)] = std::move(value);
    }
    return result;
}

std::string response(std::string_view status, std::string_view contentType, std::string_view body) {
    return response(status, contentType, body, "");
}

std::string response(std::string_view status, std::string_view contentType, std::string_view body,
                     std::string_view extraHeaders) {
    std::string out;
    out.reserve(160 + extraHeaders.size() + body.size());
    out.append("HTTP/1.1 ").append(status);
    out.append("\r\nContent-Type: ").append(contentType);
    out.append("\r\nContent-Length: ").append(std::to_string(body.size()));
    out.append(extraHeaders);
    out.append("\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n");
    out.append(body);
    return out;
}

bool acceptsGzip(std::string_view headerText) {
    const auto value = headerValue("accept-encoding", headerText);
    if (!value) {
        return false;
    }
    for (std::string_view item : splitDroppingEmpty(*value, ",")) {
        const auto semicolon = item.find(';');
        std::string name(trimSpacesAndTabs(item.substr(0, semicolon)));
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        if (name != "gzip") {
            continue;
        }
        if (semicolon == std::string_view::npos) {
            return true;
        }
        // "q=0", "q=0.0" …: refused; any other weight accepts it.
        const std::string_view weight = trimSpacesAndTabs(item.substr(semicolon + 1));
        return !(weight.starts_with("q=0") && weight.find_first_not_of("0.", 2) == std::string::npos);
    }
    return false;
}

std::string gzip(std::string_view data) {
    z_stream stream{};
    // 15 + 16: a gzip header and trailer around the deflate stream.
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
        return {};
    }
    std::string out(deflateBound(&stream, data.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return result == Z_STREAM_END ? out : std::string();
}

} // namespace torvane::http
