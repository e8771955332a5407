#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace torvane {

// An 8-bit grey picture, row by row: 0 is black, 255 white. Plain data, so that code that makes
// pictures (the QR code) needs no toolkit; the shell turns it into its own image type.
struct GrayImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels; // width * height bytes

    std::uint8_t at(int x, int y) const {
        return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                      static_cast<std::size_t>(x)];
    }
};

} // namespace torvane
