#include "QrSupport.hpp"

#include "common/Subprocess.hpp"

#include <fstream>
#include <vector>

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

std::optional<std::string> decodeTerminalQr(const std::string& drawn, const std::filesystem::path& scratch) {
    // Half blocks back into modules, two rows a line (a drawn half is a light one), four pixels each.
    std::vector<std::string> rows(2);
    for (std::size_t at = 0; at < drawn.size(); at += drawn[at] & 0x80 ? 3 : 1) {
        if (drawn[at] == '\n') {
            rows.resize(rows.size() + 2);
            continue;
        }
        const char glyph = drawn[at] == ' ' || at + 2 >= drawn.size() ? 0 : drawn[at + 2]; // █ 88, ▀ 80, ▄ 84
        rows[rows.size() - 2] += glyph == '\x88' || glyph == '\x80' ? 'L' : 'D';
        rows[rows.size() - 1] += glyph == '\x88' || glyph == '\x84' ? 'L' : 'D';
    }
    rows.resize(rows.size() - 2);
    if (rows.empty())
        return std::nullopt;
    GrayImage picture{static_cast<int>(rows[0].size()) * 4, static_cast<int>(rows.size()) * 4, {}};
    for (int y = 0; y < picture.height; ++y)
        for (int x = 0; x < picture.width; ++x)
            picture.pixels.push_back(rows[y / 4][x / 4] == 'L' ? 255 : 0);
    writePgm(scratch, picture);
    return decodeQr(scratch);
}

} // namespace torvane::test
