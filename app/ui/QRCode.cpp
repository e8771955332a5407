#include "app/ui/QRCode.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <qrcodegen/qrcodegen.hpp>
#include <stdexcept>
#include <vector>

namespace torvane::QRCode {

namespace {

constexpr std::uint8_t black = 0;
constexpr std::uint8_t white = 255;

std::optional<qrcodegen::QrCode> encode(std::string_view text) {
    const std::vector<std::uint8_t> bytes(text.begin(), text.end());
    try {
        // Byte mode keeps the text exactly as its UTF-8 bytes; the level stays M even when a
        // higher one would fit in the same size, so what we promise is what is printed.
        return qrcodegen::QrCode::encodeSegments(
            {qrcodegen::QrSegment::makeBytes(bytes)}, qrcodegen::QrCode::Ecc::MEDIUM,
            qrcodegen::QrCode::MIN_VERSION, qrcodegen::QrCode::MAX_VERSION, -1, false);
    } catch (const std::length_error&) { // qrcodegen::data_too_long
        return std::nullopt;
    }
}

} // namespace

std::optional<GrayImage> image(std::string_view text, double size) {
    if (!std::isfinite(size) || size < 1.0 || size > maximumPixels)
        return std::nullopt;
    const int pixels = static_cast<int>(std::lround(size));

    const std::optional<qrcodegen::QrCode> code = encode(text);
    if (!code)
        return std::nullopt;

    const int modules = code->getSize();
    const int withQuietZone = modules + 2 * quietZoneModules;
    const int scale = pixels / withQuietZone;
    if (scale < 1)
        return std::nullopt;
    const int origin = (pixels - scale * withQuietZone) / 2 + quietZoneModules * scale;

    GrayImage picture;
    picture.width = pixels;
    picture.height = pixels;
    picture.pixels.assign(static_cast<std::size_t>(pixels) * static_cast<std::size_t>(pixels), white);
    for (int my = 0; my < modules; ++my) {
        for (int mx = 0; mx < modules; ++mx) {
            if (!code->getModule(mx, my))
                continue;
            for (int y = origin + my * scale; y < origin + (my + 1) * scale; ++y) {
                auto row = picture.pixels.begin() +
                           static_cast<std::ptrdiff_t>(y) * static_cast<std::ptrdiff_t>(pixels);
                std::fill(row + origin + mx * scale, row + origin + (mx + 1) * scale, black);
            }
        }
    }
    return picture;
}

std::optional<std::string> text(std::string_view content) {
    const std::optional<qrcodegen::QrCode> code = encode(content);
    if (!code)
        return std::nullopt;
    const int modules = code->getSize();
    const auto light = [&](int x, int y) {
        return x < 0 || y < 0 || x >= modules || y >= modules || !code->getModule(x, y);
    };
    std::string out;
    for (int y = -quietZoneModules; y < modules + quietZoneModules; y += 2) {
        for (int x = -quietZoneModules; x < modules + quietZoneModules; ++x) {
            const bool top = light(x, y);
            const bool bottom = y + 1 < modules + quietZoneModules ? light(x, y + 1) : false;
            out += top ? (bottom ? "█" : "▀") : (bottom ? "▄" : " ");
        }
        out += '\n';
    }
    return out;
}

} // namespace torvane::QRCode
