#include "app/phone/Token.hpp"

#include <Security/SecRandom.h>

namespace torvane::token {

bool systemRandom(std::span<unsigned char> bytes) {
    return SecRandomCopyBytes(kSecRandomDefault, bytes.size(), bytes.data()) == errSecSuccess;
}

} // namespace torvane::token
