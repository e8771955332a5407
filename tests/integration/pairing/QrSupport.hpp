#pragma once

#include "app/ui/GrayImage.hpp"

#include <filesystem>
#include <optional>
#include <string>

namespace torvane::test {

// Writes the picture as a binary PGM, which zbarimg reads.
void writePgm(const std::filesystem::path& path, const GrayImage& picture);

// What `zbarimg --raw -q` reads from the picture file, or none when it finds no code.
std::optional<std::string> decodeQr(const std::filesystem::path& picture);

} // namespace torvane::test
