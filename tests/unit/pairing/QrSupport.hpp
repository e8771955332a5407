#pragma once

#include "app/ui/GrayImage.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace torvane::test {

// Writes the picture as a binary PGM, which zbarimg reads.
void writePgm(const std::filesystem::path& path, const GrayImage& picture);

// What `zbarimg --raw -q` reads from the picture file, or none when it finds no code.
std::optional<std::string> decodeQr(const std::filesystem::path& picture);

// The modules of a QR code read back from a picture, found from its top-left finder pattern.
// None unless every module is a uniform square of the same whole number of pixels, pure black or
// pure white, and everything outside the code is pure white.
struct ModuleGrid {
    int scale = 0; // pixels per module side
    int left = 0;  // where the code starts, in pixels
    int top = 0;
    int count = 0; // modules per side, without the quiet zone
    std::vector<bool> dark;

    bool isDark(int x, int y) const { return dark[static_cast<std::size_t>(y * count + x)]; }
    // The smallest white margin around the code, in modules.
    int quietZone(const GrayImage& picture) const;
};
std::optional<ModuleGrid> readModuleGrid(const GrayImage& picture);

// The error-correction level in the code's format information: 'L', 'M', 'Q' or 'H'; none when the
// format bits do not check out.
std::optional<char> errorCorrectionLevel(const ModuleGrid& grid);

} // namespace torvane::test
