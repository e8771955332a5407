#include "app/phone/Token.hpp"

#include <array>
#include <sodium.h>

namespace torvane::token {

namespace {

std::string encode(std::span<const unsigned char> bytes, std::string_view alphabet, bool padded) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const unsigned value = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        out.push_back(alphabet[(value >> 18) & 63]);
        out.push_back(alphabet[(value >> 12) & 63]);
        out.push_back(alphabet[(value >> 6) & 63]);
        out.push_back(alphabet[value & 63]);
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned value = bytes[i] << 16;
        if (rest == 2) {
            value |= bytes[i + 1] << 8;
        }
        out.push_back(alphabet[(value >> 18) & 63]);
        out.push_back(alphabet[(value >> 12) & 63]);
        if (rest == 2) {
            out.push_back(alphabet[(value >> 6) & 63]);
        }
        if (padded) {
            out.append(3 - rest, '=');
        }
    }
    return out;
}

} // namespace

bool secureRandom(std::span<unsigned char> bytes) {
    if (sodium_init() < 0)
        return false;
    randombytes_buf(bytes.data(), bytes.size());
    return true;
}

std::string base64Url(std::span<const unsigned char> bytes) {
    return encode(bytes, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_", false);
}

std::string base64(std::span<const unsigned char> bytes) {
    return encode(bytes, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/", true);
}

std::optional<std::string> generate(const RandomSource& random) {
    std::array<unsigned char, randomBytes> bytes{};
    if (!random || !random(bytes)) {
        return std::nullopt;
    }
    return base64Url(bytes);
}

bool constantTimeEquals(std::string_view offered, std::string_view expected) {
    // An offer of the wrong length is compared as the expected value against itself, so that the
    // work is the same in every case; only the (public) length of the token shows.
    const bool sameLength = offered.size() == expected.size();
    const std::string_view probe = sameLength ? offered : expected;
    unsigned difference = sameLength ? 0U : 1U;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        difference |= static_cast<unsigned char>(probe[i] ^ expected[i]);
        // Keep the compiler from turning the loop into an early exit.
        asm volatile("" : "+r"(difference));
    }
    return difference == 0;
}

} // namespace torvane::token
