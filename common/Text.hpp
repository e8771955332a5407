#pragma once

#include <string>
#include <string_view>

namespace torvane::text {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view bytes);

// Bytes as UTF-8 text, each invalid sequence replaced by U+FFFD.
std::string decodeUtf8Lossy(std::string_view bytes);

// Removes leading and trailing Unicode white space and newlines (Zs, Zl, Zp, U+0009-U+000D, U+0085)
// from valid UTF-8.
std::string_view trimWhitespaceAndNewlines(std::string_view utf8);

// The system's text for an errno value.
std::string errorText(int errnum);

// Seconds since the epoch in local time, as strftime's `format` writes it; `never` for 0 or less.
std::string localTime(long long seconds, const char* format, std::string_view never);

} // namespace torvane::text
