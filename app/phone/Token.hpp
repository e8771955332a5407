#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// The connection token: creation and comparison. Where it is kept is the router's business.
namespace torvane::token {

// Fills the bytes from a cryptographically secure source; false when that source fails.
using RandomSource = std::function<bool(std::span<unsigned char> bytes)>;

// libsodium's generator (the system's: getrandom, arc4random), as the sealing's nonces use.
bool secureRandom(std::span<unsigned char> bytes);

inline constexpr std::size_t randomBytes = 24;
inline constexpr std::size_t length = 32;

// 24 random bytes as 32 characters of the URL-safe base64 alphabet; none when the source fails.
std::optional<std::string> generate(const RandomSource& random = secureRandom);

// URL-safe base64 without padding.
std::string base64Url(std::span<const unsigned char> bytes);
// Standard base64 with padding. Like the one above, its time depends on the bytes: for what is
// public (a sealed envelope), not for secrets.
std::string base64(std::span<const unsigned char> bytes);

// Equality whose running time depends only on the length of `expected`, never on where (or
// whether) `offered` differs from it.
bool constantTimeEquals(std::string_view offered, std::string_view expected);

} // namespace torvane::token
