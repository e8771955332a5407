#include "QrSupport.hpp"

#include "common/Subprocess.hpp"

#include <algorithm>
#include <fstream>

namespace torvane::test {

void writePgm(const std::filesystem::path& path, const GrayImage& picture) {
    std::ofstream out(path, std::ios::binary);
    out << "P5\n" << picture.width << ' ' << picture.height << "\n255\n";
    out.write(reinterpret_cast<const char*>(picture.pixels.data()),
              static_cast<std::streamsize>(picture.pixels.size()));
}

std::optional<std::string> decodeQr(const std::filesystem::path& picture) {
    const SubprocessResult run = runSubprocess(ZBARIMG_PATH, {"--raw", "-q", picture.string()},
                                               {.timeLimit = std::chrono::seconds(30)});
    if (!run.ok() || run.out.empty() || run.out.back() != '\n')
        return std::nullopt;
    // --raw ends the symbol's text with a line feed of its own.
    return run.out.substr(0, run.out.size() - 1);
}

int ModuleGrid::quietZone(const GrayImage& picture) const {
    const int right = picture.width - (left + count * scale);
    const int bottom = picture.height - (top + count * scale);
    return std::min({left, top, right, bottom}) / scale;
}

std::optional<ModuleGrid> readModuleGrid(const GrayImage& picture) {
    if (picture.width <= 0 || picture.height <= 0 ||
        picture.pixels.size() != static_cast<std::size_t>(picture.width * picture.height))
        return std::nullopt;
    if (std::any_of(picture.pixels.begin(), picture.pixels.end(),
                    [](std::uint8_t v) { return v != 0 && v != 255; }))
        return std::nullopt; // grey pixels: smoothed edges or a tint

    // The first dark pixel in reading order is the top-left corner of the top-left finder pattern,
    // whose top edge is seven dark modules; the top-right one ends the code's first row.
    ModuleGrid grid;
    bool found = false;
    for (int y = 0; y < picture.height && !found; ++y)
        for (int x = 0; x < picture.width && !found; ++x)
            if (picture.at(x, y) == 0) {
                grid.left = x;
                grid.top = y;
                found = true;
            }
    if (!found)
        return std::nullopt;
    int run = 0;
    while (grid.left + run < picture.width && picture.at(grid.left + run, grid.top) == 0)
        ++run;
    if (run % 7 != 0)
        return std::nullopt;
    grid.scale = run / 7;
    int lastDark = grid.left;
    for (int x = grid.left; x < picture.width; ++x)
        if (picture.at(x, grid.top) == 0)
            lastDark = x;
    const int side = lastDark - grid.left + 1;
    if (side % grid.scale != 0)
        return std::nullopt;
    grid.count = side / grid.scale;
    if (grid.count < 21 || (grid.count - 21) % 4 != 0 || grid.top + side > picture.height)
        return std::nullopt;

    for (int my = 0; my < grid.count; ++my)
        for (int mx = 0; mx < grid.count; ++mx) {
            const int x0 = grid.left + mx * grid.scale;
            const int y0 = grid.top + my * grid.scale;
            const std::uint8_t value = picture.at(x0, y0);
            for (int y = y0; y < y0 + grid.scale; ++y)
                for (int x = x0; x < x0 + grid.scale; ++x)
                    if (picture.at(x, y) != value)
                        return std::nullopt;
            grid.dark.push_back(value == 0);
        }
    for (int y = 0; y < picture.height; ++y)
        for (int x = 0; x < picture.width; ++x) {
            const bool inside =
                x >= grid.left && x < grid.left + side && y >= grid.top && y < grid.top + side;
            if (!inside && picture.at(x, y) != 255)
                return std::nullopt;
        }
    return grid;
}

std::optional<char> errorCorrectionLevel(const ModuleGrid& grid) {
    // The first copy of the 15 format bits, bit 0 first, as ISO/IEC 18004 places it beside the
    // top-left finder pattern (x across, y down).
    static constexpr int positions[15][2] = {{8, 0}, {8, 1}, {8, 2}, {8, 3}, {8, 4}, {8, 5}, {8, 7}, {8, 8},
                                             {7, 8}, {5, 8}, {4, 8}, {3, 8}, {2, 8}, {1, 8}, {0, 8}};
    int bits = 0;
    for (int i = 0; i < 15; ++i)
        if (grid.isDark(positions[i][0], positions[i][1]))
            bits |= 1 << i;
    bits ^= 0x5412;
    const int data = bits >> 10;
    int remainder = data;
    for (int i = 0; i < 10; ++i)
        remainder = (remainder << 1) ^ ((remainder >> 9) * 0x537);
    if ((data << 10 | (remainder & 0x3FF)) != bits)
        return std::nullopt;
    static constexpr char levels[4] = {'M', 'L', 'H', 'Q'};
    return levels[data >> 3];
}

} // namespace torvane::test
