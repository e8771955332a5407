#include "common/SecureRandom.hpp"

#include <Security/SecRandom.h>

namespace torvane {

bool secureRandom(std::span<unsigned char> bytes) {
    return SecRandomCopyBytes(kSecRandomDefault, bytes.size(), bytes.data()) == errSecSuccess;
}

} // namespace torvane
