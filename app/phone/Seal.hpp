#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

// The phone page's sealed calls: secretbox envelopes (a fresh random nonce followed by the box, in
// standard base64) that the page's TweetNaCl opens and makes, under a phone's own key.
namespace torvane::seal {

inline constexpr std::size_t keyBytes = 32;
inline constexpr std::size_t nonceBytes = 24;
using Key = std::array<unsigned char, keyBytes>;
using Nonce = std::array<unsigned char, nonceBytes>;

// URL-safe base64 without padding, as the pairing URL's fragment and the settings carry it.
std::string keyText(const Key& key);
std::optional<Key> keyFromText(std::string_view text);

// base64(nonce || secretbox(plaintext)) under a fresh random nonce.
std::string seal(const Key& key, std::string_view plaintext);
// The same under a given nonce: for known-answer vectors only, a nonce must never be used twice.
std::string sealWithNonce(const Key& key, const Nonce& nonce, std::string_view plaintext);
// The plaintext, or none when the envelope is malformed or its box does not open under `key`.
std::optional<std::string> open(const Key& key, std::string_view envelope);

} // namespace torvane::seal
