#pragma once

#include <string>
#include <string_view>

namespace torvane {

// A JSON string literal, quotes included. Control characters are escaped, everything else
// (the solidus, U+007F, non-ASCII) is written as it is; invalid UTF-8 becomes U+FFFD so that the
// result is always valid JSON.
std::string jsonString(std::string_view text);

} // namespace torvane
