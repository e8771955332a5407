#include "app/phone/Seal.hpp"

#include "app/phone/Token.hpp"

#include <sodium.h>
#include <vector>

namespace torvane::seal {

namespace {

bool sodiumReady() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

const auto* bytes(std::string_view text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

} // namespace

std::string keyText(const Key& key) {
    return token::base64Url(key);
}

std::optional<Key> keyFromText(std::string_view text) {
    Key key{};
    std::size_t size = 0;
    if (!sodiumReady() ||
        sodium_base642bin(key.data(), key.size(), text.data(), text.size(), nullptr, &size, nullptr,
                          sodium_base64_VARIANT_URLSAFE_NO_PADDING) != 0 ||
        size != key.size()) {
        return std::nullopt;
    }
    return key;
}

std::string sealWithNonce(const Key& key, const Nonce& nonce, std::string_view plaintext) {
    std::vector<unsigned char> out(nonceBytes + crypto_secretbox_MACBYTES + plaintext.size());
    std::copy(nonce.begin(), nonce.end(), out.begin());
    crypto_secretbox_easy(out.data() + nonceBytes, bytes(plaintext), plaintext.size(), nonce.data(),
                          key.data());
    // The envelope is public: the table encoder is many times quicker than libsodium's constant-time one.
    return token::base64(out);
}

std::string seal(const Key& key, std::string_view plaintext) {
    Nonce nonce{};
    sodiumReady();
    randombytes_buf(nonce.data(), nonce.size());
    return sealWithNonce(key, nonce, plaintext);
}

std::optional<std::string> open(const Key& key, std::string_view envelope) {
    if (!sodiumReady()) {
        return std::nullopt;
    }
    std::vector<unsigned char> raw(envelope.size() / 4 * 3 + 3);
    std::size_t size = 0;
    if (sodium_base642bin(raw.data(), raw.size(), envelope.data(), envelope.size(), nullptr, &size, nullptr,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        size < nonceBytes + crypto_secretbox_MACBYTES) {
        return std::nullopt;
    }
    std::string plaintext(size - nonceBytes - crypto_secretbox_MACBYTES, '\0');
    if (crypto_secretbox_open_easy(reinterpret_cast<unsigned char*>(plaintext.data()),
                                   raw.data() + nonceBytes, size - nonceBytes, raw.data(), key.data()) != 0) {
        return std::nullopt;
    }
    return plaintext;
}

} // namespace torvane::seal
