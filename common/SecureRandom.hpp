#pragma once

#include <span>

namespace torvane {

// Fills the bytes from the system's cryptographically secure generator (getrandom on Linux,
// SecRandomCopyBytes on macOS; the build picks the file); false when it fails.
bool secureRandom(std::span<unsigned char> bytes);

} // namespace torvane
