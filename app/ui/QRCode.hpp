#pragma once

#include "app/ui/GrayImage.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace torvane::QRCode {

// Light modules around the code; phone cameras need them to find it on a busy screen.
inline constexpr int quietZoneModules = 4;
// Larger pictures are refused rather than allocated.
inline constexpr int maximumPixels = 8192;

// The QR code of the text's UTF-8 bytes (byte mode, error correction level M, never raised),
// black on white, `size` pixels wide and high. Every module is the same whole number of pixels, so
// edges stay hard; what does not divide evenly becomes extra white margin around the quiet zone.
// None when the text does not fit in a QR code, or when `size` is not a usable size or too small
// for one pixel per module.
std::optional<GrayImage> image(std::string_view text, double size);

// The same code as lines of text for a terminal, two module rows to a line (half blocks), with the
// quiet zone. Light modules are drawn, dark ones left blank, as on a terminal's usual dark ground.
std::optional<std::string> text(std::string_view text);

} // namespace torvane::QRCode
