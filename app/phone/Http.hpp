#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The few pieces of HTTP/1.1 the phone link speaks, as pure functions over text.
namespace torvane::http {

// The value of the first Content-Length line, or 0 when there is none or it is not a decimal
// integer. Negative values are returned as they are: the caller decides what they mean.
long long contentLength(std::string_view headerText);

// The value (trimmed of spaces and tabs) of the first header line whose name, compared without
// regard to letter case, is `lowerCaseName`. A line with nothing after its colon does not count.
std::optional<std::string> headerValue(std::string_view lowerCaseName, std::string_view headerText);

// Query strings and form bodies: '+' is a space, %XX are UTF-8 bytes; a piece whose escapes are
// malformed or decode to something that is not UTF-8 is kept exactly as it came.
std::map<std::string, std::string> parseQuery(std::string_view text);

// The complete bytes of a response that closes the connection.
std::string response(std::string_view status, std::string_view contentType, std::string_view body);
// The same with more header lines, each given as "\r\nName: value".
std::string response(std::string_view status, std::string_view contentType, std::string_view body,
                     std::string_view extraHeaders);

// Whether the request's Accept-Encoding names gzip (and does not refuse it with q=0).
bool acceptsGzip(std::string_view headerText);
// `data` as one gzip member; empty if zlib fails.
std::string gzip(std::string_view data);

// Splits at every `separator`, dropping empty pieces.
std::vector<std::string_view> splitDroppingEmpty(std::string_view text, std::string_view separator);
// Splits at the first `separator` into at most two pieces, dropping empty ones.
std::vector<std::string_view> splitFirst(std::string_view text, char separator);

inline constexpr std::string_view textPlain = "text/plain; charset=utf-8";
inline constexpr std::string_view applicationJson = "application/json; charset=utf-8";

} // namespace torvane::http
