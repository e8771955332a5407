#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

// The phone page's sealed calls: the key derived from the token, and secretbox envelopes (a fresh
// random nonce followed by the box, in standard base64) that the page's TweetNaCl opens and makes.
namespace torvane::seal {

inline constexpr std::size_t keyBytes = 32;
inline constexpr std::size_t nonceBytes = 24;
using Key = std::array<unsigned char, keyBytes>;
using Nonce = std::array<unsigned char, nonceBytes>;

// Keyed BLAKE2b-256 of a context of ours under the token: renewing the token renews the key, and
// nothing besides the token is stored. None for an empty token or when libsodium cannot start.
std::optional<Key> deriveKey(std::string_view token);

// URL-safe base64 without padding, as the pairing URL's fragment carries it.
std::string keyText(const Key& key);
std::optional<Key> keyFromText(std::string_view text);

// base64(nonce || secretbox(plaintext)) under a fresh random nonce.
std::string seal(const Key& key, std::string_view plaintext);
// The same under a given nonce: for known-answer vectors only, a nonce must never be used twice.
std::string sealWithNonce(const Key& key, const Nonce& nonce, std::string_view plaintext);
// The plaintext, or none when the envelope is malformed or its box does not open under `key`.
std::optional<std::string> open(const Key& key, std::string_view envelope);

} // namespace torvane::seal
