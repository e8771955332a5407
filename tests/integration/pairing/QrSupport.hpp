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

// The same for a code drawn for a terminal (QRCode::text), by way of a picture at `scratch`.
std::optional<std::string> decodeTerminalQr(const std::string& drawn, const std::filesystem::path& scratch);

} // namespace torvane::test
